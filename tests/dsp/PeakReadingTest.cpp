// Readings through the window's shape: the flat-top window's level and
// noise bandwidth, a sine's frequency and level between two bins, and the
// noise density under a band. Signals go through the engine as the
// controller feeds it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <vector>

#include "QuietPlanner.h"
#include "dsp/PeakReading.h"
#include "SineSpectrum.h"
#include "dsp/Spectrum.h"

namespace {

using std::numbers::pi;

constexpr float kRates[] = {44100, 48000};
constexpr WindowShape kShapes[] = {WindowShape::Blackman, WindowShape::Gaussian, WindowShape::Hann,
                                   WindowShape::FlatTop, WindowShape::BlackmanHarris7};
constexpr int kMenuTags[] = {0, 5, 10, 15, 20, 25, 30};  // the RBW menu: 10·log10 of the RBW in Hz

float rbwOfTag(int tag) { return static_cast<float>(std::pow(10.0, tag * 0.1)); }

double decibels(double ratio) { return 10 * std::log10(ratio); }

}  // namespace

// A flat-top window: a sine reads its mean-square (A²/2) on a bin and half
// way between two, within 0.02 dB, with no correction at all; and its noise
// bandwidth is the RBW, for every RBW of the menu at 44.1 and 48 kHz.
TEST(FlatTopWindow, ReadsASineOnAndBetweenBinsAndHasTheRBWAsNoiseBandwidth) {
  std::vector<float> samples;
  const double a = 0.5;
  for (float rate : kRates) {
    for (int tag : kMenuTags) {
      const float rbw = rbwOfTag(tag);
      Spectrum s(rbw, rate, WindowShape::FlatTop);
      SCOPED_TRACE(testing::Message() << "rate " << rate << " rbw " << rbw);
      ASSERT_EQ(s.windowType(), 3);
      ASSERT_EQ(s.windowShape(), WindowShape::FlatTop);
      EXPECT_NEAR(s.noiseBandwidth() / rbw, 1.0, 0.01);
      const int bins = s.bins(), k = bins / 4 + 3;
      for (double offset : {0.0, 0.5}) {
        const SpectrumResult& r = sineSpectrum(s, samples, k + offset, a);
        const double level = r.output[k] / (double(bins) * bins);
        EXPECT_NEAR(decibels(level / (a * a / 2)), 0.0, 0.02) << "offset " << offset;
      }
    }
  }
  // Asked for by its menu tag and by its name.
  EXPECT_EQ(windowShapeForTag(3), WindowShape::FlatTop);
  EXPECT_EQ(windowShapeNamed("flattop"), WindowShape::FlatTop);
  EXPECT_STREQ(windowShapeName(WindowShape::FlatTop), "flattop");
  EXPECT_FALSE(windowShapeNamed("flat"));
  EXPECT_EQ(windowShapeForTag(4), WindowShape::BlackmanHarris7);
  EXPECT_EQ(windowShapeNamed("blackman-harris-7"), WindowShape::BlackmanHarris7);
  // By number, as the settings keep it: 3 is the flat-top, a number beyond
  // the five shapes the Gaussian.
  Spectrum byNumber(10, 48000, windowShapeForTag(3));
  EXPECT_EQ(byNumber.windowShape(), WindowShape::FlatTop);
  Spectrum unknown(10, 48000, windowShapeForTag(5));
  EXPECT_EQ(unknown.windowShape(), WindowShape::Gaussian);
}

