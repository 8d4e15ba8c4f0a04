// The spectrum engine: configuration rules, window shapes and their
// normalisation, the delivery schedules of both modes, and the level a
// sinusoid reads.
#include "dsp/Spectrum.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <numbers>
#include <vector>

#include "support/AllocationCounter.h"
#include "QuietPlanner.h"
#include "dsp/PlotTrace.h"
#include "dsp/WindowShape.h"
#include "ui/MainThread.h"

namespace {

using std::numbers::pi;
constexpr float kRate = 48000;
constexpr int kBlock = 512;

int windowLength(const Spectrum& s) { return s.windowEntry(s.fftSize()).windowedBins; }

// True when the current row is zero except for its last `points` entries,
// whose middle is the window's peak region.
bool rightAligned(const Spectrum& s, int points) {
  const float* w = s.windowEntry(s.fftSize()).array;
  const int n = s.fftLength();
  for (int i = 0; i < n - points; ++i)
    if (w[i] != 0.0f) return false;
  return w[n - points / 2] > 0.0f;
}

double windowSum(const Spectrum& s) {
  const float* w = s.windowEntry(s.fftSize()).array;
  double sum = 0;
  for (int i = 0; i < s.fftLength(); ++i) sum += w[i];
  return sum;
}

TEST(SpectrumConfiguration, ExponentAndWindowLengthFollowTheRbwRateAndSpan) {
  struct Case {
    float rbw, rate;
    WindowShape type;
    float span;
    int exponent, windowed;
  } cases[] = {
      {10, 48000, WindowShape::Gaussian, 24000, 14, 16384},   // the launch configuration
      {1, 48000, WindowShape::Hann, 24000, 17, 72000},        // 1.5 bins × 48000 / 1 Hz
      {1, 48000, WindowShape::Hann, 0.05f, 18, 72000},        // zoom: longer FFT, same window
      {100, 48000, WindowShape::Blackman, 24000, 14, 829},
      {1000, 48000, WindowShape::Gaussian, 24000, 14, 256},   // frame halved six times
      {100, 48000, WindowShape::Gaussian, 24000, 14, 2048},
      {1, 44100, WindowShape::Gaussian, 24000, 17, 131072},   // frame fills the buffer, fraction ≈ 0.60
      {1, 44100, WindowShape::Hann, 24000, 17, 66150},        // 1.5 bins × 44100 / 1 Hz
      {1, 96000, WindowShape::Hann, 24000, 18, 144000},
      {100, 96000, WindowShape::Blackman, 24000, 14, 1659},
      {0.1f, 48000, WindowShape::Hann, 24000, 19, 524288},    // stops at 2^19, window fills it
      {1e-5f, 48000, WindowShape::Hann, 24000, 19, 524288},   // asks for 7.2e9 points: still fills it
      {1e-5f, 48000, WindowShape::Blackman, 24000, 19, 524288},
      // 72 points span 71 periods of the shape, 1.4 % too wide a bandwidth:
      // one more point brings it to the RBW.
      {1000, 48000, WindowShape::Hann, 24000, 14, 73},
  };
  for (const Case& c : cases) {
    Spectrum s(c.rbw, c.rate, c.type);
    if (c.span < 0.2f) s.setResolutionBandwidth(c.rbw, c.rate, c.type, c.span);
    SCOPED_TRACE(testing::Message() << "rbw " << c.rbw << " rate " << c.rate << " type " << windowShapeName(c.type)
                                    << " span " << c.span);
    EXPECT_EQ(s.fftSize(), c.exponent);
    EXPECT_EQ(s.fftLength(), 1 << c.exponent);
    EXPECT_EQ(s.bins(), (1 << c.exponent) / 2);
    EXPECT_EQ(s.span(), s.bins());
    EXPECT_EQ(windowLength(s), c.windowed);
    // The window's points sit at the end of the buffer, over the newest samples.
    EXPECT_TRUE(rightAligned(s, c.windowed));
  }
}

TEST(SpectrumConfiguration, ZoomLengthensTheFFTByTheSpanSteps) {
  // RBW 10 Hz Hann: e = 14 at full span. The span is compared in double, so
  // 0.08f and 0.04f (just below their decimal values) take the next step.
  struct Case { float span; int exponent; } cases[] = {
      {0.5f, 14},  {0.2f, 14},   {0.19f, 15}, {0.0801f, 15}, {0.08f, 16},
      {0.079f, 16}, {0.0401f, 16}, {0.04f, 17}, {0.001f, 17}};
  for (const Case& c : cases) {
    Spectrum s(10, kRate, WindowShape::Hann);
    s.setResolutionBandwidth(10, kRate, WindowShape::Hann, c.span);
    EXPECT_EQ(s.fftSize(), c.exponent) << "span " << c.span;
    EXPECT_EQ(windowLength(s), 7200) << "span " << c.span;  // the window never changes with the span
  }
  // Never beyond 2^18 by zooming; nothing at all from 2^18 up.
  Spectrum s(1, kRate, WindowShape::Hann);
  s.setResolutionBandwidth(1, kRate, WindowShape::Hann, 0.001f);
  EXPECT_EQ(s.fftSize(), 18);
  s.setResolutionBandwidth(0.5f, kRate, WindowShape::Hann, 0.001f);
  EXPECT_EQ(s.fftSize(), 18);  // e = 18 from the RBW, no zoom above 17
}

TEST(SpectrumConfiguration, UnknownWindowNumbersAreGaussian) {
  for (int number : {5, 7, -1}) {
    EXPECT_EQ(windowShapeForTag(number), WindowShape::Gaussian) << number;
    Spectrum s(10, kRate, static_cast<WindowShape>(number));
    EXPECT_EQ(s.windowShape(), WindowShape::Gaussian) << number;
  }
}

TEST(SpectrumConfiguration, SameValuesChangeNothing) {
  Spectrum s(10, kRate, WindowShape::Gaussian);
  std::vector<float> block(kBlock, 0.25f);
  for (int i = 0; i < 4; ++i) s.compute(block.data(), kBlock);
  EXPECT_EQ(s.availableSamples(), 4 * kBlock);
  EXPECT_FALSE(s.setResolutionBandwidth(10, kRate, WindowShape::Gaussian, kRate / 2));
  EXPECT_EQ(s.availableSamples(), 4 * kBlock);  // the ring is kept
  EXPECT_TRUE(s.setResolutionBandwidth(10, kRate, WindowShape::Hann, kRate / 2));
  EXPECT_EQ(s.availableSamples(), 0);  // an effective change clears it
}

TEST(SpectrumConfiguration, RefusesARateOrBandwidthThatIsNotPositive) {
  Spectrum s(10, kRate, WindowShape::Gaussian);
  EXPECT_FALSE(s.setResolutionBandwidth(0, kRate, WindowShape::Gaussian, 0.5f));
  EXPECT_FALSE(s.setResolutionBandwidth(10, 0, WindowShape::Gaussian, 0.5f));
  EXPECT_FALSE(s.setResolutionBandwidth(NAN, kRate, WindowShape::Gaussian, 0.5f));
  EXPECT_EQ(s.fftSize(), 14);
  EXPECT_FLOAT_EQ(s.bandwidth(), 10);

  // An engine that was never configured drops its blocks instead of crashing.
  Spectrum none(0, 0, WindowShape::Blackman);
  std::vector<float> block(kBlock, 1.0f);
  SpectrumResult* r = none.compute(block.data(), kBlock);
  EXPECT_EQ(r->validBins, 0);
  EXPECT_EQ(r->bins, 0);
  none.fill(block.data(), kBlock);
  EXPECT_EQ(none.computeWithOverlap(block.data(), kBlock)->validBins, 0);
}

TEST(SpectrumWindows, EveryWindowSumsToLengthOverTwoRootTwo) {
  for (WindowShape type : {WindowShape::Blackman, WindowShape::Gaussian, WindowShape::Hann, WindowShape::BlackmanHarris7}) {
    for (float rbw : {1.0f, 3.0f, 10.0f, 100.0f, 1000.0f}) {
      Spectrum s(rbw, kRate, type);
      // The gain comes from a single-precision sum over up to 2^19 points,
      // good to a few 1e-4 (a thousandth of a dB).
      const double expected = s.fftLength() / (2 * std::sqrt(2.0));
      EXPECT_NEAR(windowSum(s), expected, expected * 3e-4) << "type " << windowShapeName(type) << " rbw " << rbw;
    }
  }
}

TEST(SpectrumWindows, TheGaussianIsAHannTimesAGaussianAsWideAsTheRbwAsks) {
  // RBW 10 Hz at 48 kHz: frame 16384, σ ≈ 0.180137 of the half frame.
  Spectrum s(10, kRate, WindowShape::Gaussian);
  const float* w = s.windowEntry(14).array;
  const int m = 16384;
  const double c = (m - 1) * 0.5, sigma = 0.180137;
  auto shape = [&](int n) {
    double d = (n - c) / (sigma * c);
    return (0.5 - 0.5 * std::cos(2 * pi * n / (m - 1))) * std::exp(-0.5 * d * d);
  };
  const int mid = m / 2;
  for (int n : {1000, 3000, 5000, 7000, 12000}) {
    EXPECT_NEAR(w[n] / w[mid], shape(n) / shape(mid), 2e-5) << n;
  }
}

constexpr float kRates[] = {44100, 48000, 88200, 96000, 176400, 192000};
constexpr WindowShape kTypes[] = {WindowShape::Blackman, WindowShape::Gaussian, WindowShape::Hann,
                                  WindowShape::BlackmanHarris7};

// The RBWs of the bandwidth pop-up: tags 0, 5, … 30 are 10·log10 of the RBW.
float offeredRbw(int tag) { return static_cast<float>(std::pow(10.0, tag * 0.1)); }

// fs·Σw²/(Σw)², measured on the row the engine windows its samples with.
double measuredNoiseBandwidth(const Spectrum& s) {
  const float* w = s.windowEntry(s.fftSize()).array;
  double sum = 0, squares = 0;
  for (int i = 0; i < s.fftLength(); ++i) {
    sum += w[i];
    squares += double(w[i]) * w[i];
  }
  return s.samplingRate() * squares / (sum * sum);
}

// The noise bandwidth is the RBW the plot's caption shows, at every sampling
// rate, for every offered RBW and window, and whatever the span.
TEST(SpectrumWindows, NoiseBandwidthIsTheRBWAtEveryRate) {
  for (WindowShape type : kTypes) {
    for (float rate : kRates) {
      Spectrum s(1, rate, type);
      for (int tag = 0; tag <= 30; tag += 5) {
        const float rbw = offeredRbw(tag);
        for (float span : {rate / 2, 0.05f}) {
          s.setResolutionBandwidth(rbw, rate, type, span);
          const double miss = measuredNoiseBandwidth(s) / rbw - 1;
          EXPECT_LE(std::abs(miss), 0.01) << "type " << windowShapeName(type) << " rate " << rate << " rbw " << rbw << " span "
                                          << span << ": " << 100 * miss << " %";
          EXPECT_NEAR(s.noiseBandwidth(), measuredNoiseBandwidth(s), 1e-6 * rbw);
        }
      }
    }
  }
}

// Below 1.5 bins of a 2^19 buffer (0.13 Hz at 44.1 kHz, 0.55 Hz at 192 kHz)
// no window can be long enough: it fills the whole buffer and the bandwidth
// stays above the RBW, never below it. None of the offered RBWs gets there.
TEST(SpectrumWindows, TooNarrowAnRBWFillsTheLongestBufferAndStaysWider) {
  for (WindowShape type : kTypes) {
    for (float rate : kRates) {
      Spectrum s(0.1f, rate, type);
      for (float rbw : {0.1f, 0.01f}) {
        s.setResolutionBandwidth(rbw, rate, type, rate / 2);
        SCOPED_TRACE(testing::Message() << "type " << windowShapeName(type) << " rate " << rate << " rbw " << rbw);
        EXPECT_EQ(s.fftSize(), 19);
        EXPECT_EQ(windowLength(s), Spectrum::kMaxLength);
        EXPECT_GT(measuredNoiseBandwidth(s), rbw);
      }
    }
  }
}

// White noise of variance v has the one-sided density v/(fs/2); through a
// window of noise bandwidth RBW a bin reads density × RBW after division by
// bins². A window sized as at 48 kHz would read 3 dB high at 96 kHz.
TEST(SpectrumLevel, WhiteNoiseReadsItsDensityTimesTheRBW) {
  const float rate = 96000, rbw = 100;
  const double variance = 0.01;
  for (WindowShape type : kTypes) {
    Spectrum s(rbw, rate, type);
    const int n = s.fftLength(), bins = s.bins();
    std::vector<float> block(kBlock);
    uint64_t seed = 12345 + static_cast<int>(type);
    auto uniform = [&] {
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      return (static_cast<double>(seed >> 11) + 0.5) / 9007199254740992.0;
    };
    double sum = 0;
    long values = 0;
    int spectra = 0;
    for (long sent = 0; spectra < 128; sent += kBlock) {
      for (int i = 0; i < kBlock; i += 2) {  // Box-Muller, two normal samples at a time
        const double r = std::sqrt(-2 * std::log(uniform()) * variance), phi = 2 * pi * uniform();
        block[i] = static_cast<float>(r * std::cos(phi));
        block[i + 1] = static_cast<float>(r * std::sin(phi));
      }
      SpectrumResult* r = s.compute(block.data(), kBlock);
      if (sent < n || !r->validBins) continue;
      ++spectra;
      for (int k = 1; k < bins; ++k) sum += r->output[k];  // bin 0, DC, has half the weight
      values += bins - 1;
    }
    const double level = sum / values / (double(bins) * bins);
    const double expected = variance / (rate / 2) * rbw;
    EXPECT_NEAR(10 * std::log10(level / expected), 0.0, 0.2) << "type " << windowShapeName(type);
  }
}

// A sinusoid of amplitude A centred on a bin reads A²/2 after division by
// bins², for every window and RBW: the dB scale rests on this, so it must hold
// to a hundredth of a dB.
TEST(SpectrumLevel, SinusoidOnABinReadsItsMeanSquare) {
  const double tolerance = std::pow(10.0, 0.01 / 10) - 1;  // 0.01 dB
  for (float rate : {48000.0f, 44100.0f}) {
    for (WindowShape type : {WindowShape::Blackman, WindowShape::Gaussian, WindowShape::Hann}) {
      for (int tag : {0, 5, 10, 17, 20, 26, 30}) {
        const float rbw = std::pow(10.0f, tag / 10.0f);
        Spectrum s(rbw, rate, type);
        const int n = s.fftLength(), bins = s.bins();
        const int bin = n / 4 + 7;
        const double a = 0.5;
        std::vector<float> block(kBlock);
        SpectrumResult* r = nullptr;
        long t = 0;
        // Until the first spectrum of a full ring.
        for (int sent = 0; sent < 2 * n; sent += kBlock) {
          for (int i = 0; i < kBlock; ++i, ++t)
            block[i] = static_cast<float>(a * std::sin(2 * pi * bin * static_cast<double>(t) / n + 0.3));
          r = s.compute(block.data(), kBlock);
          if (sent >= n && r->validBins) break;
        }
        ASSERT_EQ(r->validBins, bins);
        const double level = r->output[bin] / (double(bins) * bins);
        EXPECT_NEAR(level / (a * a / 2), 1.0, tolerance)
            << "rate " << rate << " type " << windowShapeName(type) << " rbw " << rbw << ": " << 10 * std::log10(level / (a * a / 2))
            << " dB";
      }
    }
  }
}

// What the display shows for a sinusoid, from the first trace on: the engine
// feeds the trace averaging as the controller does, and every trace after
// every averaging step reads A²/2. A spectrum windowing part of the zeroed
// ring after a reconfiguration would read low and start the average.
TEST(SpectrumLevel, TraceReadsASinusoidsLevelFromTheFirstSpectrum) {
  struct Case { float rbw, rate; WindowShape type; } cases[] = {
      {1, 48000, WindowShape::Gaussian},  {1, 48000, WindowShape::Hann},     {offeredRbw(5), 48000, WindowShape::Blackman},
      {10, 48000, WindowShape::Gaussian}, {1, 96000, WindowShape::Gaussian}, {offeredRbw(5), 44100, WindowShape::Hann}};
  const double a = 0.5, tolerance = 0.05;  // dB
  ui::MainThread::instance().drain();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "rbw " << c.rbw << " rate " << c.rate << " type " << windowShapeName(c.type));
    Spectrum s(c.rbw, c.rate, c.type);
    auto trace = std::make_unique<PlotTrace>();
    trace->setTraceAverages(8);
    const int n = s.fftLength(), bins = s.bins(), bin = n / 8 + 3;
    std::vector<float> block(kBlock);
    int shown = 0;
    long t = 0;
    for (long sent = 0; sent < 4L * n; sent += kBlock) {
      for (int i = 0; i < kBlock; ++i, ++t)
        block[i] = static_cast<float>(a * std::sin(2 * pi * bin * static_cast<double>(t % n) / n + 0.3));
      SpectrumResult* r = s.compute(block.data(), kBlock);
      if (!r->validBins) continue;
      const PlotTrace::AveragingStep step = trace->addDataSamplingRate(r, c.rate);
      ui::MainThread::instance().runAsync(step.run, step.context);
      ui::MainThread::instance().drain();
      ++shown;
      const double level = trace->traceData()->averaged[bin] / (double(bins) * bins);
      EXPECT_NEAR(10 * std::log10(level / (a * a / 2)), 0.0, tolerance)
          << "trace " << shown << " after " << sent + kBlock << " samples";
    }
    EXPECT_GE(shown, 4);
  }
}

