// `specan analyze --spectrogram`: chirps and tones written to WAVE files
// here and analysed by the command's own controller, their ridges read off
// the rows of the history it draws; and the executable on a file of ten
// minutes, on a file too short to analyse, and its image's size.
//
// The test signals are sines of peak amplitude 0.5 at 48 kHz, 32-bit float:
// a linear chirp f(t) = f0 + (f1 − f0)·t/T, an exponential one
// f(t) = f0·(f1/f0)^(t/T), and steady tones.

#include <gtest/gtest.h>

#include <QImage>
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "app/SpecanRun.h"
#include "app/cli/analyze/SpectrogramExport.h"
#include "app/headless/HeadlessApplication.h"
#include "dsp/FFTPlanner.h"
#include "platform/audio/Provider.h"
#include "platform/audio/simulated/SimulatedProvider.h"
#include "support/TempFolder.h"
#include "support/WaveFile.h"
#include "ui/MainThread.h"

namespace {

constexpr double kRate = 48000;

// What the command runs in: its own main thread, no sound card, the
// offscreen Qt application.
class AnalyzeSpectrogram : public ::testing::Test {
 protected:
  void SetUp() override {
    ui::MainThread::install(&mainThread_);
    platform::audio::simulated::Options none;
    none.clock = platform::audio::simulated::ClockMode::Stepped;
    none.defaultDeviceSet = false;
    platform::audio::installProvider(std::make_shared<platform::audio::simulated::SimulatedProvider>(none));
    application_ = std::make_unique<HeadlessApplication>();
  }
  void TearDown() override {
    application_.reset();
    platform::audio::installProvider(nullptr);
    FFTPlanner::shutdown();
    ui::MainThread::install(nullptr);
  }

  // A file of seconds of the signal value(t).
  std::string signalFile(const std::string& name, double seconds, const std::function<double(double)>& value) {
    std::vector<float> samples(static_cast<size_t>(seconds * kRate));
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<float>(value(i / kRate));
    const std::string path = folder_.file(name);
    testsupport::writeWave(path, {samples}, kRate, true);
    return path;
  }
  // The sine of peak amplitude 0.5 whose phase (in cycles) at t is phase(t).
  std::string sineFile(const std::string& name, double seconds, const std::function<double(double)>& phase) {
    return signalFile(name, seconds, [&](double t) { return 0.5 * sine(phase(t)); });
  }
  static double sine(double cycles) { return std::sin(2 * std::numbers::pi * std::fmod(cycles, 1.0)); }

  ui::ManualMainThread mainThread_;
  std::unique_ptr<HeadlessApplication> application_;
  testsupport::TempFolder folder_;
};

// A file analysed as the command analyses it, its spectrogram drawn from
// the analysis's spectra.
struct Drawn {
  FileAnalysis analysis;
  SpectrogramExport spectrogram;
  explicit Drawn(const analyze::Options& options) : analysis(options, false), spectrogram(options, analysis) {}
  bool run(const std::string& path, std::string* cause) {
    return analysis.run(path, cause) && spectrogram.finish(cause);
  }
};

// The columns of a row, from the left.
struct Row {
  const float* levels;
  int columns;
  int highest() const { return static_cast<int>(std::max_element(levels, levels + columns) - levels); }
};

// Row r from the bottom (the oldest, at the range's start).
Row rowFromBottom(const display::Spectrogram& sg, int r) {
  return {sg.levelsOfAge(sg.filledRows() - 1 - r), sg.columns()};
}

// Every row's ridge lies within one bin of the frequencies the chirp passes
// during that row's time: the column it is in, as the axis maps it,
// overlaps them widened by a bin. The rows of the first and last half
// window, which show the nearest spectrum, are left out, and so are those
// below lowest Hz, where the sine's lobe meets its mirror image at negative
// frequencies and the two pull the ridge towards 0 Hz.
void expectRidgesFollow(const SpectrogramExport& e, const std::function<double(double)>& frequency, double binHz,
                        double lowest) {
  const display::Spectrogram& sg = e.spectrogram();
  const display::FrequencyAxis& axis = e.geometry().axis();
  const double rowSeconds = (e.endSeconds() - e.startSeconds()) / sg.rows();
  ASSERT_EQ(sg.filledRows(), sg.rows());
  int checked = 0;
  for (int r = sg.rows() / 20; r < sg.rows() - sg.rows() / 20; ++r) {
    if (frequency(r * rowSeconds) < lowest) continue;
    const int c = rowFromBottom(sg, r).highest();
    const double low = axis.frequencyAt(c - 0.5), high = axis.frequencyAt(c + 0.5);
    const double from = frequency(r * rowSeconds) - binHz, to = frequency((r + 1) * rowSeconds) + binHz;
    EXPECT_TRUE(high >= from && low <= to) << "row " << r << ": column " << c << " holds " << low << " … " << high
                                           << " Hz, the chirp passes " << from << " … " << to << " Hz";
    ++checked;
  }
  EXPECT_GT(checked, 250);
}

}  // namespace

