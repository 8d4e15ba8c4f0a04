// `specan analyze` as a script runs it: the real executable, without a
// display (no QT_QPA_PLATFORM, no DISPLAY), on WAVE files made here.
//
// The test signal: a stereo 48 kHz file of 10 s, 16-bit. Channel 1 holds a
// sine of peak amplitude 0.5 on bin 341 of the 16384-point FFT that RBW
// 10 Hz takes (999.0234375 Hz), so no window loss applies: it reads its
// mean-square, 10·log10(0.5²/2) = -9.031 dB. Channel 2 holds white Gaussian
// noise of RMS 0.1.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "audio/AFSoundfile.h"
#include "dsp/Spectrum.h"
#include "support/TempFolder.h"
#include "support/WaveFile.h"
#include "app/SpecanRun.h"

namespace fs = std::filesystem;

namespace {

constexpr double kRate = 48000;
constexpr double kSeconds = 10;
constexpr double kSineAmplitude = 0.5;
constexpr double kSineFrequency = 341 * kRate / 16384;  // bin 341 at RBW 10 Hz
constexpr double kNoiseRms = 0.1;
const double kSineLevel = 10 * std::log10(kSineAmplitude * kSineAmplitude / 2);

// A 16-bit WAVE file of the channels, through the sound-file layer.
void writeWave(const std::string& path, const std::vector<std::vector<float>>& channels) {
  std::unique_ptr<AFSoundfile> file = AFSoundfile::initAsOutput();
  ASSERT_EQ(file->createURLTypeSamplingRateChannelsOverWrite(path, AFSoundfile::kTypeWAVE, float(kRate),
                                                             int32_t(channels.size()), true),
            0);
  std::vector<float*> buffers;
  for (const std::vector<float>& c : channels) buffers.push_back(const_cast<float*>(c.data()));
  ASSERT_EQ(file->putBuffers(buffers.data(), int32_t(buffers.size()), int32_t(channels[0].size())), 0);
  file->close();
}

// The test signal; noiseVariance gets the variance of channel 2 as written
// (rounded to 16 bits, as the file holds it).
std::string makeTestSignal(const testsupport::TempFolder& folder, const std::string& name, double* noiseVariance,
                           double sineFrequency = kSineFrequency) {
  const auto n = static_cast<std::size_t>(kRate * kSeconds);
  std::vector<float> sine(n), noise(n);
  std::mt19937 random(20260131);
  std::normal_distribution<double> gauss(0.0, kNoiseRms);
  double squares = 0;
  for (std::size_t i = 0; i < n; ++i) {
    sine[i] = float(kSineAmplitude * std::sin(2 * M_PI * sineFrequency * double(i) / kRate));
    noise[i] = float(gauss(random));
    const double held = std::round(double(noise[i]) * 32768.0) / 32768.0;
    squares += held * held;
  }
  if (noiseVariance) *noiseVariance = squares / double(n);
  const std::string path = folder.file(name);
  writeWave(path, {sine, noise});
  return path;
}

// Everything in a folder, with its bytes.
std::map<std::string, std::string> contents(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder))
    files[entry.path().string()] = entry.is_regular_file() ? testsupport::TempFolder::read(entry.path().string()) : "";
  return files;
}

// A settings folder holding a settings file of the window's, which no run
// of the command may read aside, rewrite or add to.
struct UserSettings {
  testsupport::TempFolder folder;
  std::map<std::string, std::string> before;
  UserSettings() {
    folder.write("org.specan.SpecAn.plist",
                 "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
                 "\t<key>Log Bandwidth</key>\n\t<integer>20</integer>\n"
                 "\t<key>Span (lower)</key>\n\t<string>100</string>\n"
                 "\t<key>Span (upper)</key>\n\t<string>200</string>\n</dict>\n</plist>\n");
    before = contents(path());
  }
  std::string path() const { return fs::path(folder.file("x")).parent_path().string(); }
  void expectUntouched() const { EXPECT_EQ(contents(path()), before) << "the user's settings folder changed"; }
};

