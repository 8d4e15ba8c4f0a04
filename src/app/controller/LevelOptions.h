#pragma once
// The command line's level options, shared by `specan analyze` and `specan
// measure`: the unit levels read in (--units), the input's calibration
// (--full-scale, --sensitivity) and a sensor's calibration file
// (--calibration), checked as they are given, and what they make of the
// controller's shared plot state: the level scale, the sensor's response
// taken out of the traces, and the text that says what calibrated them.

#include <memory>
#include <optional>
#include <string>

#include "dsp/LevelUnits.h"
#include "dsp/SensorResponse.h"

struct SharedData;

namespace option_values {

struct LevelOptions {
  dsp::LevelUnit unit = dsp::LevelUnit::dB;
  dsp::InputCalibration calibration;
  std::string calibrationFile;  // "" none

  // Takes argument when it is one of the four options: "" when taken, the
  // cause of a refusal otherwise; none when it is another option.
  std::optional<std::string> take(const std::string& argument);
  // After every option: the cause when the unit needs a calibration the
  // options do not give ("uncalibrated: give the full-scale voltage
  // (--full-scale=+4dBu)"); none when the options hold together.
  std::optional<std::string> check() const;
};

// What the options make: the scale, the response (null without a file) and
// the calibration as the exports say it.
struct Levels {
  dsp::LevelScale scale;
  std::shared_ptr<const dsp::SensorResponse> response;
  std::string description;
};

// Reads the calibration file when one is given; none with the cause in
// *error ("mic.txt: line 7: …") when it cannot be used.
std::optional<Levels> levelsOf(const LevelOptions& options, std::string* error);
// Puts the levels into the shared plot state the views and exports read.
void applyLevels(const Levels& levels, SharedData& shared);

// "0 dBFS = +4.00 dBu", "0 dBFS = +4.00 dBu, 12.50 mV/Pa": a calibration as
// texts say it; "" without a full-scale voltage or a sensitivity.
std::string calibrationText(const dsp::InputCalibration& calibration);

// A level in dB as the commands' summary lines write it: "-3.01 dB" in the
// designed dB (as they always did), "+4.00 dBu", "94.0 dB SPL", "1.228 V".
std::string summaryLevel(const dsp::LevelScale& scale, double dB, const char* weighting = nullptr);

// The help text of the four options, for both commands' usage.
extern const char kLevelOptionsUsage[];

}  // namespace option_values