// Sends 512-sample blocks of noise and returns the total sample counts at
// which a spectrum was reported.
std::vector<long> spectrumSchedule(Spectrum& s, long samples, bool overlap) {
  std::vector<long> at;
  std::vector<float> block(kBlock);
  unsigned seed = 1;
  for (long sent = 0; sent < samples;) {
    for (float& v : block) v = static_cast<float>((seed = seed * 1664525u + 1013904223u) >> 8) / (1 << 24) - 0.5f;
    SpectrumResult* r = overlap ? s.computeWithOverlap(block.data(), kBlock) : s.compute(block.data(), kBlock);
    sent += kBlock;
    if (r->validBins) {
      EXPECT_EQ(r->validBins, r->bins);
      at.push_back(sent);
    } else if (!overlap && sent < s.fftLength()) {
      // While the ring fills, blocks without a spectrum report zeros.
      for (int k = 0; k < r->bins; k += 97) EXPECT_EQ(r->output[k], 0.0f);
    }
  }
  return at;
}

TEST(SpectrumSchedule, NormalModeDeliversPartialFillsThenEveryHalfRing) {
  // While the ring fills, a spectrum comes at 2^14 and 2^15 samples held when
  // the window's points all lie within them; none when the ring first fills;
  // then one every N/2.
  struct Case {
    float rbw;
    WindowShape type;
    float span;
    int windowed;
    std::vector<long> partials;
  } cases[] = {
      {10, WindowShape::Hann, 0.05f, 7200, {16384, 32768}},    // zoomed: a short window in 2^16
      {offeredRbw(5), WindowShape::Blackman, 0.1f, 26229, {32768}},  // longer than 2^14 held
      {2, WindowShape::Hann, 24000, 36000, {}},               // longer than 2^15: none before full
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "rbw " << c.rbw << " type " << windowShapeName(c.type));
    Spectrum s(c.rbw, kRate, c.type);
    s.setResolutionBandwidth(c.rbw, kRate, c.type, c.span);
    ASSERT_EQ(s.fftSize(), 16);
    ASSERT_EQ(windowLength(s), c.windowed);
    const long n = 65536;
    auto at = spectrumSchedule(s, 4 * n, false);
    std::vector<long> expected = c.partials;
    for (long t = n + n / 2 - kBlock; t <= 4 * n; t += n / 2) expected.push_back(t);
    EXPECT_EQ(at, expected);

    // After a clear the partial fills come again.
    s.clearBuffer();
    EXPECT_EQ(s.availableSamples(), 0);
    at = spectrumSchedule(s, n, false);
    at.resize(std::min(at.size(), c.partials.size()));
    EXPECT_EQ(at, c.partials);
  }
}

