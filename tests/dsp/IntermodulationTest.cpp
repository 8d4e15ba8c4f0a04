// Intermodulation readings of synthetic 32-bit float two-tone signals
// through the engine's seven-term Blackman–Harris window, with products
// planted at known levels.
//
// What the two methods read, as the references we went by state them:
//  - SMPTE RP120 (and DIN 45403): a low tone of high amplitude, 60 Hz, with
//    a high tone of a quarter its amplitude, 7 kHz (4:1, 12 dB apart). The
//    distortion is the amplitude modulation of the high tone, shown by the
//    sideband pairs around it: f2 ± f1 the second order, f2 ± 2·f1 the third
//    (Library of Congress, Federal Agencies Digital Guidelines Initiative,
//    glossary "Intermodulation distortion (audio)"). IEC 60268-3's
//    modulation distortion sums each pair's amplitudes, then root-sums the
//    orders, over the high tone's amplitude alone.
//  - CCIF, IEC 60268-3 difference-frequency distortion: two tones of equal
//    amplitude close together, typically 19 and 20 kHz; the second order is
//    the difference tone f2 − f1, the third 2·f1 − f2 and 2·f2 − f1, referred
//    to twice the amplitude of f2 (the tones summed), which reads 3 dB lower
//    than against the pair's RMS.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "dsp/Intermodulation.h"
#include "dsp/PeakReading.h"
#include "dsp/Spectrum.h"
#include "support/AllocationCounter.h"

namespace {

using std::numbers::pi;
using dsp::IntermodulationStandard;

struct Tone {
  double frequency, amplitude, phase;
};

// The engine's spectra of the tones' sum, in float, averaged over three
// whole windows at RBW 3.16 Hz, and the window's response.
struct Measured {
  std::vector<float> trace;
  WindowResponse response;
  double binWidth = 0;
};

Spectrum engine(double rate) { return Spectrum(3.1623f, static_cast<float>(rate), WindowShape::BlackmanHarris7); }

double binWidth(double rate) { return rate / engine(rate).fftLength(); }

Measured measure(double rate, const std::vector<Tone>& tones) {
  Spectrum s = engine(rate);
  s.setEvenSchedule(true);
  const int spectra = 3;
  const int length = s.windowedBins() + (spectra - 1) * s.evenHop();
  std::vector<float> x(static_cast<size_t>(length));
  for (int n = 0; n < length; ++n) {
    double v = 0;
    for (const Tone& t : tones) v += t.amplitude * std::sin(2 * pi * t.frequency * n / rate + t.phase);
    x[static_cast<size_t>(n)] = static_cast<float>(v);
  }
  Measured m;
  std::vector<double> sum(static_cast<size_t>(s.bins()), 0.0);
  for (int at = 0; at < length;) {
    int taken = 0;
    const SpectrumResult* r = s.computeEvenly(x.data() + at, std::min(512, length - at), &taken);
    at += taken;
    if (r->validBins != r->bins) continue;
    for (size_t k = 0; k < sum.size(); ++k) sum[k] += r->output[k];
  }
  m.trace.resize(sum.size());
  for (size_t k = 0; k < sum.size(); ++k) m.trace[k] = static_cast<float>(sum[k] / spectra);
  m.response.prepare(s);
  m.binWidth = rate / s.fftLength();
  return m;
}

dsp::IntermodulationReading read(const Measured& m, dsp::IntermodulationSettings settings) {
  dsp::IntermodulationAnalysis analysis;
  EXPECT_TRUE(analysis.configure(m.response, settings));
  return analysis.analyse(m.trace.data(), static_cast<int>(m.trace.size()));
}

dsp::IntermodulationSettings settingsOf(IntermodulationStandard standard, double f1, double f2) {
  dsp::IntermodulationSettings s;
  s.standard = standard;
  s.f1Hz = f1;
  s.f2Hz = f2;
  return s;
}

double amplitudeDb(double ratio) { return 20 * std::log10(ratio); }
double ratioOf(double db) { return std::pow(10.0, db / 20); }

// The planted products, dB of amplitude relative to each method's
// reference: SMPTE f2 − n·f1 and f2 + n·f1 for n = 1 … 4; CCIF f2 − f1,
// 2·f1 − f2, 2·f2 − f1.
constexpr double kSidebandDb[] = {-40, -46, -60, -60, -80, -86, -100, -100};
constexpr double kDifferenceDb[] = {-40, -60, -80};

}  // namespace

