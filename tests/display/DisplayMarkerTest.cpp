// Marker placement: resolving a click, peak and minimum walking, the band
// marker, the reference marker and the readout of a sine of known level.

#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <vector>

#include "display/DisplayTestSupport.h"
#include "dsp/Spectrum.h"

namespace {

// Three bins per column from 0 Hz at one bin per hertz.
struct MarkerRig : PlotRig {
  bool idle = false;
  explicit MarkerRig(float end = 3 * 751, int bins = 4096) : PlotRig(800, 500, 0, end, bins, 2.0f * bins) {
    display->setCallbacks({[] {}, [this] { return idle; }, {}});
  }
  void fill(double (*dBOfBin)(int)) {
    for (int k = 0; k < trace->bins; ++k) trace->averaged[k] = valueForDecibels(dBOfBin(k));
  }
};

}  // namespace

TEST(DisplayMarker, AClickResolvesToTheNearestTracePoint) {
  MarkerRig rig;
  rig.fill([](int k) { return -40 + 0.05 * k; });
  rig.showTrace();
  const display::Display& d = *rig.display;
  // On the trace (before its yOffset shift) at the clicked column's bin + 2.
  const int c = d.pixelToBinMap()[100] + 2;
  rig.click(display::Display::kPlainMarker, 100, d.yForValue(rig.trace->averaged[c]));
  EXPECT_EQ(rig.shared.marker.binClicked, c);
  rig.display->updateMarkerInfo();
  EXPECT_EQ(rig.index(), c);
  EXPECT_TRUE(rig.marker().valid);
  EXPECT_FLOAT_EQ(rig.marker().frequency, static_cast<float>(c));
  EXPECT_NEAR(rig.marker().dB, -40 + 0.05 * c, 1e-3);

  // Far above a narrow peak three bins away: the peak wins.
  rig.fill([](int k) { return k == 400 ? 0.0 : -60.0; });
  rig.showTrace();
  const int column = (400 - 3 - d.scale().startBin) / 3;
  rig.click(display::Display::kPlainMarker, column, d.yForValue(rig.valueForDecibels(0)));
  rig.display->updateMarkerInfo();
  EXPECT_EQ(rig.index(), 400);

  // The context menu offers the kinds by tag; its last item removes the marker.
  const QList<QAction*> items = rig.display->clickMenu()->actions();
  ASSERT_EQ(items.size(), 5);
  items[2]->trigger();
  EXPECT_EQ(rig.marker().type, display::Display::kPeakMarker);
  EXPECT_EQ(rig.shared.marker.cachedBinClicked, -1);
  items[4]->trigger();
  EXPECT_EQ(rig.marker().type, display::Display::kNoMarker);
  EXPECT_FALSE(rig.marker().valid);
}

TEST(DisplayMarker, APeakMarkerClimbsTwentyBinsAtATimeInNormalAnalysis) {
  MarkerRig rig;
  rig.fill([](int k) { return -80 + 60 * std::exp(-std::abs(k - 500) / 200.0); });
  rig.showTrace();
  const int start = rig.display->pixelToBinMap()[100] + 2;
  rig.click(display::Display::kPeakMarker, 100, rig.display->yForValue(rig.trace->averaged[start]));
  int previous = start;
  for (int update = 0; update < 30; ++update) {
    rig.display->updateMarkerInfo();
    EXPECT_GT(rig.index(), previous - (previous == 500 ? 1 : 0));
    EXPECT_LE(rig.index() - previous, 20);
    previous = rig.index();
  }
  EXPECT_EQ(rig.index(), 500);
  EXPECT_NEAR(rig.marker().dB, -20, 1e-3);
}

TEST(DisplayMarker, AnIdleSweepPlotIsSearchedForTheExtremumAtOnce) {
  MarkerRig rig;
  rig.idle = true;
  rig.fill([](int k) { return -20 - 60 * std::exp(-std::abs(k - 900) / 300.0); });
  rig.showTrace();
  const int start = rig.display->pixelToBinMap()[100] + 2;
  rig.click(display::Display::kMinimumMarker, 100, rig.display->yForValue(rig.trace->averaged[start]));
  rig.display->updateMarkerInfo();
  EXPECT_FLOAT_EQ(rig.marker().frequency, 900);
  EXPECT_EQ(rig.index(), start) << "while idle the marker keeps its bin and searches from it again";
}

TEST(DisplayMarker, TheBandMarkerCoversFivePercentOfTheVisibleBins) {
  MarkerRig rig(8000, 16384);  // bins 0 … 8010 visible
  rig.fill([](int k) { return k < 4000 ? -30.0 : -40.0; });
  rig.showTrace();
  rig.click(display::Display::kBandMarker, 375, rig.display->yForValue(rig.trace->averaged[4000]));
  rig.display->updateMarkerInfo();
  const int c = rig.index();
  EXPECT_FLOAT_EQ(rig.marker().lowerFrequency, static_cast<float>(c - 200));
  EXPECT_FLOAT_EQ(rig.marker().upperFrequency, static_cast<float>(c + 200));
  const double expected =
      10 * std::log10((std::min(4000 - (c - 200), 400) * 1e-3 + std::max(c + 200 - 4000, 0) * 1e-4) / 400);
  EXPECT_NEAR(rig.marker().dB, expected, 1e-3);

  MarkerRig narrow(60);  // about 61 bins visible: a two-bin band
  narrow.fill([](int) { return -30.0; });
  narrow.showTrace();
  narrow.click(display::Display::kBandMarker, 375, 0);
  narrow.display->updateMarkerInfo();
  EXPECT_FLOAT_EQ(narrow.marker().upperFrequency - narrow.marker().lowerFrequency, 2);
}

