// The logarithmic frequency axis on the screen: the graticule and its
// labels, the low octaves drawn through the bins' centres, a marker reading
// a sine alike on both axes, and the switch between the axes.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "display/DisplayTestSupport.h"
#include "display/PlotGeometry.h"

namespace {

// 20 Hz – 20 kHz of an 8192-bin trace at 48 kHz (2.93 Hz per bin).
struct LogRig : PlotRig {
  LogRig() : PlotRig(800, 500, 20, 20000, 8192, 48000) { shared.axisScale = display::AxisScale::logarithmic; }
  const display::PlotGeometry& geometry() const { return display->plotGeometry(); }
  // x (view points) where the axis puts a frequency: column c is centred
  // half a point right of x0 + c.
  double xOf(double f) const {
    const double width = display->plotBounds().width();
    return display->plotBounds().x() + width * std::log(f / 20) / std::log(1000.0) + 0.5;
  }
};

}  // namespace

TEST(DisplayLogAxis, TheGraticuleFollowsTheDecadesAndSwitchingBackRestoresTheLinearPlot) {
  LogRig rig;
  for (int k = 0; k < rig.trace->bins; ++k) rig.trace->averaged[k] = rig.valueForDecibels(-50);
  rig.shared.axisScale = display::AxisScale::linear;
  rig.showTrace();
  const double linearBottom = rig.display->plotBounds().y();
  EXPECT_EQ(rig.geometry().graticuleX().size(), 9u);

  rig.shared.axisScale = display::AxisScale::logarithmic;
  rig.display->measurementsChanged();
  const display::PlotGeometry& g = rig.geometry();
  // The labels' row sits below the plot; the view's own size is unchanged.
  EXPECT_DOUBLE_EQ(rig.display->plotBounds().y(), linearBottom + display::PlotGeometry::kAxisLabelRoom);
  std::vector<std::string> texts;
  for (const auto& label : g.axisLabels()) texts.push_back(label.text);
  EXPECT_EQ(texts, (std::vector<std::string>{"20", "50", "100", "200", "500", "1k", "2k", "5k", "10k", "20k"}));
  // The edges' lines are the frame's: 8 labelled lines inside, 18 fainter ones.
  EXPECT_EQ(g.graticuleX().size(), 8u);
  EXPECT_EQ(g.minorGraticuleX().size(), 18u);
  EXPECT_NEAR(g.axisLabels()[5].x, rig.xOf(1000), 1.0);
  EXPECT_NEAR(g.minorGraticuleX()[0], rig.xOf(30), 1.0);
  EXPECT_NEAR(rig.display->frequencyAtX(rig.xOf(1000) - 0.5, {20, 20000}), 1000, 1000 * 0.005);

  // The labels are drawn: caption-coloured pixels under the 1 kHz line.
  const QImage image = rig.render();
  const int x = static_cast<int>(g.axisLabels()[5].x);
  int caption = 0;
  for (int row = rig.rowOf(rig.display->plotBounds().y()) + 1; row < rig.rowOf(linearBottom); ++row)
    for (int dx = -8; dx <= 8; ++dx)
      if (image.pixelColor(x + dx, row).blue() > 100 && image.pixelColor(x + dx, row).red() < 100) ++caption;
  EXPECT_GT(caption, 5);

  rig.shared.axisScale = display::AxisScale::linear;
  rig.display->measurementsChanged();
  EXPECT_DOUBLE_EQ(rig.display->plotBounds().y(), linearBottom);
  EXPECT_EQ(rig.geometry().graticuleX().size(), 9u);
  EXPECT_TRUE(rig.geometry().axisLabels().empty());
  EXPECT_TRUE(rig.geometry().minorGraticuleX().empty());
}

