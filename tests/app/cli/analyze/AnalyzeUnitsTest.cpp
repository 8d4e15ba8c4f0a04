// Levels in calibrated units from `specan analyze`: the unit arithmetic on
// a known sine, a microphone's calibration file taken out of noise, and the
// refusals; the real executable on float WAVE files made here.

#include <gtest/gtest.h>

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/SpecanRun.h"
#include "support/TempFolder.h"
#include "support/WaveFile.h"

namespace {

constexpr double kRate = 48000;

std::vector<float> sine(double amplitude) {
  std::vector<float> x(2 * 48000);
  for (std::size_t i = 0; i < x.size(); ++i)
    x[i] = static_cast<float>(amplitude * std::sin(2 * M_PI * 1000 * static_cast<double>(i) / kRate));
  return x;
}

Result analyse(const testsupport::TempFolder& folder, const std::vector<float>& samples,
               std::vector<std::string> options) {
  testsupport::writeWave(folder.file("in.wav"), {samples}, kRate, true);
  options.insert(options.begin(), "analyze");
  options.push_back(folder.file("in.wav"));
  return specan(options, folder.file("config"), folder);
}

// The summary line's peak reading after "Hz ", up to the comma.
std::string peakOf(const Result& r) {
  const std::size_t at = r.out.find(" Hz ", r.out.find("peak "));
  if (at == std::string::npos) return r.out;
  return r.out.substr(at + 4, r.out.find(',', at) - at - 4);
}

void write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// frequency → the CSV's level column.
std::map<double, double> csvLevels(const std::string& csv) {
  std::map<double, double> result;
  std::istringstream in(csv);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#' || line[0] == 'f') continue;
    const std::size_t comma = line.find(',');
    if (comma + 1 < line.size()) result[std::stod(line.substr(0, comma))] = std::stod(line.substr(comma + 1));
  }
  return result;
}

}  // namespace

// A full-scale sine is 0 dBFS (AES17) and -3.01 dB in the designed unit; at
// an input where 0 dBFS is +4 dBu (1.228 V RMS) it reads +4.00 dBu, +1.78
// dBV (dBu - 2.218) and 1.228 V. With a 12.5 mV/Pa microphone on an input of
// 1.0 V full scale, a sine of 12.5 mV RMS (amplitude 0.0125 of full scale)
// is 1.0 Pa RMS, 94.0 dB SPL re 20 µPa (93.98).
TEST(AnalyzeUnits, AKnownSineReadsInEveryUnit) {
  testsupport::TempFolder folder;
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "-3.01 dB"},
      {{"--units=dbfs"}, "+0.00 dBFS"},
      {{"--units=dbu", "--full-scale=+4dBu"}, "+4.00 dBu"},
      {{"--units=dbv", "--full-scale=+4dBu"}, "+1.78 dBV"},
      {{"--units=v", "--full-scale=1.228V"}, "1.228 V"},
      {{"--units=DBU", "--full-scale=1228mV"}, "+4.00 dBu"},
  };
  for (const auto& [options, reading] : cases) {
    const Result r = analyse(folder, sine(1.0), options);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(peakOf(r), reading) << r.out;
  }
  const std::vector<std::string> microphone = {"--full-scale=1V", "--sensitivity=12.5mV/Pa"};
  for (const auto& [unit, reading] : std::vector<std::pair<std::string, std::string>>{
           {"--units=dbspl", "94.0 dB SPL"}, {"--units=pa", "1.000 Pa"}}) {
    std::vector<std::string> options = microphone;
    options.push_back(unit);
    const Result r = analyse(folder, sine(0.0125), options);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(peakOf(r), reading) << r.out;
  }

  // The JSON names the unit and keeps level_db in dB beside the level.
  const Result json = analyse(folder, sine(1.0), {"--json", "--units=dbu", "--full-scale=-10dBV"});
  ASSERT_EQ(json.status, 0) << json.err;
  const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(json.out)).object();
  EXPECT_EQ(o["units"].toString(), "dBu");
  EXPECT_NEAR(o["peak"].toObject()["level_db"].toDouble(), -3.01, 0.005);
  EXPECT_NEAR(o["peak"].toObject()["level"].toDouble(), -10 + 2.218, 0.006);
  EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(analyse(folder, sine(1.0), {"--json"}).out))
                .object()["units"]
                .toString(),
            "dB");
}

