// The controller's sweep control: plans a tracking-generator sweep from the
// span and the engine's bin grid, starts, stops, suspends and resumes it, and
// switches the tracking mode.

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "app/controller/AppDelegate.h"
#include "endpoints/SweepPlan.h"

void AppDelegate::initAndStartTrackingGenerator() {
  sweep.bins = spectrum ? spectrum->bins() : 0;
  sweep.samplingRate = spectrum ? spectrum->samplingRate() : 0.0f;
  // One bin per hertz when there is no engine.
  const float binsPerHertz = spectrum ? PlotTrace::binsPerHertz(sweep.bins, sweep.samplingRate) : 1.0f;
  sweep.leftBin = static_cast<int32_t>(std::trunc(binsPerHertz * sharedData.span.startFrequency));
  sweep.rightBin = static_cast<int32_t>(std::trunc(binsPerHertz * sharedData.span.endFrequency));
  sweep.binHertzPerSecond = spectrum ? spectrum->binsPerSecond(kBlockLength) / binsPerHertz : 0.0f;
  sweep.hertzPerSecond = sweep.binHertzPerSecond;
  planSweepPoints();
  // Begin 20 spectra below the span, but never below bin 10.
  sweep.startBin = sweep.leftBin < 30 ? 10 : sweep_plan::binBefore(sweep, sweep.leftBin, 20, 10);
  sweep.endBin = sweep.rightBin + 20;
  sweep.currentBin = sweep.startBin;
  // The spectrum of bin b is taken one hop after the retune to b, over a
  // window whose centre lies half a window back, and what it holds left the
  // generator the loop's latency earlier still. With the tone rising one bin
  // a hop, leading by (half window + latency) / hop − 1 bins puts it on bin b
  // at that centre. The input runs already, so its latency is the one its
  // server reports now where it reports one; the output's is what its stream
  // is expected to have until it runs (a moved latency is caught below).
  const EndpointIoHealth in = input ? input->ioHealth() : EndpointIoHealth{};
  const EndpointIoHealth out = trackingGenerator ? trackingGenerator->ioHealth() : EndpointIoHealth{};
  sweep.inputLatency = in.latencyKnown ? in.latencyFrames : (input ? input->latencyFrames() : 0);
  sweep.outputLatency = trackingGenerator ? trackingGenerator->latencyFrames() : 0;
  sweep.inputGaps = in.gaps;
  sweep.outputGaps = out.gaps;
  sweep.latencyKnown = in.latencyKnown ? 1 : 0;
  planSweepLead();
  // A loop slower than the 20 bins below the span leaves no room to settle:
  // the sweep then begins as far below the span as it takes.
  if (spectrum)
    sweep.startBin = std::max(std::min(sweep.startBin, 10),
                              std::min(sweep.startBin, sweep_plan::binBefore(sweep, sweep.leftBin, sweepSettlingSpectra(), INT32_MIN)));
  sweep.currentBin = sweep.startBin;
  sweep.measuredBin = -1;
  sweep.spectra = 0;
  sweep_plan::tune(sweep, false);
  sweep.settleUntilBin = 0;
  sweep.gapBin = 0;
  sweep.retryBin = -1;
  sweep.retries = 0;
  sweep.remeasuredBins = 0;
  sweep.uncleanBins = 0;
  sweep.uncleanInput = sweep.uncleanOutput = 0;
  sweep.suspendUntilBin = 0;
  sweep.running = 1;
  sweep.paused = 0;
  if (display) display->newSweep();
  if (trackingGenerator) trackingGenerator->start(&sweep);
}

void AppDelegate::planSweepPoints() {
  sweep.pointRatio = 0.0f;
  sweep.maxStepBins = 1;
  sweep.settleSpectra = 0;
  sweep.holdSpectra = 0;
  // Points only on the logarithmic axis: as many to the octave as asked
  // for, else one per column of the plot on screen (a column shows one
  // point, whatever the bins it spans). A view without a plot of its own
  // (the command line's) measures every bin unless asked: counted in
  // spectra, a jump's hold cannot follow a server that delivers its input in
  // bursts under load, and a point then reads a few tenths of a dB low.
  if (!spectrum || sharedData.axisScale != display::AxisScale::logarithmic) return;
  double perOctave = sweepPointsPerOctave;
  if (!(perOctave > 0) && display) {
    const double octaves = std::log2(static_cast<double>(std::max(sweep.rightBin, 2)) / std::max(sweep.leftBin, 1));
    if (octaves > 0) perOctave = display->plotColumns() / octaves;
  }
  if (!(perOctave >= 1)) return;
  perOctave = std::min(perOctave, 10000.0);
  sweep.pointRatio = static_cast<float>(std::exp2(1.0 / perOctave) - 1.0);
  sweep.maxStepBins = spectrum->sweepStepLimit(kBlockLength, sweep_plan::kStepLossDb);
}

