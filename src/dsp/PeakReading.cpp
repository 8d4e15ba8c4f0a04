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

// The amplitude response is taken out to this many noise bandwidths, where
// every window's side lobes lie below kImageFloor.
constexpr double kAmplitudeNoiseBandwidths = 16;
constexpr double kImageFloor = 1e-4;

// A sine nearer 0 Hz or the Nyquist frequency than this many noise
// bandwidths has its lobe merged with its image's: the bins no longer tell
// the sine's frequency from its phase.
constexpr double kMergeNoiseBandwidths = 0.75;
// A fit that misses the bins by more than this root-mean-square, relative
// to the highest, is not one sine and its image alone: noise or another
// signal adds to them. (Smaller additions, the lobe of a DC offset among
// them, move the fit without showing in its misfit.)
constexpr double kMisfit = 0.005;

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

  // W(x)/W(0) with the phase of the window's centre taken out: the cosine
  // sum about the centre of the spaced points, taken over pairs of points
  // the same distance either side of it (half-integer distances for an even
  // count), the cosines by Reinsch's recurrence.
  const int count = (points - 1 - first) / stride + 1;
  std::vector<double> pairs(static_cast<size_t>((count + 1) / 2));
  for (int j = 0; j < count / 2; ++j)
    pairs[pairs.size() - 1 - static_cast<size_t>(j)] =
        static_cast<double>(window[first + j * stride]) + window[first + (count - 1 - j) * stride];
  if (count % 2) pairs[0] = window[first + count / 2 * stride];
  const double half = count % 2 ? 0.0 : 0.5;  // the first pair's distance, in spaced points
  double atZero = 0;
  for (double p : pairs) atZero += p;
  amplitudeSpan_ = kAmplitudeNoiseBandwidths * noiseBandwidthBins_;
  amplitude_.assign(static_cast<size_t>(kAmplitudeSteps) + 1, 0.0);
  imageReach_ = 0;
  // kLanes offsets at a time, whose recurrences do not wait on each other.
  constexpr int kLanes = 8;
  for (int s0 = 0; s0 <= kAmplitudeSteps; s0 += kLanes) {
    double c[kLanes], step[kLanes], lambda[kLanes], w[kLanes];
    for (int l = 0; l < kLanes; ++l) {
      const double x = static_cast<double>(s0 + l) * amplitudeSpan_ / kAmplitudeSteps;
      const double angle = kTwoPi * x * stride / fftLength;  // per spaced point
      const double sine = std::sin(0.5 * angle);
      lambda[l] = -4 * sine * sine;
      c[l] = std::cos(half * angle);
      step[l] = c[l] - std::cos((half - 1) * angle);
      w[l] = 0;
    }
    for (double p : pairs) {
      for (int l = 0; l < kLanes; ++l) {
        w[l] += p * c[l];
        step[l] += lambda[l] * c[l];
        c[l] += step[l];
      }
    }
    for (int l = 0; l < kLanes && s0 + l <= kAmplitudeSteps; ++l) {
      const int s = s0 + l;
      amplitude_[static_cast<size_t>(s)] = w[l] / atZero;
      if (std::fabs(w[l]) >= kImageFloor * atZero)
        imageReach_ = std::min(static_cast<double>(s + 1) * amplitudeSpan_ / kAmplitudeSteps, amplitudeSpan_);
    }
  }
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

double WindowResponse::relativeAmplitude(double offset) const noexcept {
  const double x = std::fabs(offset);
  if (!valid()) return 1.0;
  if (x >= imageReach_) return 0.0;
  const double at = x / amplitudeSpan_ * kAmplitudeSteps;
  const int i = std::min(static_cast<int>(at), kAmplitudeSteps - 1);
  const double t = at - i;
  return (1 - t) * amplitude_[static_cast<size_t>(i)] + t * amplitude_[static_cast<size_t>(i) + 1];
}

namespace {

// A sine near 0 Hz or the Nyquist frequency: the bins are the power of
// W(k − k0)·A + W(k − k1)·A* with the image at k1 = mirror − k0 (mirror 0 or
// 2·bins). With the window's linear phase taken out of W, the two terms
// differ by one phase ψ that is the same for every bin, so
//   P(k) = p·(a² + b²) + u·2ab,  a = W(k − k0)/W(0), b = W(k − k1)/W(0),
// with p the power the sine reads on its own bin and u = −p·cos ψ, so
// |u| ≤ p. An averaged trace has the same form with the mean cosine. For a
// trial k0, p and u follow by least squares from the bins used; k0 is the
// one that fits them best.
class EdgeFit {
 public:
  static constexpr int kMostBins = 7;

