#pragma once
// The plan and progress of a tracking-generator sweep. The controller owns
// the one record and changes it on the main thread; the tracking generator
// reads it by pointer, on the main thread, when it is started and each time
// it is retuned. Its audio thread never reads it.

#include <cstdint>

struct Sweep {
  int32_t leftBin = 0;          // bin of the span's lower edge
  int32_t rightBin = 0;         // bin of the span's upper edge
  int32_t startBin = 0;         // first bin measured: 20 below the span, never below 10
  int32_t endBin = 0;           // rightBin + 20; recorded only, the display ends the sweep
  int32_t currentBin = 0;       // bin the next completed spectrum belongs to
  int32_t suspendUntilBin = 0;  // spectra of bins below it go into the trace but are not shown
  int32_t bins = 0;             // the engine's bin count, covering 0 Hz to fs/2
  float samplingRate = 0.0f;    // the engine's sampling rate, Hz
  float hertzPerSecond = 0.0f;  // sweep speed: spectra per second over bins per hertz
  // Bins the generator's tone runs ahead of the bin the next spectrum is
  // attributed to, so that the tone heard at the centre of that spectrum's
  // window, after the way out and back in, is on the bin.
  float leadBins = 0.0f;

  // Drop-outs. A spectrum whose window may hold a gap (either card's, or a
  // loop latency that moved by more than a block) is thrown away and its
  // bins are measured again: the sweep goes back far enough for the window
  // to hold only the tone as it sweeps again, and throws away the spectra
  // of the bins below settleUntilBin on the way.
  int32_t settleUntilBin = 0;     // spectra of bins below it are discarded
  int32_t gapBin = 0;             // the first bin measured again after the latest gap
  int64_t inputLatency = 0;       // the input's latency the lead is planned for, frames
  int64_t outputLatency = 0;      // the output's, likewise
  uint8_t latencyKnown = 0;       // bit 0: the input reports its latency, bit 1: the output
  uint64_t inputGaps = 0;         // the input's gaps when the last spectrum was taken
  uint64_t outputGaps = 0;        // the generator's, likewise
  int32_t retryBin = -1;          // the bin at which the latest run of re-measurements began
  int32_t retries = 0;            // re-measurements since the sweep last passed retryBin
  int32_t remeasuredBins = 0;     // bins measured again after a gap, in this sweep
  int32_t uncleanBins = 0;        // bins left unmeasured after kMaxRetries failed tries
  uint8_t uncleanInput = 0;       // the input's gaps left bins unmeasured
  uint8_t uncleanOutput = 0;      // the output's, likewise
  // The logarithmic axis measures points rather than every bin: after bin b
  // the next point lies pointRatio·b bins on (at least the next bin); 0
  // measures every bin, one per spectrum. Where points lie further apart
  // than maxStepBins the tone rises maxStepBins a spectrum, measuring the
  // bins between as well, or, where that would take more spectra, jumps to
  // the point and holds there for settleSpectra spectra while the window
  // fills with the new tone alone (see SweepPlan.h).
  float pointRatio = 0.0f;
  int32_t maxStepBins = 1;      // bins per spectrum at which a spectrum still reads the tone's level
  int32_t settleSpectra = 0;    // spectra a tone that jumped takes to fill the window alone
  int32_t holdSpectra = 0;      // spectra still to be thrown away while the tone settles on a point
  // After the hold, a point's spectrum is taken once two in a row agree
  // within kSettledDb: a window that still holds some of the tone from
  // before the jump (an input that came in a burst, a loop longer than
  // planned) reads lower than the next one.
  float heldReading = -1.0f;    // the last spectrum's power at the point, -1 none yet
  int32_t confirmations = 0;    // spectra left to wait for two that agree, 0 not waiting
  int32_t measuredBin = -1;     // the bin of the latest spectrum taken into the trace, -1 none yet
  float leadSpectra = 0.0f;     // spectra the tone runs ahead; leadBins is that in bins from currentBin
  float binHertzPerSecond = 0.0f;  // the tone's speed at one bin per spectrum
  int64_t spectra = 0;          // spectra the sweep took, thrown away or not
  uint8_t enabled = 0;          // tracking-generator mode is on
  uint8_t running = 0;          // a sweep is in progress
  uint8_t paused = 0;           // the running sweep is suspended
};