void AppDelegate::planSweepLead() {
  if (!spectrum) {
    sweep.leadSpectra = sweep.leadBins = 0.0f;
    return;
  }
  const float latency = static_cast<float>(sweep.inputLatency + sweep.outputLatency);
  const float hop = static_cast<float>(spectrum->overlapHop(kBlockLength));
  sweep.leadSpectra = (0.5f * static_cast<float>(spectrum->windowedBins()) + latency) / hop - 1.0f;
  // On the logarithmic axis the lead in bins depends on the steps ahead:
  // tune() works it out as the sweep moves on.
  if (!(sweep.pointRatio > 0.0f)) {
    sweep.leadBins = sweep.leadSpectra;
    return;
  }
  // A jump's hold allows for the loop as a gap does (twice, and a few
  // blocks): a server's latency readings jitter by a cycle or so, and a
  // window that still holds a little of the tone before the jump reads low.
  sweep.settleSpectra = sweepSettlingSpectra(true);
}

void AppDelegate::advanceSweep() {
  const bool jumped = sweep_plan::jumpsAfter(sweep, sweep.currentBin);
  sweep.currentBin = sweep_plan::nextBin(sweep, sweep.currentBin);
  sweep_plan::tune(sweep, jumped);
}

void AppDelegate::restartSweepBefore(int32_t first, int32_t spectra) {
  // Where the sweep jumps from point to point, the jump's own hold settles
  // the window: the sweep starts again on the first point to measure.
  const int32_t below = sweep_plan::binBefore(sweep, first, 1, 1);
  if (sweep_plan::jumpsAfter(sweep, below) && below < first) {
    sweep.currentBin = first;
    sweep_plan::tune(sweep, true);
    return;
  }
  sweep.currentBin = sweep_plan::binBefore(sweep, first, spectra, 1);
  sweep_plan::tune(sweep, false);
}

int32_t AppDelegate::sweepSettlingSpectra(bool afterGap) const {
  if (!spectrum) return 0;
  // The window, the loop and the blocks on their way from the input card to
  // the engine, in hops, and one spectrum more for the retune's own block.
  // After a gap the input comes in a burst as the server catches up, so the
  // spectra run ahead of the tone's real-time sweep until its backlog is
  // gone: the loop is waited for twice, with a few blocks more.
  const int64_t latency = std::max<int64_t>(0, sweep.inputLatency + sweep.outputLatency);
  const int64_t span = afterGap ? spectrum->windowedBins() + 2 * latency + 4 * kBlockLength
                                : spectrum->windowedBins() + latency + 2 * kBlockLength;
  const int64_t hop = std::max(1, spectrum->overlapHop(kBlockLength));
  return static_cast<int32_t>((span + hop - 1) / hop) + 1;
}

int32_t AppDelegate::sweepSettlingSpectraAfterGap(const EndpointIoHealth& in) const {
  const int32_t settling = sweepSettlingSpectra(true);
  // A device that reports its latency has the input waiting for the engine
  // in that latency, and so in the plan. Otherwise the blocks that queued
  // up while the main thread was late all came before the gap: they are
  // analysed first, and the settling only begins to count once they are.
  if (!spectrum || in.latencyKnown || in.backlogFrames <= 0) return settling;
  const int64_t hop = std::max(1, spectrum->overlapHop(kBlockLength));
  return settling + static_cast<int32_t>((in.backlogFrames + hop - 1) / hop);
}

