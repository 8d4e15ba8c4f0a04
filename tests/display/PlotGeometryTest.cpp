// The plot's geometry on its own: margins, grid lines and the mappings of
// columns to bins and of power to height, with no widget and no painter.

#include <gtest/gtest.h>

#include "display/PlotGeometry.h"

using display::PlotGeometry;

TEST(PlotGeometry, ThePlotRectangleLiesInsideEachViewsMargins) {
  PlotGeometry screen(display::kScreenMargins);
  screen.layOut(QRectF(0, 0, 800, 500));
  EXPECT_EQ(screen.plotBounds(), QRectF(45, 45, 751, 427));
  EXPECT_FLOAT_EQ(screen.width(), 751);
  EXPECT_FLOAT_EQ(screen.height(), 427);

  PlotGeometry page(display::kPageMargins);
  page.layOut(QRectF(0, 0, 800, 600));
  EXPECT_EQ(page.plotBounds(), QRectF(45, 50, 747, 520));
  EXPECT_FLOAT_EQ(page.yOffset(), 26);
  EXPECT_EQ(page.clipFrame(), QRectF(45.5, 50.5, 746, 519));
}

TEST(PlotGeometry, TheGridLinesLieOnPixelCentresOfTheDivisions) {
  PlotGeometry page(display::kPageMargins);
  page.layOut(QRectF(0, 0, 800, 600));
  ASSERT_EQ(page.graticuleY().size(), 8u);
  ASSERT_EQ(page.graticuleX().size(), 9u);
  EXPECT_FLOAT_EQ(page.graticuleY().front(), 89.5f);  // 65 points a division, from 26 below the top
  EXPECT_FLOAT_EQ(page.graticuleY().back(), 544.5f);
  EXPECT_FLOAT_EQ(page.graticuleX().front(), 119.5f);  // 74.7 points a division
  EXPECT_FLOAT_EQ(page.graticuleX().back(), 717.5f);
}

TEST(PlotGeometry, ColumnsMapOntoBinsAndPowerOntoHeight) {
  PlotGeometry page(display::kPageMargins);
  page.layOut(QRectF(0, 0, 800, 600));
  const float bph = 8192 / 22050.0f;
  page.updateScale(0, 22050, bph, 8192, 1);
  const float binsPerPixel = page.scale().binsPerPixel;
  EXPECT_EQ(page.scale().startBin, -5) << "half a column left of 0 Hz";
  EXPECT_FLOAT_EQ(page.fractionalBinAt(100), -5 + 100 * binsPerPixel);
  EXPECT_EQ(page.binAt(100), static_cast<int>(-5 + 100 * binsPerPixel));
  EXPECT_FLOAT_EQ(page.fractionalBinAt(PlotGeometry::kColumns - 1), page.fractionalBinAt(747)) << "past the plot: its right edge";

  // Unity power (bins² at refScale 1) on the reference line, a division per
  // 10 dB below it, and no power far below the plot.
  EXPECT_FLOAT_EQ(page.yForValue(8192.0f * 8192.0f), 570);
  EXPECT_NEAR(page.yForValue(8192.0f * 8192.0f / 10), 505, 1e-3);
  EXPECT_FLOAT_EQ(page.yForValue(0), page.noPowerY());
  EXPECT_FLOAT_EQ(page.noPowerY(), 50 - 100 + 26);

  // A frequency's x, and the frequency under an x.
  const double x = page.xForFrequency(11025, bph);
  EXPECT_NEAR(page.frequencyAtX(x, {0, 22050}), 11025, 22050 / 747.0);
}
