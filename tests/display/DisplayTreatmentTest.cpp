// What the views make of a trace before they show it: the A and C
// weightings and fractional-octave smoothing of the live trace, the
// reference and the exported page, with the levels in dB(A) or dB(C), and
// the trace itself left as measured.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>

#include "display/DisplayTestSupport.h"
#include "display/Printing.h"
#include "dsp/FrequencyWeighting.h"
#include "dsp/LevelUnits.h"
#include "dsp/SensorResponse.h"

namespace {

// 20 Hz – 20 kHz of a 16384-bin trace at 48 kHz on the logarithmic axis.
struct TreatmentRig : PlotRig {
  std::unique_ptr<TraceData> reference = std::make_unique<TraceData>();
  TreatmentRig() : PlotRig(900, 500, 20, 20000, 16384, 48000) {
    shared.axisScale = display::AxisScale::logarithmic;
    display->setCallbacks({[] {}, [] { return false; }, {}});
    reference->bins = trace->bins;
    reference->samplingRate = trace->samplingRate;
    reference->binsPerHertz = trace->binsPerHertz;
    reference->traces = 1;
  }
  void treat(int weighting, int smoothing) {
    shared.treatment = {weighting, smoothing};
    display->measurementsChanged();
  }
  int binOf(double f) const { return static_cast<int>(std::lround(f * trace->binsPerHertz)); }
  double levelAt(int bin) const {
    return 10 * std::log10(display->shownTrace()->averaged[bin] * display->scale().linearScale);
  }
};

}  // namespace

// IEC 61672-1 Table 3: A is -19.1 dB at 100 Hz and -2.5 dB at 10 kHz, C is
// -0.3 dB at 100 Hz and -4.4 dB at 10 kHz (nominal frequencies, to 0.1 dB).
TEST(DisplayTreatment, AWeightedFlatTraceFollowsTheWeightingAndReadsInDbA) {
  TreatmentRig rig;
  for (int k = 0; k < rig.trace->bins; ++k) rig.trace->averaged[k] = rig.valueForDecibels(-30);
  rig.showTrace();
  rig.shared.detectorMode = 0;
  rig.treat(static_cast<int>(dsp::Weighting::A), 0);
  ASSERT_TRUE(rig.display->treating());
  EXPECT_STREQ(rig.display->levelUnit(), "dB(A)");
  const int k100 = rig.binOf(100), k10k = rig.binOf(10000), k1k = rig.binOf(1000);
  EXPECT_NEAR(rig.levelAt(k1k), -30 + dsp::weightingDb(dsp::Weighting::A, k1k / rig.trace->binsPerHertz), 1e-3);
  EXPECT_NEAR(rig.levelAt(k100), -30 - 19.1, 0.15);
  EXPECT_NEAR(rig.levelAt(k10k), -30 - 2.5, 0.1);
  // The measured trace is left as it was.
  EXPECT_FLOAT_EQ(rig.trace->averaged[k100], rig.valueForDecibels(-30));

  // The marker reads the weighted level, and says so.
  rig.click(display::Display::kPlainMarker, 100, 0);
  rig.shared.marker.binClicked = rig.shared.marker.cachedBinClicked = rig.shared.marker.index = k100;
  rig.display->updateMarkerInfo();
  EXPECT_NEAR(rig.marker().dB, -30 - 19.1, 0.15);
  EXPECT_NE(rig.display->markerReadoutText().find("dB(A)"), std::string::npos) << rig.display->markerReadoutText();

  rig.treat(static_cast<int>(dsp::Weighting::C), 0);
  EXPECT_STREQ(rig.display->levelUnit(), "dB(C)");
  EXPECT_NEAR(rig.levelAt(k100), -30 - 0.3, 0.1);
  EXPECT_NEAR(rig.levelAt(k10k), -30 - 4.4, 0.1);

  // Back to none: the trace as measured, in dB.
  rig.treat(0, 0);
  EXPECT_FALSE(rig.display->treating());
  EXPECT_STREQ(rig.display->levelUnit(), "dB");
  EXPECT_NEAR(rig.levelAt(k100), -30, 1e-3);
}

