#pragma once
// The units a level can be read in, and the arithmetic between them.
//
// A level arrives as a mean square in digital full-scale units (a full-scale
// sine, peak 1.0, has mean square 0.5), and the analyzer's own unit "dB" is
// 10·log10 of it: the full-scale sine reads −3.01 dB. From there:
// - dBFS is AES17's: the full-scale sine reads 0 dBFS, dBFS = dB + 10·log10 2.
// - Volts need the input's calibration, the RMS voltage of a full-scale sine
//   at the input (fullScaleVolts): V = fullScaleVolts·√(meanSquare / 0.5);
//   dBV is re 1 V and dBu re √0.6 V = 0.7746 V (1 mW into 600 Ω).
// - Pascals need a microphone's sensitivity too: Pa = V / voltsPerPascal;
//   dB SPL is re 20 µPa.
// A dB-like unit is the designed dB plus a constant, so a whole trace
// converts by one addition; a linear unit is a constant times √meanSquare.
//
// Also the command line's readings of a full-scale voltage and of a
// sensitivity, and the texts captions show.
//
// No state; any thread. Nothing here allocates except the functions that
// return a std::string and the readers' reasons.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace dsp {

enum class LevelUnit { dB, dBFS, dBV, dBu, volt, dBSPL, pascal };

struct InputCalibration {
  // The RMS voltage of a full-scale sine at the input.
  std::optional<double> fullScaleVolts;
  // The microphone's sensitivity; pascals also need fullScaleVolts.
  std::optional<double> voltsPerPascal;
  bool operator==(const InputCalibration&) const = default;
};

// The unit's keyword on the command line and in settings: "db", "dbfs",
// "dbv", "dbu", "v", "dbspl", "pa".
const char* levelUnitKeyword(LevelUnit unit) noexcept;
// The unit as texts show it: "dB", "dBFS", "dBV", "dBu", "V", "dB SPL", "Pa".
const char* levelUnitName(LevelUnit unit) noexcept;
// The unit of a keyword in any case, or none.
std::optional<LevelUnit> levelUnitFromKeyword(std::string_view keyword) noexcept;

// Whether a reading in the unit needs nothing more than the calibration
// gives: dB and dBFS always; dBV, dBu and V with a full-scale voltage; dB SPL
// and Pa with a full-scale voltage and a sensitivity. A value given must be
// finite and positive to count.
bool isUnitCalibrated(LevelUnit unit, const InputCalibration& calibration) noexcept;
// Why not, for the user; null when the unit can be used.
const char* uncalibratedReason(LevelUnit unit, const InputCalibration& calibration) noexcept;

// dB, dBFS, dBV, dBu and dB SPL: 10·log10 of a power plus a constant.
// V and Pa are linear.
bool isLogarithmic(LevelUnit unit) noexcept;
// For a logarithmic unit, what to add to the designed dB to read the unit
// (+3.01 for dBFS); none for a linear unit or without its calibration.
std::optional<double> unitOffsetDb(LevelUnit unit, const InputCalibration& calibration) noexcept;
// For a linear unit, the factor from √meanSquare to the unit; none for a
// logarithmic unit or without its calibration.
std::optional<double> unitFactor(LevelUnit unit, const InputCalibration& calibration) noexcept;

// The level of a mean square in the unit: a mean square at or below 0 (no
// power) reads −infinity in a logarithmic unit and 0 in a linear one. None
// without the unit's calibration.
std::optional<double> levelInUnit(double meanSquare, LevelUnit unit, const InputCalibration& calibration) noexcept;
// The mean square a level in the unit stands for (a reference level typed in
// volts, say); none without the unit's calibration, for a level that is not
// finite, or for a negative linear level.
std::optional<double> meanSquareOfLevel(double level, LevelUnit unit, const InputCalibration& calibration) noexcept;

// The unit of a noise density: "dBu/Hz" and the like for a logarithmic unit
// (10·log10 of a power per hertz), "V/√Hz" and "Pa/√Hz" for a linear one.
const char* densityUnitName(LevelUnit unit) noexcept;