  EdgeFit(const WindowResponse& response, const float* power, int bins, int bin, int mirror) noexcept
      : response_(response), mirror_(mirror) {
    // Seven bins evenly from a flank (at least two bins) below to a flank
    // above, the span moved off the trace's ends: the bins beyond an edge
    // only mirror those inside it.
    const int half = std::max(response.flank(), 2);
    const int start = std::max(0, std::min(bin - half, bins - 1 - 2 * half));
    const double peak = power[bin];
    int previous = -1;
    for (int t = 0; t <= 6; ++t) {
      const int k = start + static_cast<int>(std::lround(half * t / 3.0));
      if (k == previous || k >= bins) continue;
      previous = k;
      bins_[count_] = k;
      // Bin 0 carries half the weight of the others (it has no image of its
      // own); the model is of the full weight.
      values_[count_] = (k == 0 ? 2 * power[k] : power[k]) / peak;
      ++count_;
    }
  }

  int count() const noexcept { return count_; }

  // The squared misfit of the best p and u for a sine at k0, and those.
  double misfit(double k0, double* p = nullptr) const noexcept {
    double s[kMostBins], t[kMostBins];
    double ss = 0, st = 0, tt = 0, sy = 0, ty = 0;
    for (int i = 0; i < count_; ++i) {
      const double a = response_.relativeAmplitude(bins_[i] - k0);
      const double b = response_.relativeAmplitude(bins_[i] - (mirror_ - k0));
      s[i] = a * a + b * b;
      t[i] = 2 * a * b;
      ss += s[i] * s[i];
      st += s[i] * t[i];
      tt += t[i] * t[i];
      sy += s[i] * values_[i];
      ty += t[i] * values_[i];
    }
    auto error = [&](double pp, double uu) {
      double e = 0;
      for (int i = 0; i < count_; ++i) {
        const double d = values_[i] - pp * s[i] - uu * t[i];
        e += d * d;
      }
      return e;
    };
    double bestP = ss > 0 ? sy / ss : 0, best = error(bestP, 0);  // the image left out
    auto consider = [&](double pp, double uu) {
      if (!(pp >= 0) || std::fabs(uu) > pp * (1 + 1e-12)) return;
      const double e = error(pp, uu);
      if (e < best) {
        best = e;
        bestP = pp;
      }
    };
    const double det = ss * tt - st * st;
    if (det > 1e-12 * ss * tt) consider((sy * tt - st * ty) / det, (ss * ty - st * sy) / det);
    // On the bounds u = ±p the model is p·(a ± b)².
    for (double sign : {1.0, -1.0}) {
      const double norm = ss + 2 * sign * st + tt;
      if (norm > 0) consider((sy + sign * ty) / norm, sign * (sy + sign * ty) / norm);
    }
    if (p) *p = bestP;
    return best;
  }

