// The controller's sweep control: plans a tracking-generator sweep from the
// span and the engine's bin grid, starts, stops, suspends and resumes it, and
// switches the tracking mode.

#include <algorithm>
#include <cmath>

#include "app/AppDelegate.h"

void AppDelegate::initAndStartTrackingGenerator() {
  sweep.bins = spectrum ? spectrum->bins() : 0;
  sweep.samplingRate = spectrum ? spectrum->samplingRate() : 0.0f;
  // One bin per hertz when there is no engine.
  const float binsPerHertz = spectrum ? PlotTrace::binsPerHertz(sweep.bins, sweep.samplingRate) : 1.0f;
  sweep.leftBin = static_cast<int32_t>(std::trunc(binsPerHertz * sharedData.span.startFrequency));
  sweep.rightBin = static_cast<int32_t>(std::trunc(binsPerHertz * sharedData.span.endFrequency));
  // Begin 20 bins below the span, but never below bin 10.
  sweep.startBin = sweep.leftBin < 30 ? 10 : sweep.leftBin - 20;
  sweep.endBin = sweep.rightBin + 20;
  sweep.currentBin = sweep.startBin;
  sweep.hertzPerSecond = spectrum ? spectrum->binsPerSecond(kBlockLength) / binsPerHertz : 0.0f;
  // The spectrum of bin b is taken one hop after the retune to b, over a
  // window whose centre lies half a window back, and what it holds left the
  // generator the loop's latency earlier still. With the tone rising one bin
  // a hop, leading by (half window + latency) / hop − 1 bins puts it on bin b
  // at that centre.
  if (spectrum) {
    const int32_t latency = (input ? input->latencyFrames() : 0) + (trackingGenerator ? trackingGenerator->latencyFrames() : 0);
    const float hop = static_cast<float>(spectrum->overlapHop(kBlockLength));
    sweep.leadBins = (0.5f * static_cast<float>(spectrum->windowedBins()) + static_cast<float>(latency)) / hop - 1.0f;
  } else {
    sweep.leadBins = 0.0f;
  }
  sweep.suspendUntilBin = 0;
  sweep.running = 1;
  sweep.paused = 0;
  if (display) display->newSweep();
  if (trackingGenerator) trackingGenerator->start(&sweep);
}

void AppDelegate::resetAndStopTrackingGenerator() {
  sweep.running = 0;
  if (trackingGenerator) trackingGenerator->stop();
}

void AppDelegate::suspendTracking() {
  if (!sweep.running) return;
  if (trackingGenerator) trackingGenerator->setSuspend(true);
  // The last 16 bins are measured again, into the trace only, until the
  // sweep is back where it stopped; never from before the sweep's first bin,
  // since a bin below 0 would reach the trace and the generator as a bin
  // number that means "the whole spectrum" and a negative frequency.
  sweep.suspendUntilBin = sweep.currentBin;
  sweep.currentBin = std::max(sweep.currentBin - 16, std::min(sweep.startBin, sweep.currentBin));
  sweep.paused = 1;
}

void AppDelegate::resumeTracking() {
  if (!sweep.running) return;
  sweep.paused = 0;
  if (trackingGenerator) trackingGenerator->setSuspend(false);
}

void AppDelegate::trackingStateChanged() {
  if (trackingGeneratorButton && trackingGeneratorButton->state() == 1) {
    trackingGeneratorButton->setTitle("Stop");
    initAndStartTrackingGenerator();
  } else {
    if (trackingGeneratorButton) trackingGeneratorButton->setTitle("Start");
    resetAndStopTrackingGenerator();
  }
}

void AppDelegate::stopTrackingGenerator() {
  if (trackingGeneratorButton) trackingGeneratorButton->setState(0);
  trackingStateChanged();
}

void AppDelegate::trackingModeChanged() {
  sweep.enabled = trackingGeneratorMatrix && trackingGeneratorMatrix->selectedColumn() == 1 ? 1 : 0;
  if (trackingGeneratorButton) {
    trackingGeneratorButton->setEnabled(sweep.enabled != 0);
    trackingGeneratorButton->setState(0);
    trackingGeneratorButton->setTitle("Start");
  }
  if (display) display->setTrackingGeneratorMode(sweep.enabled != 0);
  if (printView) printView->setTrackingGeneratorMode(sweep.enabled != 0);
  if (sweep.enabled) {
    trace->clearTrace();
    if (display) display->clearPlot();
  } else {
    // Leaving the mode ends a running sweep as the Stop button would: the
    // button is disabled in the normal mode, so nothing could stop the
    // generator's tone otherwise.
    if (sweep.running) resetAndStopTrackingGenerator();
    sharedData.track.pixel = -10.0f;
  }
}
