// `specan analyze` on files it cannot analyse, or can only analyse with the
// libraries' help: what it says and what it does, through the real
// executable. The odd files are written byte by byte here, as a damaged or
// unusual file reaches a user.

#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "support/TempFolder.h"
#include "support/WaveFile.h"
#include "app/SpecanRun.h"

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
    const std::string wave = rig.folder.write(name, testsupport::waveBytes(c.rate, 1, 40000));
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

TEST(AnalyzeFileErrors, ChannelCountsAndRatesBeyondWhatFilesAreReadWithAreSaidWithTheLimit) {
  Rig rig;
  struct Case {
    uint32_t rate, channels;
    const char* cause;
  };
  const Case refused[] = {
      {48000, 65, "has 65 channels, more than the 64 SpecAn reads"},
      {48000, 128, "has 128 channels, more than the 64 SpecAn reads"},
      {48000, 256, "has 256 channels, more than the 64 SpecAn reads"},
      {2147483647, 1, "a sampling rate of 2147483647 Hz is above the highest SpecAn reads (10000000 Hz)"},
      {10000001, 1, "a sampling rate of 10000001 Hz is above the highest SpecAn reads (10000000 Hz)"},
  };
  for (const Case& c : refused) {
    const std::string wave = rig.folder.write("refused.wav", testsupport::waveBytes(c.rate, c.channels, 1000));
    SCOPED_TRACE(c.cause);
    const Result run = rig.run({"analyze", wave});
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "specan: " + wave + ": " + c.cause + "\n");
    EXPECT_EQ(run.out, "");
  }
  // The limits themselves are read: the last of 64 channels, and 10 MHz.
  auto peakOf = [&](const std::vector<std::string>& args) {
    const Result run = rig.run(args);
    EXPECT_EQ(run.status, 0) << run.err;
    const std::vector<Summary> peaks = parseSummaries(run.out);
    EXPECT_EQ(peaks.size(), 1u) << run.out;
    return peaks.empty() ? Summary{} : peaks[0];
  };
  const Summary last =
      peakOf({"analyze", "--channel=64", rig.folder.write("64.wav", testsupport::waveBytes(48000, 64, 40000))});
  EXPECT_EQ(last.channels, 64);
  EXPECT_NEAR(last.frequency, 12000, 1);
  const Summary highest =
      peakOf({"analyze", "--rbw=1000", rig.folder.write("10MHz.wav", testsupport::waveBytes(10000000, 1, 100000))});
  EXPECT_EQ(highest.rate, 10000000);
  EXPECT_NEAR(highest.frequency, 2500000, 1000);
}

// ---------------------------------------------------------------- what the libraries need help with

TEST(AnalyzeFileErrors, ACafWhoseDataChunkRunsToTheEndOfTheFileIsReadWhole) {
  Rig rig;
  // -1 in the last chunk's size: the data runs to the end of the file.
  const std::string open = rig.folder.write("open-ended.caf", testsupport::cafBytes(48000, 48000, -1));
  const std::string sized = rig.folder.write("sized.caf", testsupport::cafBytes(48000, 48000));
  const Result run = rig.run({"analyze", open, sized});
  ASSERT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  const std::vector<Summary> summary = parseSummaries(run.out);
  ASSERT_EQ(summary.size(), 2u) << run.out;
  EXPECT_EQ(summary[0].file, open);
  EXPECT_EQ(summary[0].rate, 48000);
  EXPECT_EQ(summary[0].seconds, 1.0) << "every frame to the end, no more";
  EXPECT_NEAR(summary[0].frequency, 12000, 1);
  EXPECT_NEAR(summary[0].level, -9.03, 0.3);
  // The same samples with the size stated read the same.
  EXPECT_EQ(summary[1].seconds, summary[0].seconds);
  EXPECT_EQ(summary[1].frequency, summary[0].frequency);
  EXPECT_EQ(summary[1].level, summary[0].level);
}

