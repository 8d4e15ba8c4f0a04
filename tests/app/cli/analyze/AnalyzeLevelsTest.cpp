// The levels `specan analyze` reports beside the peak: fractional-octave
// bands, the span's overall level and a frequency weighting, as JSON lines
// and as a CSV of the bands; the real executable on float WAVE files made
// here.

#include <gtest/gtest.h>

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/SpecanRun.h"
#include "support/TempFolder.h"
#include "support/WaveFile.h"

namespace {

constexpr double kRate = 48000;
constexpr std::size_t kLength = 4 * 48000;

std::string contentsOf(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

std::vector<float> sine(double frequency, double amplitude) {
  std::vector<float> x(kLength);
  for (std::size_t i = 0; i < x.size(); ++i)
    x[i] = static_cast<float>(amplitude * std::sin(2 * M_PI * frequency * static_cast<double>(i) / kRate));
  return x;
}

Result analyse(const testsupport::TempFolder& folder, const std::string& name, const std::vector<float>& samples,
               std::vector<std::string> options) {
  testsupport::writeWave(folder.file(name), {samples}, kRate, true);
  options.insert(options.begin(), "analyze");
  options.push_back(folder.file(name));
  return specan(options, folder.file("config"), folder);
}

QJsonObject jsonOf(const Result& r) {
  QJsonParseError error{};
  const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(r.out), &error);
  EXPECT_EQ(error.error, QJsonParseError::NoError) << r.out;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << "one line per file";
  return document.object();
}

QJsonObject bandNamed(const QJsonObject& json, double nominal) {
  for (const QJsonValue& band : json["bands"].toArray())
    if (band.toObject()["nominal_hz"].toDouble() == nominal) return band.toObject();
  ADD_FAILURE() << "no band " << nominal;
  return {};
}

}  // namespace

// A sine of amplitude 0.5 (mean square 0.125, -9.03 dB) at the mid-band of
// the 1 kHz third octave reads its mean-square level in its band and as the
// span's overall level. The A weighting is 0 dB at 1 kHz and -19.1 dB at
// 100 Hz (IEC 61672-1 Table 3, at the base-ten mid-band 99.5 Hz: -19.1 dB).
TEST(AnalyzeLevels, ASineReadsItsLevelInItsBandAndOverallAndTheWeightingIsApplied) {
  testsupport::TempFolder folder;
  const double level = 10 * std::log10(0.125);
  const Result r = analyse(folder, "k.wav", sine(1000, 0.5), {"--json", "--bands=1/3", "--weighting=A"});
  ASSERT_EQ(r.status, 0) << r.err;
  const QJsonObject json = jsonOf(r);
  EXPECT_TRUE(json["file"].toString().endsWith("k.wav"));
  EXPECT_EQ(json["sampling_rate_hz"].toDouble(), 48000);
  EXPECT_NEAR(json["seconds"].toDouble(), 4.0, 1e-9);
  EXPECT_EQ(json["channels"].toInt(), 1);
  EXPECT_EQ(json["weighting"].toString(), "A");
  EXPECT_NEAR(json["peak"].toObject()["frequency_hz"].toDouble(), 1000, 0.02);
  EXPECT_NEAR(json["peak"].toObject()["level_db"].toDouble(), level, 0.05);
  EXPECT_NEAR(json["overall_level_db"].toDouble(), level, 0.1);
  const QJsonObject k = bandNamed(json, 1000);
  EXPECT_NEAR(k["center_hz"].toDouble(), 1000, 1e-3);
  EXPECT_NEAR(k["lower_hz"].toDouble(), 1000 * std::pow(10.0, -0.05), 1e-3);  // G^(-1/6)
  EXPECT_NEAR(k["level_db"].toDouble(), level, 0.1);
  EXPECT_TRUE(k["resolved"].toBool());
  // Two bands off, the band filter takes the sine down by more than the
  // class 1 floor at Ω = G^(2/3) (tens of dB).
  EXPECT_LT(bandNamed(json, 630)["level_db"].toDouble(), level - 40);
  // Third octaves over the whole band, from the first bin above 0 Hz to
  // 20 kHz: the 20 Hz band is narrower than three RBWs (10 Hz), so it is
  // not resolved; the 200 Hz band is.
  const QJsonArray bands = json["bands"].toArray();
  EXPECT_NEAR(bands.last().toObject()["center_hz"].toDouble(), 1000 * std::pow(10.0, 13 / 10.0), 0.01);
  EXPECT_LT(bands.first().toObject()["center_hz"].toDouble(), 5);
  EXPECT_FALSE(bandNamed(json, 20)["resolved"].toBool());
  EXPECT_TRUE(bandNamed(json, 200)["resolved"].toBool());

  // The same at 100 Hz: 19.1 dB less with A, unweighted with Z. At RBW
  // 3.16 Hz, as the 100 Hz band (23 Hz wide) is resolved only from there.
  const double a100 = -19.1;
  const Result weighted =
      analyse(folder, "h.wav", sine(99.526, 0.5), {"--json", "--bands=1/3", "--weighting=A", "--rbw=3.16"});
  const Result plain = analyse(folder, "h.wav", sine(99.526, 0.5), {"--json", "--bands=1/3", "--rbw=3.16"});
  ASSERT_EQ(weighted.status, 0) << weighted.err;
  ASSERT_EQ(plain.status, 0) << plain.err;
  const QJsonObject w = jsonOf(weighted), z = jsonOf(plain);
  EXPECT_EQ(z["weighting"].toString(), "Z");
  EXPECT_NEAR(z["peak"].toObject()["level_db"].toDouble(), level, 0.05);
  // The table's value is rounded to 0.1 dB: 0.05 dB of the tolerance.
  EXPECT_NEAR(w["peak"].toObject()["level_db"].toDouble(), level + a100, 0.15);
  EXPECT_TRUE(bandNamed(w, 100)["resolved"].toBool());
  EXPECT_NEAR(bandNamed(w, 100)["level_db"].toDouble(), level + a100, 0.15);
  EXPECT_NEAR(bandNamed(z, 100)["level_db"].toDouble(), level, 0.1);
  EXPECT_NEAR(w["overall_level_db"].toDouble(), level + a100, 0.15);

  // The trace's CSV, weighted and smoothed as asked, says so; smoothing
  // leaves the peak and the levels as they were.
  const Result smoothed = analyse(folder, "h.wav", sine(99.526, 0.5),
                                  {"--json", "--weighting=A", "--rbw=3.16", "--smoothing=1/3",
                                   "--csv=" + folder.file("h.csv")});
  ASSERT_EQ(smoothed.status, 0) << smoothed.err;
  EXPECT_NEAR(jsonOf(smoothed)["peak"].toObject()["level_db"].toDouble(),
              w["peak"].toObject()["level_db"].toDouble(), 1e-9);
  const std::string csv = contentsOf(folder.file("h.csv"));
  EXPECT_NE(csv.find("# weighting: A (levels in dB(A))"), std::string::npos) << csv.substr(0, 600);
  EXPECT_NE(csv.find("# smoothing: 1/3 octave"), std::string::npos);
}