// Width and height of a PNG file, from its IHDR chunk.
bool pngSize(const std::string& bytes, uint32_t& width, uint32_t& height) {
  if (bytes.size() < 24 || bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 || bytes.compare(12, 4, "IHDR") != 0)
    return false;
  auto be32 = [&](std::size_t at) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | static_cast<unsigned char>(bytes[at + std::size_t(i)]);
    return v;
  };
  width = be32(16);
  height = be32(20);
  return true;
}

std::size_t lineCount(const std::string& text) { return std::size_t(std::count(text.begin(), text.end(), '\n')); }

// A mono float file of the test signal's sine, some of its samples replaced.
std::string floatSine(const testsupport::TempFolder& folder, const std::string& name,
                      const std::map<std::size_t, float>& replaced = {}, double seconds = kSeconds) {
  std::vector<float> sine(static_cast<std::size_t>(kRate * seconds));
  for (std::size_t i = 0; i < sine.size(); ++i)
    sine[i] = float(kSineAmplitude * std::sin(2 * M_PI * kSineFrequency * double(i) / kRate));
  for (const auto& [at, value] : replaced) sine[at] = value;
  testsupport::writeWave(folder.file(name), {sine}, kRate, true);
  return folder.file(name);
}

}  // namespace

TEST(AnalyzeCommand, ReadsTheSinesLevelAndTheNoiseDensityOfAFile) {
  testsupport::TempFolder folder;
  UserSettings settings;
  double noiseVariance = 0;
  const std::string wave = makeTestSignal(folder, "tone and noise.wav", &noiseVariance);

  // Channel 1: the summary line and the CSV read the sine's mean-square
  // (the window's gain is normalised away; 0.05 dB holds it to that).
  const Result sine = specan({"analyze", "--csv=" + folder.file("sine.csv"), wave}, settings.path(), folder);
  ASSERT_EQ(sine.status, 0) << sine.err;
  EXPECT_EQ(sine.err, "");
  const std::vector<Summary> summary = parseSummaries(sine.out);
  ASSERT_EQ(summary.size(), 1u) << sine.out;
  EXPECT_EQ(summary[0].file, wave);
  EXPECT_EQ(summary[0].rate, kRate);
  EXPECT_NEAR(summary[0].seconds, kSeconds, 0.0005);
  EXPECT_EQ(summary[0].channels, 2);
  EXPECT_NEAR(summary[0].frequency, kSineFrequency, 0.001);
  EXPECT_NEAR(summary[0].level, kSineLevel, 0.05);

  Csv csv = parseCsv(testsupport::TempFolder::read(folder.file("sine.csv")));
  EXPECT_EQ(csv.header["resolution bandwidth (Hz)"], "10.0000");
  EXPECT_EQ(csv.header["window"], "Gaussian");
  EXPECT_EQ(csv.header["span (Hz)"], "0.0 to 24000.0");
  ASSERT_EQ(csv.rows.size(), 8192u) << "every bin of the trace, from 0 Hz up";
  const CsvRow& sineRow = csv.rows[341];
  EXPECT_NEAR(sineRow.frequency, kSineFrequency, 0.001);
  EXPECT_NEAR(sineRow.level, kSineLevel, 0.05);
  // The trace is the running mean of every spectrum: a window every 1489
  // samples (the even hop of the Gaussian's 16384-point frame), the first
  // from the first sample, the last the last whole one in 937 whole blocks:
  // (479744 - 16384) / 1489 + 1, 312 in all.
  EXPECT_EQ(csv.header["averaged traces"], "312");

  // Channel 2 on standard output, over a span: white noise of variance σ²
  // reads σ²·ENBW/(fs/2) in every bin. The engine's window sums to
  // N/(2√2), so bin power / bins² = 16|X|²/N² with E|X|² = σ²·Σw², which is
  // 2σ²·Σw²/(Σw)² = σ²·(fs·Σw²/(Σw)²)/(fs/2); fs·Σw²/(Σw)² is the
  // window's equivalent noise bandwidth, which the engine sizes to the RBW.
  const Result noise =
      specan({"analyze", "--channel=2", "--span=1000:20000", "--csv=-", wave}, settings.path(), folder);
  ASSERT_EQ(noise.status, 0) << noise.err;
  Csv noiseCsv = parseCsv(noise.out);
  ASSERT_GT(noiseCsv.rows.size(), 6000u);
  EXPECT_GE(noiseCsv.rows.front().frequency, 1000.0);
  EXPECT_LE(noiseCsv.rows.back().frequency, 20000.0);
  EXPECT_EQ(noiseCsv.header["span (Hz)"], "1000.0 to 20000.0");
  Spectrum engine(10.0f, float(kRate), WindowShape::Gaussian);
  const double expected = 10 * std::log10(noiseVariance * engine.noiseBandwidth() / (kRate / 2));
  double power = 0;
  for (const CsvRow& row : noiseCsv.rows) power += std::pow(10.0, row.level / 10);
  const double measured = 10 * std::log10(power / double(noiseCsv.rows.size()));
  EXPECT_NEAR(measured, expected, 0.3) << "ENBW " << engine.noiseBandwidth() << " Hz";

  settings.expectUntouched();
}