TEST(DisplayLogAxis, LowOctavesAreDrawnThroughTheBinCentresNotAsAStaircase) {
  // Bins alternating between -20 and -40 dB: at 20 Hz a bin is some 16
  // columns wide, and the columns between two bins' centres climb or fall
  // steadily from one bin's level to the other's.
  LogRig rig;
  for (int k = 0; k < rig.trace->bins; ++k) rig.trace->averaged[k] = rig.valueForDecibels(k % 2 ? -20 : -40);
  rig.shared.detectorMode = 0;
  rig.showTrace();
  const display::PlotGeometry& g = rig.geometry();
  const display::DetectedData& detected = rig.display->detectedData();
  const float high = rig.valueForDecibels(-20), low = rig.valueForDecibels(-40);
  int between = 0;
  for (int c = 1; c < 200; ++c) {
    const float centre = g.fractionalBinAt(c);
    if (!(centre > 7.05f && centre < 7.95f)) continue;  // between bin 7 (-20 dB) and bin 8 (-40 dB)
    ++between;
    EXPECT_LT(detected.mean[c], high);
    EXPECT_GT(detected.mean[c], low);
    EXPECT_LT(detected.mean[c], detected.mean[c - 1]) << c;
    // At the column's centre, on the line between the two bins.
    const float t = centre - 7;
    EXPECT_NEAR(detected.mean[c], (1 - t) * high + t * low, 1e-3 * high);
  }
  EXPECT_GT(between, 8);
  // Where a column spans many bins, the detector works over them: the
  // rightmost column holds both levels.
  const int last = g.lastColumn() - 1;
  EXPECT_FLOAT_EQ(detected.max[last], high);
  EXPECT_FLOAT_EQ(detected.min[last], low);
}

TEST(DisplayLogAxis, AMarkerReadsASineAlikeOnBothAxes) {
  // A sine of mean square 0.125 (-9.03 dB) in bin 500, 2929.7 Hz.
  LogRig rig;
  const int k0 = 500;
  for (int k = 0; k < rig.trace->bins; ++k) rig.trace->averaged[k] = rig.valueForDecibels(-100);
  rig.trace->averaged[k0] = 0.125f * 8192 * 8192;
  rig.shared.detectorMode = 1;
  struct Reading {
    float dB, frequency, h;
  };
  auto read = [&](display::AxisScale scale) {
    rig.shared.axisScale = scale;
    rig.display->measurementsChanged();
    rig.click(display::Display::kPlainMarker, 100, 0);
    rig.shared.marker.binClicked = rig.shared.marker.cachedBinClicked = rig.shared.marker.index = k0;
    rig.display->updateMarkerInfo();
    return Reading{rig.marker().dB, rig.marker().frequency, rig.marker().h};
  };
  rig.showTrace();
  rig.shared.axisScale = display::AxisScale::logarithmic;
  rig.display->measurementsChanged();
  // The curve peaks in the sine's column on the logarithmic axis.
  const QImage image = rig.render();
  const double x = rig.xOf(k0 / rig.trace->binsPerHertz);
  const double yExpected =
      rig.display->scale().top - rig.display->yOffset() + 10 * std::log10(0.125) * (rig.display->plotHeight() / 8) / 10;
  int topRow = -1;
  for (int row = 0; row < image.height() && topRow < 0; ++row)
    for (int dx = -2; dx <= 2; ++dx) {
      const QColor px = image.pixelColor(static_cast<int>(x) + dx, row);
      if (px.red() > 128 && px.green() < 100 && px.blue() < 100) topRow = row;
    }
  EXPECT_NEAR(topRow, rig.rowOf(yExpected), 2.0);

  const Reading linear = read(display::AxisScale::linear);
  const Reading log = read(display::AxisScale::logarithmic);
  EXPECT_FLOAT_EQ(log.dB, linear.dB);
  EXPECT_FLOAT_EQ(log.frequency, linear.frequency);
  EXPECT_NEAR(log.dB, 10 * std::log10(0.125), 0.05);
  EXPECT_NEAR(log.h, x, 0.01);

  // A click on that column resolves to the sine's bin.
  rig.click(display::Display::kPlainMarker, static_cast<int>(x - rig.display->plotBounds().x()),
            rig.display->yForValue(rig.trace->averaged[k0]));
  rig.display->updateMarkerInfo();
  EXPECT_NEAR(rig.index(), k0, 1);
}
