// The level units: a full-scale sine and a calibrated microphone's tone read
// in each unit, the conversions back, the units refused without their
// calibration, the command line's calibration values and the caption texts.
#include "dsp/LevelUnits.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

using dsp::InputCalibration;
using dsp::LevelUnit;

constexpr LevelUnit kUnits[] = {LevelUnit::dB,   LevelUnit::dBFS,  LevelUnit::dBV,   LevelUnit::dBu,
                                LevelUnit::volt, LevelUnit::dBSPL, LevelUnit::pascal};

// dBu is re 0.7746 V RMS (1 mW into 600 Ω): "0 dBFS = +4 dBu" puts a
// full-scale sine at 0.7746·10^(4/20) = 1.2277 V RMS.
const double kPlus4dBu = std::sqrt(0.6) * std::pow(10.0, 4.0 / 20);

double in(double meanSquare, LevelUnit unit, const InputCalibration& calibration) {
  const std::optional<double> level = dsp::levelInUnit(meanSquare, unit, calibration);
  EXPECT_TRUE(level) << dsp::levelUnitName(unit);
  return level.value_or(NAN);
}

TEST(LevelUnits, ASineReadsInEveryUnit) {
  // A full-scale sine (peak 1.0) has mean square 0.5: −3.01 dB in the
  // analyzer's unit and, by AES17's definition of full scale, 0 dBFS.
  EXPECT_NEAR(in(0.5, LevelUnit::dB, {}), -3.0103, 1e-4);
  EXPECT_NEAR(in(0.5, LevelUnit::dBFS, {}), 0.0, 1e-12);
  const InputCalibration line{kPlus4dBu, std::nullopt};
  EXPECT_NEAR(kPlus4dBu, 1.2277, 1e-4);
  EXPECT_NEAR(in(0.5, LevelUnit::dBu, line), 4.0, 1e-9);
  EXPECT_NEAR(in(0.5, LevelUnit::dBV, line), 1.7815, 1e-4);  // dBV is re 1 V: dBu − 2.2185
  EXPECT_NEAR(in(0.5, LevelUnit::volt, line), 1.2277, 1e-4);
  // 20 dB lower in power is a tenth of the voltage.
  EXPECT_NEAR(in(0.005, LevelUnit::volt, line), 0.12277, 1e-5);

  // 12.5 mV/Pa behind a 1.0 V full scale: a tone of 0.0125 V RMS is 1 Pa,
  // which is 20·log10(1 / 20 µPa) = 93.98 dB SPL (SPL is re 20 µPa).
  const double meanSquare = 0.5 * 0.0125 * 0.0125;
  EXPECT_NEAR(in(meanSquare, LevelUnit::pascal, {1.0, 0.0125}), 1.0, 1e-12);
  EXPECT_NEAR(in(meanSquare, LevelUnit::dBSPL, {1.0, 0.0125}), 93.9794, 1e-4);
  // The same digital level behind twice the full-scale voltage is twice the
  // pressure, 6.02 dB more.
  EXPECT_NEAR(in(meanSquare, LevelUnit::dBSPL, {2.0, 0.0125}), 93.9794 + 6.0206, 1e-4);
}

