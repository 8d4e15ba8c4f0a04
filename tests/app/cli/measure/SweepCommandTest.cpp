// `specan measure`: a frequency-response sweep from the command line, on the
// stepped simulated loopback (its band-pass filter as the device under test)
// and through a null sink of the test command's PulseAudio server.

#include <gtest/gtest.h>

#include <algorithm>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/TrackingRig.h"
#include "app/cli/measure/SweepCommand.h"
#include "app/cli/measure/MeasureRun.h"
#include "platform/audio/pulse/PulseProvider.h"
#include "platform/audio/simulated/SimulatedProvider.h"
#include "support/TempFolder.h"

namespace {

namespace sim = platform::audio::simulated;
namespace pa = platform::audio;

using measure_run::Outcome;
using measure_run::slurp;

// A stepped simulated provider whose Loopback has its band-pass filter at
// centreHz (and the nonlinearity given); `steps` counts the device buffers
// and `atStep` runs at each.
struct SteppedLoopback {
  explicit SteppedLoopback(double centreHz = 1000, sim::Nonlinearity nonlinearity = {}) {
    sim::Options options;
    options.clock = sim::ClockMode::Stepped;
    options.defaultDeviceSet = false;
    provider = std::make_shared<sim::SimulatedProvider>(options);
    for (sim::DeviceDescription d : sim::defaultDevices()) {
      if (d.loopbackFilter) d.loopbackFilter->centerHz = centreHz;
      if (d.name == "Loopback") d.loopbackNonlinearity = nonlinearity;
      const pa::AudioObjectID id = provider->addDevice(d);
      if (d.name == "Loopback") loopback = id;
    }
    // The devices' arrival is announced before the command looks.
    provider->flushNotifications();
  }
  Outcome measure(const std::vector<std::string>& args, const std::function<void(int)>& atStep = {}) {
    int steps = 0;
    return measure_run::run(args, provider, [&] {
      provider->advanceFrames(loopback, 512);
      if (atStep) atStep(++steps);
    });
  }
  std::shared_ptr<sim::SimulatedProvider> provider;
  pa::AudioObjectID loopback = 0;
};

// frequency → level of a CSV written by the command (the export format).
std::map<double, double> levels(const std::string& csv) {
  std::map<double, double> result;
  std::istringstream in(csv);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#' || line[0] == 'f') continue;
    const std::size_t comma = line.find(',');
    result[std::stod(line.substr(0, comma))] = std::stod(line.substr(comma + 1));
  }
  return result;
}

TEST(MeasureCommand, ThroughTheLoopbackItMeasuresTheFiltersResponseAsTheWindowDoes) {
  testsupport::TempFolder folder;
  SteppedLoopback rig;
  const Outcome o = rig.measure({"--input=Loopback", "--output=Loopback", "--span=200:5000", "--rbw=31.6",
                                 "--csv=" + folder.file("response.csv")});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out.rfind("sweep 200-5000 Hz, ", 0), 0u) << o.out;
  EXPECT_NE(o.out.find("max -15.0"), std::string::npos) << o.out;
  const std::string csv = testsupport::TempFolder::read(folder.file("response.csv"));
  // The header describes the sweep; it averaged no traces.
  EXPECT_NE(csv.find("\n# sweep: the tracking generator's tone, one spectrum per bin, bins "), std::string::npos) << csv;
  EXPECT_EQ(csv.find("averaged traces"), std::string::npos);
  const std::map<double, double> measured = levels(csv);
  ASSERT_GT(measured.size(), 1000u);
  const sim::BandPassFilter filter;
  int compared = 0;
  for (auto [f, level] : measured) {
    const double expected = app_fakes::kGeneratorLevel + app_fakes::filterResponse(filter, f, 48000);
    if (expected < app_fakes::kGeneratorLevel - 40) continue;
    ASSERT_NEAR(level, expected, 0.2) << f << " Hz";
    ++compared;
  }
  EXPECT_GT(compared, 1000);

  // The window's tracking mode, on the same devices and settings.
  auto provider = std::make_shared<sim::SimulatedProvider>(sim::Options{sim::ClockMode::Stepped, true, nullptr});
  const pa::AudioObjectID loop = provider->deviceNamed("Loopback");
  provider->setDefaultDevice(pa::kAudioObjectPropertyScopeInput, loop);
  provider->setDefaultDevice(pa::kAudioObjectPropertyScopeOutput, loop);
  app_fakes::TrackingRig window(
      provider, [provider] { provider->flushNotifications(); }, [&] { provider->advanceFrames(loop, 512); });
  window.sweep("200", "5000", 15);
  for (auto [f, level] : measured) {
    const int k = static_cast<int>(std::lround(f * window.h.app.trace->traceData()->binsPerHertz));
    ASSERT_NEAR(level, window.level(k), 0.01) << f << " Hz";
  }
}

