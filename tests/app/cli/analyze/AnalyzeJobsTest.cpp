// specan analyze -j N: files analysed several at a time in processes of
// their own give the output of one at a time, byte for byte and in the order
// of the files, with the same exit status; --recursive takes a folder's
// sound files in the order of their paths.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/SpecanRun.h"
#include "support/TempFolder.h"
#include "support/WaveFile.h"

namespace {

constexpr double kRate = 48000;

// A sine of hz at half of full scale, seconds long.
void writeTone(const std::string& path, double hz, double seconds) {
  std::vector<float> sine(static_cast<std::size_t>(seconds * kRate));
  for (std::size_t n = 0; n < sine.size(); ++n) sine[n] = float(0.5 * std::sin(2 * M_PI * hz * double(n) / kRate));
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  testsupport::writeWave(path, {sine}, kRate);
}

std::vector<std::string> namesOnLines(const std::string& text) {
  std::vector<std::string> names;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) names.push_back(line.substr(0, line.find(": ")));
  return names;
}

TEST(AnalyzeJobs, FourAtATimeWriteByteForByteWhatOneAtATimeWritesInTheOrderOfTheFiles) {
  testsupport::TempFolder folder;
  const testsupport::TempFolder settings;
  // The first file is the longest, so it is done last of the first four.
  std::vector<std::string> files;
  const double tones[] = {1000, 440, 0, 2000, 3000, 5000, 7000};
  for (std::size_t i = 0; i < std::size(tones); ++i) {
    files.push_back(folder.file("take" + std::to_string(i) + ".wav"));
    if (tones[i] == 0) {
      std::ofstream(files.back()) << "not a sound file";
    } else {
      writeTone(files.back(), tones[i], i == 0 ? 8.0 : 1.0);
    }
  }
  std::vector<Result> runs;
  for (const char* jobs : {"1", "4"}) {
    std::vector<std::string> args{"analyze", "-j", jobs, "--csv=" + folder.file(std::string("csv") + jobs + "/")};
    args.insert(args.end(), files.begin(), files.end());
    runs.push_back(specan(args, settings.file("config"), folder));
  }
  std::vector<std::string> analysed = files;
  analysed.erase(analysed.begin() + 2);
  EXPECT_EQ(namesOnLines(runs[0].out), analysed);
  EXPECT_EQ(runs[0].err, "specan: " + files[2] + ": not a sound file (not a format SpecAn reads)\n");
  for (const Result& run : runs) EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(runs[1].out, runs[0].out);
  EXPECT_EQ(runs[1].err, runs[0].err);
  for (const std::string& file : analysed) {
    const std::string name = std::filesystem::path(file).stem().string() + ".csv";
    const std::string one = testsupport::TempFolder::read(folder.file("csv1/" + name));
    EXPECT_FALSE(one.empty()) << name;
    EXPECT_EQ(testsupport::TempFolder::read(folder.file("csv4/" + name)), one) << name;
  }
}

TEST(AnalyzeJobs, RecursiveTakesTheSoundFilesUnderAFolderInTheOrderOfTheirPaths) {
  testsupport::TempFolder folder;
  const testsupport::TempFolder settings;
  const std::string root = folder.file("takes");
  writeTone(root + "/b/1.wav", 1000, 1);
  writeTone(root + "/a.WAV", 440, 1);
  writeTone(root + "/b/0.wav", 2000, 1);
  std::ofstream(root + "/b/notes.txt") << "not a sound file";
  const Result run = specan({"analyze", "--recursive", "-j2", root}, settings.file("config"), folder);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(namesOnLines(run.out),
            (std::vector<std::string>{root + "/a.WAV", root + "/b/0.wav", root + "/b/1.wav"}));
  // Without --recursive a folder is no sound file; a count of 0 is a mistake.
  EXPECT_EQ(specan({"analyze", root}, settings.file("config"), folder).status, 1);
  for (const char* jobs : {"--jobs=0", "-jx", "-j"})
    EXPECT_EQ(specan({"analyze", jobs, root + "/a.WAV"}, settings.file("config"), folder).status, 2) << jobs;
}

}  // namespace