TEST(DisplayMarker, ZeroPowerReadsMinusEightyAndTheReferenceReadsItsOwnTrace) {
  MarkerRig rig;
  rig.fill([](int) { return -30.0; });
  rig.trace->averaged[300] = 0;
  rig.showTrace();
  auto reference = std::make_unique<TraceData>();
  reference->bins = rig.trace->bins;
  reference->samplingRate = rig.trace->samplingRate;
  reference->averaged[300] = 0;
  reference->averaged[600] = rig.valueForDecibels(-12);
  rig.display->setReference(reference.get(), rig.trace.get());

  rig.click(display::Display::kPlainMarker, 100, rig.display->yForValue(rig.valueForDecibels(-30)));
  rig.shared.marker.binClicked = rig.shared.marker.cachedBinClicked = rig.shared.marker.index = 300;
  rig.display->updateMarkerInfo();
  EXPECT_FLOAT_EQ(rig.marker().dB, -80);
  EXPECT_EQ(rig.display->referenceMarker()->dB, -std::numeric_limits<float>::infinity());

  rig.shared.marker.index = 600;
  rig.display->updateMarkerInfo();
  EXPECT_NEAR(rig.marker().dB, -30, 1e-3);
  EXPECT_NEAR(rig.display->referenceMarker()->dB, -12, 1e-3);
}

TEST(DisplayMarker, ASineIsDrawnAndReadAtItsMeanSquareLevel) {
  // A sine of amplitude 0.5 has a mean square of 0.125: -9.03 dB. Its bin
  // holds mean square × bins² (the engine's scaling).
  PlotRig rig(800, 500, 0, 24000, 8192, 48000);
  const int k0 = 1000;
  const double level = 10 * std::log10(0.125);
  for (int k = 0; k < 8192; ++k) rig.trace->averaged[k] = rig.valueForDecibels(-100);
  rig.trace->averaged[k0] = 0.125f * 8192 * 8192;
  rig.shared.detectorMode = 1;
  rig.showTrace();
  const display::Display& d = *rig.display;
  const QImage image = rig.render();

  // The curve's highest point: its expected height of -9.03 dB in its column.
  const double yExpected = d.scale().top - d.yOffset() + level * (d.plotHeight() / 8) / 10;
  const int column = static_cast<int>(45 + (k0 - d.scale().startBin) / d.scale().binsPerPixel);
  int topRow = -1;
  for (int row = 0; row < image.height() && topRow < 0; ++row) {
    for (int x = column - 2; x <= column + 2; ++x) {
      const QColor px = image.pixelColor(x, row);
      if (px.red() > 128 && px.green() < 100 && px.blue() < 100) topRow = row;
    }
  }
  EXPECT_NEAR(topRow, rig.rowOf(yExpected), 2.0);

  // A plain marker on the sine's bin reads its level, and its dot sits on the peak.
  const int c = d.pixelToBinMap()[column - 45] + 2;
  rig.click(display::Display::kPlainMarker, column - 45, d.yForValue(rig.trace->averaged[c]));
  rig.shared.marker.binClicked = rig.shared.marker.cachedBinClicked = rig.shared.marker.index = k0;
  const QImage marked = rig.render();
  EXPECT_NEAR(rig.marker().dB, level, 0.05);
  EXPECT_FLOAT_EQ(rig.marker().frequency, k0 / rig.trace->binsPerHertz);
  const QColor dot = marked.pixelColor(static_cast<int>(rig.marker().h), rig.rowOf(yExpected));
  EXPECT_TRUE(dot.red() > 200 && dot.green() > 200 && dot.blue() < 60) << dot.name().toStdString();
}

TEST(DisplayMarker, ASineThroughTheSpectrumEngineReadsItsLevel) {
  // A 0.3-amplitude sine centred on a bin of a 100 Hz RBW analysis at 48 kHz:
  // mean square 0.045, -13.47 dB.
  Spectrum engine(100, 48000, WindowShape::Hann);
  PlotTrace plotTrace;
  plotTrace.setTraceAverages(1);
  PlotRig rig(800, 500, 0, 24000, 1, 48000);
  const int n = engine.fftLength();
  const int k0 = n / 8 + 3;
  const double frequency = static_cast<double>(k0) * 48000 / n;
  std::vector<float> block(512);
  SpectrumResult* result = nullptr;
  for (long i = 0; i < 64L * n && !(result && result->validBins > 0); i += 512) {
    for (int j = 0; j < 512; ++j) block[j] = static_cast<float>(0.3 * std::sin(2 * M_PI * frequency * (i + j) / 48000));
    result = engine.compute(block.data(), 512);
  }
  ASSERT_TRUE(result && result->validBins > 0);
  const PlotTrace::AveragingStep step = plotTrace.addDataSamplingRate(result, 48000);
  ui::MainThread::instance().runAsync(step.run, step.context);
  rig.display->addTraceData(plotTrace.traceData());
  ui::MainThread::instance().drain();

  rig.click(display::Display::kPlainMarker, 100, 0);
  rig.shared.marker.binClicked = rig.shared.marker.cachedBinClicked = rig.shared.marker.index = k0;
  rig.display->updateMarkerInfo();
  EXPECT_NEAR(rig.marker().dB, 10 * std::log10(0.3 * 0.3 / 2), 0.05);
  EXPECT_NEAR(rig.marker().frequency, frequency, 0.01);
}
