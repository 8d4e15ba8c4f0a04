// Fractional-octave bands read from a trace: the base-ten band frequencies
// and names, the band filter's shape against the class 1 acceptance limits,
// and band levels of sines through the engine and of noise spectra.
#include "dsp/OctaveBands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <string>
#include <vector>

#include "QuietPlanner.h"
#include "dsp/FrequencyWeighting.h"
#include "SineSpectrum.h"
#include "dsp/Spectrum.h"
#include "support/AllocationCounter.h"

namespace {

using dsp::BandAnalysis;
using dsp::OctaveBand;
using std::numbers::pi;

constexpr int kFractions[] = {1, 3, 6, 12, 24};
const double kG = std::pow(10.0, 0.3);

double decibels(double ratio) { return 10 * std::log10(ratio); }

// IEC 61260-1:2014 Table 1, class 1: the limits on relative attenuation
// (dB) of octave-band filters at Ω = G^e and G^(−e); no upper limit from
// G^(1/2) on.
struct Limit {
  double exponent, least, most;
};
constexpr double kNone = 1e300;
constexpr Limit kClass1[] = {{0, -0.4, 0.4},     {0.125, -0.4, 0.5}, {0.25, -0.4, 0.7},
                             {0.375, -0.4, 1.4}, {0.5, 1.2, 5.3},    {1, 16.6, kNone},
                             {2, 40.5, kNone},   {3, 60, kNone},     {4, 70, kNone}};

// The breakpoint of band fraction b that corresponds to the octave band's
// Ω₁ = G^e (IEC 61260-1:2014): Ω_b = 1 + (G^(1/(2b)) − 1)/(G^(1/2) − 1)·(Ω₁ − 1)
// above mid-band, its reciprocal below.
double breakpoint(int b, double exponent) {
  const double above = 1 + (std::pow(kG, 0.5 / b) - 1) / (std::pow(kG, 0.5) - 1) * (std::pow(kG, std::abs(exponent)) - 1);
  return exponent < 0 ? 1 / above : above;
}

// Visits every breakpoint of Table 1 on both sides of mid-band.
template <class Visit>
void forEachBreakpoint(int b, Visit visit) {
  for (const Limit& limit : kClass1)
    for (double side : {-1.0, 1.0}) {
      if (limit.exponent == 0 && side < 0) continue;
      visit(side * limit.exponent, breakpoint(b, side * limit.exponent), limit);
    }
}

TEST(OctaveBandFrequencies, MidBandAndEdgesFollowTheBaseTenFormulas) {
  for (int b : kFractions) {
    SCOPED_TRACE(testing::Message() << "1/" << b << " octave");
    const std::vector<OctaveBand> bands = dsp::octaveBands(b, 20, 20000);
    ASSERT_FALSE(bands.empty());
    for (size_t i = 0; i < bands.size(); ++i) {
      const OctaveBand& band = bands[i];
      // IEC 61260-1:2014: f_m = f_r·G^(x/b) for odd b,
      // f_r·G^((2x+1)/(2b)) for even b; the edges f_m·G^(∓1/(2b)).
      const double exponent = b % 2 ? double(band.index) / b : (2.0 * band.index + 1) / (2.0 * b);
      const double fm = 1000 * std::pow(10.0, 0.3 * exponent);
      EXPECT_NEAR(band.center, fm, fm * 1e-12) << band.index;
      EXPECT_NEAR(band.lower, fm * std::pow(10.0, -0.15 / b), fm * 1e-12);
      EXPECT_NEAR(band.upper, fm * std::pow(10.0, 0.15 / b), fm * 1e-12);
      EXPECT_DOUBLE_EQ(dsp::midBandFrequency(b, band.index), band.center);
      // Contiguous, one band per index.
      if (i > 0) {
        EXPECT_EQ(band.index, bands[i - 1].index + 1);
        EXPECT_NEAR(band.lower, bands[i - 1].upper, fm * 1e-12);
      }
    }
    // The range holds the bands whose exact or nominal mid-band lies in it.
    EXPECT_TRUE(bands.front().center >= 20 || bands.front().nominal >= 20);
    EXPECT_LT(dsp::midBandFrequency(b, bands.front().index - 1), 20 / 1.01);
    EXPECT_TRUE(bands.back().center <= 20000 || bands.back().nominal <= 20000);
    EXPECT_GT(dsp::midBandFrequency(b, bands.back().index + 1), 20000 * 1.01);
  }
  EXPECT_EQ(dsp::octaveBands(3, 20, 20000).size(), 31u);
  EXPECT_EQ(dsp::octaveBands(1, 20, 20000).size(), 10u);
  EXPECT_EQ(dsp::octaveBands(6, 20, 20000).size(), 60u);
  EXPECT_TRUE(dsp::octaveBands(2, 20, 20000).empty());
  EXPECT_TRUE(dsp::octaveBands(3, 200, 100).empty());
  for (int b : {1, 3, 6, 12, 24}) EXPECT_TRUE(dsp::isBandFraction(b));
  for (int b : {0, 2, 4, 48, -3}) EXPECT_FALSE(dsp::isBandFraction(b));
}

std::vector<std::string> labels(int b, double lowest, double highest) {
  std::vector<std::string> out;
  for (const OctaveBand& band : dsp::octaveBands(b, lowest, highest)) out.push_back(band.label);
  return out;
}

TEST(OctaveBandFrequencies, BandsAreNamedByTheirNominalFrequencies) {
  // IEC 61260-1:2014 Annex E: the preferred nominal mid-band frequencies.
  const std::vector<std::string> thirds = {"20",   "25",   "31.5", "40",   "50",    "63",  "80",  "100",
                                           "125",  "160",  "200",  "250",  "315",   "400", "500", "630",
                                           "800",  "1k",   "1.25k", "1.6k", "2k",   "2.5k", "3.15k", "4k",
                                           "5k",   "6.3k", "8k",   "10k",  "12.5k", "16k", "20k"};
  EXPECT_EQ(labels(3, 20, 20000), thirds);
  EXPECT_EQ(labels(3, 10, 16), (std::vector<std::string>{"10", "12.5", "16"}));
  EXPECT_EQ(labels(1, 20, 20000),
            (std::vector<std::string>{"31.5", "63", "125", "250", "500", "1k", "2k", "4k", "8k", "16k"}));
  // Other fractions: three significant digits for a leading 1 to 4, two for
  // 5 to 9.
  struct Case { int b, x; double nominal; const char* label; } cases[] = {
      {6, 0, 1060, "1.06k"},    // 1059.25 Hz
      {6, -1, 940, "940"},      // 944.06 Hz
      {12, -1, 970, "970"},     // 971.63 Hz
      {12, 0, 1030, "1.03k"},   // 1029.20 Hz
      {24, -136, 20.2, "20.2"}, // 20.242 Hz
      {6, -30, 33.5, "33.5"},   // 33.497 Hz
      {24, 40, 3210, "3.21k"},  // 3208.1 Hz
      {24, 60, 5700, "5.7k"},   // 5704.9 Hz
      {6, 20, 10600, "10.6k"},  // 10592.5 Hz
  };
  for (const Case& c : cases) {
    const double fm = dsp::midBandFrequency(c.b, c.x);
    const double leading = fm / std::pow(10.0, std::floor(std::log10(fm)));
    const double step = std::pow(10.0, std::floor(std::log10(fm)) - (leading < 5 ? 2 : 1));
    EXPECT_DOUBLE_EQ(dsp::nominalFrequency(c.b, fm), std::round(fm / step) * step) << c.b << " " << c.x;
    EXPECT_NEAR(dsp::nominalFrequency(c.b, fm), c.nominal, 1e-9) << c.b << " " << c.x << " " << fm;
    EXPECT_EQ(dsp::bandLabel(dsp::nominalFrequency(c.b, fm)), c.label);
  }
  for (int b : kFractions)
    for (const OctaveBand& band : dsp::octaveBands(b, 10, 20000))
      EXPECT_NEAR(band.nominal / band.center, 1.0, 0.02) << b << " " << band.label;
}

TEST(BandShape, MeetsTheClass1LimitsAtEveryBreakpointOfEveryFraction) {
  for (int b : kFractions) {
    for (double fm : {dsp::midBandFrequency(b, -10), dsp::midBandFrequency(b, 0), dsp::midBandFrequency(b, 7)}) {
      forEachBreakpoint(b, [&](double exponent, double omega, const Limit& limit) {
        const double a = dsp::bandAttenuationDb(b, omega * fm, fm);
        EXPECT_GE(a, limit.least) << "1/" << b << " at G^" << exponent;
        EXPECT_LE(a, limit.most) << "1/" << b << " at G^" << exponent;
      });
      EXPECT_NEAR(dsp::bandAttenuationDb(b, fm, fm), 0.0, 1e-12);
      EXPECT_DOUBLE_EQ(dsp::bandPowerResponse(b, fm, fm), 1.0);
      // Rising monotonically away from mid-band, symmetric in log frequency,
      // so that no frequency between two breakpoints falls below the lower one's limit.
      double previous = 0;
      for (int i = 1; i <= 4000; ++i) {
        const double omega = std::pow(kG, i / 1000.0 / b);
        const double above = dsp::bandAttenuationDb(b, omega * fm, fm);
        EXPECT_GE(above, previous);
        EXPECT_NEAR(dsp::bandAttenuationDb(b, fm / omega, fm), above, 1e-9 * (1 + above));
        previous = above;
      }
    }
  }
  EXPECT_TRUE(std::isinf(dsp::bandAttenuationDb(3, 0, 1000)));
  EXPECT_EQ(dsp::bandPowerResponse(3, -5, 1000), 0.0);
}

// The effective bandwidth on a logarithmic frequency scale,
// ∫ 10^(−A/10) d(ln f), is the ideal band's ln(G)/b: pink noise reads the
// same in every band, and as the ideal band would.
TEST(BandShape, EffectiveBandwidthIsTheIdealBands) {
  for (int b : kFractions) {
    const double fm = 1000, step = 1e-5;
    double area = 0;
    for (double u = -6; u <= 6; u += step) area += dsp::bandPowerResponse(b, fm * std::exp(u), fm) * step;
    EXPECT_NEAR(decibels(area / (std::log(kG) / b)), 0.0, 0.001) << "1/" << b;
  }
}

// One spectrum of a sine of amplitude a at f Hz.
const SpectrumResult& sineAt(Spectrum& s, std::vector<float>& samples, double f, double a) {
  return sineSpectrum(s, samples, f * s.fftLength() / s.samplingRate(), a);
}

BandAnalysis analysisFor(const Spectrum& s, int b, double lowest, double highest) {
  BandAnalysis analysis;
  analysis.configure(b, lowest, highest, s.bins() / (s.samplingRate() / 2.0), s.bins(), s.noiseBandwidth());
  return analysis;
}

// The band's relative attenuation of a sine of amplitude 0.5 at f: its mean
// square over the band's level, in dB.
double measuredAttenuation(Spectrum& s, const BandAnalysis& analysis, int band, std::vector<float>& samples,
                           double f) {
  const SpectrumResult& r = sineAt(s, samples, f, 0.5);
  std::vector<double> levels(analysis.bands().size());
  analysis.measure(r.output, r.bins, nullptr, levels.data());
  return decibels(0.125 / levels[static_cast<size_t>(band)]);
}

// Sines at every breakpoint of a resolved band of every fraction, through
// the engine at several rates, RBWs and windows, read within the class 1
// limits; at mid-band within 0.1 dB of their mean square.
TEST(BandLevels, SinesThroughTheEngineMeetTheClass1Limits) {
  struct Case { float rate, rbw; WindowShape shape; } cases[] = {
      {48000, 10, WindowShape::Hann},     {48000, 10, WindowShape::Blackman}, {48000, 10, WindowShape::Gaussian},
      {48000, 10, WindowShape::FlatTop},  {48000, 1, WindowShape::Gaussian},  {44100, 3, WindowShape::Hann},
      {96000, 10, WindowShape::Blackman}, {96000, 3, WindowShape::FlatTop}};
  std::vector<float> samples;
  for (const Case& c : cases) {
    Spectrum s(c.rbw, c.rate, c.shape);
    for (int b : kFractions) {
      const BandAnalysis analysis = analysisFor(s, b, 500, 8000);
      // The lowest resolved band from 500 Hz up.
      int band = 0;
      while (band < static_cast<int>(analysis.bands().size()) && !analysis.resolved(band)) ++band;
      ASSERT_LT(band, static_cast<int>(analysis.bands().size()));
      const double fm = analysis.bands()[static_cast<size_t>(band)].center;
      SCOPED_TRACE(testing::Message() << "rate " << c.rate << " rbw " << c.rbw << " " << windowShapeName(c.shape)
                                      << " 1/" << b << " band at " << fm << " Hz");
      forEachBreakpoint(b, [&](double exponent, double omega, const Limit& limit) {
        const double a = measuredAttenuation(s, analysis, band, samples, omega * fm);
        EXPECT_GE(a, limit.least) << "at G^" << exponent;
        EXPECT_LE(a, limit.most) << "at G^" << exponent;
        if (exponent == 0) {
          EXPECT_NEAR(a, 0.0, 0.1);
        }
      });
    }
  }
}

// A band three noise bandwidths wide is resolved and reads within the
// limits with every window; at two noise bandwidths the sine just inside
// the lower edge reads too low with every window, so it is not resolved.
TEST(BandLevels, OnlyBandsAtLeastThreeNoiseBandwidthsWideAreResolved) {
  const double fm = 1000, width = dsp::upperEdge(3, fm) - dsp::lowerEdge(3, fm);
  std::vector<float> samples;
  for (WindowShape shape : {WindowShape::Blackman, WindowShape::Gaussian, WindowShape::Hann, WindowShape::FlatTop}) {
    SCOPED_TRACE(windowShapeName(shape));
    Spectrum s(static_cast<float>(width / 3), 48000, shape);
    BandAnalysis analysis = analysisFor(s, 3, 1000, 1000);
    ASSERT_EQ(analysis.bands().size(), 1u);
    // The engine's noise bandwidth is within 1 % of the RBW asked for:
    // configure with the exact threshold on either side.
    analysis.configure(3, 1000, 1000, s.bins() / 24000.0, s.bins(), width / 3 * 0.999);
    EXPECT_TRUE(analysis.resolved(0));
    analysis.configure(3, 1000, 1000, s.bins() / 24000.0, s.bins(), width / 3 * 1.001);
    EXPECT_FALSE(analysis.resolved(0));
    analysis = analysisFor(s, 3, 1000, 1000);
    forEachBreakpoint(3, [&](double exponent, double omega, const Limit& limit) {
      if (std::abs(exponent) > 1) return;
      const double a = measuredAttenuation(s, analysis, 0, samples, omega * fm);
      EXPECT_GE(a, limit.least) << "at G^" << exponent;
      EXPECT_LE(a, limit.most) << "at G^" << exponent;
    });

    Spectrum wide(static_cast<float>(width / 2), 48000, shape);
    const BandAnalysis coarse = analysisFor(wide, 3, 1000, 1000);
    EXPECT_FALSE(coarse.resolved(0));
    // Table 1: at most 1.4 dB at G^(−3/8).
    EXPECT_GT(measuredAttenuation(wide, coarse, 0, samples, breakpoint(3, -0.375) * fm), 1.4);
  }
  // A band the Nyquist frequency cuts is not resolved: at 44.1 kHz the
  // 20 kHz third-octave band reaches 22.4 kHz.
  BandAnalysis analysis;
  analysis.configure(3, 12500, 20000, 65536 / 22050.0, 65536, 1.0);
  ASSERT_EQ(analysis.bands().size(), 3u);
  EXPECT_TRUE(analysis.resolved(0));
  EXPECT_TRUE(analysis.resolved(1));
  EXPECT_FALSE(analysis.resolved(2));
  EXPECT_FALSE(analysis.resolved(3));
  EXPECT_FALSE(analysis.resolved(-1));
}

// A trace of a noise density D(f) as the engine reads it: P_k = bins²·D·RBW.
std::vector<float> noiseTrace(int bins, double binsPerHertz, double rbw, double (*density)(double)) {
  std::vector<float> trace(static_cast<size_t>(bins));
  for (int k = 1; k < bins; ++k) trace[static_cast<size_t>(k)] = static_cast<float>(double(bins) * bins * density(k / binsPerHertz) * rbw);
  return trace;
}

TEST(BandLevels, PinkNoiseReadsEqualLevelsAndWhiteNoiseTheBandsWidthTimesItsDensity) {
  const int bins = 262144;
  const double bph = bins / 24000.0, rbw = 1.0;
  const std::vector<float> pink = noiseTrace(bins, bph, rbw, [](double f) { return 1e-6 / f; });
  const std::vector<float> white = noiseTrace(bins, bph, rbw, [](double) { return 1e-9; });
  for (int b : kFractions) {
    SCOPED_TRACE(testing::Message() << "1/" << b);
    BandAnalysis analysis;
    analysis.configure(b, 25, 16000, bph, bins, rbw);
    std::vector<double> levels(analysis.bands().size());
    analysis.measure(pink.data(), bins, nullptr, levels.data());
    // Pink noise of density c/f has c·ln(G)/b in every ideal band; the
    // 16 kHz octave band misses the skirt beyond 24 kHz, 0.06 dB of it.
    const double ideal = 1e-6 * std::log(kG) / b;
    const auto [least, most] = std::minmax_element(levels.begin(), levels.end());
    EXPECT_LE(decibels(*most / *least), 0.3);
    for (size_t i = 0; i < levels.size(); ++i) EXPECT_NEAR(decibels(levels[i] / ideal), 0.0, 0.1) << analysis.bands()[i].label;

    analysis.measure(white.data(), bins, nullptr, levels.data());
    for (size_t i = 0; i < levels.size(); ++i) {
      const OctaveBand& band = analysis.bands()[i];
      EXPECT_NEAR(decibels(levels[i] / (1e-9 * (band.upper - band.lower))), 0.0, 0.1) << band.label;
    }
  }
  // The span's overall level: every bin, density × span.
  BandAnalysis analysis;
  analysis.configure(3, 25, 16000, bph, bins, rbw);
  EXPECT_NEAR(decibels(analysis.overallPower(white.data(), bins, 100, 10000, nullptr) / (1e-9 * 9900)), 0.0, 0.001);
  // A trace of another bin count reads nothing.
  std::vector<double> levels(analysis.bands().size(), 1.0);
  analysis.measure(white.data(), bins / 2, nullptr, levels.data());
  EXPECT_EQ(*std::max_element(levels.begin(), levels.end()), 0.0);
  EXPECT_EQ(analysis.overallPower(white.data(), bins / 2, 100, 10000, nullptr), 0.0);
}

// A weighting's gains apply per bin: a 100 Hz sine reads its mean square
// times the A weighting's −19.1 dB there (IEC 61672-1:2013 Table 3), in its
// third-octave band and overall. The band and overall readings allocate nothing.
TEST(BandLevels, BinGainsWeighTheBandsAndTheOverallLevel) {
  Spectrum s(1, 48000, WindowShape::Hann);
  const int bins = s.bins();
  const double bph = bins / 24000.0;
  std::vector<float> gains(static_cast<size_t>(bins));
  dsp::fillWeightingGains(dsp::Weighting::A, bph, bins, gains.data());
  const BandAnalysis analysis = analysisFor(s, 3, 20, 20000);
  std::vector<float> samples;
  const SpectrumResult& r = sineAt(s, samples, 100, 0.5);
  std::vector<double> levels(analysis.bands().size());
  double overall = 0, plain = 0;
  {
    testsupport::AllocationScope scope;
    analysis.measure(r.output, bins, gains.data(), levels.data());
    overall = analysis.overallPower(r.output, bins, 20, 20000, gains.data());
    plain = analysis.overallPower(r.output, bins, 20, 20000, nullptr);
    EXPECT_EQ(scope.allocations(), 0);
  }
  const double expected = decibels(0.125) + dsp::weightingDb(dsp::Weighting::A, 100);
  EXPECT_NEAR(expected - decibels(0.125), -19.1, 0.05);
  const size_t band = 7;  // 20, 25, 31.5, 40, 50, 63, 80, 100 Hz
  EXPECT_EQ(analysis.bands()[band].label, "100");
  EXPECT_NEAR(decibels(levels[band]), expected, 0.02);
  EXPECT_NEAR(decibels(overall), expected, 0.02);
  EXPECT_NEAR(decibels(plain / 0.125), 0.0, 0.01);
  // The neighbouring bands hold the band filter's skirts only: 100 Hz lies
  // a third octave from their mid-bands, beyond their G^(±1) breakpoints.
  EXPECT_LT(decibels(levels[band - 1] / levels[band]), -16.6);
  EXPECT_LT(decibels(levels[band + 1] / levels[band]), -16.6);
}

}  // namespace
