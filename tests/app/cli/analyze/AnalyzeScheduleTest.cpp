// How `specan analyze` lays its spectra over a file, through the real
// executable on WAVE files made here: every sample away from the file's ends
// weighs alike in the trace, whatever the window and the RBW, so a short
// event reads its energy spread over the length the summary says was
// analysed; and a file is long enough exactly when it holds one window of
// the RBW in whole blocks.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "dsp/Spectrum.h"
#include "dsp/WindowShape.h"
#include "support/TempFolder.h"
#include "support/WaveFile.h"
#include "app/SpecanRun.h"

namespace {

constexpr int kBlock = 512;

// The RBW of an --rbw value as the controller takes it: its menu tag is ten
// times its log10, and the RBW ten to a tenth of the tag.
float rbwOfOption(double value) {
  return float(std::pow(10.0, std::round(10 * std::log10(value)) * 0.1));
}

// "…, averaged over SECONDS s" at the end of a summary line: the length of
// signal the trace's mean stands for. Negative without it.
double averagedSeconds(const std::string& out) {
  const std::size_t at = out.find(", averaged over ");
  double seconds = -1;
  if (at != std::string::npos) std::sscanf(out.c_str() + at, ", averaged over %lf s", &seconds);
  return seconds;
}

// The power of a band of a trace: the sum of its bins' mean-square levels,
// each a window's noise bandwidth wide, over the bins the band holds.
double bandPower(const Csv& csv, double low, double high, double noiseBandwidth) {
  const double binWidth = csv.rows.at(1).frequency - csv.rows.at(0).frequency;
  double power = 0;
  for (const CsvRow& row : csv.rows)
    if (row.frequency >= low && row.frequency <= high) power += std::pow(10.0, row.level / 10);
  return power * binWidth / noiseBandwidth;
}

}  // namespace

// A 30 ms burst of a 3 kHz sine of peak amplitude 0.5 in 2 s of silence at
// 48 kHz. Its spectrum is some 33 Hz wide, wider than RBW 10 Hz, so no
// single bin holds its power: the band around it, each bin counted as its
// share of the window's noise bandwidth, holds its energy (more than 99.6 %
// of it lies within 2 kHz of the tone). That band's power must be the
// burst's energy over the length the summary says the mean stands for,
// wherever the burst lies away from the ends: before the windows overlapped
// evenly it read up to 8 dB high or not at all, by where the window grid
// happened to fall. The length itself lies between the file's length less
// one window and a block, and the file's length less one window plus half a
// window (the whole windows from the first sample fit; no hop is longer than
// half a window).
TEST(AnalyzeSchedule, AShortBurstReadsItsEnergyOverTheLengthAnalysedForEveryWindowAndRbw) {
  testsupport::TempFolder folder;
  constexpr double rate = 48000;
  const auto frames = std::size_t(2 * rate), burst = std::size_t(0.030 * rate);
  for (const double start : {0.8, 1.1337}) {
    std::vector<float> samples(frames, 0.0f);
    double energy = 0;
    const auto first = std::size_t(start * rate);
    for (std::size_t i = 0; i < burst; ++i) {
      samples[first + i] = float(0.5 * std::sin(2 * M_PI * 3000 * double(i) / rate));
      energy += double(samples[first + i]) * double(samples[first + i]);
    }
    const std::string wave = folder.file("burst.wav");
    testsupport::writeWave(wave, {samples}, rate, true);

    for (const double rbw : {10.0, 100.0}) {
      for (const WindowShape shape :
           {WindowShape::Gaussian, WindowShape::Hann, WindowShape::Blackman, WindowShape::FlatTop}) {
        const std::string name = std::string(windowShapeName(shape)) + " at RBW " + std::to_string(int(rbw)) +
                                 " Hz, the burst at " + std::to_string(start) + " s";
        const std::string csvPath = folder.file("burst.csv");
        const Result run = specan({"analyze", "--rbw=" + std::to_string(int(rbw)),
                                   std::string("--window=") + windowShapeName(shape), "--csv=" + csvPath, wave},
                                  folder.file("config"), folder);
        ASSERT_EQ(run.status, 0) << name << ": " << run.err;
        ASSERT_EQ(parseSummaries(run.out).size(), 1u) << run.out;
        const double seconds = averagedSeconds(run.out);
        const Spectrum engine(rbwOfOption(rbw), float(rate), shape);
        const double window = engine.windowedBins();
        EXPECT_GE(seconds * rate, double(frames) - window - kBlock) << name << ": " << run.out;
        EXPECT_LE(seconds * rate, double(frames) - window / 2) << name << ": " << run.out;

        const Csv csv = parseCsv(testsupport::TempFolder::read(csvPath));
        ASSERT_GT(csv.rows.size(), 2u) << name;
        const double read = 10 * std::log10(bandPower(csv, 1000, 5000, engine.noiseBandwidth()));
        const double expected = 10 * std::log10(energy / (seconds * rate));
        EXPECT_NEAR(read, expected, 0.1) << name << " (" << seconds << " s averaged)";
      }
    }
  }
}

