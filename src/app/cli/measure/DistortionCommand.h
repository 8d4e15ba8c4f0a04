#pragma once
// `specan measure --distortion`: the distortion of the device under test at
// one tone or a stepped series of them (DistortionMeasurement.h), as a
// summary line per tone, one JSON object or a CSV of one row per tone, and
// pass or fail against a THD+N limit.
//
//   --frequency=HZ                one tone (default 1000 Hz)
//   --sweep-frequency=LOW:HIGH    tones from LOW to HIGH Hz, evenly spaced
//                                 over the logarithm of the frequency, at
//                                 least --points-per-octave (default 3) to
//                                 the octave, LOW and HIGH among them
//   --sweep-level=FROM:TO:STEP    tones at FROM, FROM + STEP, … dBFS up to TO
//                                 (TO itself when the steps meet it)
//   --band=LOW:HIGH               the measurement band (default 20:20000)
//   --limit-thd-n=DB              status 3 when a tone's THD+N is above it
//
// Exit status as `specan measure`: 0 measured (within the limit), 3 above
// the limit, 1 when the measurement failed (a device, no fundamental came
// back, an output not written), 2 for a mistake in the options.
//
// Main thread only.

#include <optional>
#include <string>
#include <vector>

#include "app/cli/measure/SweepCommand.h"
#include "app/cli/measure/SweepMeasurement.h"
#include "endpoints/TrackingGenerator.h"

namespace measure {

struct DistortionOptions {
  bool on = false;  // --distortion
  std::optional<double> frequency;
  double lowerHz = 20, upperHz = 20000;
  std::optional<double> limitThdN;  // dB
  std::optional<double> sweepLow, sweepHigh;
  std::optional<double> pointsPerOctave;
  std::optional<double> levelFrom, levelTo, levelStep;  // dBFS, dB

  // Takes argument when it is one of the options above or --distortion: ""
  // when taken, the cause of a refusal otherwise; none for another option.
  std::optional<std::string> take(const std::string& argument);
  // After every option: the option and the cause when they do not hold
  // together; none when they do. pointsPerOctave is --points-per-octave's
  // value, which with --distortion belongs to --sweep-frequency.
  std::optional<std::pair<std::string, std::string>> check(std::optional<double> pointsPerOctave);
  // The tones in the order they are measured, at amplitude (a fraction of
  // full scale) unless the levels are swept.
  std::vector<GeneratorTone> tones(double amplitude) const;
};

// Measures the tones on the installed provider and reports them to hooks'
// streams: csv ("" none, "-" standard output) and json as the options say.
// The output file has been found writable already.
int runDistortionMeasurement(const DistortionOptions& options, const Settings& settings, double amplitude,
                             const std::string& csv, bool json, const MeasureHooks& hooks);

}  // namespace measure