TEST(AnalyzeCommand, ABadFileIsReportedAndTheOthersAreStillAnalysed) {
  testsupport::TempFolder folder;
  UserSettings settings;
  const std::string good = makeTestSignal(folder, "good.wav", nullptr);
  const std::string whole = testsupport::TempFolder::read(good);
  const std::string truncated = folder.write("truncated.wav", whole.substr(0, 30));  // cut inside its header
  const std::string text = folder.write("notes.wav", "These are notes, not a sound file.\n");
  const std::string missing = folder.file("missing.wav");
  fs::create_directory(folder.file("folder.wav"));
  const std::string out = folder.file("out") + "/";

  const Result run = specan({"analyze", "--csv=" + out, "--png=" + out, missing, truncated, good, text,
                          folder.file("folder.wav"), "--channel=2"},
                         settings.path(), folder);
  EXPECT_EQ(run.status, 1);
  // One line per bad file, in the order given, each naming it and the cause.
  std::vector<std::string> said;
  for (std::istringstream lines(run.err); std::getline(lines, said.emplace_back());) {
  }
  said.pop_back();
  ASSERT_EQ(said.size(), 4u) << run.err;
  EXPECT_EQ(said[0], "specan: " + missing + ": no such file");
  EXPECT_EQ(said[1].rfind("specan: " + truncated + ": ", 0), 0u) << said[1];
  EXPECT_NE(said[1].find("truncated", said[1].find(": ")), std::string::npos) << said[1];
  EXPECT_EQ(said[2], "specan: " + text + ": not a sound file (not a format SpecAn reads)");
  EXPECT_EQ(said[3], "specan: " + folder.file("folder.wav") + ": is a folder, not a sound file");
  const std::vector<Summary> summary = parseSummaries(run.out);
  ASSERT_EQ(summary.size(), 1u) << run.out;
  EXPECT_EQ(summary[0].file, good);
  // Only the good file's outputs, and nothing half-written beside them.
  std::vector<std::string> written;
  for (const auto& entry : fs::directory_iterator(out)) written.push_back(entry.path().filename().string());
  std::sort(written.begin(), written.end());
  EXPECT_EQ(written, (std::vector<std::string>{"good.csv", "good.png"}));

  // A file the user may not read (root may read anything).
  if (::geteuid() != 0) {
    const std::string locked = folder.write("locked.wav", whole);
    ::chmod(locked.c_str(), 0);
    const Result run = specan({"analyze", locked, good}, settings.path(), folder);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "specan: " + locked + ": cannot be read: Permission denied\n");
    EXPECT_EQ(parseSummaries(run.out).size(), 1u);
  }

  // A channel the file lacks is the file's failure, not the options'.
  const Result third = specan({"analyze", "--channel=3", good}, settings.path(), folder);
  EXPECT_EQ(third.status, 1);
  EXPECT_EQ(third.err, "specan: " + good + ": has 2 channels, no channel 3\n");
  EXPECT_EQ(third.out, "");
  const Result late = specan({"analyze", "--from=12", good}, settings.path(), folder);
  EXPECT_EQ(late.status, 1);
  EXPECT_EQ(late.err, "specan: " + good + ": starts at 12 s, not before the end of the file (10.000 s)\n");

  settings.expectUntouched();
}

