// The column detectors, the path builder and the normal update.

#include <gtest/gtest.h>

#include "display/DisplayTestSupport.h"

namespace {

// Three bins per column: span 100 … 2353 Hz on a 751-point plot at one bin
// per hertz, so column i holds bins 98 + 3i … 100 + 3i.
struct ThreeBinColumns : PlotRig {
  ThreeBinColumns() : PlotRig(800, 500, 100, 100 + 3 * 751, 4096, 8192) {
    for (int k = 0; k < trace->bins; ++k) trace->averaged[k] = 1000;
  }
  void setColumn(int column, float a, float b, float c) {
    float* v = trace->averaged + 98 + 3 * column;
    v[0] = a;
    v[1] = b;
    v[2] = c;
  }
  // The value a path point stands for, back from its height.
  double valueAt(int column) const {
    const PlotScale& s = display->scale();
    const double y = display->plotPath().point(column).y() + display->yOffset();
    return std::pow(10.0, (y - s.top) / s.logScale) / s.linearScale;
  }
};

}  // namespace

TEST(DisplayDetector, MinMaxMeanAndDirectionOfAColumn) {
  ThreeBinColumns rig;
  rig.setColumn(10, 1, 3, 2);
  rig.setColumn(11, 2, 3, 1);
  rig.setColumn(12, 3, 2, 1);
  rig.showTrace();
  ASSERT_EQ(rig.display->pixelToBinMap()[10], 128);
  const DetectedData& d = rig.display->detectedData();
  EXPECT_EQ(d.min[10], 1);
  EXPECT_EQ(d.max[10], 3);
  EXPECT_EQ(d.mean[10], 2);
  EXPECT_EQ(d.updown[10], 1);  // rose, never fell below the first value
  EXPECT_EQ(d.updown[11], 3);
  EXPECT_EQ(d.updown[12], 2);
  EXPECT_EQ(d.updown[13], 0);
}

TEST(DisplayDetector, ColumnsLeftOfZeroHertzReadTheMirroredBins) {
  // Three bins per column from 0 Hz: column 0 holds bins -1, 0, 1.
  PlotRig rig(800, 500, 0, 3 * 751, 4096, 8192);
  rig.trace->averaged[0] = 5;
  rig.trace->averaged[1] = 7;
  rig.trace->averaged[2] = 9;
  rig.showTrace();
  ASSERT_EQ(rig.display->pixelToBinMap()[0], -1);
  const DetectedData& d = rig.display->detectedData();
  EXPECT_EQ(d.min[0], 5);
  EXPECT_EQ(d.max[0], 7);
  EXPECT_FLOAT_EQ(d.mean[0], (7.0f + 5 + 7) / 3);
}

TEST(DisplayDetector, ColumnsNarrowerThanABinInterpolate) {
  PlotRig rig(800, 500, 10, 10 + 0.25f * 751, 4096, 8192);
  rig.trace->averaged[10] = 100;
  rig.trace->averaged[11] = 200;
  rig.showTrace();
  ASSERT_FLOAT_EQ(rig.display->pixelToFractionalBin()[5], 10.25f);
  EXPECT_FLOAT_EQ(rig.display->detectedData().mean[5], 0.75f * 100 + 0.25f * 200);
  EXPECT_EQ(rig.display->detectedData().updown[5], 0);
}

TEST(DisplayDetector, EachDetectorModeDrawsItsValue) {
  ThreeBinColumns rig;
  rig.setColumn(20, 4, 20, 2);  // rose and fell: updown 3, even column
  rig.setColumn(21, 8, 16, 4);  // rose and fell, odd column with a smaller maximum than column 20
  rig.setColumn(22, 5, 6, 7);   // only rose
  struct Case {
    int mode;
    double col20, col21, col22;
  } cases[] = {
      {0, 26.0 / 3, 28.0 / 3, 6},  // average
      {1, 20, 16, 7},              // peak
      {2, 2, 4, 5},                // minimum
      {3, 2, 20, 7},               // rosenfell: even columns their minimum, odd the larger maximum
      {4, 26.0 / 3, 20, 7}         // rosenfell with average: even columns their mean
  };
  for (const Case& c : cases) {
    rig.shared.detectorMode = c.mode;
    rig.showTrace();
    EXPECT_NEAR(rig.valueAt(20), c.col20, c.col20 * 1e-4) << "mode " << c.mode;
    EXPECT_NEAR(rig.valueAt(21), c.col21, c.col21 * 1e-4) << "mode " << c.mode;
    EXPECT_NEAR(rig.valueAt(22), c.col22, c.col22 * 1e-4) << "mode " << c.mode;
  }
}