// A sine anywhere across one bin (41 frequencies from half a bin below to
// half a bin above it) reads its frequency within 2 % of a bin and its
// level within 0.05 dB, for every window and menu RBW at 44.1 and 48 kHz.
TEST(PeakReading, ASineBetweenBinsReadsItsFrequencyAndLevel) {
  std::vector<float> samples;
  const double a = 0.3;
  const double expectedLevel = decibels(a * a / 2);
  for (float rate : kRates) {
    for (WindowShape shape : kShapes) {
      for (int tag : kMenuTags) {
        const float rbw = rbwOfTag(tag);
        Spectrum s(rbw, rate, shape);
        WindowResponse response;
        response.prepare(s);
        ASSERT_TRUE(response.valid());
        ASSERT_EQ(response.bins(), s.bins());
        EXPECT_NEAR(response.noiseBandwidth(), s.noiseBandwidth(), 1e-6 * rbw);
        const int bins = s.bins(), k = bins / 4 + 5;
        const float binsPerHertz = static_cast<float>(bins / (rate / 2.0));
        double worstFrequency = 0, worstLevel = 0, rawLevel = 0;
        for (int i = 0; i <= 40; ++i) {
          const double bin = k - 0.5 + i / 40.0;
          const SpectrumResult& r = sineSpectrum(s, samples, bin, a);
          const PeakReading p = readPeak(response, r.output, bins, k - 3, k + 3, binsPerHertz);
          ASSERT_TRUE(p.valid);
          worstFrequency = std::max(worstFrequency, std::abs(p.frequency * binsPerHertz - bin));
          worstLevel = std::max(worstLevel, std::abs(p.level - expectedLevel));
          rawLevel = std::max(rawLevel, std::abs(decibels(r.output[p.bin] / (double(bins) * bins)) - expectedLevel));
        }
        SCOPED_TRACE(testing::Message() << "rate " << rate << " window " << windowShapeName(shape) << " rbw " << rbw
                                        << ": worst " << worstFrequency << " bins, " << worstLevel << " dB (raw "
                                        << rawLevel << " dB)");
        EXPECT_LE(worstFrequency, 0.02);
        EXPECT_LE(worstLevel, 0.05);
      }
    }
  }
}

// What a reading does without a response that fits: the bin as it is.
TEST(PeakReading, WithoutAFittingResponseTheBinIsReadAsItIs) {
  std::vector<float> power(1024, 1.0f);
  power[300] = 400.0f;
  power[299] = power[301] = 200.0f;
  WindowResponse none;
  PeakReading p = readPeak(none, power.data(), 1024, 100, 500, 0.5f);
  ASSERT_TRUE(p.valid);
  EXPECT_EQ(p.bin, 300);
  EXPECT_EQ(p.offset, 0.0);
  EXPECT_DOUBLE_EQ(p.frequency, 600.0);
  EXPECT_DOUBLE_EQ(p.level, decibels(400.0 / (1024.0 * 1024.0)));
  EXPECT_FALSE(readPeak(none, power.data(), 1024, 600, 500, 0.5f).valid);

  // A response of another bin count was made with another window.
  Spectrum s(100, 48000, WindowShape::Hann);
  WindowResponse other;
  other.prepare(s);
  ASSERT_NE(other.bins(), 1024);
  EXPECT_EQ(readPeakAt(other, power.data(), 1024, 300, 0.5f).offset, 0.0);
}

// A sine near 0 Hz or the Nyquist frequency, whose image (at −f, or at
// fs − f) adds to the bins around it: from one noise bandwidth of the edge
// on it reads its frequency within 0.1 Hz and its level within 0.05 dB at
// RBW 100 Hz, whatever its phase. 60 Hz, 0.6 noise bandwidths from 0 Hz,
// reads as well or is marked uncertain; nearer the edge the two lobes merge
// and the reading is always uncertain. An uncertain reading is the bin's own.
TEST(PeakReading, ASineNearAnEdgeReadsItsFrequencyAndLevelOrIsMarkedUncertain) {
  std::vector<float> samples;
  const float rate = 48000, rbw = 100;
  const double a = 0.3, expectedLevel = decibels(a * a / 2);
  for (WindowShape shape : kShapes) {
    Spectrum s(rbw, rate, shape);
    WindowResponse response;
    response.prepare(s);
    const int bins = s.bins(), lobe = static_cast<int>(std::ceil(response.noiseBandwidthBins()));
    const float binsPerHertz = static_cast<float>(bins / (rate / 2.0));
    const double nbw = response.noiseBandwidth();
    for (bool nyquist : {false, true}) {
      for (double fromEdge : {0.2 * nbw, 0.4 * nbw, 60.0, nbw, 1.5 * nbw, 2 * nbw, 3 * nbw, 5 * nbw}) {
        for (int phase = 0; phase < 6; ++phase) {
          const double f = nyquist ? rate / 2 - fromEdge : fromEdge, bin = f * binsPerHertz;
          const SpectrumResult& r = sineSpectrum(s, samples, bin, a, phase * pi / 6);
          const int k = static_cast<int>(std::lround(bin));
          const PeakReading p = readPeak(response, r.output, bins, k - lobe, k + lobe, binsPerHertz);
          SCOPED_TRACE(testing::Message() << windowShapeName(shape) << " at " << f << " Hz, phase " << phase);
          ASSERT_TRUE(p.valid);
          EXPECT_TRUE(p.uncertain || fromEdge >= 0.5 * nbw) << "the lobes merge";
          if (p.uncertain) {
            EXPECT_LT(fromEdge, nbw);
            EXPECT_EQ(p.offset, 0.0);
            EXPECT_DOUBLE_EQ(p.frequency, p.bin / static_cast<double>(binsPerHertz));
            EXPECT_DOUBLE_EQ(p.power, r.output[p.bin]);
          } else {
            EXPECT_NEAR(p.frequency, f, 0.1);
            EXPECT_NEAR(p.level, expectedLevel, 0.05);
          }
        }
      }
    }
  }
}