TEST(LevelUnits, OffsetsAndFactorsAgreeWithTheLevelsAndConvertBack) {
  const InputCalibration mic{kPlus4dBu, 0.0125};
  for (LevelUnit unit : kUnits) {
    const std::optional<double> offset = dsp::unitOffsetDb(unit, mic);
    const std::optional<double> factor = dsp::unitFactor(unit, mic);
    // Exactly one of the two, as the unit is logarithmic or linear.
    EXPECT_EQ(offset.has_value(), dsp::isLogarithmic(unit)) << dsp::levelUnitName(unit);
    EXPECT_EQ(factor.has_value(), !dsp::isLogarithmic(unit)) << dsp::levelUnitName(unit);
    for (double meanSquare : {1e-12, 3e-5, 0.5, 2.0}) {
      const double level = in(meanSquare, unit, mic);
      if (offset) {
        EXPECT_NEAR(level, 10 * std::log10(meanSquare) + *offset, 1e-9) << dsp::levelUnitName(unit);
      } else {
        EXPECT_NEAR(level, std::sqrt(meanSquare) * *factor, 1e-12 * *factor) << dsp::levelUnitName(unit);
      }
      const std::optional<double> back = dsp::meanSquareOfLevel(level, unit, mic);
      ASSERT_TRUE(back) << dsp::levelUnitName(unit);
      EXPECT_NEAR(*back, meanSquare, meanSquare * 1e-12) << dsp::levelUnitName(unit);
    }
    // No power: −infinity in a logarithmic unit, nothing in a linear one.
    EXPECT_EQ(in(0.0, unit, mic), dsp::isLogarithmic(unit) ? -INFINITY : 0.0) << dsp::levelUnitName(unit);
    EXPECT_FALSE(dsp::meanSquareOfLevel(NAN, unit, mic));
  }
  EXPECT_NEAR(*dsp::unitOffsetDb(LevelUnit::dBFS, mic), 3.0103, 1e-4);
  EXPECT_NEAR(*dsp::meanSquareOfLevel(1.0, LevelUnit::pascal, mic), 0.5 * std::pow(0.0125 / kPlus4dBu, 2), 1e-15);
  EXPECT_FALSE(dsp::meanSquareOfLevel(-1.0, LevelUnit::volt, mic));
}

TEST(LevelUnits, UnitsNeedTheirCalibrationAndTheirKeywords) {
  const InputCalibration none, volts{1.0, std::nullopt}, sensitivity{std::nullopt, 0.0125}, both{1.0, 0.0125};
  // Which calibrations each unit reads with: none, volts, sensitivity, both.
  const bool reads[7][4] = {{1, 1, 1, 1}, {1, 1, 1, 1}, {0, 1, 0, 1}, {0, 1, 0, 1},
                            {0, 1, 0, 1}, {0, 0, 0, 1}, {0, 0, 0, 1}};
  for (int i = 0; i < 7; ++i) {
    const LevelUnit unit = kUnits[i];
    int j = 0;
    for (const InputCalibration* calibration : {&none, &volts, &sensitivity, &both}) {
      const bool calibrated = reads[i][j++];
      EXPECT_EQ(dsp::isUnitCalibrated(unit, *calibration), calibrated) << dsp::levelUnitName(unit) << j;
      EXPECT_EQ(dsp::uncalibratedReason(unit, *calibration) == nullptr, calibrated) << dsp::levelUnitName(unit) << j;
      EXPECT_EQ(dsp::levelInUnit(0.5, unit, *calibration).has_value(), calibrated) << dsp::levelUnitName(unit) << j;
      EXPECT_EQ(dsp::meanSquareOfLevel(1.0, unit, *calibration).has_value(), calibrated) << dsp::levelUnitName(unit);
    }
    EXPECT_EQ(dsp::levelUnitFromKeyword(dsp::levelUnitKeyword(unit)), unit);
  }
  EXPECT_STREQ(dsp::uncalibratedReason(LevelUnit::dBu, none), "uncalibrated: give the full-scale voltage");
  EXPECT_STREQ(dsp::uncalibratedReason(LevelUnit::dBSPL, volts), "uncalibrated: give the microphone's sensitivity");
  EXPECT_STREQ(dsp::uncalibratedReason(LevelUnit::pascal, sensitivity), "uncalibrated: give the full-scale voltage");
  // A value that is no calibration counts as none.
  for (double bad : {0.0, -1.0, double(INFINITY), double(NAN)}) {
    EXPECT_FALSE(dsp::isUnitCalibrated(LevelUnit::volt, InputCalibration{bad, std::nullopt})) << bad;
    EXPECT_FALSE(dsp::isUnitCalibrated(LevelUnit::pascal, InputCalibration{1.0, bad})) << bad;
  }

  EXPECT_EQ(dsp::levelUnitFromKeyword("DBSPL"), LevelUnit::dBSPL);
  EXPECT_EQ(dsp::levelUnitFromKeyword("V"), LevelUnit::volt);
  for (const char* bad : {"", "dbm", "db spl", "volt", "dbfs "}) EXPECT_FALSE(dsp::levelUnitFromKeyword(bad)) << bad;
  EXPECT_STREQ(dsp::levelUnitName(LevelUnit::dBSPL), "dB SPL");
  EXPECT_STREQ(dsp::densityUnitName(LevelUnit::dBu), "dBu/Hz");
  EXPECT_STREQ(dsp::densityUnitName(LevelUnit::volt), "V/\xe2\x88\x9aHz");
}

