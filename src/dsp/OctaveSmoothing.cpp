#include "dsp/OctaveSmoothing.h"

#include <algorithm>
#include <cmath>

namespace dsp {

bool isSmoothingFraction(int n) noexcept {
  switch (n) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 6:
    case 12:
    case 24:
    case 48:
      return true;
    default:
      return false;
  }
}

OctaveSmoothing::OctaveSmoothing(int capacity) { grow(capacity); }

void OctaveSmoothing::grow(int bins) {
  const auto size = static_cast<size_t>(std::max(bins, 0)) + 1;
  if (head_.size() < size) {
    head_.resize(size);
    tail_.resize(size);
    values_.resize(size);
    inverseWidth_.resize(size);
    segments_.resize(size / kSegment + 2);
  }
}

void OctaveSmoothing::configure(int n, int bins, [[maybe_unused]] double binsPerHertz) noexcept {
  n_ = isSmoothingFraction(n) ? n : 0;
  bins_ = std::max(bins, 0);
  below_ = n_ ? std::pow(2.0, -0.5 / n_) : 1.0;
  above_ = n_ ? std::pow(2.0, 0.5 / n_) : 1.0;
  grow(bins_);
  if (n_ == 0) return;
  // The widths are the same from trace to trace: the division is done once.
  const double top = bins_ - 0.5;
  for (int k = 1; k < bins_; ++k)
    inverseWidth_[static_cast<size_t>(k)] = static_cast<float>(1.0 / (std::min(k * above_, top) - k * below_));
}

void OctaveSmoothing::apply(const float* in, float* out, int bins) const noexcept {
  if (n_ == 0 || bins != bins_ || bins < 2) {
    if (in != out) std::copy(in, in + std::max(bins, 0), out);
    return;
  }
  // The bins are read after out[k] is written, so an input that is also the
  // output is read from a copy.
  const float* v = in;
  if (in == out) {
    std::copy(in, in + bins, values_.data());
    v = values_.data();
  }
  // Each segment's heads and tails, plain sums of a few bins (the segments'
  // short chains overlap), and the compensated running sum of the segments'
  // totals (Knuth's two-sum: sum + error is exact to twice double precision).
  double* head = head_.data();
  double* tail = tail_.data();
  RunningSum* segments = segments_.data();
  segments[0] = {0.0, 0.0};
  double s = 0.0, e = 0.0;
  for (int first = 0, segment = 0; first < bins; first += kSegment, ++segment) {
    const int end = std::min(first + kSegment, bins);
    double up = 0.0, down = 0.0;
    for (int j = first; j < end; ++j) {
      head[j] = up;
      up += v[j];
    }
    for (int j = end - 1; j >= first; --j) {
      tail[j] = down;
      down += v[j];
    }
    const double t = s + up;
    const double back = t - s;
    e += (s - (t - back)) + (up - back);
    s = t;
    segments[segment + 1] = {s, e};
  }
  // Bin k's interval [lo, hi] in positions (bin j covers [j, j + 1) here):
  // the parts of its end bins a and b inside it, and the whole bins between.
  const double top = bins - 0.5;
  const float* inverseWidth = inverseWidth_.data();
  for (int k = 1; k < bins; ++k) {
    const double lo = k * below_ + 0.5, hi = std::min(k * above_, top) + 0.5;
    const int a = static_cast<int>(lo);
    const int b = std::min(static_cast<int>(hi), bins - 1);
    double total;
    if (a == b) {
      total = (hi - lo) * v[a];
    } else {
      const int sa = a >> kSegmentShift, sb = b >> kSegmentShift;
      double inner;
      if (sa == sb) {
        inner = 0.0;
        for (int j = a + 1; j < b; ++j) inner += v[j];
      } else {
        const RunningSum& from = segments[sa + 1];
        const RunningSum& to = segments[sb];
        inner = tail[a] + head[b] + ((to.sum - from.sum) + (to.error - from.error));
      }
      total = (a + 1 - lo) * v[a] + inner + (hi - b) * v[b];
    }
    out[k] = static_cast<float>(total * inverseWidth[k]);
  }
  out[0] = v[0];
}

}  // namespace dsp
