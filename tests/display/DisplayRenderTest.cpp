// Rendering, checked by geometry: where the graticule, the labels, the curve
// and the sweep cursor land in an off-screen image.

#include <gtest/gtest.h>

#include <functional>

#include "display/DisplayTestSupport.h"

namespace {

using Pixel = std::function<bool(const QColor&)>;
const Pixel kGreen = [](const QColor& c) { return c.green() > 100 && c.red() < 60 && c.blue() < 60; };
const Pixel kRed = [](const QColor& c) { return c.red() > 100 && c.green() < 60 && c.blue() < 60; };
const Pixel kBlue = [](const QColor& c) { return c.blue() > 100 && c.red() < 60 && c.green() < 60; };

int count(const QImage& image, const QRect& area, const Pixel& is) {
  int n = 0;
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) n += is(image.pixelColor(x, y)) ? 1 : 0;
  }
  return n;
}

// A -25 dB trace with a -15 dB bump in the middle: both between graticule lines.
struct RenderRig : PlotRig {
  RenderRig() : PlotRig(800, 500, 0, 24000, 8192, 48000) {
    for (int k = 0; k < 8192; ++k) trace->averaged[k] = valueForDecibels(std::abs(k - 4096) < 200 ? -15 : -25);
    showTrace();
  }
  QRect plotInterior() const { return QRect(48, 500 - 45 - 427 + 3, 751 - 6, 427 - 6); }
};

}  // namespace

TEST(DisplayRender, NothingIsDrawnBeforeTheLaunchHasFinished) {
  RenderRig rig;
  rig.shared.ready = 0;
  const QImage image = rig.render();
  EXPECT_EQ(count(image, image.rect(), [](const QColor& c) { return c != QColor(128, 128, 128); }), 0);
  rig.shared.ready = 1;
  EXPECT_EQ(rig.render().pixelColor(5, 5), QColor(0, 0, 0)) << "background";
}

TEST(DisplayRender, GraticuleLinesLieOnTheirDivisions) {
  RenderRig rig;
  const QImage image = rig.render();
  const display::Display& d = *rig.display;
  for (int i = 1; i <= 8; ++i) {
    const int y = static_cast<int>(i * (d.plotHeight() * 0.125f) + 45 - d.yOffset());
    const int row = 500 - 1 - y;
    const int dashes = count(image, QRect(60, row, 300, 1), kGreen);
    EXPECT_GT(dashes, 150) << "horizontal line " << i;
    EXPECT_LT(count(image, QRect(60, row + 3, 300, 1), kGreen), 20) << "beside horizontal line " << i;
  }
  for (int i = 1; i <= 9; ++i) {
    const int x = static_cast<int>(i * (d.plotWidth() / 10) + 45);
    EXPECT_GT(count(image, QRect(x, 100, 1, 200), kGreen), 100) << "vertical line " << i;
  }
  // The plot frame's left edge and the dB labels to its left, level with the lines.
  EXPECT_GT(count(image, QRect(45, 100, 1, 200), kGreen), 190);
  for (int n = 1; n <= 7; ++n) {
    const int row = rig.rowOf(d.scale().top - d.yOffset() - n * d.plotHeight() / 8);
    EXPECT_GT(count(image, QRect(0, row - 8, 44, 16), kBlue), 5) << "label " << n;
  }
  // The frequency, RBW and reference captions below the plot.
  EXPECT_GT(count(image, QRect(45, 500 - 45 + 8, 80, 37), kBlue), 20);
  EXPECT_GT(count(image, QRect(745, 500 - 45 + 8, 50, 20), kBlue), 10);
}

TEST(DisplayRender, TheCurveFollowsTheTraceAndIsSkippedWhileTheTraceIsLocked) {
  RenderRig rig;
  const display::Display& d = *rig.display;
  const QImage image = rig.render();
  const int middle = 45 + 751 / 2;
  const int bumpRow = rig.rowOf(d.scale().top - d.yOffset() - 1.5 * d.plotHeight() / 8);
  const int floorRow = rig.rowOf(d.scale().top - d.yOffset() - 2.5 * d.plotHeight() / 8);
  EXPECT_GT(count(image, QRect(middle - 3, bumpRow - 2, 7, 5), kRed), 5);
  EXPECT_GT(count(image, QRect(100, floorRow - 2, 7, 5), kRed), 5);
  EXPECT_EQ(count(image, QRect(100, bumpRow - 2, 7, 5), kRed), 0);

  rig.trace->lock.lock();  // a detection pass elsewhere holds the trace
  EXPECT_EQ(count(rig.render(), rig.plotInterior(), kRed), 0);
  rig.trace->lock.unlock();
  EXPECT_GT(count(rig.render(), rig.plotInterior(), kRed), 700);
}

