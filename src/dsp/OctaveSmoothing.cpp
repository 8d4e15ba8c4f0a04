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
  if (sums_.size() < size) sums_.resize(size);
  if (inverseWidth_.size() < size) inverseWidth_.resize(size);
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
  // Compensated running sums (Knuth's two-sum): sum + error is the exact
  // sum of the values before j to twice double precision.
  RunningSum* sums = sums_.data();
  sums[0] = {0.0, 0.0};
  double s = 0.0, e = 0.0;
  for (int j = 0; j < bins; ++j) {
    const double x = in[j];
    const double t = s + x;
    const double back = t - s;
    e += (s - (t - back)) + (x - back);
    s = t;
    sums[j + 1] = {s, e};
  }
  // The spectrum's integral from −½ (the lower side of bin 0) to position x
  // in bins, x in [−½, bins − ½], is sums[j] and the part of bin j below
  // x + ½ − j, for j the bin holding x. Differences cancel the large parts
  // first, the errors next, the bins' parts last. Bin 0 stays (read before
  // anything is written: in and out may be the same array).
  const double top = bins - 0.5;
  const float* inverseWidth = inverseWidth_.data();
  const float first = in[0];
  for (int k = 1; k < bins; ++k) {
    const double lo = k * below_ + 0.5, hi = std::min(k * above_, top) + 0.5;
    const int a = static_cast<int>(lo);
    const int b = std::min(static_cast<int>(hi), bins - 1);
    const RunningSum& sa = sums[a];
    const RunningSum& sb = sums[b];
    // The bins' own values from the sums, as in may already be out.
    const double va = (sums[a + 1].sum - sa.sum) + (sums[a + 1].error - sa.error);
    const double vb = (sums[b + 1].sum - sb.sum) + (sums[b + 1].error - sb.error);
    const double total = (sb.sum - sa.sum) + (sb.error - sa.error) + (hi - b) * vb - (lo - a) * va;
    out[k] = static_cast<float>(total * inverseWidth[k]);
  }
  out[0] = first;
}

}  // namespace dsp