TEST(SpectrumSchedule, PartialFillSpectrumWindowsOnlyReceivedSamples) {
  // 2^14 samples of a constant into a 2^16 ring with a 7200-point window: the
  // window lies within the samples held, so DC reads as from a full ring,
  // 2·(c·Σw)² with Σw = N/(2√2).
  Spectrum s(10, kRate, WindowShape::Hann);
  s.setResolutionBandwidth(10, kRate, WindowShape::Hann, 0.05f);
  ASSERT_EQ(s.fftSize(), 16);
  std::vector<float> block(kBlock, 1.0f);
  SpectrumResult* r = nullptr;
  for (int i = 0; i < 32; ++i) r = s.compute(block.data(), kBlock);
  ASSERT_EQ(r->validBins, 32768);
  const double full = 65536.0 * 65536.0 / 4;
  EXPECT_NEAR(r->output[0], full, full * 1e-3);
}

TEST(SpectrumSchedule, OverlapModeHopsAQuarterWindowButAtLeastTwoBlocks) {
  // The first spectrum after a clear waits until the ring holds the window's
  // length; then one per hop.
  struct Case { float rbw; int windowed, hop; } cases[] = {{10, 16384, 4096}, {100, 2048, 1024}, {1000, 256, 1024}};
  for (const Case& c : cases) {
    Spectrum s(c.rbw, kRate, WindowShape::Gaussian);
    ASSERT_EQ(windowLength(s), c.windowed);
    const long first = std::max(c.windowed, c.hop);
    auto at = spectrumSchedule(s, first + 39 * c.hop, true);
    ASSERT_EQ(at.size(), 40u) << c.rbw;
    for (size_t i = 0; i < at.size(); ++i) EXPECT_EQ(at[i], first + static_cast<long>(i) * c.hop) << c.rbw;
    // A sweep advances one bin per spectrum: at the pace of the hop, also
    // where two blocks are longer than a quarter window.
    EXPECT_EQ(s.overlapHop(512), c.hop) << c.rbw;
    EXPECT_FLOAT_EQ(s.binsPerSecond(), kRate / c.hop) << c.rbw;

    // Again after a clear.
    s.clearBuffer();
    at = spectrumSchedule(s, first + c.hop, true);
    ASSERT_EQ(at.size(), 2u) << c.rbw;
    EXPECT_EQ(at[0], first) << c.rbw;
  }
}

