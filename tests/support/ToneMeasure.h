#pragma once
// A sinusoid measured in a block of samples: fitted by least squares (sine
// and cosine) at a frequency refined from the phase drift between
// the block's two halves, so that level, frequency and what is left after
// removing the tone are all exact to far below the effects tests look for
// (a 16-bit quantisation step, a resampler's passband ripple).

#include <cmath>
#include <cstddef>
#include <numbers>
#include <vector>

namespace tonetest {

struct Tone {
  double amplitude = 0.0;  // peak
  double frequency = 0.0;  // Hz
  double residualRms = 0.0;
  double levelDb() const { return 20.0 * std::log10(amplitude); }
  double residualDb() const { return 20.0 * std::log10(residualRms); }
};

// A sine of peak amplitude at frequency, sample i at phase 2π·f·i/rate.
inline std::vector<float> sine(std::size_t n, double rate, double frequency, double amplitude) {
  std::vector<float> x(n);
  for (std::size_t i = 0; i < n; ++i)
    x[i] = float(amplitude * std::sin(2.0 * std::numbers::pi * frequency * double(i) / rate));
  return x;
}

namespace detail {

struct Fit {
  double a = 0, b = 0;  // a·sin(w·i) + b·cos(w·i)
};

// Least squares over x[begin..end): the 2×2 normal equations solved exactly.
inline Fit fit(const float* x, std::size_t begin, std::size_t end, double w) {
  double ss = 0, sc = 0, cc = 0, xs = 0, xc = 0;
  for (std::size_t i = begin; i < end; ++i) {
    const double s = std::sin(w * double(i)), c = std::cos(w * double(i));
    ss += s * s, sc += s * c, cc += c * c, xs += x[i] * s, xc += x[i] * c;
  }
  const double d = ss * cc - sc * sc;
  return {(xs * cc - xc * sc) / d, (xc * ss - xs * sc) / d};
}

}  // namespace detail

// The tone near `nominal` Hz in x[0..n).
inline Tone measure(const float* x, std::size_t n, double rate, double nominal) {
  double f = nominal;
  const std::size_t half = n / 2;
  for (int round = 0; round < 4; ++round) {
    const double w = 2.0 * std::numbers::pi * f / rate;
    const detail::Fit first = detail::fit(x, 0, half, w);
    const detail::Fit second = detail::fit(x, half, n, w);
    double drift = std::atan2(second.b, second.a) - std::atan2(first.b, first.a);
    drift = std::remainder(drift, 2.0 * std::numbers::pi);
    f += drift / (2.0 * std::numbers::pi * double(half) / rate);
  }
  const double w = 2.0 * std::numbers::pi * f / rate;
  const detail::Fit all = detail::fit(x, 0, n, w);
  double residual = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double e = x[i] - (all.a * std::sin(w * double(i)) + all.b * std::cos(w * double(i)));
    residual += e * e;
  }
  return {std::hypot(all.a, all.b), f, std::sqrt(residual / double(n))};
}

inline Tone measure(const std::vector<float>& x, double rate, double nominal) {
  return measure(x.data(), x.size(), rate, nominal);
}

}  // namespace tonetest