TEST(DisplayTreatment, SmoothingEvensOutNoiseOnTheScreenTheReferenceAndThePage) {
  // Noise whose bins scatter as a spectrum's do (exponentially, about their
  // mean of -40 dB): third-octave smoothing brings 1 kHz within 0.5 dB of
  // the mean, where a bin alone is off by several dB.
  TreatmentRig rig;
  std::mt19937 random(7);
  std::exponential_distribution<double> scatter(1.0);
  const float mean = rig.valueForDecibels(-40);
  for (int k = 0; k < rig.trace->bins; ++k) {
    rig.trace->averaged[k] = static_cast<float>(mean * scatter(random));
    rig.reference->averaged[k] = static_cast<float>(mean * scatter(random));
  }
  rig.showTrace();
  rig.display->setReference(rig.reference.get(), rig.trace.get());
  const int k1k = rig.binOf(1000);
  double rawSpread = 0;
  for (int k = k1k - 50; k < k1k + 50; ++k) rawSpread = std::max(rawSpread, std::fabs(rig.levelAt(k) + 40));
  EXPECT_GT(rawSpread, 5);

  rig.treat(0, 3);
  for (int k = k1k - 50; k < k1k + 50; ++k) EXPECT_NEAR(rig.levelAt(k), -40, 0.5) << k;
  // The reference is smoothed alike.
  const TraceData* reference = rig.display->referenceTrace();
  ASSERT_NE(reference, rig.reference.get());
  EXPECT_NEAR(10 * std::log10(reference->averaged[k1k] * rig.display->scale().linearScale), -40, 0.5);
  // So is the exported page.
  display::Printing page;
  page.setSharedData(&rig.shared);
  page.setReference(rig.reference.get(), rig.trace.get());
  page.setPageSize(QSizeF(900, 600));
  page.createPlotFromTraceData(rig.trace.get());
  ASSERT_TRUE(page.treating());
  EXPECT_FLOAT_EQ(page.shownTrace()->averaged[k1k], rig.display->shownTrace()->averaged[k1k]);

  // Normalised to the reference, both smoothed: about 0 dB (the reference
  // level) around 1 kHz.
  rig.shared.measure.normalise = 1;
  rig.display->measurementsChanged();
  ASSERT_TRUE(rig.display->normalising());
  const double unity = 16384.0 * 16384.0;  // power that reads the reference level
  EXPECT_NEAR(10 * std::log10(rig.display->shownTrace()->averaged[k1k] / unity), 0, 0.7);
}

// The levels in a calibrated unit: with 0 dBFS = +4 dBu a level of -30 dB
// reads -30 + 3.01 + 4 = -22.99 dBu; a microphone that reads 3 dB high
// above 5 kHz has its response taken out there, beside the weighting.
TEST(DisplayTreatment, LevelsReadInTheChosenUnitWithTheSensorsResponseTakenOut) {
  TreatmentRig rig;
  for (int k = 0; k < rig.trace->bins; ++k) rig.trace->averaged[k] = rig.valueForDecibels(-30);
  rig.showTrace();
  rig.shared.detectorMode = 0;
  dsp::InputCalibration calibration;
  calibration.fullScaleVolts = 1.2276;  // +4 dBu
  rig.shared.levelScale = *dsp::LevelScale::make(dsp::LevelUnit::dBu, calibration);
  std::string error;
  rig.shared.sensorResponse = std::make_shared<const dsp::SensorResponse>(
      *dsp::SensorResponse::make({{20, 0, {}}, {5000, 0, {}}, {5001, 3, {}}, {24000, 3, {}}}, std::nullopt, &error));
  rig.treat(0, 0);
  ASSERT_TRUE(rig.display->treating());
  auto readAt = [&rig](double f) {
    const int k = rig.binOf(f);
    rig.click(display::Display::kPlainMarker, 100, 0);
    rig.shared.marker.binClicked = rig.shared.marker.cachedBinClicked = rig.shared.marker.index = k;
    rig.display->updateMarkerInfo();
    return rig.display->markerReadoutText();
  };
  EXPECT_NE(readAt(1000).find("   -23.0 dBu"), std::string::npos) << readAt(1000);
  EXPECT_NE(readAt(10000).find("   -26.0 dBu"), std::string::npos) << readAt(10000);
  EXPECT_NEAR(rig.levelAt(rig.binOf(10000)), -33, 1e-3);
  // A at 10 kHz: -2.5 dB (IEC 61672-1 Table 3).
  rig.treat(static_cast<int>(dsp::Weighting::A), 0);
  EXPECT_NE(readAt(10000).find("   -28.5 dBu(A)"), std::string::npos) << readAt(10000);
}
