// `specan measure --distortion`: a fixed tone through the stepped simulated
// loopbacks, the plain one and the one whose device under test distorts
// (y = x + a·x² + b·x³ after its band-pass), read by the controller, the
// input and the generator the command runs on.

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "app/TrackingRig.h"
#include "app/cli/measure/DistortionMeasurement.h"
#include "app/cli/measure/SweepCommand.h"
#include "app/cli/measure/MeasureRun.h"
#include "platform/audio/simulated/SimulatedProvider.h"
#include "ui/MainThread.h"
#include "support/TempFolder.h"

namespace {

namespace sim = platform::audio::simulated;

using measure_run::Outcome;
using measure_run::slurp;

// The command on a stepped simulated provider with the default devices,
// one device buffer per step.
Outcome measure(std::vector<std::string> args) {
  auto provider = std::make_shared<sim::SimulatedProvider>(sim::Options{sim::ClockMode::Stepped, true, nullptr});
  provider->flushNotifications();
  const auto loopback = provider->deviceNamed("Loopback");
  args.insert(args.begin(), "--distortion");
  return measure_run::run(args, provider, [&] { provider->advanceFrames(loopback, 512); });
}

const std::string kDistorting = "Loopback (distorting)";

// The worked-out levels of the distorting loopback (its header) for a sine
// of amplitude A reaching the nonlinearity, dB re its fundamental.
struct Expected {
  double h2, h3;
};
Expected expectedAt(double A) {
  const sim::Nonlinearity n = sim::kDistortingLoopback;
  const double fundamental = A + 3 * n.b * A * A * A / 4;
  return {20 * std::log10(n.a * A * A / 2 / fundamental), 20 * std::log10(n.b * A * A * A / 4 / fundamental)};
}

// The amplitude at the nonlinearity of the generator's sine at dBFS and f
// Hz: after the band-pass, 0 dB at 1 kHz.
double amplitudeAfterFilter(double dBFS, double f) {
  return std::pow(10.0, (dBFS + app_fakes::filterResponse(sim::BandPassFilter{}, f, 48000)) / 20);
}

// The rows of the CSV as numbers (an empty cell NaN), the header left out.
std::vector<std::vector<double>> rows(const std::string& csv) {
  std::vector<std::vector<double>> result;
  std::istringstream in(csv);
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::vector<double> row;
    for (std::size_t at = 0;;) {
      const std::size_t comma = line.find(',', at);
      const std::string cell = line.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
      row.push_back(cell.empty() ? NAN : std::stod(cell));
      if (comma == std::string::npos) break;
      at = comma + 1;
    }
    result.push_back(row);
  }
  return result;
}

// The columns of the CSV's rows.
enum Column { kFrequency = 0, kLevel = 1, kThd = 2, kThdN = 4, kH2 = 9, kH3 = 10, kColumns = 18 };

TEST(MeasureDistortion, TheDistortingLoopbackReadsItsHarmonicsAtTheirWorkedOutLevelsAndFailsATightLimit) {
  const Outcome o = measure({"--input=" + kDistorting, "--output=" + kDistorting, "--level=-6", "--json",
                             "--limit-thd-n=-90"});
  EXPECT_EQ(o.status, 3) << o.err;
  const QJsonObject root = QJsonDocument::fromJson(QByteArray::fromStdString(o.out)).object();
  ASSERT_FALSE(root.isEmpty()) << o.out;
  EXPECT_DOUBLE_EQ(root["frequency_hz"].toDouble(), 1000);
  EXPECT_DOUBLE_EQ(root["level_dbfs"].toDouble(), -6);
  EXPECT_TRUE(root["settled"].toBool());
  // A 1 kHz tone is read at the RBW asked (10 Hz by default): fifty RBWs
  // below it, its lobe and its harmonics' lie far apart.
  EXPECT_DOUBLE_EQ(root["rbw_hz"].toDouble(), 10);
  const QJsonObject distortion = root["distortion"].toObject();
  const QJsonArray harmonics = distortion["harmonics"].toArray();
  ASSERT_EQ(harmonics.size(), 9);
  // Within 0.2 dB: what the readout, the window and the loop add together.
  const Expected expected = expectedAt(std::pow(10.0, -6.0 / 20));
  EXPECT_NEAR(harmonics[0].toObject()["level_db"].toDouble(), expected.h2, 0.2);
  EXPECT_NEAR(harmonics[1].toObject()["level_db"].toDouble(), expected.h3, 0.2);
  // Nothing above the third (null: no power at all, which is below too).
  for (int i = 2; i < 9; ++i)
    EXPECT_LT(harmonics[i].toObject()["level_db"].toDouble(-INFINITY), -120) << "H" << i + 2 << ": " << o.out;
  // THD+N is about H2's: the rest is far below it.
  EXPECT_NEAR(distortion["thd_n_db"].toDouble(), expected.h2, 0.2);
  const QJsonObject limit = root["limit"].toObject();
  EXPECT_DOUBLE_EQ(limit["thd_n_db"].toDouble(), -90);
  EXPECT_FALSE(limit["within"].toBool());
}

