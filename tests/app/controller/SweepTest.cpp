#include <gtest/gtest.h>

#include <cmath>

#include "app/ControllerHarness.h"

using namespace app_fakes;

namespace {

// Samples per spectrum in a sweep: every quarter window, but not more often
// than every second block.
int sweepHop(const Spectrum& engine) {
  return std::max(2 * AppDelegate::kBlockLength, engine.windowEntry(engine.fftSize()).windowedBins / 4);
}

}  // namespace

// --- the plan

TEST(SweepPlan, StartsTwentyBinsBelowTheSpanButNeverBelowBinTen) {
  ControllerHarness h;
  h.launch();
  h.enterTrackingMode();
  const Spectrum& engine = *h.app.spectrum;
  const float binsPerHertz = PlotTrace::binsPerHertz(engine.bins(), engine.samplingRate());
  struct Case {
    float leftBin;  // where the span's lower edge falls, in bins
    int startBin;
  };
  const Case cases[] = {{0, 10}, {29.5f, 10}, {30.5f, 10}, {31.5f, 11}};
  for (const Case& c : cases) {
    h.app.sharedData.span.startFrequency = c.leftBin / binsPerHertz;
    h.app.initAndStartTrackingGenerator();
    EXPECT_EQ(h.app.sweep.leftBin, static_cast<int>(c.leftBin));
    EXPECT_EQ(h.app.sweep.startBin, c.startBin) << c.leftBin;
    EXPECT_EQ(h.app.sweep.currentBin, c.startBin);
    EXPECT_EQ(h.generator.startedAt, c.startBin);
  }
}

TEST(SweepPlan, FollowsTheSpanAndTheEnginesBinGrid) {
  ControllerHarness h;
  h.lowerSpanField.setStringValue("1000");
  h.upperSpanField.setStringValue("5000");
  h.launch();
  h.enterTrackingMode();
  h.pressStart();
  const Spectrum& engine = *h.app.spectrum;
  const Sweep& sweep = h.app.sweep;
  const float binsPerHertz = sweep.bins / (0.5f * sweep.samplingRate);
  EXPECT_EQ(sweep.bins, engine.bins());
  EXPECT_FLOAT_EQ(sweep.samplingRate, 48000.0f);
  EXPECT_EQ(sweep.leftBin, static_cast<int>(binsPerHertz * 1000.0f));
  EXPECT_EQ(sweep.rightBin, static_cast<int>(binsPerHertz * 5000.0f));
  EXPECT_EQ(sweep.startBin, sweep.leftBin - 20);
  EXPECT_EQ(sweep.endBin, sweep.rightBin + 20);
  EXPECT_FLOAT_EQ(sweep.hertzPerSecond, engine.binsPerSecond() / binsPerHertz);
  EXPECT_EQ(sweep.suspendUntilBin, 0);
  EXPECT_EQ(sweep.running, 1);
  EXPECT_EQ(sweep.paused, 0);
  EXPECT_LT(h.log.indexOf("display.newSweep"), h.log.indexOf("generator.start"));
}

TEST(SweepPlan, WithoutAnEngineUsesOneBinPerHertz) {
  ControllerHarness h;
  h.app.sharedData.span.startFrequency = 1000.0f;
  h.app.sharedData.span.endFrequency = 2000.0f;
  h.app.initAndStartTrackingGenerator();
  EXPECT_EQ(h.app.sweep.leftBin, 1000);
  EXPECT_EQ(h.app.sweep.rightBin, 2000);
  EXPECT_EQ(h.app.sweep.startBin, 980);
}

// --- advancing

TEST(SweepAdvance, EachSpectrumBelongsToTheNextBin) {
  ControllerHarness h;
  h.bandwidthPopup.selectItemWithTag(30);  // a short window: a spectrum every second block
  h.launch();
  h.enterTrackingMode();
  h.pressStart();
  const int start = h.app.sweep.startBin;
  const int blocksPerSpectrum = sweepHop(*h.app.spectrum) / AppDelegate::kBlockLength;
  const int spectra = 12;

  h.feed(blocksPerSpectrum - 1);  // not yet complete: nothing moves
  EXPECT_EQ(h.app.sweep.currentBin, start);
  EXPECT_TRUE(h.generator.tunedTo.empty());
  EXPECT_TRUE(h.display.bins.empty());

  h.feed(spectra * blocksPerSpectrum - (blocksPerSpectrum - 1));
  ASSERT_EQ(h.display.bins.size(), static_cast<std::size_t>(spectra));
  for (int i = 0; i < spectra; ++i) {
    EXPECT_EQ(h.display.bins[static_cast<std::size_t>(i)], start + i);
    EXPECT_EQ(h.generator.tunedTo[static_cast<std::size_t>(i)], start + i + 1);
  }
  EXPECT_EQ(h.app.sweep.currentBin, start + spectra);
  EXPECT_EQ(h.display.traces, 0);  // no averaged traces in a sweep

  // Only the measured bins hold power in the trace.
  const TraceData& trace = *h.app.trace->traceData();
  for (int bin = start - 3; bin < start + spectra + 3; ++bin) {
    const bool measured = bin >= start && bin < start + spectra;
    EXPECT_EQ(trace.averaged[bin] > 0.0f, measured) << bin;
  }
}