// The summary as JSON, and the response smoothed over a third of an octave:
// the band-pass filter (1 kHz, Q 0.707) is broad enough that its peak
// stays within a few tenths of a dB, and the CSV says what it went through.
TEST(MeasureCommand, TheSummaryAsJsonAndAResponseSmoothedAsAsked) {
  testsupport::TempFolder folder;
  SteppedLoopback rig;
  const Outcome o = rig.measure({"--input=Loopback", "--output=Loopback", "--span=500:2000", "--rbw=100", "--json",
                                 "--smoothing=1/3", "--csv=" + folder.file("smoothed.csv")});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out.rfind("{\"lower_hz\":500,\"upper_hz\":2000,\"bins\":", 0), 0u) << o.out;
  EXPECT_NE(o.out.find("\"max\":{\"level_db\":-15.0"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("\"remeasured_bins\":0,"), std::string::npos) << o.out;
  EXPECT_EQ(std::count(o.out.begin(), o.out.end(), '\n'), 1);
  const std::string csv = testsupport::TempFolder::read(folder.file("smoothed.csv"));
  EXPECT_NE(csv.find("\n# smoothing: 1/3 octave"), std::string::npos) << csv.substr(0, 400);
  const sim::BandPassFilter filter;
  int compared = 0;
  for (auto [f, level] : levels(csv)) {
    if (f < 800 || f > 1250) continue;
    EXPECT_NEAR(level, app_fakes::kGeneratorLevel + app_fakes::filterResponse(filter, f, 48000), 0.3) << f << " Hz";
    ++compared;
  }
  EXPECT_GT(compared, 10);
  const Outcome wrong = rig.measure({"--smoothing=1/5"});
  EXPECT_EQ(wrong.status, 2);
  EXPECT_EQ(rig.measure({"--json", "--csv=-"}).status, 2);
}

// On the logarithmic axis at 12 points per octave: the JSON says so and how
// few spectra it took, and the CSV's bins between the points follow the
// filter as the linear sweep's do. The density needs that axis.
TEST(MeasureCommand, OnTheLogarithmicAxisItMeasuresPointsPerOctave) {
  testsupport::TempFolder folder;
  SteppedLoopback rig;
  const std::vector<std::string> sweep{"--input=Loopback", "--output=Loopback", "--span=200:8000", "--rbw=100", "--json"};
  auto spectra = [](const std::string& json) {
    const size_t at = json.find("\"spectra\":");
    return at == std::string::npos ? -1L : std::stol(json.substr(at + 10));
  };
  std::vector<std::string> log = sweep;
  log.insert(log.end(), {"--axis=log", "--points-per-octave=12", "--csv=" + folder.file("log.csv")});
  const Outcome o = rig.measure(log);
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("\"axis\":\"log\""), std::string::npos) << o.out;
  const Outcome linear = rig.measure(sweep);
  ASSERT_EQ(linear.status, 0) << linear.err;
  EXPECT_NE(linear.out.find("\"axis\":\"linear\""), std::string::npos) << linear.out;
  EXPECT_GT(spectra(linear.out), 4 * spectra(o.out)) << linear.out << o.out;
  const sim::BandPassFilter filter;
  int compared = 0;
  for (auto [f, level] : levels(testsupport::TempFolder::read(folder.file("log.csv")))) {
    if (f < 400 || f > 4000) continue;
    ASSERT_NEAR(level, app_fakes::kGeneratorLevel + app_fakes::filterResponse(filter, f, 48000), 0.3) << f << " Hz";
    ++compared;
  }
  EXPECT_GT(compared, 1000);
  EXPECT_EQ(rig.measure({"--points-per-octave=12"}).status, 2);
  EXPECT_EQ(rig.measure({"--axis=log", "--points-per-octave=0"}).status, 2);
}