TEST(MeasureDistortion, ThePlainLoopbackReadsFarBelowAndPassesTheSameLimit) {
  const Outcome o = measure({"--input=Loopback", "--output=Loopback", "--level=-6", "--limit-thd-n=-90"});
  ASSERT_EQ(o.status, 0) << o.err;
  // "distortion 1000 Hz at -6.00 dBFS, THD -148.48 dB, THD+N -145.93 dB"
  ASSERT_EQ(o.out.rfind("distortion 1000 Hz at -6.00 dBFS, THD ", 0), 0u) << o.out;
  const double thd = std::stod(o.out.substr(o.out.find(", THD ") + 6));
  const double thdN = std::stod(o.out.substr(o.out.find(", THD+N ") + 8));
  EXPECT_LT(thd, -120);
  EXPECT_LT(thdN, -120);
  EXPECT_NE(o.out.find("\nTHD+N limit -90.00 dB: within it\n"), std::string::npos) << o.out;

  // A tone under fifty times 10 Hz is read at 3.16 Hz; a finer RBW asked is
  // taken as it is.
  auto rbw = [](const std::vector<std::string>& args) {
    const Outcome o = measure(args);
    EXPECT_EQ(o.status, 0) << o.err;
    return QJsonDocument::fromJson(QByteArray::fromStdString(o.out)).object()["rbw_hz"].toDouble();
  };
  EXPECT_DOUBLE_EQ(rbw({"--input=Loopback", "--output=Loopback", "--frequency=100", "--json"}), 3.16);
  EXPECT_DOUBLE_EQ(rbw({"--input=Loopback", "--output=Loopback", "--rbw=1", "--json"}), 1);

  // The Multichannel output goes nowhere: no fundamental comes back.
  const Outcome none = measure({"--input=Loopback", "--output=Multichannel", "--limit-thd-n=-90"});
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.err.find("no fundamental at 1000 Hz came back from 'Loopback'"), std::string::npos) << none.err;
}

