// `specan analyze` on files it cannot analyse, or can only analyse with the
// libraries' help: what it says and what it does, through the real
// executable. The odd files are written byte by byte here, as a damaged or
// unusual file reaches a user.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "support/TempFolder.h"
#include "SpecanRun.h"

namespace {

// Seconds a run that should end at once is given before it counts as hung.
constexpr double kPatience = 30;

// A run in a settings folder of its own (the command reads none).
struct Rig {
  testsupport::TempFolder folder;
  testsupport::TempFolder config;
  Result run(const std::vector<std::string>& args) const {
    return specan(args, config.file("."), folder, kPatience);
  }
};

}  // namespace

// ---------------------------------------------------------------- what is not a regular file

TEST(AnalyzeFileErrors, ANamedPipeOrADeviceIsRefusedAtOnceWithWhatItIs) {
  Rig rig;
  const std::string pipe = rig.folder.file("live.wav");
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  // No writer ever comes: the command must not wait for one.
  const Result fifo = rig.run({"analyze", "--csv=" + rig.folder.file("live.csv"), pipe});
  ASSERT_FALSE(fifo.timedOut) << "the command waited on a pipe without a writer";
  EXPECT_EQ(fifo.status, 1);
  EXPECT_EQ(fifo.err, "specan: " + pipe + ": is a named pipe, not a sound file (SpecAn reads regular files only)\n");
  EXPECT_EQ(fifo.out, "");
  EXPECT_FALSE(std::filesystem::exists(rig.folder.file("live.csv")));

  const Result device = rig.run({"analyze", "/dev/zero"});
  ASSERT_FALSE(device.timedOut) << "the command read a device that never ends";
  EXPECT_EQ(device.status, 1);
  EXPECT_EQ(device.err, "specan: /dev/zero: is a device, not a sound file (SpecAn reads regular files only)\n");
}