// A bin without power (silence: no input, the generator off) has no level.
// At every scale its columns lie below the plot, where the clip hides them,
// and a trace of nothing else gets the "below the plot" bar; a marker on
// such a bin reads no level either.
TEST(DisplayPath, BinsWithoutPowerAreNeverDrawnAsALevel) {
  for (const float perDivision : {1.0f, 10.0f, 20.0f}) {
    PlotRig rig(800, 500, 0, 24000, 65536, 48000);
    rig.display->setPlotScale(perDivision);
    rig.showTrace();
    const display::Display& d = *rig.display;
    const double bottom = d.plotBounds().y();
    ASSERT_EQ(d.plotPath().count(), 751);
    for (int i = 0; i < d.plotPath().count(); ++i)
      ASSERT_LT(d.plotPath().point(i).y(), bottom - 50) << "column " << i << " at " << perDivision << " dB/div";
    ASSERT_EQ(d.outOfBoundsPath().count(), 2) << perDivision;
    EXPECT_DOUBLE_EQ(d.outOfBoundsPath().point(0).y(), 45 + 10);
    EXPECT_DOUBLE_EQ(d.outOfBoundsPath().point(0).x(), 45 + 1.2);
    EXPECT_DOUBLE_EQ(d.outOfBoundsPath().point(1).x(), 45 + 751 - 1.2);

    rig.click(display::Display::kPlainMarker, 300, 200);
    rig.display->updateMarkerInfo();
    ASSERT_TRUE(rig.marker().valid);
    EXPECT_FALSE(rig.marker().hasPower);
    EXPECT_LT(rig.marker().v - d.yOffset(), bottom) << "the marker's dot goes with the trace";
  }

  // A tone among silent bins: its column is drawn at its level, the silent
  // ones stay below the plot, and there is no bar.
  PlotRig rig(800, 500, 0, 24000, 65536, 48000);
  rig.trace->averaged[2731] = rig.valueForDecibels(-20);  // 1000 Hz
  rig.shared.detectorMode = 1;
  rig.showTrace();
  const display::Display& d = *rig.display;
  int drawn = 0;
  for (int i = 0; i < d.plotPath().count(); ++i)
    if (d.plotPath().point(i).y() > d.plotBounds().y()) {
      ++drawn;
      EXPECT_NEAR(d.plotPath().point(i).y(), d.yForValue(rig.valueForDecibels(-20)) - d.yOffset(), 1e-3);
    }
  EXPECT_EQ(drawn, 1);
  EXPECT_TRUE(d.outOfBoundsPath().isEmpty());

  // Inside the plot there is no bar; above the reference line it is at the top.
  for (int k = 0; k < 65536; ++k) rig.trace->averaged[k] = rig.valueForDecibels(-20);
  rig.showTrace();
  EXPECT_TRUE(d.outOfBoundsPath().isEmpty());
  for (int k = 0; k < 65536; ++k) rig.trace->averaged[k] = rig.valueForDecibels(+5);
  rig.showTrace();
  ASSERT_FALSE(d.outOfBoundsPath().isEmpty());
  EXPECT_DOUBLE_EQ(d.outOfBoundsPath().point(0).y(), 45 + 427 - 10);
}

TEST(DisplayPath, NothingIsBuiltBeforeTheFirstTraceHasArrived) {
  PlotRig rig(800, 500, 0, 24000, 8192, 48000);
  rig.display->updateScale();
  rig.display->createPlotPath(const_cast<PolylinePath&>(rig.display->plotPath()),
                              const_cast<DetectedData*>(&rig.display->detectedData()), false);
  EXPECT_TRUE(rig.display->plotPath().isEmpty());
  EXPECT_FALSE(rig.display->scale().valid);
}

