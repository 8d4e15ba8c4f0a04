// `specan analyze --distortion`: the distortion readout's summary and JSON,
// its band, and its own window whatever --window says; the real executable
// on float WAVE files made here.

#include <gtest/gtest.h>

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "app/SpecanRun.h"
#include "support/TempFolder.h"
#include "support/WaveFile.h"

namespace {

constexpr double kRate = 48000;
constexpr std::size_t kLength = 2 * 48000;

double decibels(double ratio) { return 10 * std::log10(ratio); }

// A sine of amplitude a at f with harmonics (order, dBc) and white noise of
// standard deviation sigma.
std::vector<float> tone(double f, double a, std::vector<std::pair<int, double>> harmonics, double sigma = 0) {
  std::vector<float> x(kLength);
  std::mt19937 random(3);
  std::normal_distribution<double> noise(0.0, sigma > 0 ? sigma : 1.0);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double t = 2 * M_PI * f * static_cast<double>(i) / kRate;
    double v = a * std::sin(t);
    for (const auto& [order, dbc] : harmonics) v += a * std::pow(10.0, dbc / 20) * std::sin(order * t + 0.4 * order);
    if (sigma > 0) v += noise(random);
    x[i] = static_cast<float>(v);
  }
  return x;
}

Result analyse(const testsupport::TempFolder& folder, const std::vector<float>& samples,
               std::vector<std::string> options) {
  testsupport::writeWave(folder.file("tone.wav"), {samples}, kRate, true);
  options.insert(options.begin(), "analyze");
  options.push_back(folder.file("tone.wav"));
  return specan(options, folder.file("config"), folder);
}

QJsonObject distortionOf(const Result& r) {
  QJsonParseError error{};
  const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(r.out), &error);
  EXPECT_EQ(error.error, QJsonParseError::NoError) << r.out;
  return document.object()["distortion"].toObject();
}

}  // namespace

// A 1 kHz sine of amplitude 0.5 with H2 at −60 and H3 at −80 dBc and white
// noise of σ 10⁻⁵ (−100.8 dB over 20 Hz – 20 kHz), its trace made with the
// flat-top window: the readout's own window reads each harmonic, THD,
// THD+N, SINAD, SNR and the noise.
TEST(AnalyzeDistortion, TheJsonCarriesTheReadoutWhateverTheWindow) {
  testsupport::TempFolder folder;
  const double sigma = 1e-5, fundamental = 0.125, harmonics = 1e-6 + 1e-8;
  const double noise = sigma * sigma * (20000 - 20) / 24000;
  const Result r = analyse(folder, tone(1000, 0.5, {{2, -60}, {3, -80}}, sigma),
                           {"--distortion", "--json", "--window=flattop"});
  ASSERT_EQ(r.status, 0) << r.err;
  const QJsonObject d = distortionOf(r);
  EXPECT_NEAR(d["fundamental_hz"].toDouble(), 1000, 0.01);
  EXPECT_NEAR(d["fundamental_db"].toDouble(), decibels(fundamental), 0.01);
  EXPECT_NEAR(d["thd_db"].toDouble(), decibels(harmonics), 0.1);
  EXPECT_NEAR(d["thd_percent"].toDouble(), 100 * std::sqrt(harmonics), 0.002);
  EXPECT_NEAR(d["thd_n_db"].toDouble(), decibels(harmonics + noise / fundamental), 0.2);
  EXPECT_NEAR(d["thd_n_percent"].toDouble(), 100 * std::sqrt(harmonics + noise / fundamental), 0.003);
  EXPECT_NEAR(d["sinad_db"].toDouble(), -d["thd_n_db"].toDouble(), 0.011);
  EXPECT_NEAR(d["noise_db"].toDouble(), decibels(noise), 0.2);
  EXPECT_NEAR(d["snr_db"].toDouble(), decibels(fundamental / noise), 0.2);
  const QJsonArray h = d["harmonics"].toArray();
  ASSERT_EQ(h.size(), 9);
  for (int i = 0; i < 9; ++i) {
    EXPECT_EQ(h[i].toObject()["order"].toInt(), i + 2);
    EXPECT_NEAR(h[i].toObject()["frequency_hz"].toDouble(), 1000.0 * (i + 2), 0.1);
    EXPECT_TRUE(h[i].toObject()["in_band"].toBool());
  }
  EXPECT_NEAR(h[0].toObject()["level_db"].toDouble(), -60, 0.1);
  EXPECT_NEAR(h[1].toObject()["level_db"].toDouble(), -80, 0.1);

  // The readout's residual with the default (Gaussian) trace: a −1 dBFS
  // float sine at 997 Hz reads THD below −140 dB, THD+N below −125 dB.
  const QJsonObject pure = distortionOf(analyse(folder, tone(997, std::pow(10.0, -0.05), {}), {"--distortion", "--json"}));
  EXPECT_LT(pure["thd_db"].toDouble(), -140);
  EXPECT_LT(pure["thd_n_db"].toDouble(), -125);
}

