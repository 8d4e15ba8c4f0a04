// The display side of a tracking-generator sweep: one column at a time, and
// the end of the sweep at the plot's right edge.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "display/DisplayTestSupport.h"

namespace {

// Span 1000 … 2000 Hz at one bin per hertz: about 1.33 bins per column,
// startBin 999. The trace's value at bin k is k.
struct SweepRig : PlotRig {
  int stops = 0;
  bool lockFreeAtStop = false;

  explicit SweepRig(float end = 2000) : PlotRig(800, 500, 1000, end, 4096, 8192) {
    for (int k = 0; k < trace->bins; ++k) trace->averaged[k] = static_cast<float>(k + 1);
    display->setTrackingGeneratorMode(true);
    display->setCallbacks({[this] {
                             ++stops;
                             lockFreeAtStop = trace->lock.try_lock();
                             if (lockFreeAtStop) trace->lock.unlock();
                           },
                           [] { return false; },
                           {}});
    display->clearPlot();
    display->newSweep();
  }
  // The controller's hand-over of one measured bin.
  void measure(int bin) { display->addTraceDataBin(trace.get(), bin); }
};

}  // namespace

TEST(DisplaySweep, EachCompletedColumnIsDetectedAndDrawn) {
  SweepRig rig;
  const display::Display& d = *rig.display;
  for (int c = 979; c < 1500; ++c) rig.measure(c);
  ASSERT_EQ(d.scale().startBin, 999);
  EXPECT_EQ(rig.shared.trackedBin, 1499);
  EXPECT_EQ(rig.shared.lowestBin, 979);
  EXPECT_EQ(rig.shared.highestBin, 1499);

  const int* map = d.pixelToBinMap();
  const int highest = static_cast<int>(rig.shared.track.highest);
  EXPECT_EQ(rig.shared.track.lowest, 0);
  EXPECT_EQ(map[highest + 1] - 1, 1499) << "the last column detected ends at the last bin measured";
  EXPECT_FLOAT_EQ(rig.shared.track.pixel, static_cast<float>(highest));
  for (int p = 0; p <= highest; ++p) {
    EXPECT_EQ(d.detectedData().max[p], static_cast<float>(map[p + 1])) << p;  // bin map[p+1]-1 holds map[p+1]
  }
  // Only the completed columns are drawn.
  EXPECT_EQ(d.plotPath().count(), highest);
  EXPECT_DOUBLE_EQ(d.plotPath().point(0).x(), 45);
  EXPECT_EQ(rig.stops, 0);
}

TEST(DisplaySweep, ABinInsideAColumnChangesNothing) {
  SweepRig rig(4000);  // about four bins per column
  for (int c = 979; c < 1400; ++c) rig.measure(c);
  const int* map = rig.display->pixelToBinMap();
  const float pixel = rig.shared.track.pixel;
  const int count = rig.display->plotPath().count();
  const int q = static_cast<int>(pixel) + 1;  // the column in progress
  ASSERT_GE(map[q + 1] - map[q], 3);
  for (int c = rig.shared.trackedBin + 1; c < map[q + 1] - 1; ++c) {
    rig.measure(c);  // not the column's last bin
    EXPECT_FLOAT_EQ(rig.shared.track.pixel, pixel) << c;
    EXPECT_EQ(rig.display->plotPath().count(), count) << c;
  }
  rig.measure(map[q + 1] - 1);
  EXPECT_FLOAT_EQ(rig.shared.track.pixel, static_cast<float>(q));
  EXPECT_EQ(rig.display->plotPath().count(), count + 1);
}

TEST(DisplaySweep, TheSweepEndsOnceAtTheRightEdgeWithTheTraceUnlocked) {
  SweepRig rig;
  int c = 979;
  while (rig.stops == 0 && c < 4096) rig.measure(c++);
  ASSERT_EQ(rig.stops, 1);
  EXPECT_TRUE(rig.lockFreeAtStop);
  // The bin that ended it lies at or beyond the plot's width.
  const PlotScale& s = rig.display->scale();
  EXPECT_GE((c - 1 - s.startBin) / s.binsPerPixel, rig.display->plotWidth());
  EXPECT_LT((c - 2 - s.startBin) / s.binsPerPixel, rig.display->plotWidth());
  EXPECT_LE(rig.shared.track.highest, rig.display->plotWidth());
}

