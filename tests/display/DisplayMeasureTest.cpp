// The plot's measurements: the live trace normalised to the reference, the
// delta and noise markers, the peak table that follows the trace, and the
// peak marker's reading of a sine between bins.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

#include "display/DisplayTestSupport.h"
#include "display/Printing.h"
#include "dsp/PeakReading.h"
#include "dsp/Spectrum.h"

namespace {

using Plot = display::Display;

// Three bins per column from 0 Hz at one bin per hertz, with a reference of
// the same bins.
struct MeasureRig : PlotRig {
  std::unique_ptr<TraceData> reference = std::make_unique<TraceData>();
  MeasureRig() : PlotRig(800, 500, 0, 3 * 751, 4096, 8192) {
    display->setCallbacks({[] {}, [] { return false; }, {}});
    reference->bins = trace->bins;
    reference->samplingRate = trace->samplingRate;
    reference->binsPerHertz = trace->binsPerHertz;
  }
  // y (before the yOffset shift) of a level in dB on this plot.
  double yOfDecibels(double dB) const { return display->yForValue(valueForDecibels(dB)); }
  void place(int type, int bin) {
    const int column = (bin - 2 - display->scale().startBin) / 3;
    click(type, column, display->yForValue(trace->averaged[bin]));
    display->updateMarkerInfo();
    display->updateMeasureReadout();
  }
};

double levelOfBin(int k) { return -60 + 20 * std::sin(k * 0.01) + 0.01 * k; }

}  // namespace

TEST(DisplayMeasure, ANormalisedTraceReadsItsDifferenceToTheReference) {
  MeasureRig rig;
  for (int k = 0; k < rig.trace->bins; ++k) rig.reference->averaged[k] = rig.valueForDecibels(levelOfBin(k));
  std::copy_n(rig.reference->averaged, rig.trace->bins, rig.trace->averaged);
  rig.shared.measure.normalise = 1;
  rig.showTrace();
  rig.display->setReference(rig.reference.get(), rig.trace.get());  // takes the normalised trace's storage
  ASSERT_TRUE(rig.display->normalising());

  // Equal to the reference: 0 dB (the reference level) in every column, and
  // the reference itself is the line at 0 dB.
  const double zero = rig.yOfDecibels(0) - rig.display->yOffset();
  const display::PolylinePath& path = rig.display->plotPath();
  ASSERT_GT(path.count(), 700);
  for (int i = 0; i < path.count(); ++i) ASSERT_NEAR(path.point(i).y(), zero, 1e-3) << i;
  const display::PolylinePath& line = rig.display->referencePath();
  ASSERT_GT(line.count(), 700);
  for (int i = 0; i < line.count(); ++i) ASSERT_NEAR(line.point(i).y(), zero, 1e-3) << i;

  // 6 dB louder: +6 dB everywhere, and the marker reads it.
  for (int k = 0; k < rig.trace->bins; ++k) rig.trace->averaged[k] = rig.reference->averaged[k] * 3.981072f;
  rig.showTrace();
  const double six = rig.yOfDecibels(6) - rig.display->yOffset();
  for (int i = 0; i < path.count(); ++i) ASSERT_NEAR(path.point(i).y(), six, 1e-2) << i;
  rig.place(Plot::kPlainMarker, 1234);
  EXPECT_NEAR(rig.marker().dB, 6.0, 1e-3);
  EXPECT_NEAR(rig.display->referenceMarker()->dB, 0.0, 1e-3);

  // The exported page shows the same.
  display::Printing page;
  page.setSharedData(&rig.shared);
  page.setReference(rig.reference.get(), rig.trace.get());
  page.setPageSize(QSizeF(900, 600));
  page.createPlotFromTraceData(rig.trace.get());
  const double pageSix = page.yForValue(rig.valueForDecibels(6)) - page.yOffset();
  ASSERT_GT(page.plotPath().count(), 800);
  for (int i = 0; i < page.plotPath().count(); ++i) ASSERT_NEAR(page.plotPath().point(i).y(), pageSix, 1e-2) << i;

  // Switched off, the trace reads its own levels again.
  rig.shared.measure.normalise = 0;
  rig.display->measurementsChanged();
  EXPECT_FALSE(rig.display->normalising());
  EXPECT_NEAR(path.point(400).y(),
              rig.display->yForValue(rig.display->detectedData().rosenfell[400]) - rig.display->yOffset(), 1e-3);
  EXPECT_LT(path.point(400).y(), six - 100) << "far below the reference level";
}