TEST_F(AnalyzeSpectrogram, AChirpsRidgeFollowsItsFrequencyRowByRowOnBothAxes) {
  // RBW 100 Hz (a 16384-point FFT, 2.93 Hz bins), the widest image.
  analyze::Options options;
  options.bandwidthTag = 20;
  options.width = 1800;
  options.height = 600;
  const double binHz = kRate / 16384;
  const double seconds = 8;

  // Linear, 200 Hz to 10 kHz, on the linear axis over 0 … 12 kHz.
  const double f0 = 200, f1 = 10000;
  const std::string linear = sineFile("linear.wav", seconds, [&](double t) {
    return f0 * t + 0.5 * (f1 - f0) / seconds * t * t;
  });
  options.upperSpan = 12000;
  Drawn linearChirp(options);
  std::string cause;
  ASSERT_TRUE(linearChirp.run(linear, &cause)) << cause;
  expectRidgesFollow(linearChirp.spectrogram, [&](double t) { return f0 + (f1 - f0) * t / seconds; }, binHz, 500);

  // Exponential, 50 Hz to 16 kHz, on the logarithmic axis over 20 Hz … 20 kHz.
  const double e0 = 50, e1 = 16000;
  const double k = std::log(e1 / e0) / seconds;
  const std::string exponential =
      sineFile("exponential.wav", seconds, [&](double t) { return e0 * std::expm1(k * t) / k; });
  options.axis = display::AxisScale::logarithmic;
  options.lowerSpan = 20;
  options.upperSpan = 20000;
  Drawn exponentialChirp(options);
  ASSERT_TRUE(exponentialChirp.run(exponential, &cause)) << cause;
  expectRidgesFollow(exponentialChirp.spectrogram, [&](double t) { return e0 * std::exp(k * t); }, binHz, 500);
}

TEST_F(AnalyzeSpectrogram, TwoTonesGiveTwoRidgesInEveryRow) {
  // 1 kHz and 5 kHz together for 3 s, on the logarithmic axis.
  const std::string path =
      signalFile("tones.wav", 3, [](double t) { return 0.25 * sine(1000 * t) + 0.25 * sine(5000 * t); });
  analyze::Options options;
  options.axis = display::AxisScale::logarithmic;
  Drawn drawn(options);
  std::string cause;
  ASSERT_TRUE(drawn.run(path, &cause)) << cause;
  const SpectrogramExport& e = drawn.spectrogram;
  const display::Spectrogram& sg = e.spectrogram();
  const display::FrequencyAxis& axis = e.geometry().axis();
  for (int r = 0; r < sg.rows(); r += 7) {
    // The runs of columns within 30 dB of the row's highest.
    const Row row = rowFromBottom(sg, r);
    const float threshold = row.levels[row.highest()] - 30;
    std::vector<double> ridges;
    for (int c = 0; c < row.columns; ++c)
      if (row.levels[c] > threshold && (c == 0 || !(row.levels[c - 1] > threshold))) ridges.push_back(axis.frequencyAt(c));
    ASSERT_EQ(ridges.size(), 2u) << "row " << r;
    EXPECT_NEAR(ridges[0], 1000, 30) << "row " << r;
    EXPECT_NEAR(ridges[1], 5000, 150) << "row " << r;
  }
}

TEST_F(AnalyzeSpectrogram, TheRowsAreWeightedAndSmoothedAsTheTraceIs) {
  // 100 Hz and 1 kHz at the same level for 2 s, on the logarithmic axis.
  const std::string path =
      signalFile("hum.wav", 2, [](double t) { return 0.25 * sine(100 * t) + 0.25 * sine(1000 * t); });
  analyze::Options options;
  options.axis = display::AxisScale::logarithmic;
  options.lowerSpan = 20;
  options.upperSpan = 20000;
  std::string cause;
  // A tone's level in the middle row: the highest column within two of it.
  const auto levelAt = [](const SpectrogramExport& e, double hz) {
    const display::Spectrogram& sg = e.spectrogram();
    const Row row = rowFromBottom(sg, sg.rows() / 2);
    const int c = static_cast<int>(std::lround(e.geometry().axis().xOf(hz)));
    return *std::max_element(row.levels + std::max(0, c - 2), row.levels + std::min(row.columns, c + 3));
  };
  Drawn plain(options);
  ASSERT_TRUE(plain.run(path, &cause)) << cause;
  options.weighting = dsp::Weighting::A;
  Drawn weighted(options);
  ASSERT_TRUE(weighted.run(path, &cause)) << cause;
  // IEC 61672-1, Table 3: the A weighting is −19.1 dB at 100 Hz and 0.0 dB
  // at 1 kHz.
  EXPECT_NEAR(levelAt(weighted.spectrogram, 100) - levelAt(plain.spectrogram, 100), -19.1, 0.1);
  EXPECT_NEAR(levelAt(weighted.spectrogram, 1000) - levelAt(plain.spectrogram, 1000), 0.0, 0.05);
  // Smoothed over an octave, a tone's power spreads over the octave around
  // it: the peak falls and the columns half an octave off rise.
  options.weighting = dsp::Weighting::Z;
  options.smoothing = 1;
  Drawn smoothed(options);
  ASSERT_TRUE(smoothed.run(path, &cause)) << cause;
  EXPECT_LT(levelAt(smoothed.spectrogram, 1000), levelAt(plain.spectrogram, 1000) - 10);
  EXPECT_GT(levelAt(smoothed.spectrogram, 1300), levelAt(plain.spectrogram, 1300) + 10);
}

