#include "plot/SpanZoom.h"

#include <algorithm>
#include <cmath>

namespace display {
namespace {

// A span of `width` placed as near as may be to start at `lower`, inside
// the band.
SpanEdges placed(double lower, double width, const SpanLimits& limits) {
  const double band = limits.highest - limits.lowest;
  width = std::clamp(width, std::min(limits.narrowest, band), band);
  lower = std::clamp(lower, limits.lowest, limits.highest - width);
  return {lower, lower + width};
}

bool usable(const SpanEdges& span, const SpanLimits& limits) {
  return std::isfinite(span.lower) && std::isfinite(span.upper) && span.upper > span.lower &&
         std::isfinite(limits.lowest) && std::isfinite(limits.highest) && limits.highest > limits.lowest;
}

}  // namespace

SpanEdges zoomedSpan(SpanEdges span, double anchor, double factor, const SpanLimits& limits) {
  if (!usable(span, limits) || !(factor > 0) || !std::isfinite(factor)) return span;
  anchor = std::clamp(std::isfinite(anchor) ? anchor : (span.lower + span.upper) / 2, span.lower, span.upper);
  const double band = limits.highest - limits.lowest;
  const double width = std::clamp((span.upper - span.lower) * factor, std::min(limits.narrowest, band), band);
  // The anchor keeps its share of the width on either side.
  const double share = (anchor - span.lower) / (span.upper - span.lower);
  return placed(anchor - share * width, width, limits);
}

SpanEdges pannedSpan(SpanEdges span, double shift, const SpanLimits& limits) {
  if (!usable(span, limits) || !std::isfinite(shift)) return span;
  return placed(span.lower + shift, span.upper - span.lower, limits);
}

namespace {

// The logarithmic axis's arithmetic is the linear one's on ln f.
struct LogDomain {
  SpanEdges span;
  SpanLimits limits;
  bool usable = false;
};

LogDomain toLog(const SpanEdges& span, const SpanLimits& limits, double lowest) {
  LogDomain d;
  if (!(lowest > 0) || !usable(span, limits)) return d;
  const double floor = std::max(limits.lowest, lowest);
  if (!(limits.highest > floor)) return d;
  const double lower = std::max(span.lower, floor);
  const double upper = std::max(span.upper, lower * (1 + 1e-9));
  d.span = {std::log(lower), std::log(upper)};
  d.limits = {std::log(floor), std::log(limits.highest), 0};
  d.usable = true;
  return d;
}

SpanEdges fromLog(const SpanEdges& logSpan, const SpanLimits& limits) {
  const double lower = std::exp(logSpan.lower);
  const double upper = std::exp(logSpan.upper);
  if (upper - lower >= limits.narrowest) return {lower, upper};
  return placed(lower, upper - lower, limits);
}

}  // namespace

SpanEdges zoomedLogSpan(SpanEdges span, double anchor, double factor, const SpanLimits& limits, double lowest) {
  const LogDomain d = toLog(span, limits, lowest);
  if (!d.usable || !(factor > 0) || !std::isfinite(factor)) return span;
  const double logAnchor = anchor > 0 && std::isfinite(anchor) ? std::log(anchor) : (d.span.lower + d.span.upper) / 2;
  return fromLog(zoomedSpan(d.span, logAnchor, factor, d.limits), limits);
}

SpanEdges pannedLogSpan(SpanEdges span, double share, const SpanLimits& limits, double lowest) {
  const LogDomain d = toLog(span, limits, lowest);
  if (!d.usable || !std::isfinite(share)) return span;
  return fromLog(pannedSpan(d.span, share * (d.span.upper - d.span.lower), d.limits), limits);
}

}  // namespace display