TEST(DisplayMeasure, TheDeltaMarkerReadsTheDifferenceToWhereTheMarkerStood) {
  MeasureRig rig;
  for (int k = 0; k < rig.trace->bins; ++k) rig.trace->averaged[k] = rig.valueForDecibels(levelOfBin(k));
  rig.showTrace();
  rig.shared.measure.deltaMarker = 1;
  rig.place(Plot::kPlainMarker, 600);
  const int a = rig.index();
  ASSERT_TRUE(rig.shared.measure.anchor.valid);
  EXPECT_FLOAT_EQ(rig.shared.measure.anchor.frequency, rig.marker().frequency);
  EXPECT_NEAR(rig.shared.measure.anchor.dB, levelOfBin(a), 1e-3);
  EXPECT_NEAR(rig.display->measureReadout().deltaDB, 0.0, 1e-6);

  rig.place(Plot::kPlainMarker, 1500);
  const int b = rig.index();
  ASSERT_GT(b - a, 800);
  const display::MeasureReadout& r = rig.display->measureReadout();
  ASSERT_TRUE(r.delta);
  EXPECT_NEAR(r.deltaFrequency, (b - a) / rig.trace->binsPerHertz, 1e-2);
  EXPECT_NEAR(r.deltaDB, levelOfBin(b) - levelOfBin(a), 1e-3);
  EXPECT_NEAR(rig.shared.measure.anchor.dB, levelOfBin(a), 1e-3) << "the anchor stays";
}

TEST(DisplayMeasure, TheNoiseMarkerReadsPowerPerHertzOfTheNoiseBandwidth) {
  MeasureRig rig;
  // A flat floor: every bin holds the mean square of 1e-6 through a window
  // of the RBW (10 Hz here, no engine window): 1e-7 per hertz, -70 dB/Hz.
  for (int k = 0; k < rig.trace->bins; ++k) rig.trace->averaged[k] = rig.valueForDecibels(-60);
  rig.showTrace();
  rig.shared.measure.noiseMarker = 1;
  rig.place(Plot::kPlainMarker, 2000);
  ASSERT_TRUE(rig.display->measureReadout().noise);
  EXPECT_NEAR(rig.display->measureReadout().noiseDB, -70.0, 1e-3);
  // The reference level shifts it like every level.
  rig.shared.refScale = 10;
  rig.display->setPlotScale(10);
  rig.display->updateScale();
  rig.place(Plot::kPlainMarker, 2000);
  EXPECT_NEAR(rig.display->measureReadout().noiseDB, -60.0, 1e-3);
}

TEST(DisplayMeasure, ThePeakTableFollowsTheLiveTrace) {
  MeasureRig rig;
  rig.shared.measure.peakTable = 1;
  auto hills = [&](int shift) {
    for (int k = 0; k < rig.trace->bins; ++k) rig.trace->averaged[k] = rig.valueForDecibels(-90);
    for (int i = 0; i < 12; ++i) rig.trace->averaged[100 + shift + 180 * i] = rig.valueForDecibels(-50 + 3 * i);
    rig.showTrace();
  };
  hills(0);
  const PeakTable& table = rig.display->peakTable();
  ASSERT_EQ(table.count, PeakTable::kCapacity);
  for (int i = 0; i < table.count; ++i) EXPECT_EQ(table.entries[i].bin, 100 + 180 * (11 - i)) << i;
  hills(7);  // the next trace moved every peak
  for (int i = 0; i < table.count; ++i) EXPECT_EQ(table.entries[i].bin, 107 + 180 * (11 - i)) << i;
  // Peaks closer than the separation count once; the span limits the table.
  EXPECT_EQ(rig.display->peakSeparation(), std::max(3 * 10, static_cast<int>(3 * 751 / 100)));
  rig.shared.span.endFrequency = 1000;
  rig.showTrace();
  EXPECT_EQ(table.count, 5);
}