// A sweep's tone rising the engine's step limit of bins per spectrum, and
// what it rises in a spectrum off the bin at the centre of the window (the
// generator's retune waits for its next block, a server's latency readings
// jitter), reads at most the allowed
// loss below a steady tone on the bin; at twice the rate clearly more. At
// RBW 100 Hz and 10 Hz even one bin a spectrum loses more: the limit is 1.
TEST(SpectrumSchedule, AToneRisingAtTheStepLimitReadsItsLevelWithinTheLoss) {
  constexpr double kLossDb = 0.05;
  Spectrum s(1000, kRate, WindowShape::Gaussian);
  const int limit = s.sweepStepLimit(kBlock, kLossDb);
  EXPECT_GE(limit, 2);
  const int n = s.fftLength(), hop = s.overlapHop(kBlock), points = windowLength(s);
  const long first = std::max(points, hop);
  const double centre = static_cast<double>(first - 1) - 0.5 * (points - 1);
  constexpr int kBin = 1000;
  auto read = [&](double step) {
    s.clearBuffer();
    const double f0 = (kBin + Spectrum::kSweepTimingSpectra * step) / n, rate = step / (static_cast<double>(n) * hop);
    std::vector<float> block(kBlock);
    for (long at = 0; at < first + kBlock; at += kBlock) {
      for (int i = 0; i < kBlock; ++i) {
        const double t = static_cast<double>(at + i) - centre;
        block[i] = static_cast<float>(0.25 * std::cos(2 * pi * (f0 * t + 0.5 * rate * t * t)));
      }
      const SpectrumResult* r = s.computeWithOverlap(block.data(), kBlock);
      if (r->validBins > 0) return static_cast<double>(r->output[kBin]);
    }
    return 0.0;
  };
  const double steady = read(0);
  ASSERT_GT(steady, 0);
  const double loss = 10 * std::log10(steady / read(limit));
  EXPECT_LE(loss, kLossDb + 0.002);
  EXPECT_GE(loss, 0.0);
  EXPECT_GT(10 * std::log10(steady / read(2.0 * limit)), kLossDb * 2);

  for (const float rbw : {10.0f, 100.0f}) {
    Spectrum narrow(rbw, kRate, WindowShape::Gaussian);
    EXPECT_EQ(narrow.sweepStepLimit(kBlock, kLossDb), 1) << rbw;
  }
}