// White noise of density D reads D times the band's width in every
// resolved band (within the scatter of four seconds of noise), and the
// bands' CSV carries one row per band.
TEST(AnalyzeLevels, WhiteNoiseReadsTheBandsWidthAndTheBandsGoToTheCsv) {
  testsupport::TempFolder folder;
  std::mt19937 random(20261209);
  std::normal_distribution<double> gauss(0.0, 0.1);
  std::vector<float> noise(kLength);
  for (float& x : noise) x = static_cast<float>(gauss(random));
  const double density = 0.01 / (kRate / 2);  // mean square per Hz
  const Result r = analyse(folder, "n.wav", noise, {"--bands=1/1", "--csv=" + folder.file("bands.csv")});
  ASSERT_EQ(r.status, 0) << r.err;
  std::istringstream csv(contentsOf(folder.file("bands.csv")));
  std::string line;
  std::getline(csv, line);
  EXPECT_EQ(line, "nominal_hz,center_hz,lower_hz,upper_hz,level_db,resolved");
  std::vector<double> nominal;
  while (std::getline(csv, line)) {
    double n = 0, centre = 0, lower = 0, upper = 0, dB = 0;
    char resolved[8] = {};
    ASSERT_EQ(std::sscanf(line.c_str(), "%lf,%lf,%lf,%lf,%lf,%7s", &n, &centre, &lower, &upper, &dB, resolved), 6)
        << line;
    nominal.push_back(n);
    EXPECT_NEAR(upper / lower, std::pow(10.0, 0.3), 1e-4) << line;  // G, an octave
    if (std::string(resolved) == "true" && centre >= 250) {
      EXPECT_NEAR(dB, 10 * std::log10(density * (upper - lower)), 0.3) << line;
    }
  }
  // Octaves of the whole band up to 16 kHz, named by their nominal values.
  const std::vector<double> upper{16, 31.5, 63, 125, 250, 500, 1000, 2000, 4000, 8000, 16000};
  ASSERT_GE(nominal.size(), upper.size());
  EXPECT_EQ(std::vector<double>(nominal.end() - static_cast<long>(upper.size()), nominal.end()), upper);
}

TEST(AnalyzeLevels, MistakesInTheNewOptionsEndWithStatusTwo) {
  testsupport::TempFolder folder;
  for (const std::vector<std::string>& options :
       std::vector<std::vector<std::string>>{{"--bands=1/5"}, {"--bands=3"}, {"--weighting=B"}, {"--axis=bark"},
                                             {"--smoothing=1/5"}, {"--smoothing=3"},
                                             {"--json", "--csv=-"}}) {
    const Result r = analyse(folder, "s.wav", sine(1000, 0.5), options);
    EXPECT_EQ(r.status, 2) << options[0] << ": " << r.err;
    EXPECT_TRUE(r.out.empty()) << options[0];
  }
  // The image on the logarithmic axis.
  const Result image = analyse(folder, "s.wav", sine(1000, 0.5), {"--axis=log", "--png=" + folder.file("s.png")});
  EXPECT_EQ(image.status, 0) << image.err;
  EXPECT_GT(contentsOf(folder.file("s.png")).size(), 1000u);
}
