// Microphone calibration files and the response they make: the layouts
// such files come in, the lines refused with their number, the reading of a
// file from disk, the response between and beyond its points, and the
// per-bin gains that take it out of a trace.
#include "app/formats/CalibrationFile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "dsp/FrequencyWeighting.h"
#include "support/TempFolder.h"

namespace {

dsp::SensorResponse parsed(const std::string& text) {
  std::string error;
  std::optional<dsp::SensorResponse> response = parseCalibrationFile(text, &error);
  EXPECT_TRUE(response) << error;
  return response.value_or(dsp::SensorResponse());
}

std::string refusal(const std::string& text) {
  std::string error;
  EXPECT_FALSE(parseCalibrationFile(text, &error)) << text;
  return error;
}

TEST(CalibrationFile, ReadsTheCommonLayoutsAndTheSensitivityFactor) {
  // A byte order mark, a quoted header with the factor, tabs, Windows line
  // ends; then commas, comments of every kind, a column header, blank and
  // indented lines, points with phase and without, no end after the last.
  const dsp::SensorResponse quoted = parsed(
      "\xef\xbb\xbf\"Sens Factor =-1.378dB, SERNO: 7001234\"\r\n20.0\t-0.85 12.5\r\n1000 0 0\r\n");
  EXPECT_EQ(quoted.sensitivityDb(), -1.378);
  EXPECT_EQ(quoted.points(), (std::vector<dsp::ResponsePoint>{{20.0, -0.85, 12.5}, {1000, 0, 0.0}}));
  // Old Macintosh line ends, a lone CR, count their lines as the others do.
  EXPECT_EQ(parsed("* mic\r20 -1\r1000 0\r").points(), (std::vector<dsp::ResponsePoint>{{20, -1, {}}, {1000, 0, {}}}));
  std::string error;
  EXPECT_FALSE(parseCalibrationFile("* mic\r\n20 -1\r1000 0\r500 1\r", &error));
  EXPECT_EQ(error.rfind("line 4: ", 0), 0u) << error;
  // A response no sensor has would take a gain beyond single precision.
  EXPECT_FALSE(parseCalibrationFile("20 0\n1000 -400\n", &error));
  EXPECT_EQ(error.rfind("line 2: a response of -400 dB", 0), 0u) << error;
  EXPECT_FALSE(parseCalibrationFile("Sens Factor = 250 dB\n20 0\n", &error));
  const dsp::SensorResponse commas =
      parsed("* measured\n# c\n; c\nFreq(Hz),dB,Phase\n\n  10, -3.5\n100,-.5, 1.5\n\t1e3 , +2");
  EXPECT_FALSE(commas.sensitivityDb());
  EXPECT_EQ(commas.points(), (std::vector<dsp::ResponsePoint>{{10, -3.5, {}}, {100, -0.5, 1.5}, {1000, 2, {}}}));

  const std::pair<const char*, double> headers[] = {{"Sens Factor = -1.378 dB", -1.378},
                                                    {"* SENSITIVITY: +0.5 DB", 0.5},
                                                    {"\"Sens Factor =-.7dB, AGain =18dB\"", -0.7}};
  for (const auto& [header, db] : headers)
    EXPECT_EQ(parsed(std::string(header) + "\n100 0\n").sensitivityDb(), db) << header;
  // Other quantities near the word are not a factor in dB; the first factor
  // given counts.
  for (const char* header : {"Sensitivity: -38 dBV/Pa", "Sensitivity: 12.5 mV/Pa", "Sensor: B&K", "Sens Factor"})
    EXPECT_FALSE(parsed(std::string(header) + "\n100 0\n").sensitivityDb()) << header;
  EXPECT_EQ(parsed("Sens Factor = 1dB\n100 0\nSens Factor = 2dB\n").sensitivityDb(), 1.0);
}

TEST(CalibrationFile, RefusesBadLinesWithTheirNumber) {
  EXPECT_EQ(refusal("* header\n100 0\n315 1\n250 2\n"), "line 4: the frequencies must rise (250 Hz after 315 Hz)");
  EXPECT_EQ(refusal("100 0\n100 1\n"), "line 2: the frequencies must rise (100 Hz after 100 Hz)");
  const std::pair<const char*, const char*> refused[] = {
      {"100 0\r\n1000\r\n", "line 2: a frequency without a response"},
      {"100 0 dB\n", "line 1: \"dB\" is not a number"},
      {"100 0.5x\n", "line 1: \"0.5x\" is not a number"},
      {"100 0 1 2\n", "line 1: more than a frequency, a response and a phase"},
      {"100 nan\n", "line 1: \"nan\" is not a finite number"},
      {"1e999 0\n", "line 1: \"1e999\" is not a finite number"},
      {"# a\n0 0\n", "line 2: the frequency must be above 0 Hz"},
      {"100 +-1\n", "line 1: \"+-1\" is not a number"},
  };
  for (const auto& [text, reason] : refused) EXPECT_EQ(refusal(text), reason) << text;
  for (const char* empty : {"", "\xef\xbb\xbf", "\n\n", "* only\n# comments\nFreq dB\n"})
    EXPECT_EQ(refusal(empty), "it holds no lines of frequency and response") << empty;
}

TEST(CalibrationFile, ReadsAFileAndRefusesWhatIsNoCalibration) {
  testsupport::TempFolder folder;
  std::string error;
  const std::optional<dsp::SensorResponse> read =
      readCalibrationFile(folder.write("mic.txt", "\"Sens Factor =-1dB\"\r\n20 -1\r\n20000 1\r\n"), &error);
  ASSERT_TRUE(read) << error;
  EXPECT_EQ(read->sensitivityDb(), -1.0);

  EXPECT_FALSE(readCalibrationFile(folder.file("missing.txt"), &error));
  EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
  EXPECT_FALSE(readCalibrationFile(folder.file(""), &error));
  EXPECT_NE(error.find("not a file"), std::string::npos) << error;
  // Comments alone, but more of them than any calibration holds.
  const std::string large(static_cast<std::size_t>(kLargestCalibrationFile) + 1, '#');
  EXPECT_FALSE(readCalibrationFile(folder.write("large.txt", "20 -1\n" + large), &error));
  EXPECT_NE(error.find("too large"), std::string::npos) << error;
}

TEST(SensorResponse, InterpolatesInLogFrequencyAndHoldsItsEnds) {
  const dsp::SensorResponse response = parsed("1000 0\n10000 3\n20000 -1\n");
  // Halfway between 1 and 10 kHz on a log axis is √10 kHz: half of +3 dB.
  EXPECT_NEAR(response.responseDb(std::sqrt(10.0) * 1000), 1.5, 1e-12);
  EXPECT_NEAR(response.responseDb(2000), 3 * std::log10(2.0), 1e-12);
  EXPECT_NEAR(response.responseDb(std::sqrt(2.0) * 10000), 1.0, 1e-12);
  for (double below : {999.0, 20.0, 0.0, -5.0}) EXPECT_EQ(response.responseDb(below), 0.0) << below;
  for (double above : {20000.0, 24000.0, 1e9}) EXPECT_EQ(response.responseDb(above), -1.0) << above;
  // One point is flat; none is 0 dB.
  EXPECT_EQ(parsed("500 -2\n").responseDb(5000), -2.0);
  EXPECT_EQ(dsp::SensorResponse().responseDb(1000), 0.0);

  // Made in code, the points are checked as the file's are.
  std::string error;
  EXPECT_FALSE(dsp::SensorResponse::make({{100, 0, {}}, {50, 1, {}}}, std::nullopt, &error));
  EXPECT_NE(error.find("must rise"), std::string::npos) << error;
  EXPECT_FALSE(dsp::SensorResponse::make({{100, NAN, {}}}, std::nullopt, &error));
  EXPECT_FALSE(dsp::SensorResponse::make({{100, 0, {}}}, INFINITY, &error));
}

TEST(SensorResponse, GainsTakeAShelfOutOfWhiteNoise) {
  // +3 dB above 5 kHz: the microphone reads white noise 3 dB high there, and
  // the gains bring it back to flat.
  const dsp::SensorResponse shelf = parsed("20 0\n5000 0\n5001 3\n24000 3\n");
  const int bins = 8193;
  const double binsPerHertz = (bins - 1) / 24000.0;
  std::vector<float> gains(bins, -1.0f);
  shelf.fillGains(binsPerHertz, bins, gains.data());
  const double noise = 1e-6;  // flat power per bin
  for (int k = 0; k < bins; ++k) {
    const double f = k / binsPerHertz;
    const double level = 10 * std::log10(noise * gains[k]);
    if (f <= 5000) {
      EXPECT_NEAR(level, -60.0, 1e-5) << f;
    } else if (f >= 5001) {
      EXPECT_NEAR(level, -63.0, 1e-5) << f;
    }
    // Every bin, including those inside the segments, is the response's.
    EXPECT_NEAR(gains[k], std::pow(10.0, -shelf.responseDb(f) / 10), 1e-6) << f;
  }

  // Multiplied into a weighting's gains, the two add in dB.
  std::vector<float> weighted(bins);
  dsp::fillWeightingGains(dsp::Weighting::A, binsPerHertz, bins, weighted.data());
  shelf.applyGains(binsPerHertz, bins, weighted.data());
  for (int k : {1, 100, 1000, 3000, 6000, bins - 1}) {
    const double f = k / binsPerHertz;
    EXPECT_NEAR(10 * std::log10(weighted[k]), dsp::weightingDb(dsp::Weighting::A, f) - shelf.responseDb(f), 1e-5)
        << f;
  }
}

}  // namespace