TEST(DisplayRender, TheReferenceTraceIsDashedAtItsLevel) {
  RenderRig rig;
  auto reference = std::make_unique<TraceData>();
  reference->bins = rig.trace->bins;
  reference->samplingRate = rig.trace->samplingRate;
  for (int k = 0; k < reference->bins; ++k) reference->averaged[k] = rig.valueForDecibels(-45);
  rig.display->setReference(reference.get(), rig.trace.get());
  const display::Display& d = *rig.display;
  const int row = rig.rowOf(d.scale().top - d.yOffset() - 4.5 * d.plotHeight() / 8);
  const QImage image = rig.render();
  const Pixel cyan = [](const QColor& c) { return c.green() > 100 && c.blue() > 100 && c.red() < 60; };
  // 8 on, 3 off, 3 on, 3 off: eleven of every seventeen points are drawn.
  int drawn = 0;
  for (int x = 100; x < 440; ++x) drawn += count(image, QRect(x, row - 2, 1, 5), cyan) > 0 ? 1 : 0;
  EXPECT_NEAR(drawn, 340 * 11 / 17, 30);
  EXPECT_EQ(count(image, QRect(100, row - 30, 340, 20), cyan), 0);
}

TEST(DisplayRender, ThePassAfterAResizeDrawsNoTrace) {
  RenderRig rig;
  rig.display->resize(900, 500);
  const QImage resized = rig.render();
  EXPECT_EQ(count(resized, QRect(50, 30, 840, 420), kRed), 0);
  EXPECT_GT(count(resized, QRect(50, 30, 840, 420), kGreen), 1000) << "the graticule is drawn";
  EXPECT_EQ(rig.display->plotBounds(), QRectF(45, 45, 851, 427));
  rig.showTrace();
  EXPECT_GT(count(rig.render(), QRect(50, 30, 840, 420), kRed), 800);
}

TEST(DisplayRender, TheSweepCursorMarksTheLastColumn) {
  RenderRig rig;
  rig.shared.track.pixel = 320;
  const QImage image = rig.render();
  // A one-point line on a pixel boundary covers half of the two pixels beside it.
  const Pixel light = [](const QColor& c) { return c.red() > 50 && c.green() > 50 && c.blue() > 50; };
  EXPECT_GT(count(image, QRect(45 + 320 - 1, 60, 2, 350), light), 600);
  EXPECT_EQ(count(image, QRect(45 + 330, 60, 1, 350), light), 0);
}

TEST(DisplayCaptions, ScaleLabelsCountDivisionsDown) {
  EXPECT_EQ(display::Display::scaleLabels(10), (std::array<int, 7>{-10, -20, -30, -40, -50, -60, -70}));
  EXPECT_EQ(display::Display::scaleLabels(2), (std::array<int, 7>{-2, -4, -6, -8, -10, -12, -14}));
  EXPECT_EQ(display::Display::scaleLabels(2.5), (std::array<int, 7>{-2, -4, -6, -8, -10, -12, -14}));
}

TEST(DisplayCaptions, TheBandwidthCaptionShowsThreeSignificantDigits) {
  RenderRig rig;
  display::Display& d = *rig.display;
  struct Case {
    float rbw;
    const char* text;
  } cases[] = {{3.1623f, "RBW  3.16 Hz"}, {31.623f, "RBW  31.6 Hz"}, {1, "RBW  1 Hz"},
               {10, "RBW  10 Hz"},        {3.99f, "RBW  3.99 Hz"},   {316.23f, "RBW  316 Hz"}};
  for (const Case& c : cases) {
    rig.shared.span.bandwidth = c.rbw;
    d.updateStrings();
    EXPECT_EQ(d.bandwidthString(), c.text);
  }
  display::Display fresh;
  EXPECT_EQ(fresh.bandwidthString(), "RBW 3.16 Hz");
}
