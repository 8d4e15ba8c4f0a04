// The spectrogram's history: its rows coloured by the map at their levels,
// its columns where the plot above it puts the same frequencies, and its
// ring, which scrolls by an offset and allocates nothing per spectrum.
// Counted by the test programs' allocation counter.

#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>
#include <algorithm>
#include <cmath>

#include "display/ColorMaps.h"
#include "display/DisplayTestSupport.h"
#include "display/Spectrogram.h"
#include "display/SpectrogramPainter.h"
#include "support/AllocationCounter.h"

namespace {

// The entry the map gives a level of the range: 256 equal steps.
uint32_t mapAt(display::ColorMap map, double level, const display::LevelRange& range) {
  const double share = (level - range.bottom) / (range.top - range.bottom);
  const int entry = std::clamp(static_cast<int>(std::floor(share * 256)), 0, 255);
  return display::colorTable(map)[static_cast<size_t>(entry)];
}

int highestColumn(const float* levels, int columns) {
  return static_cast<int>(std::max_element(levels, levels + columns) - levels);
}

}  // namespace

TEST(Spectrogram, ARowsColoursAreTheMapAtItsLevelsAndFollowTheRangeAndMap) {
  // 0 … 24 kHz on a linear axis: the level climbs 0.02 dB a bin from -95 dB,
  // below the range at the left and above it at the right, with a bin
  // without power in the middle.
  PlotRig rig(900, 400, 0, 24000, 8192, 48000);
  for (int k = 0; k < rig.trace->bins; ++k) rig.trace->averaged[k] = rig.valueForDecibels(-95 + 0.02 * k);
  rig.trace->averaged[4000] = 0;
  rig.shared.detectorMode = 0;
  rig.showTrace();
  const display::PlotGeometry& g = rig.display->plotGeometry();
  display::Spectrogram sg;
  const int columns = g.lastColumn() + 1;
  sg.configure(columns, 10);
  const display::LevelRange range = display::LevelRange::ofPlot(10);
  sg.setRange(range);
  sg.addRow(g, *rig.trace, 0);
  ASSERT_EQ(sg.filledRows(), 1);
  const float* levels = sg.levelsOfAge(0);
  const uint32_t* colors = sg.colorsOfAge(0);
  // The levels are the plot's mean detector in dB.
  const float* mean = rig.display->detectedData().mean;
  int below = 0, above = 0;
  for (int c = 0; c < columns; ++c) {
    const double expected = mean[c] > 0 ? 10 * std::log10(mean[c] * g.scale().linearScale) : -1e30;
    if (mean[c] > 0) {
      EXPECT_NEAR(levels[c], expected, 1e-3) << c;
    }
    EXPECT_EQ(colors[c], mapAt(display::ColorMap::viridis, levels[c], range)) << c << " at " << levels[c] << " dB";
    below += levels[c] < range.bottom;
    above += levels[c] > range.top;
  }
  EXPECT_GT(below, 10);
  EXPECT_GT(above, 10);
  EXPECT_EQ(colors[0], display::colorTable(display::ColorMap::viridis)[0]);
  EXPECT_EQ(colors[columns - 1], display::colorTable(display::ColorMap::viridis)[255]);

  // Another map and range colour the history again from its levels.
  const display::LevelRange narrow{-20, -60};
  sg.setColorMap(display::ColorMap::grey);
  sg.setRange(narrow);
  for (int c = 0; c < columns; ++c)
    ASSERT_EQ(sg.colorsOfAge(0)[c], mapAt(display::ColorMap::grey, levels[c], narrow)) << c;
  // Grey runs from black to white; viridis's ends are matplotlib's.
  EXPECT_EQ(display::colorTable(display::ColorMap::grey)[0], 0xff000000u);
  EXPECT_EQ(display::colorTable(display::ColorMap::grey)[255], 0xffffffffu);
  EXPECT_EQ(display::colorTable(display::ColorMap::viridis)[0], 0xff440154u);
  EXPECT_EQ(display::colorTable(display::ColorMap::viridis)[255], 0xfffde725u);
}

TEST(Spectrogram, TheLogarithmicAxisPutsAKilohertzInThePlotsColumn) {
  // 20 Hz – 20 kHz of a trace at 48 kHz, a 1 kHz sine's lobe over three bins.
  PlotRig rig(800, 500, 20, 20000, 8192, 48000);
  rig.shared.axisScale = display::AxisScale::logarithmic;
  rig.shared.detectorMode = 1;
  for (int k = 0; k < rig.trace->bins; ++k) rig.trace->averaged[k] = rig.valueForDecibels(-100);
  const int bin = static_cast<int>(std::lround(1000 * rig.trace->binsPerHertz));
  for (int d = -1; d <= 1; ++d) rig.trace->averaged[bin + d] = rig.valueForDecibels(d == 0 ? -10 : -16);
  rig.showTrace();
  const display::PlotGeometry& g = rig.display->plotGeometry();
  ASSERT_TRUE(g.axis().logarithmic());
  display::Spectrogram sg;
  const int columns = g.lastColumn() + 1;
  sg.configure(columns, 4);
  sg.addRow(g, *rig.trace, rig.shared.detectorMode);
  const int column = highestColumn(sg.levelsOfAge(0), columns);
  // Where the plot draws its peak, and where its axis puts 1 kHz.
  const float* plotted = rig.display->detectedData().max;
  EXPECT_EQ(column, static_cast<int>(std::max_element(plotted, plotted + columns) - plotted));
  EXPECT_NEAR(column, g.axis().xOf(1000), 1.0);
}

