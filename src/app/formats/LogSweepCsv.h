#pragma once
// The CSV of a log sweep's response, as `specan measure --method=logsweep
// --csv` and the window's File ▸ Export Data in the log sweep mode write it:
//
//   frequency_hz,level_db,phase_deg,group_delay_ms,h2_db,h3_db,h4_db,h5_db
//
// one row per point of the response's log grid, the level the gain (0 dB
// for a wire), a harmonic relative to the fundamental and empty out of
// reach, then comment lines: the timing (logSweepOrigin, logSweepDelay),
// and the smoothing and the levels' calibration where there are any. In a
// calibrated unit the level column is named after it (level_dbv,
// level_dbspl, level_pa, …) and holds the input's level while the generator
// played its level.

#include <cstddef>
#include <string>

#include "dsp/LevelUnits.h"
#include "dsp/LogSweep.h"
#include "dsp/SensorResponse.h"
#include "dsp/SweepDeconvolution.h"

// How a response's levels read.
struct LogSweepLevels {
  // Designed (dB, no offset): the level is the gain. Otherwise the gain plus
  // generatorDb, the generator's level as the input's dB reads a tone
  // (10·log10(peak²/2)), read in the scale's unit.
  dsp::LevelScale scale;
  double generatorDb = 0;
  // A sensor's response (with its sensitivity factor) taken out of the
  // levels, and out of the harmonics at their own frequencies; null: none.
  const dsp::SensorResponse* sensor = nullptr;
  std::string description;  // the calibration as "# levels in:" says it
  int smoothing = 0;        // the response's 1/N octave, for its comment; 0 none

  // The levels of a response to sweep, in scale's unit, less sensor (null:
  // none), the calibration said as description, smoothed over 1/smoothing
  // octave: what the window and the command line each read.
  static LogSweepLevels of(const dsp::LevelScale& scale, const dsp::SensorResponse* sensor, std::string description,
                           const dsp::LogSweep& sweep, int smoothing);

  bool calibrated() const { return !scale.isDesigned() || sensor; }
  // The gain at point i in dB, less the sensor's response there.
  double gainDb(const dsp::SweepResponse& response, std::size_t i) const;
  // The level column's value at point i (in dB in a logarithmic unit, else
  // in the unit), and harmonic n's in dB relative to the fundamental.
  double levelAt(const dsp::SweepResponse& response, std::size_t i) const;
  double harmonicAt(const dsp::SweepResponse& response, int order, std::size_t i) const;
  // The level at point i as the summary writes it ("-3.01 dB", "-12.30 dBV").
  std::string summaryAt(const dsp::SweepResponse& response, std::size_t i) const;
};

// Where the phase counts from and the delay: "phase relative to the impulse
// response's peak; delay 1327.49 samples (27.656 ms) from the recording's
// start", or absolute from a reference channel. rate: the sweep's, in Hz.
std::string logSweepOrigin(const dsp::SweepResponse& response);
std::string logSweepDelay(const dsp::SweepResponse& response, double rate);
std::string logSweepCsv(const dsp::SweepResponse& response, double rate, const LogSweepLevels& levels = {});
