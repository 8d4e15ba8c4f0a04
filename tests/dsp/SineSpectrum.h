#pragma once
// The spectrum of the newest N samples of a sine of amplitude a at `bin`
// (fractional) bins and starting phase `phase`: the ring is filled with N
// samples, then one spectrum taken (the overlap call windows the newest
// samples).

#include <gtest/gtest.h>

#include <complex>
#include <numbers>
#include <vector>

#include "dsp/Spectrum.h"

inline const SpectrumResult& sineSpectrum(Spectrum& s, std::vector<float>& samples, double bin, double a,
                                          double phase = 0.3) {
  const int n = s.fftLength();
  samples.resize(static_cast<size_t>(n));
  const std::complex<double> turn = std::polar(1.0, 2 * std::numbers::pi * bin / n);
  std::complex<double> z = std::polar(a, phase);
  for (float& x : samples) {
    x = static_cast<float>(z.imag());
    z *= turn;
  }
  s.fill(samples.data(), n);
  const SpectrumResult* r = s.computeWithOverlap(samples.data(), 0);
  EXPECT_EQ(r->validBins, r->bins);
  return *r;
}