bool AppDelegate::sweepSpectrumIsClean() {
  const int32_t bin = sweep.currentBin;
  const EndpointIoHealth in = input ? input->ioHealth() : EndpointIoHealth{};
  const EndpointIoHealth out = trackingGenerator ? trackingGenerator->ioHealth() : EndpointIoHealth{};
  const bool inputGap = in.gaps != sweep.inputGaps;
  const bool outputGap = out.gaps != sweep.outputGaps;
  sweep.inputGaps = in.gaps;
  sweep.outputGaps = out.gaps;

  // The loop latency as the devices report it now. A server reports it in
  // steps of its cycles (a reading jitters by a cycle or so as audio is
  // written and played), and a queue that drains moves it steadily: the
  // plan follows the readings halfway each spectrum and re-plans the lead.
  // A reading that leaves the plan by more than kLatencyJump, or the first
  // one from a device that did not report before, means the spectra were
  // taken with the wrong lead: they are measured again.
  bool latencyMoved = false;
  bool firstReading = false;
  const uint8_t known = static_cast<uint8_t>((in.latencyKnown ? 1 : 0) | (out.latencyKnown ? 2 : 0));
  const int64_t inputLatency = in.latencyKnown ? in.latencyFrames : sweep.inputLatency;
  const int64_t outputLatency = out.latencyKnown ? out.latencyFrames : sweep.outputLatency;
  const int64_t moved = inputLatency + outputLatency - sweep.inputLatency - sweep.outputLatency;
  if ((known & ~sweep.latencyKnown) != 0 || moved > kLatencyJump || moved < -kLatencyJump) {
    firstReading = (known & ~sweep.latencyKnown) != 0;
    latencyMoved = moved > kBlockLength || moved < -kBlockLength;
    sweep.inputLatency = inputLatency;
    sweep.outputLatency = outputLatency;
  } else {
    sweep.inputLatency += (inputLatency - sweep.inputLatency) / 2;
    sweep.outputLatency += (outputLatency - sweep.outputLatency) / 2;
  }
  sweep.latencyKnown = known;
  planSweepLead();

  if (inputGap || outputGap || latencyMoved) {
    const int32_t settling = sweepSettlingSpectraAfterGap(in);
    // A gap that comes while the sweep still settles from the one before
    // belongs to the same try: the stall of one server is often told as a
    // moved latency, an underflow and an overflow, one after the other.
    const bool settlingAlready = bin < sweep.settleUntilBin;
    if (bin > sweep.retryBin) {
      sweep.retryBin = bin;
      sweep.retries = 0;
    }
    if (!settlingAlready) ++sweep.retries;
    if (sweep.retries > kMaxSweepRetries) {
      // Gaps keep coming: the bins whose spectra meet this one are left
      // unmeasured, and the sweep goes on.
      sweep.uncleanBins += settling;
      if (inputGap) sweep.uncleanInput = 1;
      if (outputGap || !inputGap) sweep.uncleanOutput = 1;
      sweep.settleUntilBin = bin + settling;
      sweep.retryBin = bin + settling;
      sweep.retries = 0;
      advanceSweep();
      return false;
    }
    // The spectrum in hand and the one before may hold the gap already:
    // measure from there again (or, when the sweep was still settling after
    // an earlier gap, from where it was going to measure again), after going
    // back far enough to settle.
    int32_t first = settlingAlready ? sweep.settleUntilBin : sweep_plan::binBefore(sweep, bin, 2, 1);
    // The latency readings that follow a gap come from a server that is
    // still refilling its queue, and may be late: a move read while the bins
    // after the gap are still within a settling of it goes back to the first
    // of them.
    if (inputGap || outputGap)
      sweep.gapBin = first;
    else if (sweep.gapBin > 0 && first > sweep.gapBin && first - sweep.gapBin < settling)
      first = sweep.gapBin;
    // Counted are the bins of the span that were measured over a gap; the
    // plan's first reading of a latency is no gap.
    if (!settlingAlready && (inputGap || outputGap || !firstReading))
      sweep.remeasuredBins += std::max(0, bin - std::max(first, sweep.leftBin + 1));
    sweep.settleUntilBin = first;
    restartSweepBefore(first, settling);
    return false;
  }
  if (bin < sweep.settleUntilBin) {
    // While a gap lasts (an output run dry, until its playback starts
    // again) the sweep waits at the start of its settling: it settles from
    // the gap's end.
    if (in.gapOngoing || out.gapOngoing)
      restartSweepBefore(sweep.settleUntilBin, sweepSettlingSpectraAfterGap(in));
    else
      advanceSweep();
    return false;
  }
  if (in.gapOngoing || out.gapOngoing) {
    // A gap that began without being counted yet: wait for it.
    sweep.settleUntilBin = sweep_plan::binBefore(sweep, bin, 2, 1);
    restartSweepBefore(sweep.settleUntilBin, sweepSettlingSpectraAfterGap(in));
    return false;
  }
  if (bin > sweep.retryBin) sweep.retries = 0;
  return true;
}

bool AppDelegate::requestSpan(double lower, double upper) {
  if (sweep.running || logSweepRunning() || showsReference_ || !lowerSpanField || !upperSpanField) return false;
  if (!std::isfinite(lower) || !std::isfinite(upper) || !(upper > lower)) return false;
  char text[64];
  std::snprintf(text, sizeof text, "%.0f", lower);
  lowerSpanField->setStringValue(text);
  std::snprintf(text, sizeof text, "%.0f", upper);
  upperSpanField->setStringValue(text);
  setupSampling();
  return true;
}