TEST(MeasureDistortion, AFrequencySweepWritesARowPerToneInOrderEachAtItsLevelThroughTheFilter) {
  testsupport::TempFolder folder;
  const Outcome o = measure({"--input=" + kDistorting, "--output=" + kDistorting, "--level=-6",
                             "--sweep-frequency=500:2000", "--points-per-octave=1", "--csv=" + folder.file("thd.csv")});
  ASSERT_EQ(o.status, 0) << o.err;
  const std::string csv = testsupport::TempFolder::read(folder.file("thd.csv"));
  EXPECT_EQ(csv.rfind("frequency_hz,level_dbfs,thd_db,thd_percent,thd_n_db,thd_n_percent,sinad_db,snr_db,noise_db,"
                      "h2_db,h3_db,h4_db,h5_db,h6_db,h7_db,h8_db,h9_db,h10_db\n",
                      0),
            0u)
      << csv;
  const std::vector<std::vector<double>> measured = rows(csv);
  ASSERT_EQ(measured.size(), 3u) << csv;
  const double tones[] = {500, 1000, 2000};
  for (std::size_t i = 0; i < 3; ++i) {
    const std::vector<double>& row = measured[i];
    ASSERT_EQ(row.size(), static_cast<std::size_t>(kColumns)) << csv;
    EXPECT_DOUBLE_EQ(row[kFrequency], tones[i]);
    EXPECT_DOUBLE_EQ(row[kLevel], -6);
    const Expected expected = expectedAt(amplitudeAfterFilter(-6, tones[i]));
    EXPECT_NEAR(row[kH2], expected.h2, 0.2) << tones[i] << " Hz";
    EXPECT_NEAR(row[kH3], expected.h3, 0.2) << tones[i] << " Hz";
  }
  // One summary line per tone, none of them on the CSV's stream.
  EXPECT_NE(o.out.find("distortion 500 Hz at -6.00 dBFS, THD -"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("\ndistortion 2000 Hz at -6.00 dBFS, THD -"), std::string::npos) << o.out;
}

// Each tone is read from windows that begin after it came round the loop:
// a window that still held some of the tone before it, or the silence
// before the first, would put that into THD+N, tens of dB above the plain
// loop's residual. Every reading counts, not only the settled one: the
// first is what a user sees first. The loop takes 8000 frames (a sixth of
// a second) to come round, within the hop the readout allows for a latency
// the devices do not report.
TEST(MeasureDistortion, EveryReadingOfEachToneHoldsThatToneAlone) {
  sim::Options options;
  options.clock = sim::ClockMode::Stepped;
  options.defaultDeviceSet = false;
  auto provider = std::make_shared<sim::SimulatedProvider>(options);
  platform::audio::AudioObjectID loopback = 0;
  for (sim::DeviceDescription d : sim::defaultDevices()) {
    if (d.name == "Loopback") d.loopbackLatencyFrames = 8000;
    const platform::audio::AudioObjectID id = provider->addDevice(d);
    if (d.name == "Loopback") loopback = id;
  }
  provider->flushNotifications();
  ui::ManualMainThread mainThread;
  ui::MainThread::install(&mainThread);
  platform::audio::installProvider(provider);
  {
    measure::Settings settings;
    settings.input = settings.output = "Loopback";
    measure::DistortionMeasurement measurement(settings, dsp::DistortionSettings{}, 500);
    std::string cause;
    ASSERT_TRUE(measurement.prepare(&cause)) << cause;
    std::vector<double> thdN;
    measurement.observeReadings([&](const measure::DistortionPoint& p) { thdN.push_back(p.reading.thdnDb); });
    for (double hz : {500.0, 1000.0, 2000.0, 4000.0}) {
      thdN.clear();
      GeneratorTone tone;
      tone.frequencyHz = hz;
      tone.amplitude = 0.5;
      const std::optional<measure::DistortionPoint> point =
          measurement.measure(tone, &cause, [&] { provider->advanceFrames(loopback, 512); });
      ASSERT_TRUE(point) << cause;
      EXPECT_TRUE(point->settled) << hz << " Hz";
      ASSERT_FALSE(thdN.empty());
      for (std::size_t i = 0; i < thdN.size(); ++i) EXPECT_LT(thdN[i], -120) << hz << " Hz, reading " << i + 1;
    }
    measurement.stop();
  }
  platform::audio::installProvider(nullptr);
  ui::MainThread::install(nullptr);
}

TEST(MeasureDistortion, ALevelSweepStepsFromItsStartAndTheHarmonicsRiseWithIt) {
  const Outcome o = measure({"--input=" + kDistorting, "--output=" + kDistorting, "--sweep-level=-18:-5:6", "--csv=-"});
  ASSERT_EQ(o.status, 0) << o.err;
  const std::vector<std::vector<double>> measured = rows(o.out);
  ASSERT_EQ(measured.size(), 3u) << o.out;  // -18, -12 and -6: -5 is not a step away
  for (std::size_t i = 0; i < 3; ++i) {
    const double dBFS = -18 + 6.0 * static_cast<double>(i);
    EXPECT_DOUBLE_EQ(measured[i][kLevel], dBFS);
    const Expected expected = expectedAt(std::pow(10.0, dBFS / 20));
    EXPECT_NEAR(measured[i][kH2], expected.h2, 0.2) << dBFS << " dBFS";
    EXPECT_NEAR(measured[i][kH3], expected.h3, 0.2) << dBFS << " dBFS";
  }
}

TEST(MeasureDistortion, OptionsThatMakeNoSenseForADistortionReadingAreRefusedBeforeAnythingPlays) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--span=100:200"},
           {"--reference=old.plist"},
           {"--window=hann"},
           {"--axis=log"},
           {"--png=plot.png"},
           {"--frequency=1000", "--sweep-frequency=20:20000"},
           {"--sweep-frequency=20:20000", "--sweep-level=-60:0:3"},
           {"--points-per-octave=3"},
           {"--sweep-frequency=2000:20"},
           {"--sweep-level=-60:0:-3"},
           {"--sweep-level=-6:3:3"},
           {"--band=20"},
           {"--frequency=0"},
           {"--limit-thd-n=low"}}) {
    const Outcome o = measure(args);
    EXPECT_EQ(o.status, 2) << args[0];
    EXPECT_EQ(o.out, "") << args[0];
  }
  // The distortion's own options without --distortion.
  MeasureHooks hooks;
  hooks.out = std::tmpfile();
  hooks.err = std::tmpfile();
  EXPECT_EQ(runMeasureCommand({"--frequency=1000"}, hooks), 2);
  EXPECT_EQ(runMeasureCommand({"--limit-thd-n=-90"}, hooks), 2);
  EXPECT_NE(slurp(hooks.err).find("give --distortion"), std::string::npos);
  std::fclose(hooks.out);
}

}  // namespace