TEST(DisplayUpdate, TheNormalPassRunsFromTheMainThreadQueue) {
  PlotRig rig(800, 500, 0, 24000, 8192, 48000);
  rig.display->addTraceData(rig.trace.get());
  EXPECT_TRUE(rig.display->plotPath().isEmpty()) << "detected before the queued pass ran";
  EXPECT_EQ(rig.shared.trackedBin, -1);
  EXPECT_TRUE(rig.shared.hasData);
  EXPECT_EQ(rig.shared.secondsDateString.size(), 17u);  // "yyyy-MM-dd HHmmss"
  EXPECT_EQ(rig.shared.dateString, rig.shared.secondsDateString.substr(0, 15));
  ui::MainThread::instance().drain();
  EXPECT_EQ(rig.display->plotPath().count(), 751);
  EXPECT_EQ(rig.shared.lowestBin, 0);
  EXPECT_EQ(rig.shared.highestBin, 8192);
}

TEST(DisplayUpdate, AViewDestroyedBeforeItsQueuedPassIsLeftAlone) {
  auto rig = std::make_unique<PlotRig>(800, 500, 0, 24000, 8192, 48000);
  rig->display->addTraceData(rig->trace.get());
  rig.reset();  // view, trace and shared state gone with the pass still queued
  EXPECT_EQ(ui::MainThread::instance().drain(), 1u);
}

TEST(DisplayReference, AReferenceAtHalfTheRateIsReadAtTwiceTheBins) {
  ThreeBinColumns rig;
  auto reference = std::make_unique<TraceData>();
  reference->bins = 4096;
  reference->samplingRate = 4096;  // live 8192 Hz: s = 2
  reference->binsPerHertz = PlotTrace::binsPerHertz(4096, 4096);
  for (int k = 0; k < 4096; ++k) reference->averaged[k] = static_cast<float>(k);
  rig.showTrace();
  rig.display->setReference(reference.get(), rig.trace.get());
  ASSERT_TRUE(rig.display->hasReference());
  const DetectedData& r = rig.display->detectedReference();
  EXPECT_EQ(r.min[10], 2 * 128);
  EXPECT_EQ(r.max[10], 2 * 131 - 1);
  // Columns that map past the reference's last bin read that bin, never beyond.
  EXPECT_EQ(r.max[740], 4095);
  EXPECT_FALSE(rig.display->referencePath().isEmpty());
  rig.display->setReference(nullptr, rig.trace.get());
  EXPECT_TRUE(rig.display->referencePath().isEmpty());
}

// A reference taken at half the rate with a quarter of the bins: half the
// live trace's bins per hertz, data only up to 12 kHz, and its values scaled
// by its own bin count. Its -10 dB peak at 6 kHz must be drawn at 6 kHz and
// -10 dB, the path must end at 12 kHz, and nothing past its bins is read.
TEST(DisplayReference, AReferenceOfOtherRateAndBinCountIsMappedByItsOwnBins) {
  PlotRig rig(800, 500, 0, 24000, 8192, 48000);
  rig.shared.detectorMode = 1;  // peak: the column holding the peak shows it
  for (int k = 0; k < 8192; ++k) rig.trace->averaged[k] = rig.valueForDecibels(-60);
  rig.showTrace();

  auto reference = std::make_unique<TraceData>();
  reference->bins = 2048;
  reference->samplingRate = 24000;
  reference->binsPerHertz = PlotTrace::binsPerHertz(2048, 24000);
  const auto level = [](double dB) { return static_cast<float>(std::pow(10.0, dB / 10) * 2048.0 * 2048.0); };
  for (int k = 0; k < 2048; ++k) reference->averaged[k] = level(-40);
  reference->averaged[1024] = level(-10);  // 6 kHz
  for (int k = 2048; k < 8192; ++k) reference->averaged[k] = level(+50);  // not the reference's data
  rig.display->setReference(reference.get(), rig.trace.get());

  const display::Display& d = *rig.display;
  const PolylinePath& path = d.referencePath();
  int top = 0;
  for (int i = 1; i < path.count(); ++i) top = path.point(i).y() > path.point(top).y() ? i : top;
  const double column6k = (6000 * rig.trace->binsPerHertz - d.scale().startBin) / d.scale().binsPerPixel;
  const double column12k = (12000 * rig.trace->binsPerHertz - d.scale().startBin) / d.scale().binsPerPixel;
  EXPECT_NEAR(path.point(top).x() - d.x0(), column6k, 1.0);
  EXPECT_NEAR(path.point(top).y(), d.yForValue(rig.valueForDecibels(-10)) - d.yOffset(), 0.01);
  EXPECT_NEAR(path.count(), column12k, 1.0);

  // The reference marker reads the reference at the marker's frequency.
  rig.click(display::Display::kPlainMarker, 188, 0);
  rig.shared.marker.binClicked = rig.shared.marker.cachedBinClicked = rig.shared.marker.index = 2048;
  rig.display->updateMarkerInfo();
  EXPECT_NEAR(rig.display->referenceMarker()->dB, -10, 1e-3);
}