 private:
  const WindowResponse& response_;
  int mirror_;
  int bins_[kMostBins] = {};
  double values_[kMostBins] = {};
  int count_ = 0;
};

// ln P(bin + j) = ln P0 + ln Γ(j − δ): the flanks' ratio depends on δ alone,
// and rises with it over the main lobe. Solved by regula falsi with the
// Illinois step (the end that stays has its value halved), which keeps the
// root bracketed as bisection does and closes in on it in a few steps: ln Γ
// is interpolated linearly, so within one step of its table the ratio is a
// straight line.
void readBetweenFlanks(const WindowResponse& response, const float* power, int bin, PeakReading& r) noexcept {
  const int m = response.flank();
  auto ln = [](double p) { return std::log(std::max(p, kFloor)); };
  const double measured = ln(power[bin + m]) - ln(power[bin - m]);
  // ln Γ as the response holds it, without an exp and a log per step.
  auto misfit = [&](double delta) {
    return response.logResponse(m - delta) - response.logResponse(m + delta) - measured;
  };
  double lo = -response.reach(), hi = response.reach();
  double below = misfit(lo), above = misfit(hi);
  if (below >= 0) {
    hi = lo;
  } else if (above <= 0) {
    lo = hi;
  } else {
    constexpr double kTolerance = 1e-12;  // bins
    int kept = 0;  // the end that stayed in the last step: -1 lo, 1 hi
    for (int i = 0; i < 100 && hi - lo > kTolerance; ++i) {
      double x = (lo * above - hi * below) / (above - below);
      if (!(x > lo && x < hi)) x = 0.5 * (lo + hi);
      const double at = misfit(x);
      if (at < 0) {
        lo = x;
        below = at;
        if (kept == 1) above *= 0.5;
        kept = 1;
      } else if (at > 0) {
        hi = x;
        above = at;
        if (kept == -1) below *= 0.5;
        kept = -1;
      } else {
        lo = hi = x;
      }
    }
  }
  r.offset = 0.5 * (lo + hi);
  r.power = power[bin] / response.relativePower(r.offset);
}

// The sine and its image fitted together (EdgeFit), the sine searched for
// within two flanks of the bin on its own side of the edge: on a grid of an
// eighth of a flank, then by golden section around the best point. The bin
// is read as it is when the reading is uncertain.
void readNearEdge(const WindowResponse& response, const float* power, int bins, int bin, int mirror,
                  PeakReading& r) noexcept {
  const EdgeFit fit(response, power, bins, bin, mirror);
  const int m = response.flank();
  const double edge = 0.5 * mirror;
  double lo = bin - 2.0 * m, hi = bin + 2.0 * m;
  if (mirror == 0) lo = std::max(lo, 0.0);
  else hi = std::min(hi, edge);
  if (fit.count() < 3 || !(hi > lo)) {
    r.uncertain = true;
    return;
  }
  const double step = m / 8.0;
  const int steps = static_cast<int>(std::ceil((hi - lo) / step));
  double best = lo, bestError = fit.misfit(lo);
  for (int i = 1; i <= steps; ++i) {
    const double k0 = std::min(lo + i * step, hi);
    const double e = fit.misfit(k0);
    if (e < bestError) {
      bestError = e;
      best = k0;
    }
  }
  double a = std::max(best - step, lo), b = std::min(best + step, hi);
  constexpr double kGolden = 0.6180339887498949;
  double x1 = b - kGolden * (b - a), x2 = a + kGolden * (b - a);
  double e1 = fit.misfit(x1), e2 = fit.misfit(x2);
  for (int i = 0; i < 48; ++i) {
    if (e1 < e2) {
      b = x2;
      x2 = x1;
      e2 = e1;
      x1 = b - kGolden * (b - a);
      e1 = fit.misfit(x1);
    } else {
      a = x1;
      x1 = x2;
      e1 = e2;
      x2 = a + kGolden * (b - a);
      e2 = fit.misfit(x2);
    }
  }
  const double k0 = 0.5 * (a + b);
  double p = 0;
  const double error = fit.misfit(k0, &p);
  const double rms = std::sqrt(error / fit.count());
  const double fromEdge = std::fabs(k0 - edge);
  // A best fit at an end of the search lies beyond it.
  const bool atEnd = k0 - lo < 0.25 * step || hi - k0 < 0.25 * step;
  r.uncertain = !(p > 0) || rms > kMisfit || fromEdge < kMergeNoiseBandwidths * response.noiseBandwidthBins() || atEnd;
  if (r.uncertain) return;
  r.offset = k0 - bin;
  r.power = p * power[bin];
}

}  // namespace

PeakReading readPeakAt(const WindowResponse& response, const float* power, int bins, int bin,
                       float binsPerHertz) noexcept {
  PeakReading r;
  if (!power || bin < 0 || bin >= bins || !(binsPerHertz > 0)) return r;
  r.valid = true;
  r.bin = bin;
  r.power = power[bin];
  const int m = response.flank();
  if (response.valid() && response.bins() == bins && power[bin] > 0) {
    // The image of a sine within reach() of the bin lies this far from the
    // nearest flank, at −k0 or at 2·bins − k0.
    const double belowImage = 2.0 * bin - m - response.reach();
    const double aboveImage = 2.0 * (bins - bin) - m - response.reach();
    if (std::min(belowImage, aboveImage) < response.imageReach() || bin - m < 0 || bin + m >= bins)
      readNearEdge(response, power, bins, bin, belowImage <= aboveImage ? 0 : 2 * bins, r);
    else
      readBetweenFlanks(response, power, bin, r);
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
