#include "plot/ResponseScale.h"

#include <algorithm>
#include <cmath>

namespace display {

namespace {

// The least of 1, 2 and 5 times a power of ten at or above x > 0.
double niceStep(double x) {
  const double decade = std::pow(10.0, std::floor(std::log10(x)));
  for (double m : {1.0, 2.0, 5.0})
    if (m * decade >= x * (1 - 1e-9)) return m * decade;
  return 10 * decade;
}

}  // namespace

ResponseScale responseScale(const std::vector<double>& values, double narrowest) {
  std::vector<double> finite;
  finite.reserve(values.size());
  for (double v : values)
    if (std::isfinite(v)) finite.push_back(v);
  if (finite.empty() || !(narrowest > 0)) return {};
  std::sort(finite.begin(), finite.end());
  const size_t n = finite.size();
  double low = finite[n / 10], high = finite[n - 1 - n / 10];
  const double pad = 0.25 * (high - low);
  low -= pad;
  high += pad;
  if (high - low < narrowest) {
    const double middle = 0.5 * (low + high);
    low = middle - 0.5 * narrowest;
    high = middle + 0.5 * narrowest;
  }
  ResponseScale scale;
  scale.step = niceStep((high - low) / 4);
  scale.low = std::floor(low / scale.step) * scale.step;
  scale.high = std::ceil(high / scale.step) * scale.step;
  if (scale.high <= scale.low) scale.high = scale.low + scale.step;
  return scale;
}

}  // namespace display
