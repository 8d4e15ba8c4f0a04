#include "dsp/SensorResponse.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace dsp {

namespace {

std::nullopt_t refuse(std::string* error, const char* format, double a, double b = 0) {
  if (error) {
    char text[160];
    std::snprintf(text, sizeof text, format, a, b);
    *error = text;
  }
  return std::nullopt;
}

}  // namespace

std::optional<SensorResponse> SensorResponse::make(std::vector<ResponsePoint> points,
                                                   std::optional<double> sensitivityDb, std::string* error) {
  for (std::size_t i = 0; i < points.size(); ++i) {
    const ResponsePoint& p = points[i];
    if (!std::isfinite(p.hertz) || !std::isfinite(p.db) || (p.phaseDegrees && !std::isfinite(*p.phaseDegrees)))
      return refuse(error, "point %.0f holds a value that is not a finite number", static_cast<double>(i + 1));
    if (p.hertz <= 0) return refuse(error, "a frequency must be above 0 Hz (%g Hz)", p.hertz);
    if (std::fabs(p.db) > kLargestResponseDb)
      return refuse(error, "a response of %g dB is beyond any sensor's (at most \xc2\xb1" "200 dB)", p.db);
    if (i > 0 && p.hertz <= points[i - 1].hertz)
      return refuse(error, "the frequencies must rise (%g Hz after %g Hz)", p.hertz, points[i - 1].hertz);
  }
  if (sensitivityDb && !std::isfinite(*sensitivityDb))
    return refuse(error, "the sensitivity factor is not a finite number", 0);
  if (sensitivityDb && std::fabs(*sensitivityDb) > kLargestResponseDb)
    return refuse(error, "a sensitivity factor of %g dB is beyond any sensor's (at most \xc2\xb1" "200 dB)",
                  *sensitivityDb);
  SensorResponse response;
  response.logHertz_.reserve(points.size());
  for (const ResponsePoint& p : points) response.logHertz_.push_back(std::log10(p.hertz));
  response.points_ = std::move(points);
  response.sensitivityDb_ = sensitivityDb;
  return response;
}

double SensorResponse::responseFrom(double f, std::size_t& segment) const noexcept {
  const std::size_t n = points_.size();
  if (n == 0) return 0.0;
  if (!(f > points_.front().hertz)) return points_.front().db;
  if (f >= points_.back().hertz) return points_.back().db;
  // Here n ≥ 2 and f lies inside: find i with points_[i] < f ≤ points_[i + 1].
  while (segment + 2 < n && points_[segment + 1].hertz < f) ++segment;
  const ResponsePoint& a = points_[segment];
  const ResponsePoint& b = points_[segment + 1];
  const double t = (std::log10(f) - logHertz_[segment]) / (logHertz_[segment + 1] - logHertz_[segment]);
  return a.db + t * (b.db - a.db);
}

double SensorResponse::responseDb(double f) const noexcept {
  // A search rather than the walk: the segment below f.
  std::size_t low = 0, high = points_.size();
  while (high - low > 1) {
    const std::size_t middle = (low + high) / 2;
    if (points_[middle].hertz < f) low = middle;
    else high = middle;
  }
  return responseFrom(f, low);
}

void SensorResponse::fillGains(double binsPerHertz, int bins, float* gains) const noexcept {
  std::fill(gains, gains + std::max(bins, 0), 1.0f);
  applyGains(binsPerHertz, bins, gains);
}

void SensorResponse::applyGains(double binsPerHertz, int bins, float* gains) const noexcept {
  // The sensitivity factor is the sensor's gain at every frequency: taken
  // out with the response.
  const double factor = sensitivityDb_.value_or(0);
  std::size_t segment = 0;
  for (int k = 0; k < bins; ++k)
    gains[k] = static_cast<float>(gains[k] * std::pow(10.0, -(responseFrom(k / binsPerHertz, segment) + factor) / 10));
}

}  // namespace dsp
