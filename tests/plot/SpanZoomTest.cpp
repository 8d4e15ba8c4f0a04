// Zoom and pan arithmetic of the plot's span, at the band's edges too.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "plot/SpanZoom.h"

using display::SpanEdges;
using display::SpanLimits;

namespace {

const SpanLimits kBand{0, 24000, 10};

void expectSpan(const SpanEdges& got, double lower, double upper) {
  EXPECT_NEAR(got.lower, lower, 1e-9);
  EXPECT_NEAR(got.upper, upper, 1e-9);
}

}  // namespace

TEST(SpanZoom, TheFrequencyUnderThePointerStaysWhereItIs) {
  // A quarter of the way across 1000 … 2000 Hz: 1250 Hz stays a quarter across.
  const SpanEdges in = display::zoomedSpan({1000, 2000}, 1250, 0.5, kBand);
  expectSpan(in, 1125, 1625);
  expectSpan(display::zoomedSpan(in, 1250, 2.0, kBand), 1000, 2000);  // and back out
  // Steps multiply: two steps in are the square of one.
  const SpanEdges two = display::zoomedSpan(display::zoomedSpan({0, 10000}, 5000, 0.8, kBand), 5000, 0.8, kBand);
  EXPECT_NEAR(two.upper - two.lower, 10000 * 0.64, 1e-9);
  // An anchor off the span counts as its nearest edge.
  expectSpan(display::zoomedSpan({1000, 2000}, -50, 0.5, kBand), 1000, 1500);
}

TEST(SpanZoom, AtTheBandsEdgesTheSpanStopsAndKeepsItsWidth) {
  // Zooming out around a point near 0 Hz: the lower edge stops at 0.
  expectSpan(display::zoomedSpan({100, 1100}, 200, 4.0, kBand), 0, 4000);
  // Near fs/2 the upper edge stops there.
  expectSpan(display::zoomedSpan({22000, 23900}, 23800, 2.0, kBand), 20200, 24000);
  // Wider than the band: the band.
  expectSpan(display::zoomedSpan({1000, 20000}, 5000, 10.0, kBand), 0, 24000);
  // Never narrower than the narrowest span, also at an edge.
  expectSpan(display::zoomedSpan({990, 1010}, 1000, 0.01, kBand), 995, 1005);
  expectSpan(display::zoomedSpan({23980, 24000}, 24000, 0.01, kBand), 23990, 24000);
  // A move stops at the edges with its width.
  expectSpan(display::pannedSpan({1000, 3000}, -5000, kBand), 0, 2000);
  expectSpan(display::pannedSpan({20000, 23000}, 5000, kBand), 21000, 24000);
  expectSpan(display::pannedSpan({1000, 3000}, 250, kBand), 1250, 3250);
  expectSpan(display::fullSpan(kBand), 0, 24000);
}

TEST(SpanZoom, SpansAndStepsThatMakeNoSenseLeaveTheSpanAlone) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (const double factor : {0.0, -1.0, nan, inf}) expectSpan(display::zoomedSpan({100, 200}, 150, factor, kBand), 100, 200);
  expectSpan(display::zoomedSpan({200, 100}, 150, 0.5, kBand), 200, 100);
  expectSpan(display::pannedSpan({100, 200}, nan, kBand), 100, 200);
  expectSpan(display::zoomedSpan({100, 200}, 150, 0.5, SpanLimits{0, 0, 10}), 100, 200);
  // An anchor that is no number zooms around the centre.
  expectSpan(display::zoomedSpan({100, 200}, nan, 0.5, kBand), 125, 175);
}