// Every SMPTE sideband reads its level within 0.1 dB, each order its pair's
// amplitudes summed, and the reading their root-sum, at 48 and 96 kHz with
// the high tone on a bin and half way between two; the tones read their
// mean square within 0.01 dB. Reading allocates nothing.
TEST(Intermodulation, SmpteReadsEachSidebandAndTheOrdersRootSum) {
  for (double rate : {48000.0, 96000.0}) {
    for (double between : {0.0, 0.5}) {
      const double w = binWidth(rate);
      const double f1 = std::round(60 / w) * w, f2 = (std::round(7000 / w) + between) * w;
      const double a1 = 0.4, a2 = 0.1;
      std::vector<Tone> tones = {{f1, a1, 0.3}, {f2, a2, 1.1}};
      for (int i = 0; i < 8; ++i)
        tones.push_back({f2 + (i % 2 ? 1 : -1) * (i / 2 + 1) * f1, a2 * ratioOf(kSidebandDb[i]), 0.4 * i});
      SCOPED_TRACE(testing::Message() << rate << " Hz, f2 " << f2);
      const Measured m = measure(rate, tones);
      dsp::IntermodulationAnalysis analysis;
      ASSERT_TRUE(analysis.configure(m.response, settingsOf(IntermodulationStandard::Smpte, 60, 7000)));
      dsp::IntermodulationReading r;
      {
        testsupport::AllocationScope scope;
        r = analysis.analyse(m.trace.data(), static_cast<int>(m.trace.size()));
        EXPECT_EQ(scope.allocations(), 0);
      }
      ASSERT_TRUE(r.valid);
      EXPECT_NEAR(r.f1Hz, f1, 0.02 * w);
      EXPECT_NEAR(r.f2Hz, f2, 0.02 * w);
      EXPECT_NEAR(r.f1Db, 10 * std::log10(a1 * a1 / 2), 0.01);
      EXPECT_NEAR(r.f2Db, 10 * std::log10(a2 * a2 / 2), 0.01);
      ASSERT_EQ(r.productCount, 8);
      double total = 0;
      for (int i = 0; i < 8; ++i) {
        const dsp::IntermodulationProduct& p = r.products[static_cast<size_t>(i)];
        EXPECT_TRUE(p.inBand) << i;
        EXPECT_NEAR(p.frequency, tones[static_cast<size_t>(i) + 2].frequency, 0.05 * w) << i;
        EXPECT_NEAR(p.levelDb, kSidebandDb[i], 0.1) << i;
      }
      ASSERT_EQ(r.orderCount, 4);
      for (int n = 1; n <= 4; ++n) {
        const double ratio = ratioOf(kSidebandDb[2 * n - 2]) + ratioOf(kSidebandDb[2 * n - 1]);
        EXPECT_EQ(r.orders[static_cast<size_t>(n - 1)].order, n + 1);
        EXPECT_NEAR(r.orders[static_cast<size_t>(n - 1)].levelDb, amplitudeDb(ratio), 0.1) << n;
        total += ratio * ratio;
      }
      EXPECT_EQ(r.ordersInBand, 4);
      EXPECT_NEAR(r.imdDb, amplitudeDb(std::sqrt(total)), 0.1);
      EXPECT_NEAR(r.imdPercent, 100 * std::sqrt(total), 0.012 * 100 * std::sqrt(total));
    }
  }
}

