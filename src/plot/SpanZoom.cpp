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

}  // namespace display
