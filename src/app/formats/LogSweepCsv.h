#pragma once
// The CSV of a log sweep's response, as `specan measure --method=logsweep
// --csv` and the window's File ▸ Export Data in the log sweep mode write it:
//
//   frequency_hz,level_db,phase_deg,group_delay_ms,h2_db,h3_db,h4_db,h5_db
//
// one row per point of the response's log grid, the level the gain (0 dB
// for a wire), a harmonic relative to the fundamental and empty out of
// reach, then a comment line with the timing (logSweepTiming).

#include <string>

#include "dsp/SweepDeconvolution.h"

// Where the phase counts from and the delay: "phase relative to the impulse
// response's peak; delay 1327.49 samples (27.656 ms) from the recording's
// start", or absolute from a reference channel. rate: the sweep's, in Hz.
std::string logSweepOrigin(const dsp::SweepResponse& response);
std::string logSweepDelay(const dsp::SweepResponse& response, double rate);
std::string logSweepCsv(const dsp::SweepResponse& response, double rate);
