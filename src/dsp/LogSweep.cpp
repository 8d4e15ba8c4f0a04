#include "dsp/LogSweep.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace dsp {

namespace {

using std::numbers::pi;

constexpr int64_t kShortest = int64_t{1} << 12;
constexpr int64_t kLongest = int64_t{1} << 22;
// The sweep's highest frequency as a fraction of half the rate.
constexpr double kNyquistFraction = 0.95;
// Below the span and above it. Two octaves below: the window that cuts the
// linear response apart from H2's holds only part of the ringing of the
// sweep's lower band edge, and two octaves keep that within 0.01 dB and
// 0.05° at the span's lower edge (one octave: 0.02 dB, 0.2°, 0.6 ms).
constexpr double kLowMargin = 4;
constexpr double kHighMargin = 2;
// The fades, in octaves of the sweep.
constexpr double kFadeInOctaves = 0.5;
constexpr double kFadeOutOctaves = 1.0 / 12;

// f·T/ln(f2/f): the cycles f1·L a sweep of duration T from f to f2 has. It
// rises with f (for f < f2/e), so f1 for a whole number of cycles is found by
// bisection.
double cyclesFrom(double f, double f2, double duration) { return f * duration / std::log(f2 / f); }

}  // namespace

LogSweep::LogSweep(const LogSweepSettings& s)
    : rate_(s.sampleRate > 0 ? s.sampleRate : 48000),
      length_(std::clamp(s.length, kShortest, kLongest)),
      peak_(std::clamp(s.peak, 0.0, 1.0)) {
  const double nyquist = rate_ / 2;
  const double top = kNyquistFraction * nyquist;
  const double high = std::clamp(s.highestHz, 1.0, top);
  f2_ = std::min(kHighMargin * high, top);
  // The span starts at least three octaves below f2, so the fades leave it clean.
  const double low = std::clamp(s.lowestHz, 0.01, f2_ / 8);
  const double f1 = low / kLowMargin;
  const double duration = static_cast<double>(length_) / rate_;
  // Whole cycles, rounded down: f1 moves down, never into the span; only a
  // sweep too short for one cycle at the margin's f1 starts higher.
  cycles_ = std::max<int64_t>(1, static_cast<int64_t>(std::floor(cyclesFrom(f1, f2_, duration))));
  const double wanted = static_cast<double>(cycles_);
  double below = f1 * 1e-9, above = f2_ / std::numbers::e;
  for (int i = 0; i < 200 && above - below > 1e-15 * above; ++i) {
    const double mid = 0.5 * (below + above);
    (cyclesFrom(mid, f2_, duration) < wanted ? below : above) = mid;
  }
  f1_ = above;
  // L from the whole cycles, so f1·L is exact; T/L = ln(f2/f1) to rounding.
  rateSeconds_ = static_cast<double>(cycles_) / f1_;
  const double octave = std::log(2.0) * rateSamples();
  fadeIn_ = std::clamp<int64_t>(std::llround(kFadeInOctaves * octave), 1, length_ / 4);
  fadeOut_ = std::clamp<int64_t>(std::llround(kFadeOutOctaves * octave), 1, length_ / 4);
}

double LogSweep::harmonicLead(int order) const noexcept {
  return order >= 1 ? rateSamples() * std::log(static_cast<double>(order)) : 0.0;
}

double LogSweep::frequencyAt(double sample) const noexcept {
  return f1_ * std::exp(sample / rateSamples());
}

double LogSweep::cleanLowHz() const noexcept { return frequencyAt(static_cast<double>(fadeIn_)); }

double LogSweep::cleanHighHz() const noexcept {
  return frequencyAt(static_cast<double>(length_ - fadeOut_));
}

void LogSweep::render(int64_t offset, int count, float* out) const noexcept {
  const double perSample = 1.0 / rateSamples();
  const double wholeCycles = static_cast<double>(cycles_);
  for (int i = 0; i < count; ++i) {
    const int64_t n = offset + i;
    if (n < 0 || n >= length_) {
      out[i] = 0.0f;
      continue;
    }
    // The phase in cycles, f1·L·(e^{t/L} − 1), taken modulo 1 before the sine
    // so that single cycles keep double precision late in a long sweep.
    const double phase = wholeCycles * std::expm1(static_cast<double>(n) * perSample);
    double gain = peak_;
    if (n < fadeIn_)
      gain *= 0.5 - 0.5 * std::cos(pi * static_cast<double>(n) / static_cast<double>(fadeIn_));
    const int64_t fromEnd = length_ - 1 - n;
    if (fromEnd < fadeOut_)
      gain *= 0.5 - 0.5 * std::cos(pi * static_cast<double>(fromEnd) / static_cast<double>(fadeOut_));
    out[i] = static_cast<float>(gain * std::sin(2 * pi * (phase - std::floor(phase))));
  }
}

}  // namespace dsp