TEST(DisplaySweep, TheWaitIndicatorShowsUntilTheSweepNearsThePlot) {
  SweepRig rig;
  rig.shared.track.pixel = 5;
  for (int c = 979; c < 984; ++c) rig.measure(c);  // five bins: the indicator turns once
  EXPECT_TRUE(rig.display->drawWait());
  EXPECT_EQ(rig.shared.track.pixel, -10) << "the cursor is hidden while the sweep is left of the plot";
  for (int c = 984; c < 999 + 80; ++c) rig.measure(c);
  EXPECT_TRUE(rig.display->drawWait());
  rig.measure(999 + 80);
  EXPECT_FALSE(rig.display->drawWait());

  // A sweep ended while still left of the plot takes the indicator down with
  // the plot or with the mode, so normal analysis never shows it (nor loses
  // its out-of-range bar behind it).
  for (bool leaveMode : {false, true}) {
    rig.display->newSweep();
    for (int c = 979; c < 990; ++c) rig.measure(c);
    ASSERT_TRUE(rig.display->drawWait());
    if (leaveMode) {
      rig.display->setTrackingGeneratorMode(false);
    } else {
      rig.display->clearPlot();
    }
    EXPECT_FALSE(rig.display->drawWait()) << (leaveMode ? "mode left" : "plot cleared");
  }
}

TEST(DisplaySweep, BinsFarBelowThePlotAndAClearedPlotAreHarmless) {
  SweepRig rig;
  rig.measure(10);  // far left of the plot: no column, nothing read outside the maps
  EXPECT_TRUE(rig.display->plotPath().isEmpty());
  for (int c = 979; c < 1200; ++c) rig.measure(c);
  EXPECT_FALSE(rig.display->plotPath().isEmpty());
  rig.display->clearPlot();
  EXPECT_TRUE(rig.display->plotPath().isEmpty());
  EXPECT_EQ(rig.shared.lowestBin, 1048576);
  EXPECT_EQ(rig.shared.highestBin, -1);
  EXPECT_EQ(rig.shared.track.lowest, 1000000.0f);
  EXPECT_EQ(rig.shared.track.highest, -1.0f);
}

TEST(DisplaySweep, TheFirstColumnAveragesOnlyTheBinsTheSweepMeasured) {
  // A span from 0 Hz: the sweep cannot start below bin 10, so the first
  // column holds bins it never measures. Those hold nothing (a cleared
  // trace); reading them in would pull the left edge down.
  SweepRig rig(4000);
  rig.measure(10);  // far left of the plot: lays out the columns, detects none
  rig.display->newSweep();
  const int* map = rig.display->pixelToBinMap();
  int q = 40;
  while (map[q + 1] - map[q] < 3 && q < 700) ++q;
  ASSERT_LT(q, 700);
  const int first = map[q] + 2;  // inside column q
  for (int k = 0; k < rig.trace->bins; ++k) rig.trace->averaged[k] = k < first ? 0.0f : 1.0f;
  for (int c = first; c < map[q + 8]; ++c) rig.measure(c);
  const DetectedData& detected = rig.display->detectedData();
  EXPECT_FLOAT_EQ(detected.min[q], 1.0f);
  EXPECT_FLOAT_EQ(detected.mean[q], 1.0f);
  EXPECT_FLOAT_EQ(detected.mean[q + 1], 1.0f);
}