void AppDelegate::resetAndStopTrackingGenerator() {
  sweep.running = 0;
  if (trackingGenerator) trackingGenerator->stop();
  // No bin is being measured any more: the cursor goes, the measured curve
  // stays for reading.
  sharedData.track.pixel = -10.0f;
  if (display) display->setNeedsDisplay();
}

void AppDelegate::suspendTracking() {
  if (!sweep.running) return;
  if (trackingGenerator) trackingGenerator->setSuspend(true);
  // The last 16 bins are measured again, into the trace only, until the
  // sweep is back where it stopped; never from before the sweep's first bin,
  // since a bin below 0 would reach the trace and the generator as a bin
  // number that means "the whole spectrum" and a negative frequency.
  sweep.suspendUntilBin = sweep.currentBin;
  sweep.currentBin = sweep_plan::binBefore(sweep, sweep.currentBin, 16, std::min(sweep.startBin, sweep.currentBin));
  sweep_plan::tune(sweep, false);
  sweep.paused = 1;
}

void AppDelegate::resumeTracking() {
  if (!sweep.running) return;
  sweep.paused = 0;
  // The windows the engine computes next still hold the tone as it stood
  // during the pause, and the tone is retuned only with the first of them:
  // their spectra are thrown away (the bins keep what was measured before
  // the pause), and the sweep steps back further when the 16 bins are fewer
  // than that takes.
  const int32_t settling = sweepSettlingSpectra(true) + 1;
  const int32_t lowest = std::min(sweep.startBin, sweep.currentBin);
  if (settling >= 16)
    sweep.currentBin = std::min(sweep.currentBin, sweep_plan::binBefore(sweep, sweep.suspendUntilBin, settling + 1, lowest));
  int32_t settled = sweep.currentBin;
  for (int32_t k = 0; k < settling && settled < sweep.suspendUntilBin; ++k) settled = sweep_plan::nextBin(sweep, settled);
  sweep.settleUntilBin = std::max(sweep.settleUntilBin, std::min(settled, sweep.suspendUntilBin));
  sweep_plan::tune(sweep, false);
  if (trackingGenerator) trackingGenerator->setSuspend(false);
}

void AppDelegate::trackingStateChanged() {
  const bool on = trackingGeneratorButton && trackingGeneratorButton->state() == 1;
  if (trackingGeneratorButton) trackingGeneratorButton->setTitle(on ? "Stop" : "Start");
  if (logSweepMode_ && on)
    startLogSweep();
  else if (logSweepMode_)
    cancelLogSweep();
  else if (on)
    initAndStartTrackingGenerator();
  else
    resetAndStopTrackingGenerator();
}

void AppDelegate::stopTrackingGenerator() {
  if (trackingGeneratorButton) trackingGeneratorButton->setState(0);
  trackingStateChanged();
}

void AppDelegate::trackingModeChanged() {
  const int column = trackingGeneratorMatrix ? trackingGeneratorMatrix->selectedColumn() : 0;
  sweep.enabled = column == 1 || column == 2 ? 1 : 0;
  // Either generator mode ends the other's run.
  if (logSweepMode_ != (column == 2)) {
    cancelLogSweep();
    sharedData.sweptResponse.shown = 0;
  }
  logSweepMode_ = column == 2;
  if (logSweepMode_ && sweep.running) resetAndStopTrackingGenerator();
  // The fixed tone belongs to the normal mode: the sweep takes the output.
  if (sweep.enabled) stopTone();
  if (toneButton) toneButton->setEnabled(sweep.enabled == 0);
  if (trackingGeneratorButton) {
    trackingGeneratorButton->setEnabled(sweep.enabled != 0);
    trackingGeneratorButton->setState(0);
    trackingGeneratorButton->setTitle("Start");
  }
  if (display) display->setTrackingGeneratorMode(sweep.enabled != 0);
  if (printView) printView->setTrackingGeneratorMode(sweep.enabled != 0);
  // The levels as the gain from the output where it is calibrated, and back.
  if (levelUnitsReady_) applyInputCalibration(true);
  showOutputFullScale();
  if (sweep.enabled) {
    trace->clearTrace();
    if (display) display->clearPlot();
  } else {
    // Leaving the mode ends a running sweep as the Stop button would: the
    // button is disabled in the normal mode, so nothing could stop the
    // generator's tone otherwise.
    if (sweep.running) resetAndStopTrackingGenerator();
    sharedData.track.pixel = -10.0f;
    // The normal analysis starts afresh: a swept curve is no spectrum of
    // the input, and must not stay on screen or in the average.
    trace->clearTrace();
    if (display) {
      display->clearPlot();
      display->setNeedsDisplay();
    }
  }
}