// The response in a calibrated unit, and as the gain from the output to the
// input: the loopback's filter passes 1 kHz at 0 dB, so with both ends at
// the same full scale the gain reads 0 dB there, and 6 dB less with an
// output 6 dB hotter. The input's level in dBu is the generator's -15.05 dB
// (a sine of a quarter of full scale) + 3.01 (to dBFS) + 4 = -8.04 dBu.
TEST(MeasureCommand, TheResponseReadsInUnitsOrAsTheGainFromTheOutput) {
  testsupport::TempFolder folder;
  SteppedLoopback rig;
  const std::vector<std::string> sweep{"--input=Loopback", "--output=Loopback", "--span=900:1100", "--rbw=100",
                                       "--json", "--full-scale=+4dBu"};
  auto maximum = [](const Outcome& o) {
    const size_t at = o.out.find("\"max\":{\"level_db\":");
    const size_t level = o.out.find("\"level\":", at);
    return at == std::string::npos || level == std::string::npos ? NAN : std::stod(o.out.substr(level + 8));
  };
  std::vector<std::string> dbu = sweep;
  dbu.insert(dbu.end(), {"--units=dbu", "--csv=" + folder.file("dbu.csv")});
  const Outcome inDbu = rig.measure(dbu);
  ASSERT_EQ(inDbu.status, 0) << inDbu.err;
  EXPECT_NEAR(maximum(inDbu), app_fakes::kGeneratorLevel + 10 * std::log10(2.0) + 4, 0.02) << inDbu.out;
  EXPECT_NE(inDbu.out.find("\"units\":\"dBu\""), std::string::npos) << inDbu.out;
  EXPECT_NE(testsupport::TempFolder::read(folder.file("dbu.csv")).find("\nfrequency_hz,level_dbu\n"), std::string::npos);

  for (const auto& [output, gain] : std::vector<std::pair<std::string, double>>{{"+4dBu", 0.0}, {"1.228V", 0.0},
                                                                               {"+10dBu", -6.0}}) {
    std::vector<std::string> relative = sweep;
    relative.push_back("--output-full-scale=" + output);
    const Outcome o = rig.measure(relative);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NEAR(maximum(o), gain, 0.02) << output << ": " << o.out;
  }
  // The generator 6.02 dB up (half of full scale): the input hears 6.02 dB
  // more, the gain reads the same; --level in dBu needs the output's scale.
  std::vector<std::string> louder = dbu;
  louder.push_back("--level=-6.0206dBFS");
  EXPECT_NEAR(maximum(rig.measure(louder)), maximum(inDbu) + 6.02, 0.02);
  std::vector<std::string> gain = sweep;
  gain.insert(gain.end(), {"--output-full-scale=+4dBu", "--level=+1.98dBu"});
  EXPECT_NEAR(maximum(rig.measure(gain)), 0.0, 0.02);
  EXPECT_EQ(rig.measure({"--level=+4dBu"}).status, 2);
  EXPECT_EQ(rig.measure({"--level=+1dBFS"}).status, 2);
  EXPECT_EQ(rig.measure({"--output-full-scale=+4dBu"}).status, 2);
  EXPECT_EQ(rig.measure({"--output-full-scale=+4dBu", "--full-scale=+4dBu", "--units=dbv"}).status, 2);
  EXPECT_EQ(rig.measure({"--units=v"}).status, 2);
}

TEST(MeasureCommand, AReferenceFromOneRunPassesTheNextAndFailsAnotherFilter) {
  testsupport::TempFolder folder;
  const std::vector<std::string> sweep{"--input=Loopback", "--output=Loopback", "--span=500:2000", "--rbw=100"};
  auto with = [&](std::vector<std::string> more) {
    more.insert(more.begin(), sweep.begin(), sweep.end());
    return more;
  };
  const std::string reference = folder.file("reference.xml");
  ASSERT_EQ(SteppedLoopback().measure(with({"--save-reference=" + reference})).status, 0);
  const Outcome same = SteppedLoopback().measure(with({"--reference=" + reference, "--tolerance=0.1"}));
  EXPECT_EQ(same.status, 0) << same.err;
  EXPECT_NE(same.out.find("within the tolerance"), std::string::npos) << same.out;
  const Outcome other = SteppedLoopback(1200).measure(with({"--reference=" + reference, "--tolerance=0.1"}));
  EXPECT_EQ(other.status, 3) << other.err;
  EXPECT_NE(other.out.find("outside the tolerance"), std::string::npos) << other.out;
}

// Another device arriving mid-sweep, and becoming the default output, leaves
// the cards running undisturbed on the devices the sweep began with.
TEST(MeasureCommand, ADevicePluggedInAndMadeTheDefaultDuringTheSweepLeavesTheResponseAsItWas) {
  const std::vector<std::string> sweep{"--input=Loopback", "--output=Loopback", "--span=500:2000", "--rbw=100",
                                       "--csv=-"};
  const Outcome quiet = SteppedLoopback().measure(sweep);
  ASSERT_EQ(quiet.status, 0) << quiet.err;
  SteppedLoopback rig;
  sim::DeviceDescription speaker = sim::defaultDevices()[2];
  speaker.name = "Speaker";
  speaker.uid = "sim:test:speaker:Bus6:0";
  const Outcome plugged = rig.measure(sweep, [&](int step) {
    if (step == 300) rig.provider->addDevice(speaker);
    if (step == 400)
      rig.provider->setDefaultDevice(pa::kAudioObjectPropertyScopeOutput, rig.provider->deviceNamed("Speaker"));
  });
  ASSERT_EQ(plugged.status, 0) << plugged.err;
  const std::map<double, double> before = levels(quiet.out), after = levels(plugged.out);
  ASSERT_EQ(before.size(), after.size());
  for (auto [f, level] : before) ASSERT_NEAR(after.at(f), level, 0.01) << f << " Hz";
}