// A marker placed ahead of the sweep reads the columns as the sweep measures
// them: once the sweep has passed it, it reads the measured level, during
// the sweep and after it, for every marker kind.
TEST(DisplaySweep, AMarkerAheadOfTheSweepReadsTheLevelOnceTheSweepHasPassedIt) {
  for (const int kind : {display::Display::kPeakMarker, display::Display::kPlainMarker,
                         display::Display::kBandMarker}) {
    bool idle = false;
    SweepRig rig;
    rig.display->setCallbacks({[] {}, [&idle] { return idle; }, {}});
    for (int k = 0; k < rig.trace->bins; ++k) rig.trace->averaged[k] = 0;
    // A broad peak of -15 dB at 1500 Hz.
    auto measure = [&](int c) {
      rig.trace->averaged[c] = rig.valueForDecibels(-15 - 0.001 * std::abs(c - 1500));
      rig.measure(c);
      rig.display->updateMarkerInfo();  // as every drawing does
    };
    for (int c = 979; c < 1200; ++c) measure(c);
    rig.click(kind, 375, 200);  // about 1500 Hz, not measured yet
    // One bin per hertz: where the user clicked, and where the marker must
    // read (a peak marker: the peak, which is there too).
    const float clicked = static_cast<float>(rig.display->pixelToBinMap()[375] + 2);
    rig.display->updateMarkerInfo();
    EXPECT_FALSE(rig.marker().hasPower) << kind;
    EXPECT_NEAR(rig.marker().frequency, clicked, 1.5) << "kind " << kind << " stays where it was placed";
    for (int c = 1200; c < 1600; ++c) measure(c);
    ASSERT_TRUE(rig.marker().valid) << kind;
    EXPECT_NEAR(rig.marker().dB, -15, 0.1) << "kind " << kind << " during the sweep";
    EXPECT_NEAR(rig.marker().frequency, clicked, 2) << kind;
    for (int c = 1600; c < 2000; ++c) measure(c);
    idle = true;  // the sweep has ended
    rig.display->updateMarkerInfo();
    EXPECT_NEAR(rig.marker().dB, -15, 0.1) << "kind " << kind << " after the sweep";
    EXPECT_NEAR(rig.marker().frequency, clicked, 2) << kind;
  }
}

// On the logarithmic axis the low columns are narrower than a bin: several
// columns lie between two bins' centres. Each is detected once the bins it
// reads are measured, and the swept curve is the one a normal pass over the
// same trace draws.
// The sweep visits every bin, or, as it does on this axis, points further
// apart as the frequency rises (several columns apart at the top): either
// way every column is detected, as a normal pass over the same trace would.
TEST(DisplaySweep, OnTheLogarithmicAxisEveryColumnIsDetectedWhetherTheSweepVisitsEveryBinOrPoints) {
  for (const int pointsApart : {0, 40}) {
    SCOPED_TRACE(pointsApart ? "points" : "every bin");
    PlotRig rig(800, 500, 20, 20000, 8192, 48000);  // 2.93 Hz per bin
    rig.shared.axisScale = display::AxisScale::logarithmic;
    for (int k = 0; k < rig.trace->bins; ++k) rig.trace->averaged[k] = static_cast<float>(1 + (k % 3) + 0.01 * k);
    rig.display->setCallbacks({[] {}, [] { return false; }, {}});
    rig.display->setTrackingGeneratorMode(true);
    rig.display->clearPlot();
    rig.display->newSweep();
    const display::Display& d = *rig.display;
    int c = 3;
    for (; c < rig.trace->bins; c += pointsApart ? std::max(1, c / pointsApart) : 1) {
      rig.display->addTraceDataBin(rig.trace.get(), c);
      if (d.plotGeometry().columnOfBin(c - 2) >= d.plotWidth()) break;
    }
    ASSERT_LT(c, rig.trace->bins) << "the sweep reached the plot's right edge";

    auto expected = std::make_unique<display::DetectedData>();
    const display::PlotGeometry& g = d.plotGeometry();
    EXPECT_EQ(rig.shared.track.lowest, 0);
    const int highest = static_cast<int>(rig.shared.track.highest);
    EXPECT_GE(highest, g.lastColumn() - 1);
    // At 20 Hz a bin is some four columns wide here; at 20 kHz the points
    // are some 170 bins, three columns, apart.
    int sharing = 0;
    for (int p = 0; p < highest; ++p) sharing += g.binAt(p + 1) == g.binAt(p) ? 1 : 0;
    EXPECT_GT(sharing, 100);
    for (int p = 0; p <= highest; ++p) {
      display::detectPixel(g, p, rig.trace.get(), expected.get());
      ASSERT_FLOAT_EQ(d.detectedData().mean[p], expected->mean[p]) << p;
      ASSERT_FLOAT_EQ(d.detectedData().max[p], expected->max[p]) << p;
      ASSERT_FLOAT_EQ(d.detectedData().min[p], expected->min[p]) << p;
    }
    // The last point may lie past the plot's edge.
    EXPECT_GE(d.plotPath().count(), std::min(highest, g.lastColumn()));
  }
}
