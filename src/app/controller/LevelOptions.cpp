#include "app/controller/LevelOptions.h"

#include <cmath>
#include <cstdio>
#include <filesystem>

#include "app/controller/OptionValues.h"
#include "app/formats/CalibrationFile.h"
#include "plot/SharedData.h"

namespace option_values {

const char kLevelOptionsUsage[] =
    "  --units=UNIT     the unit levels read in: db (default, a mean square of 1\n"
    "                   is 0 dB: a full-scale sine reads -3.01 dB), dbfs (AES17:\n"
    "                   a full-scale sine reads 0 dBFS), dbv, dbu, v (RMS),\n"
    "                   dbspl or pa; dbv, dbu and v need --full-scale, dbspl\n"
    "                   and pa --sensitivity too\n"
    "  --full-scale=LEVEL  the RMS level of a full-scale sine at the input:\n"
    "                   +4dBu, -10dBV, 1.228V or 1228mV\n"
    "  --sensitivity=S  the microphone's sensitivity: 12.5mV/Pa or -38dBV/Pa\n"
    "  --calibration=FILE  a microphone's calibration file, one 'frequency\n"
    "                   response_dB [phase]' a line (comments and headers\n"
    "                   passed over, a 'Sens Factor' in dB taken out too): its\n"
    "                   response is taken out of every level\n";

std::optional<std::string> LevelOptions::take(const std::string& argument) {
  std::string error;
  if (auto value = valueOf(argument, "--units")) {
    const std::optional<dsp::LevelUnit> chosen = dsp::levelUnitFromKeyword(*value);
    if (!chosen) return std::string("the unit is db, dbfs, dbv, dbu, v, dbspl or pa");
    unit = *chosen;
  } else if (auto value = valueOf(argument, "--full-scale")) {
    const std::optional<double> volts = dsp::parseFullScaleVolts(*value, &error);
    if (!volts) return error;
    calibration.fullScaleVolts = volts;
  } else if (auto value = valueOf(argument, "--sensitivity")) {
    const std::optional<double> voltsPerPascal = dsp::parseVoltsPerPascal(*value, &error);
    if (!voltsPerPascal) return error;
    calibration.voltsPerPascal = voltsPerPascal;
  } else if (auto value = valueOf(argument, "--calibration")) {
    if (value->empty()) return std::string("--calibration needs a file name");
    calibrationFile = *value;
  } else {
    return std::nullopt;
  }
  return std::string();
}

std::optional<std::string> LevelOptions::check() const {
  const char* reason = dsp::uncalibratedReason(unit, calibration);
  if (!reason) return std::nullopt;
  const bool volts = calibration.fullScaleVolts.has_value();
  const bool pascals = calibration.voltsPerPascal.has_value();
  std::string cause = reason;
  if (!volts && !pascals && (unit == dsp::LevelUnit::dBSPL || unit == dsp::LevelUnit::pascal))
    return cause + " (--full-scale=+4dBu --sensitivity=12.5mV/Pa)";
  if (!volts) return cause + " (--full-scale=+4dBu)";
  return cause + " (--sensitivity=12.5mV/Pa)";
}

std::string calibrationText(const dsp::InputCalibration& calibration) {
  std::string text;
  char number[64];
  if (calibration.fullScaleVolts && *calibration.fullScaleVolts > 0) {
    std::snprintf(number, sizeof number, "0 dBFS = %+.2f dBu", 20 * std::log10(*calibration.fullScaleVolts / std::sqrt(0.6)));
    text = number;
  }
  if (calibration.voltsPerPascal && *calibration.voltsPerPascal > 0) {
    dsp::formatLinearLevel(number, sizeof number, *calibration.voltsPerPascal, "V/Pa");
    text += (text.empty() ? "" : ", ") + std::string(number);
  }
  return text;
}

std::optional<Levels> levelsOf(const LevelOptions& options, std::string* error) {
  const std::optional<dsp::LevelScale> scale = dsp::LevelScale::make(options.unit, options.calibration);
  if (!scale) {
    *error = options.check().value_or("uncalibrated");
    return std::nullopt;
  }
  Levels levels;
  levels.scale = *scale;
  levels.description = calibrationText(options.calibration);
  if (!options.calibrationFile.empty()) {
    std::string cause;
    std::optional<dsp::SensorResponse> response = readCalibrationFile(options.calibrationFile, &cause);
    if (!response) {
      *error = options.calibrationFile + ": not a calibration file: " + cause;
      return std::nullopt;
    }
    levels.response = std::make_shared<const dsp::SensorResponse>(std::move(*response));
    levels.description += (levels.description.empty() ? "" : ", ") + std::string("response of ") +
                          std::filesystem::path(options.calibrationFile).filename().string();
  }
  return levels;
}

std::string summaryLevel(const dsp::LevelScale& scale, double dB, const char* weighting) {
  char text[64];
  if (scale.isDesigned()) {
    std::snprintf(text, sizeof text, "%.2f dB", dB);
    return text;
  }
  return scale.format(text, sizeof text, dB, scale.unit() == dsp::LevelUnit::dBSPL ? 1 : 2, scale.signsLevels(),
                      weighting);
}

void applyLevels(const Levels& levels, SharedData& shared) {
  shared.levelScale = levels.scale;
  shared.sensorResponse = levels.response;
  shared.levelsCalibration = levels.description;
}

}  // namespace option_values