// A pane made shorter or taller keeps its history: new row a takes the old
// row where its share of the history begins (the newest stays the newest),
// and the rows written cover as much of the history as before, rounded up.
TEST(Spectrogram, NewRowsSpreadTheHistoryOverThem) {
  PlotRig rig(100 + 49, 400, 0, 24000, 65536, 48000);
  for (int k = 0; k < rig.trace->bins; ++k) rig.trace->averaged[k] = rig.valueForDecibels(-100);
  rig.showTrace();
  const display::PlotGeometry& g = rig.display->plotGeometry();
  display::Spectrogram sg;
  sg.configure(100, 10);
  // Seventeen rows written into ten, across the ring's wrap: the row of
  // age a has its tone in column 16 − a.
  for (int n = 0; n < 17; ++n) {
    const int bin = (g.binAt(n) + g.binAt(n + 1)) / 2;
    rig.trace->averaged[bin] = rig.valueForDecibels(-20);
    sg.addRow(g, *rig.trace, 1);
    rig.trace->averaged[bin] = rig.valueForDecibels(-100);
  }
  ASSERT_EQ(sg.filledRows(), 10);
  sg.resizeRows(4);
  ASSERT_EQ(sg.rows(), 4);
  ASSERT_EQ(sg.filledRows(), 4);
  for (int age = 0; age < 4; ++age) EXPECT_EQ(highestColumn(sg.levelsOfAge(age), 100), 16 - age * 10 / 4) << age;
  sg.resizeRows(12);
  ASSERT_EQ(sg.filledRows(), 12);
  for (int age = 0; age < 12; ++age) EXPECT_EQ(highestColumn(sg.levelsOfAge(age), 100), 16 - (age * 4 / 12) * 10 / 4) << age;
  // The colours follow the levels.
  for (int age = 0; age < 12; ++age)
    EXPECT_EQ(sg.colorsOfAge(age)[highestColumn(sg.levelsOfAge(age), 100)], sg.colorOf(sg.levelsOfAge(age)[highestColumn(sg.levelsOfAge(age), 100)]));
  display::Spectrogram few;
  few.configure(100, 10);
  few.addRow(g, *rig.trace, 1);
  few.resizeRows(3);
  EXPECT_EQ(few.filledRows(), 1) << "a row written stays";
}

TEST(Spectrogram, TheRingScrollsByAnOffsetAndAllocatesNothingPerSpectrum) {
  // 1800 columns of 0 … 24 kHz, 600 rows: each spectrum a tone one bin
  // higher than the last.
  PlotRig rig(1800 + 49, 400, 0, 24000, 65536, 48000);
  rig.shared.detectorMode = 1;
  for (int k = 0; k < rig.trace->bins; ++k) rig.trace->averaged[k] = rig.valueForDecibels(-100);
  rig.showTrace();
  const display::PlotGeometry& g = rig.display->plotGeometry();
  display::Spectrogram sg;
  sg.configure(1800, 600);
  // Spectrum n's tone in the middle of column 10 + n's bins.
  auto toneRow = [&](int n) {
    const int bin = (g.binAt(10 + n) + g.binAt(11 + n)) / 2;
    rig.trace->averaged[bin] = rig.valueForDecibels(-20);
    sg.addRow(g, *rig.trace, 1);
    rig.trace->averaged[bin] = rig.valueForDecibels(-100);
  };
  toneRow(0);
  {
    testsupport::AllocationScope scope;
    for (int n = 1; n < 700; ++n) toneRow(n);
    sg.repeatRow();
    sg.repeatRow();
    EXPECT_EQ(scope.allocations(), 0);
  }
  // 702 rows written into 600: the oldest gave way, the newest is the last
  // tone's (twice repeated), and each row below it holds the tone before.
  EXPECT_EQ(sg.filledRows(), 600);
  EXPECT_EQ(sg.rowsAdded(), 702);
  EXPECT_EQ(sg.newestRow(), (600 - 702 % 600) % 600);
  for (int age = 0; age < 600; age += 97)
    EXPECT_EQ(highestColumn(sg.levelsOfAge(age), 1800), 10 + 699 - std::max(0, age - 2)) << age;

  // Drawn, the newest row is at the top and the oldest at the bottom,
  // across the ring's wrap.
  QImage image(1800, 600, QImage::Format_RGB32);
  image.fill(Qt::black);
  QPainter painter(&image);
  drawSpectrogram(painter, sg, QRectF(0, 0, 1800, 600));
  painter.end();
  for (int age : {0, 101, 102, 599}) {
    const int row = age;
    for (int c = 0; c < 1800; c += 37)
      ASSERT_EQ(image.pixel(c, row), sg.colorsOfAge(age)[c]) << "age " << age << " column " << c;
  }
}
