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

OctaveSmoothing::OctaveSmoothing(int capacity)
    : sum_(static_cast<size_t>(std::max(capacity, 0)) + 1), error_(sum_.size()) {}

void OctaveSmoothing::configure(int n, int bins, [[maybe_unused]] double binsPerHertz) noexcept {
  n_ = isSmoothingFraction(n) ? n : 0;
  bins_ = std::max(bins, 0);
  below_ = n_ ? std::pow(2.0, -0.5 / n_) : 1.0;
  above_ = n_ ? std::pow(2.0, 0.5 / n_) : 1.0;
  if (sum_.size() < static_cast<size_t>(bins_) + 1) {
    sum_.resize(static_cast<size_t>(bins_) + 1);
    error_.resize(sum_.size());
  }
}

void OctaveSmoothing::apply(const float* in, float* out, int bins) const noexcept {
  if (n_ == 0 || bins != bins_ || bins < 2) {
    if (in != out) std::copy(in, in + std::max(bins, 0), out);
    return;
  }
  // Compensated running sums (Knuth's two-sum): sum_ + error_ is the exact
  // sum of the values before j to twice double precision.
  double* sum = sum_.data();
  double* error = error_.data();
  sum[0] = 0.0;
  error[0] = 0.0;
  double s = 0.0, e = 0.0;
  for (int j = 0; j < bins; ++j) {
    const double x = in[j];
    const double t = s + x;
    const double back = t - s;
    e += (s - (t - back)) + (x - back);
    s = t;
    sum[j + 1] = s;
    error[j + 1] = e;
  }
  // The spectrum's integral from −½ (the lower side of bin 0) to position x
  // in bins, x in [−½, bins − ½]; the bin holding x weighs in part. Split in
  // its two parts so that differences cancel the large ones exactly first.
  struct Integral {
    double sum, error;
  };
  auto integral = [&](double x) noexcept -> Integral {
    const double shifted = x + 0.5;
    int j = static_cast<int>(shifted);
    if (j >= bins) return {sum[bins], error[bins]};
    const double part = shifted - j;
    const double value = (sum[j + 1] - sum[j]) + (error[j + 1] - error[j]);
    return {sum[j], error[j] + part * value};
  };
  const double top = bins - 0.5;
  out[0] = static_cast<float>((sum[1] - sum[0]) + (error[1] - error[0]));
  for (int k = 1; k < bins; ++k) {
    const double lo = k * below_, hi = std::min(k * above_, top);
    const Integral a = integral(lo), b = integral(hi);
    const double total = (b.sum - a.sum) + (b.error - a.error);
    out[k] = static_cast<float>(total / (hi - lo));
  }
}

}  // namespace dsp
