// Geometry, bin-to-column and dB-to-height mapping of the plot view.

#include <gtest/gtest.h>

#include "display/DisplayTestSupport.h"

TEST(DisplayGeometry, MarginsAndTextSizeFollowTheViewSize) {
  PlotRig rig(800, 500, 0, 24000, 8192, 48000);
  display::Display& d = *rig.display;
  EXPECT_EQ(d.plotBounds(), QRectF(45, 45, 751, 427));
  EXPECT_FLOAT_EQ(d.plotWidth(), 751);
  EXPECT_FLOAT_EQ(d.plotHeight(), 427);
  EXPECT_NEAR(d.yOffset(), 21.35, 1e-4);
  EXPECT_NEAR(d.scaleFontSize(), std::sqrt(751.0 * 427.0) * 10 / 480, 1e-4);  // about 11.8
  EXPECT_NEAR(d.infoFontSize(), d.scaleFontSize() * 1.1, 1e-4);

  d.updateFrameFromBounds(QRectF(0, 0, 400, 300));
  EXPECT_FLOAT_EQ(d.scaleFontSize(), 10);
  d.updateFrameFromBounds(QRectF(0, 0, 4000, 3000));
  EXPECT_FLOAT_EQ(d.scaleFontSize(), 12);
}

TEST(DisplayScale, FullSpanOnAnOrdinaryPlot) {
  PlotRig rig(800, 500, 0, 24000, 8192, 48000);
  rig.showTrace();
  const PlotScale& s = rig.display->scale();
  EXPECT_NEAR(s.hertzPerPixel, 31.958, 1e-3);
  EXPECT_NEAR(s.binsPerPixel, 10.908, 1e-3);
  EXPECT_EQ(s.startBin, -5);
  EXPECT_EQ(s.firstBin, 0);
  EXPECT_EQ(s.endBin, 8202);
  EXPECT_FLOAT_EQ(s.logScale, 427.0f / 8);
  EXPECT_FLOAT_EQ(s.linearScale, 1.0f / (8192.0f * 8192.0f));
  EXPECT_FLOAT_EQ(s.top, 472);

  const int* map = rig.display->pixelToBinMap();
  EXPECT_EQ(map[0], -5);
  EXPECT_EQ(map[1], static_cast<int>(-5 + 10.908f));
  EXPECT_EQ(map[751], static_cast<int>(-5.0f + 751 * s.binsPerPixel));
  EXPECT_EQ(map[752], map[751]);
  EXPECT_EQ(map[display::Display::kColumns - 1], map[751]);
}

TEST(DisplayScale, ColumnsAboveTheLastBinAndNarrowerThanABin) {
  // The trace covers only 0 … 12 kHz of a 0 … 24 kHz plot.
  PlotRig wide(800, 500, 0, 24000, 4096, 24000);
  wide.showTrace();
  const int* map = wide.display->pixelToBinMap();
  for (int i = 400; i <= 751; ++i) EXPECT_EQ(map[i], 4095) << i;

  // 0.25 bins per column: whole bins repeat, the fractional map keeps rising.
  PlotRig narrow(800, 500, 10, 10 + 0.25f * 751, 4096, 8192);
  narrow.showTrace();
  const float* f = narrow.display->pixelToFractionalBin();
  EXPECT_EQ(narrow.display->scale().startBin, 9);
  EXPECT_EQ(narrow.display->pixelToBinMap()[5], narrow.display->pixelToBinMap()[6]);
  EXPECT_FLOAT_EQ(f[5], 10.25f);
  EXPECT_GT(f[6], f[5]);
}

TEST(DisplayScale, LevelsMapToDivisionsBelowTheReferenceLine) {
  PlotRig rig(800, 500, 0, 24000, 8192, 48000);
  rig.showTrace();
  display::Display& d = *rig.display;
  const float top = d.scale().top;
  // 0 dB on the reference line, every division of height/8 points dBPerDivision lower.
  EXPECT_NEAR(d.yForValue(rig.valueForDecibels(0)), top, 1e-3);
  EXPECT_NEAR(d.yForValue(rig.valueForDecibels(-30)), top - 3 * 427.0 / 8, 1e-2);

  rig.shared.refScale = 100;  // reference level +20 dB raises every trace by two divisions
  d.setPlotScale(5);
  rig.showTrace();
  EXPECT_NEAR(d.yForValue(rig.valueForDecibels(-30)), top - 6 * 427.0 / 8, 1e-2);
  EXPECT_LT(d.yForValue(0) - d.yOffset(), d.plotBounds().y() - 50) << "no power lies below the plot";
}

TEST(DisplayScale, DegenerateViewsAndSpansStayFinite) {
  // Narrower than the margins, and a span of zero width.
  PlotRig tiny(30, 40, 1000, 1000, 8192, 48000);
  tiny.showTrace();
  EXPECT_EQ(tiny.display->pixelToBinMap()[display::Display::kColumns - 1], tiny.display->pixelToBinMap()[0]);
  EXPECT_FALSE(tiny.display->scale().valid && !tiny.display->plotPath().isEmpty());

  PlotRig flat(800, 500, 1000, 1000, 8192, 48000);
  flat.showTrace();
  for (int i = 0; i < flat.display->plotPath().count(); ++i) {
    EXPECT_TRUE(std::isfinite(flat.display->plotPath().point(i).y()));
  }
}
