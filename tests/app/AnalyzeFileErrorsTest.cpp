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

// Little-endian fields, as RIFF and the WAVE format chunk hold them.
std::string le(uint64_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out += char((value >> (8 * i)) & 0xff);
  return out;
}

// A 16-bit PCM WAVE file's bytes, as any header may state it: frames of a
// sine of half scale at a quarter of the rate in every channel.
std::string waveBytes(uint32_t rate, uint32_t channels, uint32_t frames) {
  std::string data;
  data.reserve(size_t(frames) * channels * 2);
  for (uint32_t i = 0; i < frames; ++i) {
    const auto sample = int16_t(std::lround(16384 * std::sin(M_PI / 2 * double(i))));
    for (uint32_t c = 0; c < channels; ++c) data += le(uint16_t(sample), 2);
  }
  const std::string format = le(1, 2) + le(channels, 2) + le(rate, 4) + le(uint64_t(rate) * channels * 2, 4) +
                             le(channels * 2, 2) + le(16, 2);
  const std::string body = "WAVEfmt " + le(format.size(), 4) + format + "data" + le(data.size(), 4) + data;
  return "RIFF" + le(body.size(), 4) + body;
}

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

// ---------------------------------------------------------------- sampling rates

TEST(AnalyzeFileErrors, ARateTooLowForTheRbwIsRefusedWithTheLowestItTakes) {
  Rig rig;
  struct Case {
    uint32_t rate;
    const char* rbw;
    const char* lowest;  // empty: analysed
  };
  // The band holds the 10 Hz narrowest span and the RBW twice over.
  const Case cases[] = {
      {1, "10", "40"},  {39, "10", "40"},     {40, "10", ""},     {19, "1", "20"},
      {20, "1", ""},    {126, "31.6", "127"}, {3999, "1000", "4000"}, {4000, "1000", ""},
  };
  for (const Case& c : cases) {
    const std::string name = std::to_string(c.rate) + "Hz.wav";
    SCOPED_TRACE(name + " at RBW " + c.rbw);
    const std::string wave = rig.folder.write(name, waveBytes(c.rate, 1, 40000));
    const std::string csvPath = rig.folder.file(name + ".csv");
    const Result run = rig.run({"analyze", std::string("--rbw=") + c.rbw, "--csv=" + csvPath, wave});
    ASSERT_FALSE(run.timedOut);
    if (*c.lowest) {
      EXPECT_EQ(run.status, 1);
      EXPECT_EQ(run.err, "specan: " + wave + ": a sampling rate of " + std::to_string(c.rate) +
                             " Hz is below the lowest SpecAn analyses at RBW " + c.rbw + " Hz (" + c.lowest +
                             " Hz)\n");
      EXPECT_EQ(run.out, "");
      EXPECT_FALSE(std::filesystem::exists(csvPath)) << "a CSV of a rate that was refused";
      continue;
    }
    // At the lowest rate the span is the whole band from 0 Hz, and the
    // sine at a quarter of the rate is the peak.
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const Csv csv = parseCsv(testsupport::TempFolder::read(csvPath));
    char span[64];
    std::snprintf(span, sizeof span, "0.0 to %.1f", c.rate / 2.0);
    EXPECT_EQ(csv.header.at("span (Hz)"), span);
    const std::vector<Summary> summary = parseSummaries(run.out);
    ASSERT_EQ(summary.size(), 1u) << run.out;
    EXPECT_NEAR(summary[0].frequency, c.rate / 4.0, c.rate / 40.0);
    EXPECT_NEAR(summary[0].level, -9.03, 0.5);
  }
}
