#include "dsp/LevelUnits.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace dsp {

namespace {

constexpr double kFullScaleSineMeanSquare = 0.5;
constexpr double kDbuVolts = 0.7745966692414834;  // √0.6: 1 mW into 600 Ω
constexpr double kSplPascals = 20e-6;

bool positive(const std::optional<double>& value) noexcept {
  return value && std::isfinite(*value) && *value > 0;
}

bool needsPascals(LevelUnit unit) noexcept { return unit == LevelUnit::dBSPL || unit == LevelUnit::pascal; }

bool needsVolts(LevelUnit unit) noexcept {
  return unit == LevelUnit::dBV || unit == LevelUnit::dBu || unit == LevelUnit::volt || needsPascals(unit);
}

// The unit's value of √meanSquare: for the logarithmic units the linear
// quantity they take 20·log10 of, against its reference.
double linearScale(LevelUnit unit, const InputCalibration& calibration) noexcept {
  const double volts = needsVolts(unit) ? *calibration.fullScaleVolts / std::sqrt(kFullScaleSineMeanSquare) : 1.0;
  switch (unit) {
    case LevelUnit::dB:
      return 1.0;
    case LevelUnit::dBFS:
      return 1.0 / std::sqrt(kFullScaleSineMeanSquare);
    case LevelUnit::dBV:
    case LevelUnit::volt:
      return volts;
    case LevelUnit::dBu:
      return volts / kDbuVolts;
    case LevelUnit::pascal:
      return volts / *calibration.voltsPerPascal;
    case LevelUnit::dBSPL:
      return volts / *calibration.voltsPerPascal / kSplPascals;
  }
  return 1.0;
}

char lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

std::string_view trimmed(std::string_view text) noexcept {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::nullopt_t refuse(std::string* error, std::string why) {
  if (error) *error = std::move(why);
  return std::nullopt;
}

// A voltage's units, or a sensitivity's with "/Pa" after each.
struct VoltUnit {
  const char* name;
  bool decibels;
  double scale;  // volts per unit, or the reference's for decibels
};
constexpr VoltUnit kFullScaleUnits[] = {
    {"dBu", true, kDbuVolts}, {"dBV", true, 1.0}, {"V", false, 1.0}, {"mV", false, 1e-3}, {"uV", false, 1e-6},
    {"\xc2\xb5V", false, 1e-6}};
constexpr VoltUnit kSensitivityUnits[] = {
    {"dBV/Pa", true, 1.0}, {"V/Pa", false, 1.0}, {"mV/Pa", false, 1e-3}, {"uV/Pa", false, 1e-6},
    {"\xc2\xb5V/Pa", false, 1e-6}};

// A number, then spaces or none, then one of the units; the value in volts
// (or V/Pa).
template <std::size_t N>
std::optional<double> parseVolts(std::string_view text, const VoltUnit (&units)[N], const char* what,
                                 const char* unitList, std::string* error) {
  text = trimmed(text);
  // from_chars takes a minus sign, not a plus.
  std::string_view digits = text;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  double number = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (end == digits.data() || (digits.size() < text.size() && digits.front() == '-'))
    return refuse(error, std::string(what) + " \"" + std::string(text) + "\" does not start with a number");
  if (ec != std::errc() || !std::isfinite(number))
    return refuse(error, std::string(what) + " \"" + std::string(text) + "\" is not a finite number");
  const std::string_view unit = trimmed(std::string_view(end, static_cast<std::size_t>(digits.data() + digits.size() - end)));
  if (unit.empty()) return refuse(error, std::string(what) + " needs a unit: " + unitList);
  for (const VoltUnit& candidate : units) {
    if (!equalsIgnoringCase(unit, candidate.name)) continue;
    const double volts = candidate.decibels ? candidate.scale * std::pow(10.0, number / 20) : candidate.scale * number;
    if (!std::isfinite(volts)) return refuse(error, std::string(what) + " \"" + std::string(text) + "\" is out of range");
    if (!(volts > 0)) return refuse(error, std::string(what) + " must be above 0");
    return volts;
  }
  return refuse(error, std::string(what) + ": unknown unit \"" + std::string(unit) + "\" (use " + unitList + ")");
}

}  // namespace

const char* levelUnitKeyword(LevelUnit unit) noexcept {
  switch (unit) {
    case LevelUnit::dB:
      return "db";
    case LevelUnit::dBFS:
      return "dbfs";
    case LevelUnit::dBV:
      return "dbv";
    case LevelUnit::dBu:
      return "dbu";
    case LevelUnit::volt:
      return "v";
    case LevelUnit::dBSPL:
      return "dbspl";
    case LevelUnit::pascal:
      return "pa";
  }
  return "db";
}

const char* levelUnitName(LevelUnit unit) noexcept {
  switch (unit) {
    case LevelUnit::dB:
      return "dB";
    case LevelUnit::dBFS:
      return "dBFS";
    case LevelUnit::dBV:
      return "dBV";
    case LevelUnit::dBu:
      return "dBu";
    case LevelUnit::volt:
      return "V";
    case LevelUnit::dBSPL:
      return "dB SPL";
    case LevelUnit::pascal:
      return "Pa";
  }
  return "dB";
}

std::optional<LevelUnit> levelUnitFromKeyword(std::string_view keyword) noexcept {
  for (LevelUnit unit : {LevelUnit::dB, LevelUnit::dBFS, LevelUnit::dBV, LevelUnit::dBu, LevelUnit::volt,
                         LevelUnit::dBSPL, LevelUnit::pascal})
    if (equalsIgnoringCase(keyword, levelUnitKeyword(unit))) return unit;
  return std::nullopt;
}

bool isUnitCalibrated(LevelUnit unit, const InputCalibration& calibration) noexcept {
  return uncalibratedReason(unit, calibration) == nullptr;
}

const char* uncalibratedReason(LevelUnit unit, const InputCalibration& calibration) noexcept {
  const bool volts = positive(calibration.fullScaleVolts), pascals = positive(calibration.voltsPerPascal);
  if (needsPascals(unit) && !volts && !pascals)
    return "uncalibrated: give the full-scale voltage and the microphone's sensitivity";
  if (needsVolts(unit) && !volts) return "uncalibrated: give the full-scale voltage";
  if (needsPascals(unit) && !pascals) return "uncalibrated: give the microphone's sensitivity";
  return nullptr;
}

bool isLogarithmic(LevelUnit unit) noexcept { return unit != LevelUnit::volt && unit != LevelUnit::pascal; }

std::optional<double> unitOffsetDb(LevelUnit unit, const InputCalibration& calibration) noexcept {
  if (!isLogarithmic(unit) || !isUnitCalibrated(unit, calibration)) return std::nullopt;
  return 20 * std::log10(linearScale(unit, calibration));
}

std::optional<double> unitFactor(LevelUnit unit, const InputCalibration& calibration) noexcept {
  if (isLogarithmic(unit) || !isUnitCalibrated(unit, calibration)) return std::nullopt;
  return linearScale(unit, calibration);
}

std::optional<double> levelInUnit(double meanSquare, LevelUnit unit, const InputCalibration& calibration) noexcept {
  if (!isUnitCalibrated(unit, calibration)) return std::nullopt;
  if (isLogarithmic(unit)) {
    if (!(meanSquare > 0)) return -std::numeric_limits<double>::infinity();
    return 10 * std::log10(meanSquare) + 20 * std::log10(linearScale(unit, calibration));
  }
  if (!(meanSquare > 0)) return 0.0;
  return std::sqrt(meanSquare) * linearScale(unit, calibration);
}

std::optional<double> meanSquareOfLevel(double level, LevelUnit unit, const InputCalibration& calibration) noexcept {
  if (!isUnitCalibrated(unit, calibration) || !std::isfinite(level)) return std::nullopt;
  if (isLogarithmic(unit)) return std::pow(10.0, (level - 20 * std::log10(linearScale(unit, calibration))) / 10);
  if (level < 0) return std::nullopt;
  const double root = level / linearScale(unit, calibration);
  return root * root;
}

const char* densityUnitName(LevelUnit unit) noexcept {
  switch (unit) {
    case LevelUnit::dB:
      return "dB/Hz";
    case LevelUnit::dBFS:
      return "dBFS/Hz";
    case LevelUnit::dBV:
      return "dBV/Hz";
    case LevelUnit::dBu:
      return "dBu/Hz";
    case LevelUnit::volt:
      return "V/\xe2\x88\x9aHz";
    case LevelUnit::dBSPL:
      return "dB SPL/Hz";
    case LevelUnit::pascal:
      return "Pa/\xe2\x88\x9aHz";
  }
  return "dB/Hz";
}

std::optional<double> parseFullScaleVolts(std::string_view text, std::string* error) {
  return parseVolts(text, kFullScaleUnits, "the full-scale voltage", "dBu, dBV, V or mV", error);
}

std::optional<double> parseVoltsPerPascal(std::string_view text, std::string* error) {
  return parseVolts(text, kSensitivityUnits, "the sensitivity", "mV/Pa, V/Pa or dBV/Pa", error);
}

std::string formatLevel(double level, LevelUnit unit) {
  char text[48];
  if (!std::isfinite(level)) return "no level";
  if (unit == LevelUnit::dBSPL) {
    std::snprintf(text, sizeof text, "%.1f %s", level, levelUnitName(unit));
    return text;
  }
  if (isLogarithmic(unit)) {
    std::snprintf(text, sizeof text, "%+.2f %s", level, levelUnitName(unit));
    return text;
  }
  return formatLinearLevel(text, sizeof text, level, levelUnitName(unit));
}

char* formatLinearLevel(char* out, std::size_t size, double level, const char* unitName) noexcept {
  if (!std::isfinite(level)) {
    std::snprintf(out, size, "no level");
    return out;
  }
  if (level == 0) {
    std::snprintf(out, size, "0 %s", unitName);
    return out;
  }
  // Four significant digits: the power of ten of the first one after
  // rounding, then the prefix that puts one to three digits before the point.
  int exponent = static_cast<int>(std::floor(std::log10(std::fabs(level))));
  if (std::fabs(std::round(level / std::pow(10.0, exponent - 3))) >= 10000) ++exponent;
  static const char* const kPrefixes[] = {"n", "\xc2\xb5", "m", ""};
  int group = exponent >= 0 ? 0 : (exponent - 2) / 3;  // floor(exponent / 3), at most 0
  if (group < -3) group = -3;
  const int decimals = std::max(0, 3 - (exponent - 3 * group));
  std::snprintf(out, size, "%.*f %s%s", decimals, level / std::pow(10.0, 3 * group), kPrefixes[group + 3], unitName);
  return out;
}

std::optional<LevelScale> LevelScale::make(LevelUnit unit, const InputCalibration& calibration) noexcept {
  if (!isUnitCalibrated(unit, calibration)) return std::nullopt;
  LevelScale scale;
  scale.unit_ = unit;
  if (isLogarithmic(unit)) {
    scale.offsetDb_ = *unitOffsetDb(unit, calibration);
  } else {
    scale.factor_ = *unitFactor(unit, calibration);
  }
  return scale;
}

double LevelScale::fromDb(double dB) const noexcept {
  if (logarithmic()) return dB + offsetDb_;
  if (!(dB > -std::numeric_limits<double>::infinity())) return 0;
  return factor_ * std::pow(10.0, dB / 20);
}

double LevelScale::toDb(double level) const noexcept {
  if (!std::isfinite(level)) return -std::numeric_limits<double>::infinity();
  if (logarithmic()) return level - offsetDb_;
  if (!(level > 0)) return -std::numeric_limits<double>::infinity();
  return 20 * std::log10(level / factor_);
}

char* LevelScale::unitName(char* out, std::size_t size, const char* weighting) const noexcept {
  if (weighting && *weighting && unit_ == LevelUnit::dBSPL) {
    std::snprintf(out, size, "dB(%s) SPL", weighting);  // as sound level meters write it
  } else if (weighting && *weighting) {
    std::snprintf(out, size, "%s(%s)", levelUnitName(unit_), weighting);
  } else {
    std::snprintf(out, size, "%s", levelUnitName(unit_));
  }
  return out;
}

char* LevelScale::format(char* out, std::size_t size, double dB, int decimals, bool sign,
                         const char* weighting) const noexcept {
  char name[24];
  unitName(name, sizeof name, weighting);
  const double level = fromDb(dB);
  if (logarithmic()) {
    if (!std::isfinite(level)) {
      std::snprintf(out, size, "no level");
    } else {
      std::snprintf(out, size, sign ? "%+.*f %s" : "%.*f %s", decimals, level, name);
    }
    return out;
  }
  return formatLinearLevel(out, size, level, name);
}

}  // namespace dsp
