#include "plot/FrequencyAxis.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace display {

FrequencyAxis::FrequencyAxis(AxisScale scale, double lower, double upper, double width, double lowestFrequency)
    : scale_(scale), lower_(lower), upper_(upper), width_(width > 0 ? width : 1) {
  if (logarithmic()) {
    lower_ = std::max(lower_, lowestFrequency > 0 ? lowestFrequency : 1.0);
    upper_ = std::max(upper_, lower_ * (1 + 1e-9));
    logRatio_ = std::log(upper_ / lower_);
  } else if (!(upper_ > lower_)) {
    upper_ = lower_;
  }
}

double FrequencyAxis::frequencyAt(double x) const {
  const double share = x / width_;
  if (logarithmic()) return lower_ * std::exp(logRatio_ * share);
  return lower_ + share * (upper_ - lower_);
}

double FrequencyAxis::xOf(double frequency) const {
  if (logarithmic()) {
    // Far enough left that nothing drawn to it shows, yet finite.
    if (!(frequency > 0)) return -4 * width_;
    return width_ * std::log(frequency / lower_) / logRatio_;
  }
  const double range = upper_ - lower_;
  if (!(range > 0)) return 0;
  return width_ * (frequency - lower_) / range;
}

std::vector<AxisTick> logarithmicTicks(double lower, double upper) {
  std::vector<AxisTick> ticks;
  if (!(lower > 0) || !(upper > lower)) return ticks;
  const double tolerance = 1e-6;
  for (double decade = std::pow(10.0, std::floor(std::log10(lower))); decade <= upper; decade *= 10) {
    for (int digit = 1; digit <= 9; ++digit) {
      const double f = digit * decade;
      if (f < lower * (1 - tolerance) || f > upper * (1 + tolerance)) continue;
      const bool major = digit == 1 || digit == 2 || digit == 5;
      ticks.push_back({f, major, major ? axisLabel(f) : std::string()});
    }
  }
  return ticks;
}

std::string axisLabel(double frequency) {
  const bool kilo = frequency >= 1000 * (1 - 1e-9);
  const double value = kilo ? frequency / 1000 : frequency;
  char text[32];
  // Three significant figures, without trailing zeros: %g does both.
  std::snprintf(text, sizeof text, "%.3g%s", value, kilo ? "k" : "");
  return text;
}

}  // namespace display