TEST(SpectrumSchedule, BlocksThatDoNotDivideTheRingWrapCorrectly) {
  // A 1000-sample block straddles the ring's end; the newest N samples must
  // still be windowed in order. A spectrum of a steady sinusoid is the same
  // whichever block boundaries led to it.
  const int n = 16384;
  auto run = [&](int block) {
    Spectrum s(10, kRate, WindowShape::Hann);
    std::vector<float> x(3 * n);
    for (int i = 0; i < 3 * n; ++i) x[i] = static_cast<float>(std::sin(2 * pi * 1000 * i / kRate));
    int offset = 0;
    while (offset + block <= 3 * n - (3 * n) % block) {
      s.fill(x.data() + offset, block);
      offset += block;
    }
    std::vector<float> rest(x.begin() + offset, x.end());
    s.fill(rest.data(), static_cast<int>(rest.size()));
    // One more compute of a sample-free block cannot be made, so compute via
    // overlap with an empty block, which windows the newest samples.
    SpectrumResult* r = s.computeWithOverlap(rest.data(), 0);
    std::vector<float> out(r->output, r->output + r->bins);
    EXPECT_EQ(r->validBins, r->bins);
    return out;
  };
  auto a = run(512), b = run(1000);
  for (int k = 0; k < n / 2; ++k) ASSERT_NEAR(a[k], b[k], 1e-3 * a[341] + 1e-2) << k;
}