TEST(SweepAdvance, IdleTrackingModeConsumesBlocksWithoutMoving) {
  ControllerHarness h;
  h.launch();
  h.enterTrackingMode();
  EXPECT_TRUE(h.app.trackingGeneratorIdle());
  h.feed(64);
  EXPECT_TRUE(h.display.bins.empty());
  EXPECT_EQ(h.display.traces, 0);
  EXPECT_TRUE(h.generator.tunedTo.empty());
}

TEST(SweepSuspension, RemeasuresSixteenBinsIntoTheTraceOnly) {
  ControllerHarness h;
  h.bandwidthPopup.selectItemWithTag(30);
  h.launch();
  h.enterTrackingMode();
  h.pressStart();
  const int blocksPerSpectrum = sweepHop(*h.app.spectrum) / AppDelegate::kBlockLength;
  h.feed(20 * blocksPerSpectrum);
  const int stoppedAt = h.app.sweep.currentBin;
  const std::size_t shown = h.display.bins.size();

  h.app.suspendTracking();
  EXPECT_EQ(h.app.sweep.suspendUntilBin, stoppedAt);
  EXPECT_EQ(h.app.sweep.currentBin, stoppedAt - 16);
  EXPECT_EQ(h.app.sweep.paused, 1);
  EXPECT_TRUE(h.generator.suspended);
  h.feed(8 * blocksPerSpectrum);  // while suspended nothing advances
  EXPECT_EQ(h.app.sweep.currentBin, stoppedAt - 16);
  EXPECT_EQ(h.display.bins.size(), shown);

  h.app.resumeTracking();
  EXPECT_FALSE(h.generator.suspended);
  const std::size_t tuned = h.generator.tunedTo.size();
  h.feed(16 * blocksPerSpectrum);
  EXPECT_EQ(h.app.sweep.currentBin, stoppedAt);
  EXPECT_EQ(h.display.bins.size(), shown);  // re-measured, not shown
  EXPECT_EQ(h.generator.tunedTo.size(), tuned + 16);
  EXPECT_EQ(h.generator.tunedTo[tuned], stoppedAt - 15);
  h.feed(blocksPerSpectrum);
  ASSERT_EQ(h.display.bins.size(), shown + 1);
  EXPECT_EQ(h.display.bins.back(), stoppedAt);  // the first shown again
}

TEST(SweepSuspension, NeverGoesBackBeforeTheSweepsFirstBin) {
  // Suspended two spectra after the start: only those two are measured again,
  // and no bin below the first reaches the trace or the generator.
  ControllerHarness h;
  h.bandwidthPopup.selectItemWithTag(30);
  h.launch();
  h.enterTrackingMode();
  h.pressStart();
  const int first = h.app.sweep.startBin;
  const int blocksPerSpectrum = sweepHop(*h.app.spectrum) / AppDelegate::kBlockLength;
  for (int b = 0; b < 64 * blocksPerSpectrum && h.app.sweep.currentBin < first + 2; ++b) h.feed(1);
  ASSERT_EQ(h.app.sweep.currentBin, first + 2);
  h.app.suspendTracking();
  EXPECT_EQ(h.app.sweep.suspendUntilBin, first + 2);
  EXPECT_EQ(h.app.sweep.currentBin, first);
  h.app.resumeTracking();
  h.feed(4 * blocksPerSpectrum);
  for (int bin : h.generator.tunedTo) EXPECT_GT(bin, first);
  for (int bin : h.display.bins) EXPECT_GE(bin, first);
  EXPECT_EQ(h.display.bins.back(), h.app.sweep.currentBin - 1);
}

