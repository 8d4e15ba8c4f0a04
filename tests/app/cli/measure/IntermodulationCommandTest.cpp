// `specan measure --imd`: two tones through the stepped simulated loopbacks,
// the plain one and the one whose device under test distorts
// (y = x + a·x² + b·x³ after its band-pass), read by the controller, the
// input and the generator the command runs on.

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "app/TrackingRig.h"
#include "app/cli/measure/SweepCommand.h"
#include "app/cli/measure/MeasureRun.h"
#include "platform/audio/simulated/SimulatedProvider.h"

namespace {

namespace sim = platform::audio::simulated;

using measure_run::Outcome;
using measure_run::slurp;

// The command on a stepped simulated provider with the default devices,
// one device buffer per step.
Outcome measure(const std::vector<std::string>& args) {
  auto provider = std::make_shared<sim::SimulatedProvider>(sim::Options{sim::ClockMode::Stepped, true, nullptr});
  provider->flushNotifications();
  const auto loopback = provider->deviceNamed("Loopback");
  return measure_run::run(args, provider, [&] { provider->advanceFrames(loopback, 512); });
}

const std::string kDistorting = "Loopback (distorting)";

// The amplitude at the nonlinearity of a sine of amplitude A at the
// generator and f Hz: after the band-pass, 0 dB at 1 kHz.
double afterFilter(double A, double f) {
  return A * std::pow(10.0, app_fakes::filterResponse(sim::BandPassFilter{}, f, 48000) / 20);
}

double dB(double ratio) { return 20 * std::log10(ratio); }

// The worked-out readings of the distorting loopback for two sines of
// amplitudes A1 (f1) and A2 (f2) reaching y = x + a·x² + b·x³. With
// x = A1·cos ω1t + A2·cos ω2t,
//   x² holds A1·A2 at f2 ± f1,
//   x³ holds 3·A1²·A2/4 at 2f1 ± f2 and f2 ± 2f1, 3·A1·A2²/4 at 2f2 ± f1,
//      and adds 3·A1³/4 + 3·A1·A2²/2 to f1 (3·A2³/4 + 3·A1²·A2/2 to f2),
// and nothing reaches the fourth and fifth orders. Orders in dB, each
// over the reference the readout divides by.
struct Expected {
  double imd, order2, order3;
};
Expected expectedSmpte(double A1, double A2) {
  const sim::Nonlinearity n = sim::kDistortingLoopback;
  const double high = A2 + n.b * (3 * A2 * A2 * A2 / 4 + 3 * A1 * A1 * A2 / 2);
  // Sidebands f2 ± f1, then f2 ± 2f1, each pair summed over f2.
  const double d2 = 2 * n.a * A1 * A2 / high, d3 = 2 * 3 * n.b * A1 * A1 * A2 / 4 / high;
  return {dB(std::hypot(d2, d3)), dB(d2), dB(d3)};
}
Expected expectedCcif(double A1, double A2) {
  const sim::Nonlinearity n = sim::kDistortingLoopback;
  const double low = A1 + n.b * (3 * A1 * A1 * A1 / 4 + 3 * A1 * A2 * A2 / 2);
  const double high = A2 + n.b * (3 * A2 * A2 * A2 / 4 + 3 * A1 * A1 * A2 / 2);
  // f2 − f1, then 2f1 − f2 and 2f2 − f1 summed, over both tones summed.
  const double d2 = n.a * A1 * A2 / (low + high), d3 = 3 * n.b * (A1 * A1 * A2 + A1 * A2 * A2) / 4 / (low + high);
  return {dB(std::hypot(d2, d3)), dB(d2), dB(d3)};
}

QJsonObject parsed(const std::string& text) { return QJsonDocument::fromJson(QByteArray::fromStdString(text)).object(); }

QJsonObject orderOf(const QJsonObject& imd, int order) {
  for (const QJsonValue& o : imd["orders"].toArray())
    if (o.toObject()["order"].toInt() == order) return o.toObject();
  return {};
}

// An order's level in dB: NaN out of reach, -inf in reach without power
// (null in the JSON either way).
double orderLevel(const QJsonObject& imd, int order) {
  const QJsonObject o = orderOf(imd, order);
  if (!o["in_band"].toBool()) return NAN;
  return o["level_db"].isNull() ? -INFINITY : o["level_db"].toDouble();
}

// Within 0.2 dB: what the readout, the window and the loop add together.
constexpr double kToleranceDb = 0.2;

TEST(MeasureIntermodulation, TheDistortingLoopbackReadsSmpteAtItsWorkedOutLevelsAndFailsATightLimit) {
  const Outcome o = measure({"--imd=smpte", "--input=" + kDistorting, "--output=" + kDistorting, "--level=-6",
                             "--json", "--limit-imd=-70"});
  EXPECT_EQ(o.status, 3) << o.err;
  const QJsonObject root = parsed(o.out);
  ASSERT_FALSE(root.isEmpty()) << o.out;
  EXPECT_DOUBLE_EQ(root["level_dbfs"].toDouble(), -6);
  EXPECT_TRUE(root["settled"].toBool());
  const QJsonObject imd = root["intermodulation"].toObject();
  EXPECT_EQ(imd["standard"].toString(), "SMPTE");
  EXPECT_NEAR(imd["f1_hz"].toDouble(), 60, 0.01);
  EXPECT_NEAR(imd["f2_hz"].toDouble(), 7000, 0.01);
  // The composite's level: 4/5 of it at 60 Hz, 1/5 at 7 kHz.
  const double level = std::pow(10.0, -6.0 / 20);
  const Expected expected = expectedSmpte(afterFilter(0.8 * level, 60), afterFilter(0.2 * level, 7000));
  EXPECT_NEAR(imd["imd_db"].toDouble(), expected.imd, kToleranceDb) << o.out;
  EXPECT_NEAR(orderLevel(imd, 2), expected.order2, kToleranceDb) << o.out;
  EXPECT_NEAR(orderLevel(imd, 3), expected.order3, kToleranceDb) << o.out;
  // A cubic reaches no fourth or fifth order.
  EXPECT_LT(orderLevel(imd, 4), -120) << o.out;
  EXPECT_LT(orderLevel(imd, 5), -120) << o.out;
  EXPECT_FALSE(root["limit"].toObject()["within"].toBool());
}

// The cells of a one-row CSV's row, the header checked.
std::vector<std::string> csvRow(const std::string& csv) {
  const std::size_t header = csv.find('\n');
  EXPECT_EQ(csv.substr(0, header + 1), "standard,f1_hz,f2_hz,imd_db,imd_percent,order2_db,order3_db\n");
  std::vector<std::string> cells;
  if (header == std::string::npos) return cells;
  const std::string row = csv.substr(header + 1);
  for (std::size_t at = 0; at < row.size();) {
    const std::size_t end = row.find_first_of(",\n", at);
    cells.push_back(row.substr(at, end - at));
    at = end + 1;
  }
  return cells;
}

enum CsvColumn { kStandard = 0, kImd = 3, kOrder2 = 5, kOrder3 = 6, kCsvColumns = 7 };

TEST(MeasureIntermodulation, TheDistortingLoopbackReadsCcifAtItsWorkedOutLevelsInOneCsvRow) {
  const double level = std::pow(10.0, -6.0 / 20);
  {
    const Outcome o = measure({"--imd=ccif", "--input=" + kDistorting, "--output=" + kDistorting, "--level=-6",
                               "--csv=-"});
    ASSERT_EQ(o.status, 0) << o.err;
    const std::vector<std::string> cells = csvRow(o.out);
    ASSERT_EQ(cells.size(), static_cast<std::size_t>(kCsvColumns)) << o.out;
    EXPECT_EQ(cells[kStandard], "CCIF");
    // Half the level each, some 28 dB down through the band-pass at 19 and
    // 20 kHz: the third order's worked-out level (near -149 dB) is below
    // what the readout resolves, and only has to read far down.
    const Expected expected = expectedCcif(afterFilter(level / 2, 19000), afterFilter(level / 2, 20000));
    EXPECT_NEAR(std::stod(cells[kImd]), expected.imd, kToleranceDb) << o.out;
    EXPECT_NEAR(std::stod(cells[kOrder2]), expected.order2, kToleranceDb) << o.out;
    EXPECT_LT(std::stod(cells[kOrder3]), -120) << o.out;
  }
  // Tones at the band-pass's centre reach the nonlinearity almost whole,
  // and the third order comes well above the readout's floor.
  const Outcome o = measure({"--imd=ccif", "--tones=1000:1100", "--input=" + kDistorting,
                             "--output=" + kDistorting, "--level=-6", "--csv=-"});
  ASSERT_EQ(o.status, 0) << o.err;
  const std::vector<std::string> cells = csvRow(o.out);
  ASSERT_EQ(cells.size(), static_cast<std::size_t>(kCsvColumns)) << o.out;
  const Expected expected = expectedCcif(afterFilter(level / 2, 1000), afterFilter(level / 2, 1100));
  EXPECT_NEAR(std::stod(cells[kImd]), expected.imd, kToleranceDb) << o.out;
  EXPECT_NEAR(std::stod(cells[kOrder2]), expected.order2, kToleranceDb) << o.out;
  EXPECT_NEAR(std::stod(cells[kOrder3]), expected.order3, kToleranceDb) << o.out;
}

TEST(MeasureIntermodulation, ThePlainLoopbackReadsFarBelowAndPassesTheSameLimit) {
  for (const char* standard : {"smpte", "ccif"}) {
    const Outcome o =
        measure({std::string("--imd=") + standard, "--input=Loopback", "--output=Loopback", "--level=-6",
                 "--limit-imd=-70"});
    ASSERT_EQ(o.status, 0) << standard << ": " << o.err;
    // "intermodulation 60 Hz + 7000 Hz at -6.00 dBFS, IMD (SMPTE) -150.20 dB"
    const std::size_t at = o.out.find(" dBFS, IMD (");
    ASSERT_NE(at, std::string::npos) << o.out;
    EXPECT_EQ(o.out.rfind("intermodulation ", 0), 0u) << o.out;
    EXPECT_LT(std::stod(o.out.substr(o.out.find(") ", at) + 2)), -120) << o.out;
    EXPECT_NE(o.out.find("\nIMD limit -70.00 dB: within it\n"), std::string::npos) << o.out;
  }
  // The Multichannel output goes nowhere: no tones come back.
  const Outcome none = measure({"--imd=smpte", "--input=Loopback", "--output=Multichannel"});
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.err.find("did not come back"), std::string::npos) << none.err;
}

TEST(MeasureIntermodulation, OptionsThatMakeNoSenseForAnIntermodulationReadingAreRefusedBeforeAnythingPlays) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--imd=dim"},
           {"--imd=smpte", "--distortion"},
           {"--imd=smpte", "--tones=7000:60"},
           {"--imd=smpte", "--tones=0:60"},
           {"--imd=smpte", "--limit-imd=low"},
           {"--imd=smpte", "--span=100:200"},
           {"--imd=smpte", "--window=hann"},
           {"--imd=smpte", "--png=plot.png"},
           {"--imd=smpte", "--points-per-octave=3"},
           {"--imd=smpte", "--frequency=1000"},
           {"--imd=smpte", "--limit-thd-n=-90"},
           {"--imd=ccif", "--sweep-level=-60:0:3"},
           {"--tones=60:7000"},
           {"--limit-imd=-60"}}) {
    const Outcome o = measure(args);
    EXPECT_EQ(o.status, 2) << args.back();
    EXPECT_EQ(o.out, "") << args.back();
  }
}

}  // namespace