TEST(AnalyzeCommand, AMistakeInTheOptionsEndsWithStatusTwoAndNoOutput) {
  testsupport::TempFolder folder;
  UserSettings settings;
  const std::string good = makeTestSignal(folder, "good.wav", nullptr);
  const std::string csv = folder.file("out.csv"), png = folder.file("out.png");
  const std::vector<std::vector<std::string>> mistakes = {
      {"--rbw=7", good},
      {"--window=kaiser", good},
      {"--detector=loudest", good},
      {"--span=5000:1000", good},
      {"--span=-5:1000", good},
      {"--channel=0", good},
      {"--averages=0.5", good},
      {"--from=5", "--to=2", good},
      {"--png=" + png, "--size=50x500", good},
      {"--size=800x500", good},
      {"--loud", good},
      {"--csv=" + csv},
      {"--csv=" + csv, good, good},
      {"--csv=-", good, good},
      {"--png=" + folder.file("out") + "/", good, folder.file("elsewhere") + "/good.wav"},
  };
  for (const std::vector<std::string>& options : mistakes) {
    std::vector<std::string> args{"analyze"};
    args.insert(args.end(), options.begin(), options.end());
    const Result run = specan(args, settings.path(), folder);
    const std::string said = options.front();
    EXPECT_EQ(run.status, 2) << said;
    EXPECT_EQ(run.out, "") << said;
    EXPECT_EQ(lineCount(run.err), 1u) << said << ": " << run.err;
    EXPECT_EQ(run.err.rfind("specan: ", 0), 0u) << run.err;
  }
  EXPECT_FALSE(fs::exists(csv));
  EXPECT_FALSE(fs::exists(png));
  EXPECT_FALSE(fs::exists(folder.file("out")));
  // The line names what was wrong.
  EXPECT_EQ(specan({"analyze", "--rbw=7", good}, settings.path(), folder).err,
            "specan: --rbw=7: the RBW is one of 1, 3.16, 10, 31.6, 100, 316 and 1000 Hz\n");
  settings.expectUntouched();
}

TEST(AnalyzeCommand, WritesThePlotImageOfTheSizeAskedForWithoutADisplay) {
  testsupport::TempFolder folder;
  UserSettings settings;
  // A sine between two bins of every RBW's grid.
  const double between = 1000.7;
  const std::string wave = makeTestSignal(folder, "tone.wav", nullptr, between);
  const std::string png = folder.file("plot.png");
  const Result run = specan({"analyze", "--png=" + png, "--size=640x360", "--rbw=100", "--window=hann",
                          "--detector=peak", wave},
                         settings.path(), folder);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  uint32_t width = 0, height = 0;
  ASSERT_TRUE(pngSize(testsupport::TempFolder::read(png), width, height));
  EXPECT_EQ(width, 640u);
  EXPECT_EQ(height, 360u);
  // At RBW 100 Hz the sine lies between bins; the summary still reads its
  // frequency and level, through the window's shape.
  const std::vector<Summary> summary = parseSummaries(run.out);
  ASSERT_EQ(summary.size(), 1u);
  EXPECT_NEAR(summary[0].frequency, between, 0.1);
  EXPECT_NEAR(summary[0].level, kSineLevel, 0.05);
  settings.expectUntouched();
}

