#pragma once
// `specan measure --imd=smpte|ccif`: the intermodulation of the device under
// test for a standard's two tones played together on the output
// (DistortionMeasurement::measureIntermodulation), reported with the texts
// of `specan analyze --imd` (IntermodulationReport.h): a summary line, one
// JSON object or a CSV of one row, and pass or fail against an IMD limit.
//
//   --imd=smpte|ccif   SMPTE/DIN: 60 Hz and 7 kHz, the low tone four times
//                      the high one's amplitude; CCIF: 19 and 20 kHz, equal
//   --tones=F1:F2      other tones in Hz, F1 below F2, in the standard's
//                      ratio
//   --limit-imd=DB     status 3 when the IMD is above it
//
// The generator's level is the composite's: the peak of the two sines
// together is that of one sine at the level (their amplitudes sum to it),
// as SMPTE RP120 sets its signal by the composite rather than by either
// tone; so 0 dBFS never clips, whatever the standard. SMPTE at -6 dBFS is
// then 60 Hz at -7.94 dBFS (4/5 of the level) and 7 kHz at -19.98 dBFS
// (1/5); CCIF each tone at -12.02 dBFS (1/2).
//
// Exit status as `specan measure`: 0 measured (within the limit), 3 above
// the limit, 1 when the measurement failed (a device, the tones did not
// come back, an output not written), 2 for a mistake in the options.
//
// Main thread only.

#include <optional>
#include <string>
#include <utility>

#include "app/cli/measure/SweepCommand.h"
#include "app/cli/measure/SweepMeasurement.h"
#include "dsp/Intermodulation.h"
#include "endpoints/TrackingGenerator.h"

namespace measure {

struct IntermodulationOptions {
  std::optional<dsp::IntermodulationStandard> standard;  // --imd; none: no reading
  double lowTone = 0, highTone = 0;                       // Hz; 0: the standard's
  std::optional<double> limitImd;                         // dB

  bool on() const { return standard.has_value(); }
  // Takes argument when it is one of the options above: "" when taken, the
  // cause of a refusal otherwise; none for another option.
  std::optional<std::string> take(const std::string& argument);
  // After every option: the option and the cause when they do not hold
  // together; none when they do.
  std::optional<std::pair<std::string, std::string>> check() const;
  // The two sines at the composite amplitude (a fraction of full scale)
  // in the standard's ratio.
  GeneratorTone tone(double amplitude) const;
  // The readout's settings: the standard and its tones.
  dsp::IntermodulationSettings readout() const;
};

// Measures the tones on the installed provider and reports them to hooks'
// streams: csv ("" none, "-" standard output) and json as the options say.
// The output file has been found writable already.
int runIntermodulationMeasurement(const IntermodulationOptions& options, const Settings& settings,
                                  double amplitude, const std::string& csv, bool json, const MeasureHooks& hooks);

}  // namespace measure