// Runs samples through computeEvenly in 512-sample blocks, as a recording's
// blocks come; at[] gets the sample count each spectrum ended on, and the
// return value the sum of every spectrum's bins.
double evenRun(Spectrum& s, const std::vector<float>& samples, std::vector<long>* at = nullptr) {
  double total = 0;
  long sent = 0;
  for (size_t start = 0; start < samples.size(); start += kBlock) {
    const int count = static_cast<int>(std::min<size_t>(kBlock, samples.size() - start));
    for (int done = 0; done < count;) {
      int taken = 0;
      SpectrumResult* r = s.computeEvenly(samples.data() + start + done, count - done, &taken);
      EXPECT_GT(taken, 0);
      if (taken <= 0) return total;
      done += taken;
      sent += taken;
      if (!r->validBins) continue;
      if (at) at->push_back(sent);
      for (int k = 0; k < r->bins; ++k) total += r->output[k];
    }
  }
  return total;
}

TEST(SpectrumSchedule, EvenModeTakesAWindowEveryHopAndWeighsEverySampleAlike) {
  // Short windows (2^14 points, 64 to 580 of them non-zero) of every shape,
  // at hops of a few to a few hundred samples: several spectra in a block.
  for (const float rbw : {offeredRbw(25), offeredRbw(30)}) {
    for (const WindowShape shape : {WindowShape::Blackman, WindowShape::Gaussian, WindowShape::Hann, WindowShape::FlatTop,
                                    WindowShape::BlackmanHarris7}) {
      for (const float rate : {48000.0f, 8000.0f}) {
        SCOPED_TRACE(testing::Message() << "rbw " << rbw << " shape " << windowShapeName(shape) << " rate " << rate);
        Spectrum s(rbw, rate, shape);
        EXPECT_EQ(s.evenHop(), 0);
        s.setEvenSchedule(true);
        const int points = windowLength(s), hop = s.evenHop();
        ASSERT_GE(hop, 1);
        ASSERT_LE(hop, points / 2);

        // The first window ends on the window's length, each next one a hop later.
        std::vector<long> at;
        evenRun(s, std::vector<float>(points + 41 * hop - 1, 0.25f), &at);
        ASSERT_EQ(at.size(), 41u);
        for (size_t i = 0; i < at.size(); ++i) ASSERT_EQ(at[i], points + static_cast<long>(i) * hop) << i;
        EXPECT_EQ(s.evenSpectra(), 41);

        // A lone sample's power summed over every spectrum is its summed
        // squared weight: the same at every place between two window starts
        // (a sample that late lies in every window it would in a longer run).
        double least = 0, most = 0;
        for (int place = 0; place < hop; ++place) {
          s.clearBuffer();
          EXPECT_EQ(s.evenSpectra(), 0);
          std::vector<float> lone(static_cast<size_t>(2 * points + 2 * hop), 0.0f);
          lone[static_cast<size_t>(points + place)] = 1.0f;
          const double weight = evenRun(s, lone);
          least = place == 0 ? weight : std::min(least, weight);
          most = std::max(most, weight);
        }
        EXPECT_GT(least, 0);
        EXPECT_LE(most / least, Spectrum::kEvenWeightRipple);
      }
    }
  }
  // The hops of RBW 10 Hz at 48 kHz: a third of Hann's 7200 points, about a
  // fifth of Blackman's 8294, an eighth of the flat-top's 18294 and an
  // eleventh of the Gaussian's frame.
  struct Case { WindowShape shape; int hop; } cases[] = {
      {WindowShape::Hann, 2400}, {WindowShape::Blackman, 1659}, {WindowShape::FlatTop, 2287}, {WindowShape::Gaussian, 1489}};
  for (const Case& c : cases) {
    Spectrum s(10, kRate, c.shape);
    s.setEvenSchedule(true);
    EXPECT_EQ(s.evenHop(), c.hop) << windowShapeName(c.shape);
    // A reconfiguration picks the hop anew.
    s.setResolutionBandwidth(100, kRate, c.shape, 1.0f);
    EXPECT_LT(s.evenHop(), c.hop / 5) << windowShapeName(c.shape);
    s.setEvenSchedule(false);
    EXPECT_EQ(s.evenHop(), 0);
  }
}

