#include "dsp/PeakReading.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>

#include "dsp/PlotTrace.h"
#include "dsp/Spectrum.h"

namespace {

// The transform of a long window is summed over at most this many of its
// points, evenly spaced. The windows are smooth and vanish at both ends, so
// the spaced sum is their transform up to aliases from thousands of bins
// away, where every shape has fallen by well over 100 dB.
constexpr int kMostPointsSummed = 2048;

constexpr double kTwoPi = 6.283185307179586;

// The smallest power a logarithm is taken of: zero bins read as far down.
constexpr double kFloor = 1e-300;

}  // namespace

void WindowResponse::prepare(const Spectrum& engine) {
  const WindowEntry& row = engine.windowEntry(engine.fftSize());
  const int n = engine.fftLength();
  if (!row.array || n <= 0) {
    clear();
    return;
  }
  const int points = std::clamp(row.windowedBins, 1, n);
  prepare(row.array + (n - points), points, n, engine.samplingRate());
}

void WindowResponse::prepare(const float* window, int points, int fftLength, float samplingRate) {
  clear();
  if (!window || points < 1 || fftLength < 2 || !(samplingRate > 0)) return;

  double sum = 0, squares = 0;
  for (int i = 0; i < points; ++i) {
    sum += window[i];
    squares += static_cast<double>(window[i]) * window[i];
  }
  if (!(sum > 0)) return;
  noiseBandwidthBins_ = fftLength * squares / (sum * sum);
  noiseBandwidth_ = samplingRate * squares / (sum * sum);
  flank_ = std::max(1, static_cast<int>(noiseBandwidthBins_ / 2));

  // |W(x)|² at offsets 0 … flank + 1 bins, from every stride-th point
  // (stride 1 for windows of up to kMostPointsSummed points).
  const int stride = (points + kMostPointsSummed - 1) / kMostPointsSummed;
  const int first = (points - 1) % stride / 2;  // the spaced points lie symmetric about the centre
  // Out to twice the flank and a bin: the flanks of a sine up to flank + 1
  // bins off.
  span_ = 2 * flank_ + 1;
  logPower_.assign(static_cast<size_t>(kSteps) + 1, 0.0);
  double peak = 0;
  for (int s = 0; s <= kSteps; ++s) {
    const double x = static_cast<double>(s) * span_ / kSteps;
    const std::complex<double> turn = std::polar(1.0, -kTwoPi * x * stride / fftLength);
    std::complex<double> phase = std::polar(1.0, -kTwoPi * x * first / fftLength);
    std::complex<double> w = 0;
    for (int i = first; i < points; i += stride) {
      w += static_cast<double>(window[i]) * phase;
      phase *= turn;
    }
    const double p = std::norm(w);
    if (s == 0) peak = p;
    logPower_[static_cast<size_t>(s)] = std::log(std::max(p / peak, kFloor));
  }
  // The lobe's top: where it reads within 0.01 dB of its highest, up to the
  // flank (beyond which the ratio of the flanks would no longer rise with
  // the offset).
  const double top = *std::max_element(logPower_.begin(), logPower_.end()) - 0.01 * std::log(10.0) / 10;
  double plateau = 0;
  for (int s = 0; s <= kSteps; ++s) {
    const double x = static_cast<double>(s) * span_ / kSteps;
    if (x > flank_ * 0.5) break;
    if (logPower_[static_cast<size_t>(s)] >= top) plateau = x;
  }
  reach_ = std::min(plateau + 0.5, flank_ * 0.5 + 0.5);
  bins_ = fftLength / 2;
  samplingRate_ = samplingRate;
}

double WindowResponse::logResponse(double offset) const noexcept {
  const double at = std::min(std::fabs(offset) / span_, 1.0) * kSteps;
  const int i = std::min(static_cast<int>(at), kSteps - 1);
  const double t = at - i;
  return (1 - t) * logPower_[static_cast<size_t>(i)] + t * logPower_[static_cast<size_t>(i) + 1];
}

double WindowResponse::relativePower(double offset) const noexcept {
  return valid() ? std::exp(logResponse(offset)) : 1.0;
}

PeakReading readPeakAt(const WindowResponse& response, const float* power, int bins, int bin,
                       float binsPerHertz) noexcept {
  PeakReading r;
  if (!power || bin < 0 || bin >= bins || !(binsPerHertz > 0)) return r;
  r.valid = true;
  r.bin = bin;
  r.power = power[bin];
  const int m = response.flank();
  if (response.valid() && response.bins() == bins && bin - m >= 0 && bin + m < bins && power[bin] > 0) {
    // ln P(bin + j) = ln P0 + ln Γ(j − δ): the flanks' ratio depends on δ
    // alone, and rises with it over the main lobe. Solved by bisection.
    auto ln = [](double p) { return std::log(std::max(p, kFloor)); };
    const double measured = ln(power[bin + m]) - ln(power[bin - m]);
    auto ratio = [&](double delta) {
      return std::log(response.relativePower(m - delta)) - std::log(response.relativePower(m + delta));
    };
    double lo = -response.reach(), hi = response.reach();
    if (measured <= ratio(lo)) {
      hi = lo;
    } else if (measured >= ratio(hi)) {
      lo = hi;
    } else {
      for (int i = 0; i < 40; ++i) {
        const double mid = 0.5 * (lo + hi);
        (ratio(mid) < measured ? lo : hi) = mid;
      }
    }
    r.offset = 0.5 * (lo + hi);
    r.power = power[bin] / response.relativePower(r.offset);
  }
  r.frequency = (bin + r.offset) / binsPerHertz;
  const double bins2 = static_cast<double>(bins) * bins;
  r.level = r.power > 0 ? 10 * std::log10(r.power / bins2) : -std::numeric_limits<double>::infinity();
  return r;
}

PeakReading readPeak(const WindowResponse& response, const float* power, int bins, int first, int last,
                     float binsPerHertz) noexcept {
  first = std::max(first, 0);
  last = std::min(last, bins - 1);
  if (!power || first > last) return {};
  int best = first;
  for (int k = first + 1; k <= last; ++k)
    if (power[k] > power[best]) best = k;
  return readPeakAt(response, power, bins, best, binsPerHertz);
}

PeakReading readPeak(const WindowResponse& response, const TraceData& trace, int first, int last) noexcept {
  return readPeak(response, trace.averaged, std::clamp(trace.bins, 0, TraceData::kCapacity), first, last,
                  trace.binsPerHertz);
}

double noiseDensity(const float* power, int bins, int first, int last, double noiseBandwidth) noexcept {
  first = std::max(first, 0);
  last = std::min(last, bins);
  if (!power || first >= last || !(noiseBandwidth > 0)) return 0;
  double sum = 0;
  for (int k = first; k < last; ++k) sum += power[k];
  const double bins2 = static_cast<double>(bins) * bins;
  return sum / (last - first) / bins2 / noiseBandwidth;
}