// A measurement microphone that reads 3 dB high above 5 kHz: white noise
// through its calibration file reads 3 dB lower there and the same below,
// bin by bin, and the CSV's column names the unit. A sensitivity factor in
// the file's header is the microphone's gain everywhere: taken out too.
TEST(AnalyzeUnits, ACalibrationFileIsTakenOutOfEveryLevel) {
  testsupport::TempFolder folder;
  std::mt19937 random(25);
  std::normal_distribution<float> gauss(0.0f, 0.1f);
  std::vector<float> noise(4 * 48000);
  for (float& x : noise) x = gauss(random);
  write(folder.file("shelf.txt"), "* a +3 dB shelf\n\"Freq(Hz)\",\"dB\"\n20,0\n5000\t0\n5001 3 0.0\n24000 3\n");
  const Result plain = analyse(folder, noise, {"--units=dbfs", "--csv=" + folder.file("plain.csv")});
  const Result taken = analyse(folder, noise, {"--units=dbfs", "--calibration=" + folder.file("shelf.txt"),
                                               "--csv=" + folder.file("taken.csv")});
  ASSERT_EQ(plain.status, 0) << plain.err;
  ASSERT_EQ(taken.status, 0) << taken.err;
  const std::string csv = testsupport::TempFolder::read(folder.file("taken.csv"));
  EXPECT_NE(csv.find("\nfrequency_hz,level_dbfs\n"), std::string::npos) << csv.substr(0, 600);
  EXPECT_NE(csv.find("\n# levels in: dBFS (response of shelf.txt)"), std::string::npos) << csv.substr(0, 600);
  const std::map<double, double> before = csvLevels(testsupport::TempFolder::read(folder.file("plain.csv")));
  const std::map<double, double> after = csvLevels(csv);
  ASSERT_GT(after.size(), 8000u);
  int above = 0, below = 0;
  for (const auto& [f, level] : after) {
    if (f > 0 && f <= 5000) {
      ASSERT_NEAR(level, before.at(f), 1e-3) << f;
      ++below;
    } else if (f >= 5001) {
      ASSERT_NEAR(level, before.at(f) - 3, 1e-3) << f;
      ++above;
    }
  }
  EXPECT_GT(above, 1000);
  EXPECT_GT(below, 1000);

  write(folder.file("factor.txt"), "\"Sens Factor =-1.378dB, SERNO: 1\"\n20 0\n20000 0\n");
  const Result factor = analyse(folder, sine(1.0), {"--calibration=" + folder.file("factor.txt")});
  ASSERT_EQ(factor.status, 0) << factor.err;
  EXPECT_EQ(peakOf(factor), "-1.63 dB") << factor.out;  // -3.01 + 1.378
}

// A unit without the calibration it needs, a calibration that is not one
// and a file that cannot be used are refused before any file is analysed.
TEST(AnalyzeUnits, WhatCannotBeCalibratedIsRefusedAndWritesNothing) {
  testsupport::TempFolder folder;
  write(folder.file("unsorted.txt"), "20 0\n1000 0.5\n500 1\n");
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--units=dbu"}, "--units=dbu: uncalibrated: give the full-scale voltage"},
      {{"--units=dbspl", "--full-scale=+4dBu"}, "--units=dbspl: uncalibrated: give the microphone's sensitivity"},
      {{"--units=dbm"}, "--units=dbm: the unit is db, dbfs"},
      {{"--full-scale=4"}, "--full-scale=4: "},
      {{"--sensitivity=-38dBV"}, "--sensitivity=-38dBV: "},
      {{"--calibration=" + folder.file("unsorted.txt")}, "unsorted.txt: not a calibration file: line 3: "},
      {{"--calibration=" + folder.file("missing.txt")}, "missing.txt: not a calibration file: "},
  };
  for (const auto& [options, message] : cases) {
    std::vector<std::string> all = options;
    all.push_back("--csv=" + folder.file("out.csv"));
    const Result r = analyse(folder, sine(1.0), all);
    EXPECT_EQ(r.status, 2) << options[0];
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(folder.file("out.csv"))) << options[0];
  }
}
