// Fractional-octave smoothing of a trace: levels of flat and noisy spectra
// kept, a sine's power kept, partial bins weighed in part, in place, and no
// allocation.
#include "dsp/OctaveSmoothing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <vector>

#include "QuietPlanner.h"
#include "dsp/Spectrum.h"
#include "support/AllocationCounter.h"

namespace {

using dsp::OctaveSmoothing;

constexpr int kFractions[] = {1, 2, 3, 6, 12, 24, 48};

double decibels(double ratio) { return 10 * std::log10(ratio); }

TEST(OctaveSmoothing, FlatSpectraStayFlatAndNoiseKeepsItsMean) {
  const int bins = 65536;
  OctaveSmoothing smoothing(bins);
  std::vector<float> flat(bins, 2.5f), out(bins);
  // Chi-square with two degrees of freedom (a bin of Gaussian noise), mean 1.
  std::vector<float> noise(bins);
  uint64_t seed = 20240601;
  for (float& v : noise) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    v = static_cast<float>(-std::log((static_cast<double>(seed >> 11) + 0.5) / 9007199254740992.0));
  }
  for (int n : kFractions) {
    SCOPED_TRACE(testing::Message() << "1/" << n << " octave");
    smoothing.configure(n, bins, bins / 24000.0);
    ASSERT_EQ(smoothing.fraction(), n);
    smoothing.apply(flat.data(), out.data(), bins);
    for (int k = 0; k < bins; k += 7) ASSERT_NEAR(out[k], 2.5f, 2.5e-6f) << k;
    EXPECT_NEAR(out[bins - 1], 2.5f, 2.5e-6f);
    smoothing.apply(noise.data(), out.data(), bins);
    double in = 0, smoothed = 0;
    for (int k = 2048; k < bins; ++k) in += noise[k], smoothed += out[k];
    EXPECT_NEAR(decibels(smoothed / (bins - 2048)), 0.0, 0.05);
    EXPECT_NEAR(decibels(in / (bins - 2048)), 0.0, 0.05);
  }
}

// Each bin stands for the half bin either side: 1/1-octave smoothing at bin
// 100 averages [70.71, 141.42], of which bin 141 ([140.5, 141.5]) covers
// 0.92 bins, bin 71 0.79 and bin 70 none. An interval inside one bin reads
// that bin.
TEST(OctaveSmoothing, EndsOfTheIntervalWeighTheirBinsInPart) {
  const int bins = 1024;
  OctaveSmoothing smoothing(bins);
  smoothing.configure(1, bins, 1.0);
  std::vector<float> in(bins, 0.0f), out(bins);
  in[141] = 1.0f;
  in[71] = 2.0f;
  in[70] = 4.0f;
  smoothing.apply(in.data(), out.data(), bins);
  const double lo = 100 / std::sqrt(2.0), hi = 100 * std::sqrt(2.0);
  EXPECT_NEAR(out[100], ((hi - 140.5) + 2 * (71.5 - lo)) / (hi - lo), 1e-6);

  smoothing.configure(48, bins, 1.0);  // at bin 10: [9.93, 10.07]
  for (int k = 0; k < bins; ++k) in[k] = static_cast<float>(1 + k % 3);
  smoothing.apply(in.data(), out.data(), bins);
  EXPECT_FLOAT_EQ(out[10], in[10]);
  EXPECT_FLOAT_EQ(out[0], in[0]);  // DC stays
}

TEST(OctaveSmoothing, InPlaceEqualsOutOfPlaceAndOffCopies) {
  const int bins = 32768;
  OctaveSmoothing smoothing(bins);
  std::vector<float> in(bins), out(bins);
  for (int k = 0; k < bins; ++k) in[k] = static_cast<float>(1 + std::sin(k * 0.01) + (k % 97 == 0 ? 50 : 0));
  for (int n : {0, 3, 24}) {
    smoothing.configure(n, bins, bins / 24000.0);
    smoothing.apply(in.data(), out.data(), bins);
    std::vector<float> inPlace = in;
    {
      testsupport::AllocationScope scope;
      smoothing.apply(inPlace.data(), inPlace.data(), bins);
      smoothing.configure(n, bins / 2, bins / 24000.0);
      smoothing.configure(n, bins, bins / 24000.0);
      EXPECT_EQ(scope.allocations(), 0);
    }
    EXPECT_EQ(inPlace, out) << n;
    if (n == 0) {
      EXPECT_EQ(out, in);
    } else {
      EXPECT_NE(out, in);
    }
  }
  // A fraction not offered is off; so is a trace of another bin count.
  EXPECT_FALSE(dsp::isSmoothingFraction(5));
  smoothing.configure(5, bins, 1.0);
  EXPECT_EQ(smoothing.fraction(), 0);
  smoothing.configure(3, bins, 1.0);
  smoothing.apply(in.data(), out.data(), bins / 2);
  EXPECT_TRUE(std::equal(in.begin(), in.begin() + bins / 2, out.begin()));
}

// A floor 10^17 times below a line keeps its level beside it: a plain
// running sum in double would lose it.
TEST(OctaveSmoothing, AWeakFloorBesideAStrongLineKeepsItsLevel) {
  const int bins = 16384;
  OctaveSmoothing smoothing(bins);
  std::vector<float> in(bins, 1.0f), out(bins);
  in[1000] = 1e17f;
  smoothing.configure(24, bins, 1.0);
  smoothing.apply(in.data(), out.data(), bins);
  for (int k = 1100; k < bins; k += 13) ASSERT_NEAR(out[k], 1.0f, 1e-5f) << k;
  EXPECT_GT(out[1000], 1e15f);
}

// The bins of a sine keep its total: each bin's power spreads over the
// intervals that hold it, ln(2)/n / (2·sinh(ln(2)/(2n))) of it in all.
TEST(OctaveSmoothing, ASinesPowerIsKept) {
  Spectrum s(3, 48000, WindowShape::Hann);
  const int n = s.fftLength(), bins = s.bins();
  std::vector<float> samples(static_cast<size_t>(n));
  const std::complex<double> turn = std::polar(1.0, 2 * std::numbers::pi * 1234.5 / 48000);
  std::complex<double> z = std::polar(0.5, 0.3);
  for (float& x : samples) {
    x = static_cast<float>(z.imag());
    z *= turn;
  }
  s.fill(samples.data(), n);
  const SpectrumResult* r = s.computeWithOverlap(samples.data(), 0);
  ASSERT_EQ(r->validBins, bins);
  double before = 0;
  for (int k = 0; k < bins; ++k) before += r->output[k];
  OctaveSmoothing smoothing(bins);
  std::vector<float> out(static_cast<size_t>(bins));
  for (int fraction : kFractions) {
    smoothing.configure(fraction, bins, bins / 24000.0);
    smoothing.apply(r->output, out.data(), bins);
    double after = 0;
    for (float v : out) after += v;
    const double spread = std::log(2.0) / fraction / (2 * std::sinh(std::log(2.0) / (2 * fraction)));
    EXPECT_NEAR(decibels(after / before), 0.0, 0.1) << "1/" << fraction;
    EXPECT_NEAR(decibels(after / before / spread), 0.0, 0.01) << "1/" << fraction;
  }
}

}  // namespace