// CCIF's difference tone and third-order products read their levels within
// 0.1 dB against the tones' amplitudes summed, on and between bins, at 48 and
// 96 kHz; the second order is the difference tone alone, the third its two
// products' amplitudes summed, the reading their root-sum.
TEST(Intermodulation, CcifReadsTheDifferenceToneAndTheThirdOrderAgainstBothTones) {
  for (double rate : {48000.0, 96000.0}) {
    for (double between : {0.0, 0.5}) {
      const double w = binWidth(rate);
      const double f1 = std::round(19000 / w) * w, f2 = (std::round(20000 / w) + between) * w;
      const double a = 0.25;  // each; the reference 2a
      std::vector<Tone> tones = {{f1, a, 0.2}, {f2, a, 0.9}};
      const double at[] = {f2 - f1, 2 * f1 - f2, 2 * f2 - f1};
      for (int i = 0; i < 3; ++i) tones.push_back({at[i], 2 * a * ratioOf(kDifferenceDb[i]), 0.5 + i});
      SCOPED_TRACE(testing::Message() << rate << " Hz, f2 " << f2);
      const dsp::IntermodulationReading r = read(measure(rate, tones), settingsOf(IntermodulationStandard::Ccif, 0, 0));
      ASSERT_TRUE(r.valid);
      ASSERT_EQ(r.productCount, 3);
      for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(r.products[static_cast<size_t>(i)].inBand) << i;
        EXPECT_NEAR(r.products[static_cast<size_t>(i)].frequency, at[i], 0.05 * w) << i;
        EXPECT_NEAR(r.products[static_cast<size_t>(i)].levelDb, kDifferenceDb[i], 0.1) << i;
      }
      const double second = ratioOf(kDifferenceDb[0]), third = ratioOf(kDifferenceDb[1]) + ratioOf(kDifferenceDb[2]);
      EXPECT_NEAR(r.orders[0].levelDb, amplitudeDb(second), 0.1);
      EXPECT_NEAR(r.orders[1].levelDb, amplitudeDb(third), 0.1);
      EXPECT_NEAR(r.imdDb, amplitudeDb(std::hypot(second, third)), 0.1);
    }
  }
}

// The readout's own residual: clean float two-tones read below −130 dB with
// every product in reach.
TEST(Intermodulation, CleanTwoTonesReadFarBelowTheReadings) {
  for (double rate : {48000.0, 96000.0}) {
    const dsp::IntermodulationReading smpte =
        read(measure(rate, {{60, 0.4, 0.3}, {7000, 0.1, 1.1}}), settingsOf(IntermodulationStandard::Smpte, 0, 0));
    ASSERT_TRUE(smpte.valid) << rate;
    EXPECT_EQ(smpte.ordersInBand, 4);
    EXPECT_LT(smpte.imdDb, -130) << rate;
    const dsp::IntermodulationReading ccif = read(measure(rate, {{19000, 0.25, 0.2}, {20000, 0.25, 0.9}}),
                                                  settingsOf(IntermodulationStandard::Ccif, 0, 0));
    ASSERT_TRUE(ccif.valid) << rate;
    EXPECT_EQ(ccif.ordersInBand, 2);
    EXPECT_LT(ccif.imdDb, -130) << rate;
  }
}

// Products beyond the band, or whose lobes would reach half the rate, are
// out of reach: no level, their orders left out of the reading. A trace of
// another bin count reads nothing.
TEST(Intermodulation, ProductsBeyondTheBandAreOutOfReachNotNothing) {
  const double a = 0.25;
  const Measured m = measure(48000, {{19000, a, 0.2}, {20000, a, 0.9}, {1000, 2 * a * 1e-3, 0.1},
                                     {18000, 2 * a * 1e-4, 0.3}, {21000, 2 * a * 1e-4, 0.7}});
  dsp::IntermodulationSettings narrow = settingsOf(IntermodulationStandard::Ccif, 0, 0);
  narrow.upperHz = 20000;
  const dsp::IntermodulationReading r = read(m, narrow);
  ASSERT_TRUE(r.valid);
  EXPECT_TRUE(r.products[0].inBand);
  EXPECT_TRUE(r.products[1].inBand);
  EXPECT_FALSE(r.products[2].inBand);  // 21 kHz
  EXPECT_FALSE(r.orders[1].inBand);
  EXPECT_EQ(r.ordersInBand, 1);
  EXPECT_NEAR(r.imdDb, -60, 0.1);  // the difference tone alone

  // SMPTE with f2 at 23.935 kHz: f2 + 60 Hz lies 5 Hz below half the rate,
  // its lobe reaching it, and the higher sidebands beyond: no order is in
  // reach and there is no reading.
  const dsp::IntermodulationReading high =
      read(measure(48000, {{60, 0.4, 0.3}, {23935, 0.1, 1.1}}), settingsOf(IntermodulationStandard::Smpte, 60, 23935));
  ASSERT_TRUE(high.valid);
  EXPECT_FALSE(high.products[1].inBand);
  EXPECT_EQ(high.ordersInBand, 0);
  EXPECT_EQ(high.imdDb, -std::numeric_limits<double>::infinity());

  dsp::IntermodulationAnalysis analysis;
  ASSERT_TRUE(analysis.configure(m.response, narrow));
  EXPECT_FALSE(analysis.analyse(m.trace.data(), static_cast<int>(m.trace.size()) / 2).valid);
}