TEST(LevelUnits, CalibrationValuesFromTheCommandLine) {
  std::string error;
  const auto volts = [&](const char* text) { return dsp::parseFullScaleVolts(text, &error).value_or(0); };
  for (const char* plus4 : {"+4dBu", "4 dBu", "  4DBU "}) EXPECT_NEAR(volts(plus4), kPlus4dBu, 1e-12) << plus4;
  EXPECT_NEAR(volts("-10dBV"), 0.316228, 1e-6);
  EXPECT_NEAR(volts("1.228V"), 1.228, 1e-15);
  EXPECT_NEAR(volts("1228mV"), 1.228, 1e-12);
  EXPECT_NEAR(volts("50\xc2\xb5V"), 50e-6, 1e-18);
  const std::pair<const char*, const char*> refused[] = {
      {"dBu", "number"}, {"+-4 dBu", "number"}, {"4", "unit"},          {"4 dBm", "dBm"},
      {"0V", "above 0"}, {"-1.2 V", "above 0"},  {"1e999 V", "finite"}, {"7000 dBu", "range"}};
  for (const auto& [text, reason] : refused) {
    error.clear();
    EXPECT_FALSE(dsp::parseFullScaleVolts(text, &error)) << text;
    EXPECT_NE(error.find(reason), std::string::npos) << text << ": " << error;
  }

  const auto sensitivity = [&](const char* text) { return dsp::parseVoltsPerPascal(text, &error); };
  EXPECT_NEAR(sensitivity("12.5mV/Pa").value_or(0), 0.0125, 1e-15);
  EXPECT_NEAR(sensitivity("0.0125 V/Pa").value_or(0), 0.0125, 1e-15);
  // dB re 1 V/Pa: −38 dBV/Pa is 12.6 mV/Pa.
  EXPECT_NEAR(sensitivity("-38dBV/Pa").value_or(0), 0.012589, 1e-6);
  for (const char* bad : {"12.5", "12.5 mV", "-38 dB/Pa", "0 mV/Pa", "-12 mV/Pa", "nan V/Pa"})
    EXPECT_FALSE(sensitivity(bad)) << bad;
}

TEST(LevelUnits, CaptionTexts) {
  EXPECT_EQ(dsp::formatLevel(4.0, LevelUnit::dBu), "+4.00 dBu");
  EXPECT_EQ(dsp::formatLevel(-3.0103, LevelUnit::dB), "-3.01 dB");
  EXPECT_EQ(dsp::formatLevel(93.979, LevelUnit::dBSPL), "94.0 dB SPL");
  // Four significant digits, the prefix moving as rounding crosses a
  // thousand.
  const std::pair<double, const char*> linear[] = {{1.22774, "1.228 V"},   {0.0125, "12.50 mV"},
                                                   {0.99996, "1.000 V"},   {0.00099996, "1.000 mV"},
                                                   {3.5e-9, "3.500 nV"},   {1.5e-11, "0.01500 nV"},
                                                   {1234.6, "1235 V"},     {0.0, "0 V"}};
  for (const auto& [volts, text] : linear) EXPECT_EQ(dsp::formatLevel(volts, LevelUnit::volt), text);
  EXPECT_EQ(dsp::formatLevel(20e-6, LevelUnit::pascal), "20.00 \xc2\xb5Pa");
  EXPECT_EQ(dsp::formatLevel(-INFINITY, LevelUnit::dBu), "no level");
}

}  // namespace