// Far from the edges the reading is the flanks' ratio inverted through Γ,
// the bin's power over Γ(offset): from just beyond the image's reach on.
TEST(PeakReading, FarFromTheEdgesTheFlanksRatioIsInverted) {
  std::vector<float> samples;
  for (WindowShape shape : kShapes) {
    Spectrum s(100, 48000, shape);
    WindowResponse response;
    response.prepare(s);
    const int bins = s.bins(), m = response.flank();
    const double beyond = std::ceil(0.5 * (response.imageReach() + m + response.reach()));
    for (double bin : {beyond + 0.3, bins - beyond - 0.3, bins / 4 + 0.3}) {
      const SpectrumResult& r = sineSpectrum(s, samples, bin, 0.3);
      const int k = static_cast<int>(std::lround(bin));
      const PeakReading p = readPeakAt(response, r.output, bins, k, 1.0f);
      SCOPED_TRACE(testing::Message() << windowShapeName(shape) << " at bin " << bin);
      EXPECT_FALSE(p.uncertain);
      const double measured = std::log(r.output[k + m] / double(r.output[k - m]));
      EXPECT_NEAR(std::log(response.relativePower(m - p.offset) / response.relativePower(m + p.offset)), measured,
                  1e-9);
      EXPECT_DOUBLE_EQ(p.power, r.output[k] / response.relativePower(p.offset));
      EXPECT_NEAR(p.offset, bin - k, 0.02);
    }
  }
}

// White noise of variance σ² at rate fs has the one-sided density σ²/(fs/2);
// the noise reading divides the band's mean power by the window's noise
// bandwidth and reads that density for every window.
TEST(NoiseDensity, WhiteNoiseReadsItsDensityPerHertz) {
  const float rate = 48000, rbw = 100;
  const double variance = 0.02;
  uint64_t seed = 99;
  auto uniform = [&] {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    return (static_cast<double>(seed >> 11) + 0.5) / 9007199254740992.0;
  };
  for (WindowShape shape : kShapes) {
    Spectrum s(rbw, rate, shape);
    WindowResponse response;
    response.prepare(s);
    const int n = s.fftLength(), bins = s.bins();
    std::vector<float> samples(static_cast<size_t>(n));
    std::vector<float> sum(static_cast<size_t>(bins), 0.0f);
    constexpr int kSpectra = 16;
    for (int spectrum = 0; spectrum < kSpectra; ++spectrum) {
      for (int i = 0; i < n; i += 2) {  // Box-Muller, two normal samples at a time
        const double r = std::sqrt(-2 * std::log(uniform()) * variance), phi = 2 * pi * uniform();
        samples[static_cast<size_t>(i)] = static_cast<float>(r * std::cos(phi));
        samples[static_cast<size_t>(i) + 1] = static_cast<float>(r * std::sin(phi));
      }
      s.fill(samples.data(), n);
      const SpectrumResult* r = s.computeWithOverlap(samples.data(), 0);
      for (int k = 0; k < bins; ++k) sum[static_cast<size_t>(k)] += r->output[k] / kSpectra;
    }
    const double density = noiseDensity(sum.data(), bins, 16, bins - 16, response.noiseBandwidth());
    EXPECT_NEAR(decibels(density / (variance / (rate / 2))), 0.0, 0.2) << windowShapeName(shape);
  }
  const float flat[4] = {1, 1, 1, 1};
  EXPECT_EQ(noiseDensity(flat, 4, 2, 2, 10.0), 0.0);
  EXPECT_EQ(noiseDensity(flat, 4, 0, 4, 0.0), 0.0);
}
