#pragma once
// `specan measure --method=logsweep`: the frequency response of the device
// under test from swept sines (LogSweepMeasurement.h), with its phase,
// group delay and harmonics H2 … H5, as a summary line, one JSON object, a
// CSV on a log grid, the linear impulse response as a WAV file, the gain as
// a plot's image and as a reference trace file; pass or fail against a
// stored reference trace.
//
//   --length=N             samples of the sweep, 2^16 … 2^20 (default 2^18)
//   --sweeps=N             sweeps averaged, 1 … 64 (default 1)
//   --reference-channel=N  the input device's channel N carries the output
//                          looped back: the origin and the delay come from it
//   --ir=FILE.wav          the linear impulse response, 32-bit float WAV
//   --right-scale=SCALE    --png's right-hand curve: phase, unwrapped, delay
//
// Exit status as `specan measure`. Main thread only.

#include <optional>
#include <string>
#include <utility>

#include "app/cli/measure/LogSweepMeasurement.h"
#include "app/cli/measure/SweepCommand.h"

struct ReferenceFile;

namespace measure {

struct LogSweepOptions {
  bool on = false;  // --method=logsweep
  LogSweepPlan sweep;
  std::string ir;
  int rightScale = SharedData::SweptResponse::wrappedPhase;  // --right-scale, for --png
  bool lengthGiven = false, sweepsGiven = false, rightScaleGiven = false;

  // Takes argument when it is --method or one of the options above: "" when
  // taken, the cause of a refusal otherwise; none for another option.
  std::optional<std::string> take(const std::string& argument);
  // After every option: the option and the cause when one above was given
  // without --method=logsweep; none when they hold together.
  std::optional<std::pair<std::string, std::string>> check() const;
};

// Measures on the installed provider and reports to hooks' streams: csv
// ("" none, "-" standard output), json, the impulse response to options.ir,
// the response as a reference trace file to saveReference ("" none), the
// plot of the gain as a PNG image to png ("" none; needs a Qt application),
// the reference's worst deviation within tolerance. Output files have been
// found writable already.
int runLogSweepMeasurement(const LogSweepOptions& options, const Settings& settings, const std::string& csv,
                           const std::string& saveReference, const std::string& png, bool json,
                           const std::optional<ReferenceFile>& reference, const std::string& referencePath,
                           std::optional<double> tolerance, const MeasureHooks& hooks);

}  // namespace measure