TEST_F(AnalyzeSpectrogram, TheTimeAxisOfATenMinuteFileSpansIt) {
  // 600 s of a 440 Hz tone, with 2 kHz in the first 10 s only and 3 kHz in
  // the last 10 s only, at 16 bits.
  const double seconds = 600;
  std::vector<float> samples(static_cast<size_t>(seconds * kRate));
  for (size_t i = 0; i < samples.size(); ++i) {
    const double t = i / kRate;
    double v = 0.3 * sine(440 * t);
    if (t < 10) v += 0.3 * sine(2000 * t);
    if (t >= 590) v += 0.3 * sine(3000 * t);
    samples[i] = static_cast<float>(v);
  }
  const std::string path = folder_.file("long.wav");
  testsupport::writeWave(path, {samples}, kRate);
  samples = {};
  analyze::Options options;
  options.width = 600;
  options.height = 400;
  Drawn drawn(options);
  std::string cause;
  ASSERT_TRUE(drawn.run(path, &cause)) << cause;
  const SpectrogramExport& e = drawn.spectrogram;
  EXPECT_DOUBLE_EQ(e.startSeconds(), 0);
  EXPECT_NEAR(e.endSeconds(), seconds, 1 / kRate);
  const std::vector<display::TimeLabel> labels =
      display::timeLabels(e.startSeconds(), e.endSeconds(), e.geometry().plotBounds().height());
  ASSERT_GE(labels.size(), 4u);
  EXPECT_EQ(labels.front().text, "0");
  EXPECT_EQ(labels.back().text, "600");

  // The rows stand for the file's length: 2 kHz only in the bottom sixtieth,
  // 3 kHz only in the top one.
  const display::Spectrogram& sg = e.spectrogram();
  const int c2 = static_cast<int>(std::lround(e.geometry().axis().xOf(2000)));
  const int c3 = static_cast<int>(std::lround(e.geometry().axis().xOf(3000)));
  const int sixtieth = sg.rows() / 60;
  for (int r = 0; r < sg.rows(); ++r) {
    const Row row = rowFromBottom(sg, r);
    const bool low = row.levels[c2] > -40, high = row.levels[c3] > -40;
    if (r < sixtieth - 1 || r > sg.rows() - sixtieth) {
      EXPECT_EQ(low, r < sixtieth) << "row " << r;
      EXPECT_EQ(high, r >= sg.rows() - sixtieth) << "row " << r;
    } else if (r > sixtieth + 1 && r < sg.rows() - sixtieth - 2) {
      EXPECT_FALSE(low || high) << "row " << r;
    }
  }

  // The executable writes the image at its size; a file too short for a
  // spectrum leaves none behind.
  const std::string image = folder_.file("long.png");
  const Result run = specan({"analyze", "--size=600x400", "--spectrogram=" + image, path}, folder_.file("config"),
                            folder_);
  ASSERT_EQ(run.status, 0) << run.err;
  const QImage written(QString::fromStdString(image));
  EXPECT_EQ(written.size(), QSize(600, 400));
  const std::string tiny = sineFile("tiny.wav", 0.05, [](double t) { return 1000 * t; });
  const std::string none = folder_.file("tiny.png");
  const Result refused = specan({"analyze", "--spectrogram=" + none, tiny}, folder_.file("config"), folder_);
  EXPECT_EQ(refused.status, 1);
  EXPECT_FALSE(std::filesystem::exists(none));
  // Into a folder beside the plot's image, under a name of its own; onto the
  // plot's own file, refused before anything is read.
  const std::string out = folder_.file("out") + "/";
  ASSERT_EQ(specan({"analyze", "--png=" + out, "--spectrogram=" + out, path}, folder_.file("config"),
                   folder_)
                .status,
            0);
  EXPECT_TRUE(std::filesystem::exists(out + "long.png"));
  EXPECT_TRUE(std::filesystem::exists(out + "long.spectrogram.png"));
  const Result clash = specan({"analyze", "--png=" + image, "--spectrogram=" + image, path}, folder_.file("config"),
                              folder_);
  EXPECT_EQ(clash.status, 2);
  EXPECT_NE(clash.err.find("would both write"), std::string::npos) << clash.err;
}