TEST(SpectrumGoertzel, MatchesTheFFTBinPower) {
  Spectrum s(10, kRate, WindowShape::Hann);
  const int n = 1024, bin = 37;
  std::vector<float> x(n);
  for (int i = 0; i < n; ++i) x[i] = static_cast<float>(0.8 * std::cos(2 * pi * bin * i / n + 0.5) + 0.1);
  FFT fft(10);
  std::vector<float> power(n / 2);
  fft.transform(x.data(), power.data());
  // Goertzel gives |X[k]|²; the FFT's convention is 4·|X[k]|².
  const float g = s.goertzel(x.data(), static_cast<float>(std::cos(2 * pi * bin / n)), n);
  EXPECT_NEAR(4 * g, power[bin], power[bin] * 1e-4);
  EXPECT_EQ(s.goertzel(x.data(), 0.5f, 0), 0.0f);
}

TEST(SpectrumRealTime, PerBlockPathDoesNotAllocate) {
  // The engine, the trace and its queued averaging step, as the controller
  // runs them for every block.
  Spectrum s(1, kRate, WindowShape::Hann);  // 2^17
  auto trace = std::make_unique<PlotTrace>();
  std::vector<float> block(kBlock, 0.1f);
  ui::MainThread::instance().drain();  // the process's main thread exists before the first block
  int spectra = 0;
  {
    testsupport::AllocationScope scope;
    for (int i = 0; i < 600; ++i) {
      SpectrumResult* r = s.compute(block.data(), kBlock);
      if (r->validBins) {
        const PlotTrace::AveragingStep step = trace->addDataSamplingRate(r, kRate);
        ui::MainThread::instance().runAsync(step.run, step.context);
        ++spectra;
      }
      ui::MainThread::instance().drain();
    }
    for (int i = 0; i < 600; ++i) spectra += s.computeWithOverlap(block.data(), kBlock)->validBins > 0;
    s.fill(block.data(), kBlock);
    EXPECT_EQ(scope.allocations(), 0);
  }
  EXPECT_GT(spectra, 10);

  // A recording's path: the even schedule, each spectrum averaged at once.
  Spectrum even(100, kRate, WindowShape::Hann);
  even.setEvenSchedule(true);
  int evenSpectra = 0;
  {
    testsupport::AllocationScope scope;
    for (int i = 0; i < 100; ++i) {
      for (int done = 0; done < kBlock;) {
        int taken = 0;
        SpectrumResult* r = even.computeEvenly(block.data() + done, kBlock - done, &taken);
        done += std::max(taken, 1);
        if (r->validBins) {
          trace->averageDataSamplingRate(r, kRate);
          ++evenSpectra;
        }
      }
    }
    EXPECT_EQ(scope.allocations(), 0);
  }
  EXPECT_GT(evenSpectra, 100);
}

}  // namespace
