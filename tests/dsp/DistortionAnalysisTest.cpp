// Distortion and noise readings of synthetic 32-bit float signals through
// the engine's seven-term Blackman–Harris window: a sine with harmonics at
// known levels, with and without white noise of known density.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>
#include <random>
#include <vector>

#include "dsp/DistortionAnalysis.h"
#include "dsp/LobeSums.h"
#include "dsp/PeakReading.h"
#include "dsp/PlotTrace.h"
#include "dsp/Spectrum.h"
#include "support/AllocationCounter.h"

namespace {

using std::numbers::pi;

double decibels(double ratio) { return 10 * std::log10(ratio); }

// H2 … H6 at −40 … −120 dBc, each at its own phase.
constexpr double kHarmonicDbc[] = {-40, -60, -80, -100, -120};

struct Signal {
  double rate = 48000;
  double frequency = 1000;
  double amplitude = 0.5;
  bool harmonics = true;
  double noiseSigma = 0;  // white noise's standard deviation
};

// The engine's spectra of the signal averaged over whole windows (an even
// hop), as the analysis of a recording averages them, and the response of
// its window. RBW 3.16 Hz, the distortion readout's finest.
struct Measured {
  std::vector<float> trace;
  WindowResponse response;
  int bins = 0;
};

Measured measure(const Signal& g, int spectra = 3) {
  Spectrum s(3.1623f, static_cast<float>(g.rate), WindowShape::BlackmanHarris7);
  s.setEvenSchedule(true);
  const int length = s.windowedBins() + (spectra - 1) * s.evenHop();
  std::vector<float> x(static_cast<size_t>(length));
  std::mt19937 random(7);
  std::normal_distribution<double> noise(0.0, g.noiseSigma > 0 ? g.noiseSigma : 1.0);
  for (int n = 0; n < length; ++n) {
    const double t = 2 * pi * g.frequency * n / g.rate;
    double v = g.amplitude * std::sin(t + 0.3);
    if (g.harmonics)
      for (int h = 0; h < 5; ++h)
        if ((h + 2) * g.frequency < g.rate / 2)
          v += g.amplitude * std::pow(10.0, kHarmonicDbc[h] / 20) * std::sin((h + 2) * t + 0.7 * h);
    if (g.noiseSigma > 0) v += noise(random);
    x[static_cast<size_t>(n)] = static_cast<float>(v);
  }
  Measured m;
  m.bins = s.bins();
  std::vector<double> sum(static_cast<size_t>(m.bins), 0.0);
  int count = 0;
  for (int at = 0; at < length;) {
    int taken = 0;
    const SpectrumResult* r = s.computeEvenly(x.data() + at, std::min(512, length - at), &taken);
    at += taken;
    if (r->validBins != r->bins) continue;
    for (int k = 0; k < m.bins; ++k) sum[static_cast<size_t>(k)] += r->output[k];
    ++count;
  }
  EXPECT_EQ(count, spectra);
  m.trace.resize(sum.size());
  for (size_t k = 0; k < sum.size(); ++k) m.trace[k] = static_cast<float>(sum[k] / count);
  m.response.prepare(s);
  return m;
}

dsp::DistortionReading read(const Measured& m, dsp::DistortionSettings settings = {}) {
  dsp::DistortionAnalysis analysis;
  EXPECT_TRUE(analysis.configure(m.response, settings));
  return analysis.analyse(m.trace.data(), m.bins);
}

// The bin width of the engine's FFT at RBW 3.16 Hz.
double binWidth(double rate) {
  Spectrum s(3.1623f, static_cast<float>(rate), WindowShape::BlackmanHarris7);
  return rate / s.fftLength();
}

// The frequency of a bin near f, inside 20 Hz – 20 kHz, or `between` of a
// bin from it towards 1 kHz.
double onBin(double rate, double f, double between) {
  const double width = binWidth(rate);
  const double k = f >= 20000 ? std::floor(f / width) : f <= 20 ? std::ceil(f / width) : std::round(f / width);
  return (k + (f >= 10000 ? -between : between)) * width;
}

}  // namespace

