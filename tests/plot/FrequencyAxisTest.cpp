// The logarithmic frequency axis: its mapping both ways, a span from 0 Hz,
// its graticule and labels, and zooming and panning in ratios.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "plot/FrequencyAxis.h"
#include "plot/SpanZoom.h"

using display::AxisScale;
using display::FrequencyAxis;

TEST(FrequencyAxis, ALogarithmicAxisMapsEqualRatiosToEqualWidthsAndBack) {
  const FrequencyAxis axis(AxisScale::logarithmic, 20, 20000, 1500, 48000.0 / 65536);
  EXPECT_DOUBLE_EQ(axis.frequencyAt(0), 20);
  EXPECT_NEAR(axis.frequencyAt(1500), 20000, 1e-9);
  // Three decades over 1500 points: 500 points per decade.
  EXPECT_NEAR(axis.xOf(200), 500, 1e-9);
  EXPECT_NEAR(axis.xOf(2000), 1000, 1e-9);
  EXPECT_NEAR(axis.frequencyAt(250), 20 * std::sqrt(10.0), 1e-9);
  for (double x : {0.0, 0.5, 1.0, 333.3, 1499.0, 1500.0}) EXPECT_NEAR(axis.xOf(axis.frequencyAt(x)), x, 1e-9) << x;
  // 0 Hz and below lie far left of the plot, yet finitely.
  EXPECT_LT(axis.xOf(0), -1500);
  EXPECT_TRUE(std::isfinite(axis.xOf(-5)));

  // The linear axis as it always was.
  const FrequencyAxis linear(AxisScale::linear, 0, 24000, 1200, 1);
  EXPECT_DOUBLE_EQ(linear.frequencyAt(600), 12000);
  EXPECT_DOUBLE_EQ(linear.xOf(6000), 300);
}

TEST(FrequencyAxis, ASpanFromZeroStartsAtTheFirstBinAboveIt) {
  const double firstBin = 48000.0 / 16384;  // 2.93 Hz
  const FrequencyAxis axis(AxisScale::logarithmic, 0, 24000, 1000, firstBin);
  EXPECT_DOUBLE_EQ(axis.lower(), firstBin);
  EXPECT_DOUBLE_EQ(axis.frequencyAt(0), firstBin);
  EXPECT_NEAR(axis.frequencyAt(1000), 24000, 1e-9);
  // An empty or inverted span still maps finitely.
  const FrequencyAxis empty(AxisScale::logarithmic, 0, 0, 1000, firstBin);
  EXPECT_TRUE(std::isfinite(empty.xOf(1000)));
  EXPECT_GT(empty.upper(), empty.lower());
}

TEST(FrequencyAxis, TheGraticuleHasEveryIntegerAndLabelsOneTwoFive) {
  const std::vector<display::AxisTick> ticks = display::logarithmicTicks(20, 20000);
  std::vector<std::string> labels;
  int minor = 0;
  for (const display::AxisTick& t : ticks) {
    if (t.major) labels.push_back(t.label);
    else ++minor;
    EXPECT_EQ(t.major, !t.label.empty());
  }
  EXPECT_EQ(labels, (std::vector<std::string>{"20", "50", "100", "200", "500", "1k", "2k", "5k", "10k", "20k"}));
  // 20 … 90, 100 … 900, 1k … 9k, 10k, 20k: 28 lines, 10 of them labelled.
  EXPECT_EQ(ticks.size(), 28u);
  EXPECT_EQ(minor, 18);
  EXPECT_DOUBLE_EQ(ticks[1].frequency, 30);
  for (size_t i = 1; i < ticks.size(); ++i) EXPECT_GT(ticks[i].frequency, ticks[i - 1].frequency);

  EXPECT_EQ(display::axisLabel(31.5), "31.5");
  EXPECT_EQ(display::axisLabel(1250), "1.25k");
  EXPECT_EQ(display::axisLabel(12500), "12.5k");
  EXPECT_EQ(display::axisLabel(999.9999999), "1k");
  EXPECT_TRUE(display::logarithmicTicks(0, 100).empty());
  EXPECT_TRUE(display::logarithmicTicks(100, 50).empty());
}

TEST(FrequencyAxis, ZoomAndPanOnTheLogarithmicAxisWorkInRatios) {
  const display::SpanLimits band{0, 24000, 10};
  const double first = 48000.0 / 65536;
  // Zoomed around 1 kHz by 0.5: the span's width in octaves halves and 1 kHz
  // keeps its share of it.
  const display::SpanEdges span{20, 20000};
  const display::SpanEdges zoomed = display::zoomedLogSpan(span, 1000, 0.5, band, first);
  EXPECT_NEAR(std::log(zoomed.upper / zoomed.lower), 0.5 * std::log(1000.0), 1e-9);
  const double share = std::log(1000.0 / 20) / std::log(1000.0);
  EXPECT_NEAR(std::log(1000 / zoomed.lower) / std::log(zoomed.upper / zoomed.lower), share, 1e-9);

  // A pan by a tenth moves both edges by the same ratio.
  const display::SpanEdges low{20, 2000};
  const display::SpanEdges panned = display::pannedLogSpan(low, 0.1, band, first);
  EXPECT_NEAR(panned.upper / low.upper, panned.lower / low.lower, 1e-9);
  EXPECT_NEAR(panned.lower, 20 * std::pow(100.0, 0.1), 1e-9);
  // At the band's top the span stops, its width in octaves kept.
  const display::SpanEdges top = display::pannedLogSpan(span, 1.0, band, first);
  EXPECT_NEAR(top.upper, 24000, 1e-6);
  EXPECT_NEAR(top.upper / top.lower, 1000, 1e-6);
  // Zoomed out as far as it goes: from the first bin to half the rate.
  const display::SpanEdges out = display::zoomedLogSpan(span, 1000, 1e6, band, first);
  EXPECT_NEAR(out.lower, first, 1e-9);
  EXPECT_NEAR(out.upper, 24000, 1e-6);
  // Never narrower than the narrowest span in hertz.
  const display::SpanEdges narrow = display::zoomedLogSpan(span, 1000, 1e-9, band, first);
  EXPECT_GE(narrow.upper - narrow.lower, 10 - 1e-9);
}