TEST(MeasureCommand, FailuresSayWhyExitWithOneAndLeaveNoOutputs) {
  testsupport::TempFolder folder;
  const std::string csv = folder.file("response.csv"), ref = folder.file("reference.xml");
  const std::vector<std::string> outputs{"--csv=" + csv, "--save-reference=" + ref};
  auto with = [&](std::vector<std::string> args) {
    args.insert(args.end(), outputs.begin(), outputs.end());
    return args;
  };

  Outcome o = SteppedLoopback().measure(with({"--input=Nowhere"}));
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("specan: unknown input device 'Nowhere' (input devices: 'Test Signal', 'Loopback'"),
            std::string::npos)
      << o.err;

  // The Multichannel output goes nowhere: nothing comes back to the loopback.
  o = SteppedLoopback().measure(with({"--input=Loopback", "--output=Multichannel", "--span=900:1100", "--rbw=1000"}));
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("no signal returned from 'Loopback': check the connection"), std::string::npos) << o.err;

  // A loop that returns only NaN delivers input, all of it thrown away:
  // the sweep stalls, and says what came in.
  o = SteppedLoopback(1000, {NAN, 0}).measure(with({"--input=Loopback", "--output=Loopback", "--span=900:1100"}));
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("the sweep stalled at "), std::string::npos) << o.err;
  EXPECT_NE(o.err.find(" Hz: the input from 'Loopback' holds only NaN or infinite samples"), std::string::npos) << o.err;

  // The output device is unplugged in the middle of the sweep.
  SteppedLoopback rig;
  sim::DeviceDescription speaker = sim::defaultDevices()[2];
  speaker.name = "Speaker";
  speaker.uid = "sim:test:speaker:Bus6:0";
  const pa::AudioObjectID id = rig.provider->addDevice(speaker);
  o = rig.measure(with({"--input=Loopback", "--output=Speaker", "--span=500:1500", "--rbw=100"}),
                  [&](int step) {
                    if (step == 200) rig.provider->removeDevice(id);
                  });
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("the output device 'Speaker' vanished during the sweep"), std::string::npos) << o.err;
  EXPECT_FALSE(std::filesystem::exists(csv));
  EXPECT_FALSE(std::filesystem::exists(ref));

  // An output that cannot be written is found before the sweep plays a
  // single block (also as root: a folder that does not exist, a folder).
  for (const std::string& unwritable : {"--csv=" + folder.file("missing/response.csv"), "--png=" + folder.file(""),
                                        "--save-reference=" + folder.file("missing/ref.xml")}) {
    int steps = 0;
    o = SteppedLoopback().measure({"--input=Loopback", "--output=Loopback", "--span=900:1100", unwritable},
                                  [&](int step) { steps = step; });
    EXPECT_EQ(o.status, 1) << unwritable;
    EXPECT_EQ(steps, 0) << unwritable << ": the sweep ran first";
    EXPECT_NE(o.err.find("; nothing was measured"), std::string::npos) << o.err;
  }

  for (const char* bad : {"--rbw=7", "--volume=2", "--tolerance=1", "--span=9:3", "--input-channel=0", "--bogus"}) {
    o = SteppedLoopback().measure({bad});
    EXPECT_EQ(o.status, 2) << bad;
    EXPECT_EQ(o.err.rfind(std::string("specan: ") + std::string(bad).substr(0, std::string(bad).find('=')), 0), 0u)
        << o.err;
  }
}

TEST(MeasureCommand, ANullSinkMeasuredThroughItsMonitorIsFlat) {
  pa::pulse::Options options;
  options.connectTimeoutMs = 5000;
  std::shared_ptr<pa::pulse::PulseProvider> provider = pa::pulse::PulseProvider::create(options);
  if (!provider) {
    const char* required = std::getenv("SPECAN_PULSE_REQUIRED");
    if (required && std::string(required) == "1") FAIL() << "no PulseAudio server answers";
    GTEST_SKIP() << "no PulseAudio server";
  }
  MeasureHooks hooks;
  hooks.provider = provider;
  hooks.out = std::tmpfile();
  hooks.err = std::tmpfile();
  const int status = runMeasureCommand({"--input=Monitor of SpecAn_Test_Sink_A", "--output=SpecAn_Test_Sink_A",
                                        "--span=950:1050", "--rbw=100", "--csv=-"},
                                       hooks);
  const std::string csv = slurp(hooks.out), err = slurp(hooks.err);
  ASSERT_EQ(status, 0) << err;
  const std::map<double, double> measured = levels(csv);
  ASSERT_GT(measured.size(), 200u);
  for (auto [f, level] : measured) ASSERT_NEAR(level, app_fakes::kGeneratorLevel, 0.1) << f << " Hz";
}

}  // namespace