// The summary line ends in THD and THD+N; harmonics above 20 kHz are out of
// reach (in_band false, no level) until --band takes the band to half the
// rate; --band needs --distortion, and --window takes the window menu's
// seven-term Blackman–Harris.
TEST(AnalyzeDistortion, TheSummaryEndsInThdAndTheBandDecidesWhatIsInReach) {
  testsupport::TempFolder folder;
  const std::vector<float> x = tone(11000, 0.5, {{2, -50}});
  const Result line = analyse(folder, x, {"--distortion", "--window=blackman-harris-7"});
  ASSERT_EQ(line.status, 0) << line.err;
  // H2 at 22 kHz: no harmonic in reach, THD none.
  EXPECT_NE(line.out.find(", THD none, THD+N -"), std::string::npos) << line.out;
  const QJsonObject narrow = distortionOf(analyse(folder, x, {"--distortion", "--json"}));
  EXPECT_FALSE(narrow["harmonics"].toArray()[0].toObject()["in_band"].toBool());
  EXPECT_TRUE(narrow["harmonics"].toArray()[0].toObject()["level_db"].isNull());
  EXPECT_TRUE(narrow["thd_db"].isNull());

  const Result wide = analyse(folder, x, {"--distortion", "--band=20:24000"});
  EXPECT_NE(wide.out.find(", THD -50."), std::string::npos) << wide.out;
  const QJsonObject json = distortionOf(analyse(folder, x, {"--distortion", "--json", "--band=:24000"}));
  EXPECT_NEAR(json["harmonics"].toArray()[0].toObject()["level_db"].toDouble(), -50, 0.1);
  EXPECT_FALSE(json["harmonics"].toArray()[1].toObject()["in_band"].toBool());  // 33 kHz

  // Beside a louder tone, the fundamental asked for is read: a 5 kHz sine
  // of amplitude 0.05 (-29.03 dB) next to 11 kHz at 0.5.
  std::vector<float> two = x;
  for (std::size_t i = 0; i < two.size(); ++i)
    two[i] += static_cast<float>(0.05 * std::sin(2 * M_PI * 5000 * static_cast<double>(i) / kRate));
  const QJsonObject chosen = distortionOf(analyse(folder, two, {"--distortion", "--json", "--fundamental=5000"}));
  EXPECT_NEAR(chosen["fundamental_hz"].toDouble(), 5000, 0.01);
  EXPECT_NEAR(chosen["fundamental_db"].toDouble(), decibels(0.05 * 0.05 / 2), 0.02);
  EXPECT_NEAR(distortionOf(analyse(folder, two, {"--distortion", "--json"}))["fundamental_hz"].toDouble(), 11000, 0.01);
  EXPECT_EQ(analyse(folder, x, {"--fundamental=1000"}).status, 2);
  EXPECT_EQ(analyse(folder, x, {"--distortion", "--fundamental=30000"}).status, 2);
  EXPECT_EQ(analyse(folder, x, {"--band=20:20000"}).status, 2);
  EXPECT_EQ(analyse(folder, x, {"--distortion", "--band=300:200"}).status, 2);
  EXPECT_NE(specan({"analyze", "--help"}, folder.file("config"), folder).out.find("blackman-harris-7"),
            std::string::npos);
}
