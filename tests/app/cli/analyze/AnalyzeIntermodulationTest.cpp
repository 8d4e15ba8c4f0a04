// `specan analyze --imd`: the intermodulation readout's summary and JSON for
// both standards, its tones, and its options' checks; the real executable on
// float WAVE files made here.

#include <gtest/gtest.h>

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <string>
#include <vector>

#include "app/SpecanRun.h"
#include "support/TempFolder.h"
#include "support/WaveFile.h"

namespace {

constexpr double kRate = 48000;
constexpr std::size_t kLength = 2 * 48000;

// Two seconds of sines (frequency, amplitude) summed.
std::vector<float> tones(const std::vector<std::pair<double, double>>& sines) {
  std::vector<float> x(kLength);
  for (std::size_t i = 0; i < x.size(); ++i) {
    double v = 0;
    int k = 0;
    for (const auto& [f, a] : sines) v += a * std::sin(2 * M_PI * f * static_cast<double>(i) / kRate + 0.7 * k++);
    x[i] = static_cast<float>(v);
  }
  return x;
}

Result analyse(const testsupport::TempFolder& folder, const std::vector<float>& samples,
               std::vector<std::string> options) {
  testsupport::writeWave(folder.file("tones.wav"), {samples}, kRate, true);
  options.insert(options.begin(), "analyze");
  options.push_back(folder.file("tones.wav"));
  return specan(options, folder.file("config"), folder);
}

QJsonObject member(const Result& r, const char* name) {
  QJsonParseError error{};
  const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(r.out), &error);
  EXPECT_EQ(error.error, QJsonParseError::NoError) << r.out;
  return document.object()[name].toObject();
}

}  // namespace

// SMPTE tones, 60 Hz at 0.4 and 7 kHz at 0.1, with f2 ± 60 Hz at −40 dB and
// f2 ± 120 Hz at −60 dB of f2: the second order reads 2 % (−33.98 dB), the
// third 0.2 %, IMD their root-sum, −33.94 dB, on the summary line and in the
// JSON beside the distortion readout.
TEST(AnalyzeIntermodulation, SmpteSidebandsReadOnTheSummaryAndInTheJson) {
  testsupport::TempFolder folder;
  const std::vector<float> x =
      tones({{60, 0.4}, {7000, 0.1}, {6940, 1e-3}, {7060, 1e-3}, {6880, 1e-4}, {7120, 1e-4}});
  const double imd = 20 * std::log10(std::hypot(0.02, 0.002));
  const Result line = analyse(folder, x, {"--imd=smpte"});
  ASSERT_EQ(line.status, 0) << line.err;
  EXPECT_NE(line.out.find(", IMD (SMPTE) -33.9"), std::string::npos) << line.out;

  const Result json = analyse(folder, x, {"--imd=smpte", "--json", "--distortion", "--window=hann"});
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_FALSE(member(json, "distortion").isEmpty());
  const QJsonObject m = member(json, "intermodulation");
  EXPECT_EQ(m["standard"].toString(), "SMPTE");
  EXPECT_NEAR(m["f1_hz"].toDouble(), 60, 0.01);
  EXPECT_NEAR(m["f2_hz"].toDouble(), 7000, 0.01);
  EXPECT_NEAR(m["imd_db"].toDouble(), imd, 0.1);
  EXPECT_NEAR(m["imd_percent"].toDouble(), 100 * std::hypot(0.02, 0.002), 0.02);
  const QJsonArray p = m["products"].toArray();
  ASSERT_EQ(p.size(), 8);
  const double at[] = {6940, 7060, 6880, 7120};
  for (int i = 0; i < 4; ++i) {
    EXPECT_NEAR(p[i].toObject()["frequency_hz"].toDouble(), at[i], 0.05) << i;
    EXPECT_NEAR(p[i].toObject()["level_db"].toDouble(), i < 2 ? -40 : -60, 0.1) << i;
    EXPECT_TRUE(p[i].toObject()["in_band"].toBool()) << i;
  }
  EXPECT_NEAR(m["orders"].toArray()[0].toObject()["level_db"].toDouble(), 20 * std::log10(0.02), 0.1);
}

// CCIF tones at 18 and 19 kHz (--tones) with a 1 kHz difference tone at
// −60 dB of the tones' amplitudes summed read −60 dB; a 2·f2 − f1 product at
// 20 kHz stays in reach. --tones needs --imd, and the standard is one of two.
TEST(AnalyzeIntermodulation, CcifReadsTheDifferenceToneOfTheTonesGiven) {
  testsupport::TempFolder folder;
  const std::vector<float> x = tones({{18000, 0.25}, {19000, 0.25}, {1000, 0.5e-3}});
  const Result line = analyse(folder, x, {"--imd=ccif", "--tones=18000:19000"});
  ASSERT_EQ(line.status, 0) << line.err;
  EXPECT_NE(line.out.find(", IMD (CCIF) -60.0"), std::string::npos) << line.out;
  const QJsonObject m = member(analyse(folder, x, {"--imd=ccif", "--tones=18000:19000", "--json"}), "intermodulation");
  EXPECT_EQ(m["standard"].toString(), "CCIF");
  EXPECT_NEAR(m["imd_db"].toDouble(), -60, 0.1);
  const QJsonArray p = m["products"].toArray();
  ASSERT_EQ(p.size(), 3);
  EXPECT_NEAR(p[0].toObject()["level_db"].toDouble(), -60, 0.1);
  EXPECT_NEAR(p[2].toObject()["frequency_hz"].toDouble(), 20000, 0.05);
  EXPECT_TRUE(p[2].toObject()["in_band"].toBool());

  EXPECT_EQ(analyse(folder, x, {"--tones=18000:19000"}).status, 2);
  EXPECT_EQ(analyse(folder, x, {"--imd=din"}).status, 2);
  EXPECT_EQ(analyse(folder, x, {"--imd=ccif", "--tones=19000:18000"}).status, 2);
  EXPECT_NE(specan({"analyze", "--help"}, folder.file("config"), folder).out.find("--imd=STANDARD"),
            std::string::npos);
}