// Each harmonic reads its level within 0.1 dB and THD the root-sum of the
// in-band ones within 0.1 dB, on a bin and half way between two, at 44.1,
// 48 and 96 kHz, from 20 Hz to 20 kHz; with white noise of −140 dB over the
// band too, 40 dB below the −120 dBc harmonic (−129 dB) within its lobe of
// some 20 Hz, where the harmonic's and the noise's amplitudes beating
// together move its reading by a few hundredths of a dB. Harmonics above
// 20 kHz are out of reach, with no level, and left out of THD.
TEST(DistortionAnalysis, ReadsEachHarmonicAndTheirRootSumOnAndBetweenBins) {
  for (double rate : {44100.0, 48000.0, 96000.0}) {
    for (double f : {20.0, 1000.0, 10000.0, 20000.0}) {
      for (double offset : {0.0, 0.5}) {
        for (bool noisy : {false, true}) {
          Signal g;
          g.rate = rate;
          g.frequency = onBin(rate, f, offset);
          // σ² over the band (20 kHz of rate/2) at −140 dB.
          g.noiseSigma = noisy ? std::sqrt(1e-14 * rate / 2 / 20000) : 0;
          SCOPED_TRACE(testing::Message() << rate << " Hz, fundamental " << g.frequency << (noisy ? ", noise" : ""));
          const dsp::DistortionReading r = read(measure(g));
          ASSERT_TRUE(r.valid);
          EXPECT_NEAR(r.fundamentalHz, g.frequency, 0.02 * binWidth(rate));
          EXPECT_NEAR(r.fundamentalDb, decibels(g.amplitude * g.amplitude / 2), 0.01);
          double expected = 0;
          int inBand = 0;
          for (const dsp::HarmonicReading& h : r.harmonics) {
            EXPECT_NEAR(h.frequency, h.order * r.fundamentalHz, 1e-9);
            const bool reachable = h.order * g.frequency <= 20000;
            EXPECT_EQ(h.inBand, reachable) << "H" << h.order;
            if (!reachable || h.order > 6) continue;
            const double dbc = kHarmonicDbc[h.order - 2];
            EXPECT_NEAR(h.levelDb, dbc, 0.1) << "H" << h.order;
            expected += std::pow(10.0, dbc / 10);
            ++inBand;
          }
          EXPECT_EQ(r.harmonicsInBand, std::min(9, static_cast<int>(20000 / g.frequency) - 1));
          if (inBand > 0) {
            EXPECT_NEAR(r.thdDb, decibels(expected), 0.1);
            EXPECT_NEAR(r.thdPercent, 100 * std::sqrt(expected), 0.012 * 100 * std::sqrt(expected));
          } else {
            EXPECT_EQ(r.thdDb, -std::numeric_limits<double>::infinity());
          }
        }
      }
    }
  }
}

// A sine with white noise of known density: THD+N reads the band's noise
// power (σ² × 19.98 kHz / (rate/2)) against the fundamental within 0.2 dB,
// SINAD its negative, and the noise level and SNR the same noise; with the
// A weighting the noise reads the density times the weighting's power gain
// integrated over the band.
TEST(DistortionAnalysis, ThdPlusNoiseReadsTheBandsNoise) {
  for (double rate : {44100.0, 48000.0, 96000.0}) {
    for (double f : {20.0, 1000.0, 10000.0, 20000.0}) {
      Signal g;
      g.rate = rate;
      g.frequency = onBin(rate, f, 0.37);
      g.harmonics = false;
      g.noiseSigma = 1e-4;  // −80 dB over the whole band to rate/2
      SCOPED_TRACE(testing::Message() << rate << " Hz, fundamental " << g.frequency);
      const Measured m = measure(g, 6);
      const double density = g.noiseSigma * g.noiseSigma / (rate / 2);
      const double noise = density * (20000 - 20);
      const double fundamental = g.amplitude * g.amplitude / 2;
      const dsp::DistortionReading r = read(m);
      ASSERT_TRUE(r.valid);
      EXPECT_NEAR(r.thdnDb, decibels(noise / fundamental), 0.2);
      EXPECT_NEAR(r.thdnPercent, 100 * std::sqrt(noise / fundamental), 0.025 * 100 * std::sqrt(noise / fundamental));
      EXPECT_DOUBLE_EQ(r.sinadDb, -r.thdnDb);
      EXPECT_NEAR(r.noiseDb, decibels(noise), 0.2);
      EXPECT_NEAR(r.snrDb, decibels(fundamental / noise), 0.2);

      dsp::DistortionSettings weighted;
      weighted.noiseWeighting = dsp::Weighting::A;
      double gain = 0;
      for (double hz = 20; hz < 20000; hz += 0.5) gain += dsp::weightingPowerGain(dsp::Weighting::A, hz + 0.25) * 0.5;
      const dsp::DistortionReading a = read(m, weighted);
      EXPECT_NEAR(a.noiseDb, decibels(density * gain), 0.2);
      EXPECT_NEAR(a.thdnDb, r.thdnDb, 1e-9);  // THD+N stays unweighted
    }
  }
}

// The readout's own residual: a −1 dBFS float sine at 997 Hz, nothing else,
// reads THD below −140 dB and THD+N below −125 dB over 20 Hz – 20 kHz.
TEST(DistortionAnalysis, AFloatSineLeavesAResidualFarBelowTheReadings) {
  for (double rate : {44100.0, 48000.0, 96000.0}) {
    Signal g;
    g.rate = rate;
    g.frequency = 997;
    g.amplitude = std::pow(10.0, -1.0 / 20);
    g.harmonics = false;
    const dsp::DistortionReading r = read(measure(g));
    ASSERT_TRUE(r.valid) << rate;
    EXPECT_LT(r.thdDb, -140) << rate;
    EXPECT_LT(r.thdnDb, -125) << rate;
    EXPECT_NEAR(r.fundamentalDb, -1 - 3.0103, 0.01) << rate;
  }
}