// A reference that brings its own span (File > Show Reference moves the
// analysis to it) is drawn against that span at once, not against the one
// the last update mapped, and again whenever the span changes later.
TEST(DisplayReference, AReferenceIsDrawnAgainstTheSpanInForce) {
  PlotRig rig(800, 500, 0, 10000, 8192, 48000);
  rig.shared.detectorMode = 1;
  for (int k = 0; k < 8192; ++k) rig.trace->averaged[k] = rig.valueForDecibels(-60);
  rig.showTrace();
  auto reference = std::make_unique<TraceData>();
  reference->bins = 8192;
  reference->samplingRate = 48000;
  reference->binsPerHertz = rig.trace->binsPerHertz;
  for (int k = 0; k < 8192; ++k) reference->averaged[k] = rig.valueForDecibels(-40);
  const int peakBin = static_cast<int>(std::lround(1000 * rig.trace->binsPerHertz));
  reference->averaged[peakBin] = rig.valueForDecibels(-10);

  const display::Display& d = *rig.display;
  // Where the user reads the peak: against the axis of the span in force.
  auto peakFrequency = [&] {
    const PolylinePath& path = d.referencePath();
    int top = 0;
    for (int i = 1; i < path.count(); ++i) top = path.point(i).y() > path.point(top).y() ? i : top;
    const SharedData& s = rig.shared;
    return s.span.startFrequency +
           (path.point(top).x() - d.x0()) * (s.span.endFrequency - s.span.startFrequency) / d.plotBounds().width();
  };
  const double hertzPerColumn = 5000.0 / 751;
  rig.shared.span.endFrequency = 5000;  // as the reference's span arrives
  rig.display->setReference(reference.get(), rig.trace.get());
  EXPECT_NEAR(peakFrequency(), 1000, 2 * hertzPerColumn);

  rig.shared.span.endFrequency = 10000;
  rig.showTrace();
  EXPECT_NEAR(peakFrequency(), 1000, 4 * hertzPerColumn);
}

// Zoomed in to 990 … 1010 Hz, about fourteen columns to a bin: a level that
// rises steadily is drawn as a line that rises steadily, with no tick at the
// columns where one bin gives way to the next, in every detector mode.
TEST(DisplayPath, AZoomedInTraceHasNoTickAtTheBinBoundaries) {
  for (int mode = 0; mode <= 4; ++mode) {
    PlotRig rig(800, 500, 990, 1010, 65536, 48000);
    rig.shared.detectorMode = mode;
    for (int k = 0; k < 65536; ++k) rig.trace->averaged[k] = rig.valueForDecibels(-60 + 0.5 * (k - 2700));
    rig.showTrace();
    const PolylinePath& path = rig.display->plotPath();
    ASSERT_GT(path.count(), 700);
    for (int i = 1; i < path.count(); ++i)
      ASSERT_GE(path.point(i).y(), path.point(i - 1).y() - 1e-3) << "column " << i << ", detector " << mode;
  }
}