// One tone, as a signal generator or a sound file gives it: the table lists
// the tone alone, not the DC bin, not the ripples of the window's leakage
// (near -150 dB for a pure tone) and not the peaks of noise beside it.
TEST(DisplayMeasure, ThePeakTableOfOneToneListsTheToneAlone) {
  Spectrum engine(10, 48000, WindowShape::Hann);
  const int n = engine.fftLength(), bins = engine.bins();
  WindowResponse window;
  window.prepare(engine);
  for (const double noise : {0.0, 1e-4}) {
    PlotRig rig(800, 500, 0, 24000, bins, 48000);
    rig.shared.measure.window = &window;
    rig.shared.measure.peakTable = 1;
    std::vector<float> x(static_cast<size_t>(n));
    uint32_t seed = 12345;
    for (int i = 0; i < n; ++i) {
      seed = seed * 1664525u + 1013904223u;
      const double white = (static_cast<double>(seed >> 8) / (1 << 24) - 0.5) * std::sqrt(12.0) * noise;
      x[static_cast<size_t>(i)] = static_cast<float>(0.1 + 0.25 * std::sin(2 * std::numbers::pi * 1000.3 * i / n) + white);
    }
    engine.fill(x.data(), n);
    const SpectrumResult* r = engine.computeWithOverlap(x.data(), 0);
    std::copy_n(r->output, bins, rig.trace->averaged);
    rig.showTrace();
    const PeakTable& table = rig.display->peakTable();
    ASSERT_EQ(table.count, 1) << "noise " << noise << ": the second entry is bin " << table.entries[1].bin;
    EXPECT_NEAR(table.entries[0].bin, 1000, 1);
  }
}

// The peak marker's reading of a sine half-way between two bins, with the
// engine's window: within 0.02 bin and 0.05 dB, where the bin alone reads
// a few tenths of a dB low.
namespace {

// The whole band of the engine's 2^14-point Hann spectrum (8192 bins at
// 48 kHz) with its window's response for the readings.
struct EngineRig {
  Spectrum engine{10, 48000, WindowShape::Hann};
  PlotRig rig{800, 500, 0, 24000, engine.bins(), 48000};
  WindowResponse window;
  EngineRig() {
    rig.display->setCallbacks({[] {}, [] { return false; }, {}});
    window.prepare(engine);
    rig.shared.measure.window = &window;
  }
  // One spectrum of a sine of amplitude a at `bin` bins, shown.
  void showSine(double bin, double a, double phase) {
    const int n = engine.fftLength();
    std::vector<float> x(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
      x[static_cast<size_t>(i)] = static_cast<float>(a * std::sin(2 * std::numbers::pi * bin * i / n + phase));
    engine.fill(x.data(), n);
    std::copy_n(engine.computeWithOverlap(x.data(), 0)->output, engine.bins(), rig.trace->averaged);
    rig.showTrace();
  }
};

}  // namespace

TEST(DisplayMeasure, ThePeakMarkerReadsASineBetweenBins) {
  EngineRig e;
  PlotRig& rig = e.rig;
  const double bin = 1000.5, a = 0.25;
  e.showSine(bin, a, 0);
  rig.click(Plot::kPeakMarker,
            static_cast<int>((1000 - rig.display->scale().startBin) / rig.display->scale().binsPerPixel),
            rig.display->yForValue(rig.trace->averaged[1000]));
  rig.display->updateMarkerInfo();
  const double expected = 10 * std::log10(a * a / 2);
  EXPECT_GT(std::abs(rig.marker().dB - expected), 0.2) << "the bin alone reads low";
  rig.display->updateMeasureReadout();
  EXPECT_FALSE(rig.display->measureReadout().precise) << "only when asked for";
  rig.shared.measure.precisePeak = 1;
  rig.display->updateMeasureReadout();
  const display::MeasureReadout& m = rig.display->measureReadout();
  ASSERT_TRUE(m.precise);
  EXPECT_NEAR(m.frequency * rig.trace->binsPerHertz, bin, 0.02);
  EXPECT_NEAR(m.dB, expected, 0.05);
}

// A sine 0.3 noise bandwidths above 0 Hz, whose lobe merges with its
// image's: the peak marker says it cannot read it between bins, reading its
// bin after a "~".
TEST(DisplayMeasure, ThePeakMarkerSaysWhenASineLiesTooCloseTo0Hz) {
  EngineRig e;
  PlotRig& rig = e.rig;
  rig.shared.measure.precisePeak = 1;
  e.showSine(0.3 * e.window.noiseBandwidthBins(), 0.25, 1);
  rig.click(Plot::kPeakMarker, 0, rig.display->yForValue(rig.trace->averaged[1]));
  rig.display->updateMarkerInfo();
  rig.display->updateMeasureReadout();
  const display::MeasureReadout& m = rig.display->measureReadout();
  EXPECT_FALSE(m.precise);
  ASSERT_TRUE(m.uncertain);
  EXPECT_EQ(m.frequency, rig.marker().frequency);
  EXPECT_EQ(m.dB, rig.marker().dB);
  EXPECT_EQ(rig.display->markerReadoutText().rfind("Marker:  ~", 0), 0u) << rig.display->markerReadoutText();
}