namespace {

// An MP3 file of 2 s of a 1 kHz sine at half scale, 44.1 kHz mono, encoded
// by libsndfile (through LAME): the stream opens with a LAME header that
// states its length.
std::string mp3Tone(const testsupport::TempFolder& folder) {
  const std::string path = folder.file("encoded.mp3");
  SF_INFO info{};
  info.samplerate = 44100;
  info.channels = 1;
  info.format = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  EXPECT_NE(file, nullptr) << sf_strerror(nullptr);
  if (!file) return {};
  std::vector<float> tone(2 * 44100);
  for (std::size_t i = 0; i < tone.size(); ++i) tone[i] = float(0.5 * std::sin(2 * M_PI * 1000 * double(i) / 44100));
  EXPECT_EQ(sf_writef_float(file, tone.data(), sf_count_t(tone.size())), sf_count_t(tone.size()));
  sf_close(file);
  return testsupport::TempFolder::read(path);
}

}  // namespace

TEST(AnalyzeFileErrors, TheMp3DecodersNotesNeverReachStandardErrorOnlyWhatTheCommandSays) {
  Rig rig;
  const std::string tone = mp3Tone(rig.folder);
  ASSERT_GT(tone.size(), 8000u);
  ASSERT_EQ(tone.compare(0, 2, "\xff\xfb"), 0) << "an MPEG-1 layer III frame first";
  // Junk with a header that is none between two frames, where a copy
  // damaged in transit has it: the decoder skips it (and would say so).
  const std::size_t frame = tone.find("\xff\xfb", 3000);
  ASSERT_NE(frame, std::string::npos);
  std::string junk = tone;
  junk.insert(frame, std::string("\xff\xfb\x00\x00", 4) + "junk junk junk");
  // An ID3v2 tag of 20 bytes, then 74 bytes that are no frame, ahead of the stream.
  const std::string tag = std::string("ID3\x03\x00\x00\x00\x00\x00\x14", 10) + std::string(20, '\0');
  std::string noise(74, '\0');
  for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = char(0x12 + 0x22 * (i % 2));
  const std::string tagged = tag + noise + tone;

  for (const auto& [name, bytes] : {std::pair{"junk inside.mp3", junk}, std::pair{"tagged.mp3", tagged}}) {
    SCOPED_TRACE(name);
    const std::string path = rig.folder.write(name, bytes);
    const Result run = rig.run({"analyze", path});
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "") << "a file read well is read in silence";
    const std::vector<Summary> summary = parseSummaries(run.out);
    ASSERT_EQ(summary.size(), 1u) << run.out;
    EXPECT_EQ(summary[0].rate, 44100);
    EXPECT_NEAR(summary[0].seconds, 2.0, 0.0005);
    EXPECT_NEAR(summary[0].frequency, 1000, 0.05);
    // Every sample weighs the same in a file's mean: the frames after the
    // junk, whose bit reservoir it broke, lower the level by a few tenths.
    EXPECT_NEAR(summary[0].level, -9.03, name == std::string("tagged.mp3") ? 0.1 : 1.0);
  }

  // Files that fail say so once, in the command's words, with their name.
  std::string garbage(5000, '\0');
  for (std::size_t i = 0; i < garbage.size(); ++i) garbage[i] = char((i * 2654435761u) >> 13);
  struct Failure {
    const char* name;
    std::string bytes;
    const char* cause;
  };
  const Failure failures[] = {
      {"cut short.mp3", tone.substr(0, tone.size() / 2), "truncated: it ends before the 2.000 s its header states"},
      {"noise.mp3", garbage, "damaged or truncated sound file"},
      {"first frame then noise.mp3", tone.substr(0, 10) + garbage, "damaged or truncated sound file"},
  };
  for (const Failure& f : failures) {
    SCOPED_TRACE(f.name);
    const std::string path = rig.folder.write(f.name, f.bytes);
    const Result run = rig.run({"analyze", path});
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "specan: " + path + ": " + f.cause + "\n");
  }
}