TEST(AnalyzeCommand, NonFiniteSamplesAreCountedAndAnalysedAsSilenceAndFailAFileUnlessNegligible) {
  testsupport::TempFolder folder;
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  const std::string clean = floatSine(folder, "clean.wav");
  // What a device or a plug-in that blew up leaves: NaN, both infinities,
  // and a sample too large for the spectrum's floats.
  const std::string damaged =
      floatSine(folder, "damaged.wav", {{100000, nan}, {200000, inf}, {300000, -inf}, {400000, 1e30f}});
  // Silence, nine samples in ten of its 937 whole blocks NaN.
  std::vector<float> silence(std::size_t(kRate * kSeconds), 0.0f);
  std::size_t spoilt = 0;
  for (std::size_t i = 0; i < silence.size(); ++i)
    if (i % 10 != 0) {
      silence[i] = nan;
      spoilt += i < 937 * 512;
    }
  const std::string mostly = folder.file("mostly.wav");
  testsupport::writeWave(mostly, {silence}, kRate, true);
  const std::string config = folder.file("config"), out = folder.file("out") + "/";

  const Result reference = specan({"analyze", "--csv=" + out, clean}, config, folder);
  const Result run = specan({"analyze", "--csv=" + out, damaged, mostly}, config, folder);
  // Four in 479744 samples is more than one in a million: both files fail,
  // and are analysed all the same.
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "specan: " + damaged + ": 4 non-finite samples\nspecan: " + mostly + ": " +
                         std::to_string(spoilt) + " non-finite samples\n");
  const std::vector<Summary> expected = parseSummaries(reference.out), summary = parseSummaries(run.out);
  ASSERT_EQ(summary.size(), 1u) << run.out;
  EXPECT_NEAR(summary[0].level, expected[0].level, 0.05);
  const std::string damagedCsv = testsupport::TempFolder::read(out + "damaged.csv");
  EXPECT_EQ(damagedCsv.find("inf"), std::string::npos);
  EXPECT_EQ(damagedCsv.find("nan"), std::string::npos);
  const Csv cleanCsv = parseCsv(testsupport::TempFolder::read(out + "clean.csv"));
  EXPECT_NEAR(parseCsv(damagedCsv).rows[341].level, cleanCsv.rows[341].level, 0.05);
  // The silence reads silent, and the CSV has bins without power.
  EXPECT_NE(run.out.find(mostly + ": 48000 Hz, 10.000 s, 1 ch, silent\n"), std::string::npos);
  for (const CsvRow& row : parseCsv(testsupport::TempFolder::read(out + "mostly.csv")).rows)
    ASSERT_EQ(row.level, -std::numeric_limits<double>::infinity()) << row.frequency;

  // One in more than a million is negligible: counted, and the file passes.
  const std::string negligible = floatSine(folder, "negligible.wav", {{500000, nan}}, 22);
  const Result pass = specan({"analyze", negligible}, config, folder);
  EXPECT_EQ(pass.status, 0);
  EXPECT_EQ(pass.err, "specan: " + negligible + ": 1 non-finite sample\n");
}

TEST(AnalyzeCommand, TheHelpDescribesTheCommandAndEveryOption) {
  testsupport::TempFolder folder;
  const Result top = specan({"--help"}, folder.file("config"), folder);
  EXPECT_EQ(top.status, 0);
  EXPECT_NE(top.out.find("specan analyze"), std::string::npos);
  const Result help = specan({"analyze", "--help"}, folder.file("config"), folder);
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  for (const char* option : {"--rbw=", "--window=", "--detector=", "--span=", "--channel=", "--averages=", "--from=",
                             "--to=", "--csv=", "--png=", "--size=", "--help", "Exit status"})
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
}
