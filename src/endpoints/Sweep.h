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
  uint8_t enabled = 0;          // tracking-generator mode is on
  uint8_t running = 0;          // a sweep is in progress
  uint8_t paused = 0;           // the running sweep is suspended
};