TEST(SweepSuspension, DoesNothingWithoutARunningSweep) {
  ControllerHarness h;
  h.launch();
  h.enterTrackingMode();
  const Sweep before = h.app.sweep;
  h.app.suspendTracking();
  h.app.resumeTracking();
  EXPECT_EQ(h.app.sweep.paused, before.paused);
  EXPECT_EQ(h.app.sweep.running, before.running);
  EXPECT_EQ(h.app.sweep.currentBin, before.currentBin);
  EXPECT_EQ(h.app.sweep.suspendUntilBin, before.suspendUntilBin);
  EXPECT_FALSE(h.generator.suspended);
}

// --- button, end and mode

TEST(SweepControls, ButtonStartsAndStops) {
  ControllerHarness h;
  h.launch();
  EXPECT_FALSE(h.trackingGeneratorButton.isEnabled() && h.app.sweep.enabled);
  h.enterTrackingMode();
  EXPECT_TRUE(h.trackingGeneratorButton.isEnabled());
  EXPECT_EQ(h.trackingGeneratorButton.title(), "Start");
  h.pressStart();
  EXPECT_EQ(h.trackingGeneratorButton.title(), "Stop");
  EXPECT_EQ(h.app.sweep.running, 1);
  EXPECT_FALSE(h.app.trackingGeneratorIdle());
  h.trackingGeneratorButton.press();
  EXPECT_EQ(h.trackingGeneratorButton.title(), "Start");
  EXPECT_EQ(h.app.sweep.running, 0);
  EXPECT_EQ(h.log.count("generator.stop"), 1);
  EXPECT_TRUE(h.app.trackingGeneratorIdle());
}

TEST(SweepControls, TheDisplaysEndOfSweepTurnsTheButtonOff) {
  ControllerHarness h;
  h.launch();
  h.enterTrackingMode();
  h.pressStart();
  h.app.stopTrackingGenerator();
  EXPECT_FALSE(h.trackingGeneratorButton.isOn());
  EXPECT_EQ(h.trackingGeneratorButton.title(), "Start");
  EXPECT_EQ(h.app.sweep.running, 0);
  EXPECT_EQ(h.log.count("generator.stop"), 1);
}

TEST(SweepControls, SwitchingTheModeClearsOrUntracks) {
  ControllerHarness h;
  h.launch();
  h.feed(40);
  h.enterTrackingMode();
  EXPECT_TRUE(h.display.trackingMode);
  EXPECT_TRUE(h.printView.trackingMode);
  EXPECT_EQ(h.log.count("display.clearPlot"), 1);
  EXPECT_EQ(h.app.trace->traceData()->bins, 0);

  h.pressStart();
  h.app.sharedData.track.pixel = 200.0f;
  h.trackingGeneratorMatrix.pick(0, 0);
  EXPECT_EQ(h.app.sweep.enabled, 0);
  EXPECT_FALSE(h.display.trackingMode);
  EXPECT_FLOAT_EQ(h.app.sharedData.track.pixel, -10.0f);
  EXPECT_FALSE(h.trackingGeneratorButton.isEnabled());
  EXPECT_EQ(h.trackingGeneratorButton.title(), "Start");
  // Leaving the mode also ends the running sweep: the generator falls silent.
  EXPECT_EQ(h.app.sweep.running, 0);
  EXPECT_EQ(h.log.count("generator.stop"), 1);
}

TEST(SweepControls, ASpanOrRbwChangeRestartsTheSweepAWindowChangeDoesNot) {
  ControllerHarness h;
  h.launch();
  h.enterTrackingMode();
  // From idle: an RBW change starts a sweep, and leaves the button alone.
  h.bandwidthPopup.pickTag(20);
  EXPECT_EQ(h.app.sweep.running, 1);
  EXPECT_EQ(h.log.count("generator.start"), 1);
  EXPECT_EQ(h.log.count("generator.stop"), 1);
  EXPECT_EQ(h.log.count("display.clearPlot"), 2);
  EXPECT_EQ(h.trackingGeneratorButton.title(), "Start");

  h.windowPopup.pickTag(0);
  EXPECT_EQ(h.log.count("generator.start"), 1);

  h.lowerSpanField.enter("2000");
  EXPECT_EQ(h.log.count("generator.start"), 2);
  const float binsPerHertz = PlotTrace::binsPerHertz(h.app.spectrum->bins(), 48000.0f);
  EXPECT_EQ(h.app.sweep.leftBin, static_cast<int>(binsPerHertz * 2000.0f));
}