// The command line's full-scale voltage, the RMS voltage of a full-scale
// sine: "+4dBu", "4 dBu", "-10dBV", "1.228V", "1228mV" or "50uV" (the unit in
// any case, "µV" too), in volts RMS. None with the reason in *error for
// anything else: no number, no unit, an unknown unit, a value that is not
// finite, or a voltage that is not positive.
std::optional<double> parseFullScaleVolts(std::string_view text, std::string* error);
// A microphone's sensitivity: "12.5mV/Pa", "0.0125V/Pa" or "-38dBV/Pa" (dB
// re 1 V/Pa), in V/Pa, refused as parseFullScaleVolts refuses.
std::optional<double> parseVoltsPerPascal(std::string_view text, std::string* error);

// A level in the unit with its unit: "+4.00 dBu", "-3.01 dB" (two decimals
// with the sign for dB, dBFS, dBV and dBu), "94.0 dB SPL", and four
// significant digits with a prefix down to nano for V and Pa: "1.228 V",
// "12.50 mV", "20.00 µPa"; "0 V" for 0, "no level" for a value that is not
// finite.
std::string formatLevel(double level, LevelUnit unit);

// How the views, the exports and the command line turn a level in the
// designed dB into the chosen unit: the unit with the calibration it needs,
// taken once, so that converting a level is one addition (dB-like units) or
// one multiplication of a root (V, Pa). The default reads the designed dB.
// A plain value; nothing here allocates.
class LevelScale {
 public:
  LevelScale() = default;
  // The scale of a unit with a calibration, or none when the calibration
  // lacks what the unit needs.
  static std::optional<LevelScale> make(LevelUnit unit, const InputCalibration& calibration) noexcept;

  // The designed dB moved by offsetDb: a gain read against a stimulus whose
  // level is known (a tracking sweep relative to the generator's level).
  static LevelScale relative(double offsetDb) noexcept {
    LevelScale scale;
    scale.offsetDb_ = offsetDb;
    return scale;
  }

  LevelUnit unit() const noexcept { return unit_; }
  // The designed dB as it is, without an offset.
  bool isDesigned() const noexcept { return unit_ == LevelUnit::dB && offsetDb_ == 0; }
  bool logarithmic() const noexcept { return isLogarithmic(unit_); }
  // Whether levels are written with their sign, as levels about a reference
  // voltage are: dBFS, dBV and dBu ("+4.00 dBu").
  bool signsLevels() const noexcept {
    return unit_ == LevelUnit::dBFS || unit_ == LevelUnit::dBV || unit_ == LevelUnit::dBu;
  }
  // A level in dB (10·log10 of a mean square) read in the unit; −infinity
  // (a logarithmic unit) or 0 (a linear one) for −infinity dB.
  double fromDb(double dB) const noexcept;
  // The dB of a level in the unit; −infinity for a linear level at or below
  // 0, and for a level that is not finite.
  double toDb(double level) const noexcept;
  // A noise density in dB/Hz read in densityUnitName(unit()): the unit's
  // dB/Hz, or the unit per √Hz.
  double densityFromDb(double dBPerHertz) const noexcept { return fromDb(dBPerHertz); }

  // The level `dB` as the captions show it, with its unit and, for a
  // weighted trace, the weighting's letter ("-3.01 dB", "+4.0 dBu(A)",
  // "94.0 dB SPL", "1.228 V"): a logarithmic unit with `decimals` decimals
  // (and a sign where asked), a linear one with four significant digits.
  // Written into out (at least 48 bytes); returns out.
  char* format(char* out, std::size_t size, double dB, int decimals, bool sign = false,
               const char* weighting = nullptr) const noexcept;
  // The unit's name with a weighting's letter: "dBu(A)", "V(A)"; the name
  // alone without one. Into out (at least 24 bytes); returns out.
  char* unitName(char* out, std::size_t size, const char* weighting = nullptr) const noexcept;

  bool operator==(const LevelScale&) const = default;

 private:
  LevelUnit unit_ = LevelUnit::dB;
  double offsetDb_ = 0;  // logarithmic units: added to the designed dB
  double factor_ = 1;    // linear units: times the root of the mean square
};

// A linear level with four significant digits and a prefix, as formatLevel
// writes it, into out (at least 48 bytes); returns out.
char* formatLinearLevel(char* out, std::size_t size, double level, const char* unitName) noexcept;

}  // namespace dsp