// The band's upper limit up to half the rate brings harmonics into reach;
// one whose lobe would reach half the rate stays out. A given frequency
// picks the fundamental under a louder tone. Analysis allocates nothing.
TEST(DistortionAnalysis, TheBandChoosesTheHarmonicsInReachAndAnalysisAllocatesNothing) {
  Signal g;
  g.frequency = onBin(48000, 7000, 0.25);
  const Measured m = measure(g);
  dsp::DistortionSettings wide;
  wide.upperHz = 30000;  // read to 24 kHz
  dsp::DistortionAnalysis analysis;
  ASSERT_TRUE(analysis.configure(m.response, wide));
  dsp::DistortionReading r;
  {
    testsupport::AllocationScope scope;
    r = analysis.analyse(m.trace.data(), m.bins);
    EXPECT_EQ(scope.allocations(), 0);
  }
  ASSERT_TRUE(r.valid);
  EXPECT_TRUE(r.harmonics[0].inBand);  // 14 kHz
  EXPECT_TRUE(r.harmonics[1].inBand);  // 21 kHz, up to 24 kHz now
  EXPECT_NEAR(r.harmonics[1].levelDb, -60, 0.1);
  EXPECT_FALSE(r.harmonics[2].inBand);  // 28 kHz: beyond half the rate, never folded
  EXPECT_EQ(r.harmonicsInBand, 2);
  EXPECT_NEAR(r.thdDb, decibels(1e-4 + 1e-6), 0.1);
  // The default band stops at 20 kHz: H3 at 21 kHz is out of reach.
  const dsp::DistortionReading narrow = read(m);
  EXPECT_FALSE(narrow.harmonics[1].inBand);
  EXPECT_EQ(narrow.harmonicsInBand, 1);
  EXPECT_NEAR(narrow.thdDb, -40, 0.1);
  // A given fundamental: the second harmonic read as the fundamental.
  dsp::DistortionSettings given;
  given.fundamentalHz = 14000;
  const dsp::DistortionReading second = read(m, given);
  ASSERT_TRUE(second.valid);
  EXPECT_NEAR(second.fundamentalHz, 2 * g.frequency, 0.05);
  EXPECT_NEAR(second.fundamentalDb, decibels(0.125) - 40, 0.02);
  // Another bin count was made with another window: nothing read.
  EXPECT_FALSE(analysis.analyse(m.trace.data(), m.bins / 2).valid);
}

// The band's one pass: a run's sum from the blocks is the run's own sum
// wherever its ends fall (inside one block, on a boundary, across many),
// weighted too, and the highest bin is the first of equal ones even when
// a later block holds the same value.
TEST(BandBlocks, RunsReadAsTheirOwnSumsAndTheHighestIsTheFirstOfEqualOnes) {
  constexpr int kBins = 5000, kFirst = 37, kLast = 4321;
  std::mt19937 random(7);
  std::uniform_real_distribution<float> level(0.0f, 1.0f);
  std::vector<float> power(kBins), gains(kBins);
  for (int k = 0; k < kBins; ++k) {
    power[static_cast<size_t>(k)] = 1e-6f * level(random);
    gains[static_cast<size_t>(k)] = level(random);
  }
  power[3000] = power[1000] = 2.0f;  // two equal highest bins, in other blocks
  power[10] = 5.0f;                  // higher, but outside the band
  dsp::BandBlocks blocks;
  blocks.configure(kFirst, kLast, true);
  EXPECT_EQ(blocks.scan(power.data(), gains.data()), 1000);
  const int B = dsp::BandBlocks::kBlockBins;
  const std::pair<int, int> runs[] = {{kFirst, kLast},          {kFirst, kFirst},         {kFirst + B - 1, kFirst + B},
                                      {kFirst + B, kFirst + 3 * B - 1}, {100, 120},    {500, 4000},
                                      {0, 60},                  {4300, 4999},             {2000, 1999}};
  for (const auto& [from, to] : runs) {
    const int a = std::max(from, kFirst), b = std::min(to, kLast);
    const double plain = dsp::binSum(power.data(), a, b);
    const double weighted = dsp::weightedBinSum(power.data(), gains.data(), a, b);
    EXPECT_NEAR(blocks.sum(power.data(), from, to), plain, 1e-6 * plain + 1e-30) << from << "-" << to;
    EXPECT_NEAR(blocks.weightedSum(power.data(), gains.data(), from, to), weighted, 1e-6 * weighted + 1e-30)
        << from << "-" << to;
  }
  // Without gains the plain sums still hold.
  dsp::BandBlocks unweighted;
  unweighted.configure(kFirst, kLast, false);
  EXPECT_EQ(unweighted.scan(power.data(), nullptr), 1000);
  const double plain = dsp::binSum(power.data(), 500, 4000);
  EXPECT_NEAR(unweighted.sum(power.data(), 500, 4000), plain, 1e-6 * plain);
}