// A window of the RBW takes Spectrum::windowedBins() samples, and the file
// is read in whole blocks of 512: the shortest file analysed holds that many
// samples rounded up to a block. It gives one spectrum; one sample less is
// refused, the message saying the file's length and the length needed. Once
// the least was 24,064 samples at every RBW: a 0.5 s file was refused at
// RBW 1000 Hz and a 2.9 s file at 8 kHz at every RBW.
TEST(AnalyzeSchedule, AFileOfOneWindowIsAnalysedAndOneSampleShorterIsRefusedForItsLength) {
  testsupport::TempFolder folder;
  struct Case {
    double rate;
    WindowShape shape;
  };
  for (const Case& c : {Case{48000, WindowShape::Gaussian}, Case{48000, WindowShape::FlatTop},
                        Case{8000, WindowShape::Gaussian}}) {
    for (const char* rbw : {"1", "3.16", "10", "31.6", "100", "316", "1000"}) {
      const Spectrum engine(rbwOfOption(std::stod(rbw)), float(c.rate), c.shape);
      const std::size_t window = std::size_t(engine.windowedBins());
      const std::size_t least = (window + kBlock - 1) / kBlock * kBlock;
      const std::string name = std::string(windowShapeName(c.shape)) + " at RBW " + rbw + " Hz, " +
                               std::to_string(int(c.rate)) + " Hz (" + std::to_string(window) + "-point window)";
      std::vector<float> sine(least);
      for (std::size_t i = 0; i < sine.size(); ++i) sine[i] = float(0.5 * std::sin(0.3 * double(i)));
      const std::string enough = folder.file("enough.wav");
      testsupport::writeWave(enough, {sine}, c.rate, true);
      sine.pop_back();
      const std::string shorter = folder.file("shorter.wav");
      testsupport::writeWave(shorter, {sine}, c.rate, true);
      const std::vector<std::string> options{"analyze", std::string("--rbw=") + rbw,
                                             std::string("--window=") + windowShapeName(c.shape), "--csv=-"};

      std::vector<std::string> args = options;
      args.push_back(enough);
      const Result run = specan(args, folder.file("config"), folder);
      EXPECT_EQ(run.status, 0) << name << ": " << run.err;
      EXPECT_NE(parseCsv(run.out).header["averaged traces"], "0") << name;

      args.back() = shorter;
      const Result refused = specan(args, folder.file("config"), folder);
      EXPECT_EQ(refused.status, 1) << name;
      const std::string start = "specan: " + shorter + ": too short for a spectrum at RBW ";
      EXPECT_EQ(refused.err.rfind(start, 0), 0u) << name << ": " << refused.err;
      EXPECT_NE(refused.err.find(" " + std::to_string(least - 1) + " samples"), std::string::npos)
          << name << ": " << refused.err;
      EXPECT_NE(refused.err.find(" " + std::to_string(least) + " "), std::string::npos) << name << ": " << refused.err;
      EXPECT_EQ(refused.out, "") << name;
    }
  }
}
