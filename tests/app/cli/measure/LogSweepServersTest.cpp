// `specan measure --method=logsweep` through the test command's sound
// servers: a null sink of its PulseAudio server measured through its
// monitor, and a pass-through client of its JACK server (scripts/
// pulse-daemon, scripts/jack-daemon). Both are perfect wires, so the gain is
// 0 dB at every frequency; a sweep an xrun or a lost block met is played
// again, never averaged in. Without a server a case skips, unless
// SPECAN_PULSE_REQUIRED=1 or SPECAN_JACK_REQUIRED=1 (set by scripts/test).

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/measure/MeasureRun.h"
#include "platform/audio/jack/JackProvider.h"
#include "platform/audio/pulse/PulseProvider.h"
#include "support/JackWire.h"
#include "support/TempFolder.h"

namespace {

namespace pa = platform::audio;

bool required(const char* variable) {
  const char* value = std::getenv(variable);
  return value && std::string(value) == "1";
}

// frequency → gain in dB of the log sweep's CSV.
std::map<double, double> gains(const std::string& csv) {
  std::map<double, double> result;
  std::istringstream in(csv);
  std::string line;
  while (std::getline(in, line))
    if (!line.empty() && line[0] != '#' && line[0] != 'f')
      result[std::stod(line)] = std::stod(line.substr(line.find(',') + 1));
  return result;
}

// A number after key in a JSON object.
double jsonNumber(const std::string& json, const std::string& key) {
  const std::size_t at = json.find("\"" + key + "\":");
  EXPECT_NE(at, std::string::npos) << key << " in " << json;
  return at == std::string::npos ? NAN : std::stod(json.substr(at + key.size() + 3));
}

// A log sweep of 100 Hz - 10 kHz from output to input through provider:
// every point of the grid within tolerance dB of 0 dB. The delay it reports
// (without a reference channel, from the recording's start: approximate by
// the blocks queued towards the main thread).
double expectFlat(std::shared_ptr<pa::Provider> provider, const std::string& input, const std::string& output,
                  double tolerance) {
  testsupport::TempFolder folder;
  const std::string csv = folder.file("wire.csv");
  // The test servers run without real-time priority: on a loaded machine
  // xruns can meet every sweep the command plays, and it then fails saying
  // so. Such a run is made again.
  measure_run::Outcome o;
  for (int attempt = 0; attempt < 4; ++attempt) {
    o = measure_run::run({"--input=" + input, "--output=" + output, "--method=logsweep", "--length=65536",
                          "--span=100:10000", "--csv=" + csv, "--json"},
                         provider, {});
    if (o.status != 1 || o.err.find("drop-outs met") == std::string::npos) break;
  }
  EXPECT_EQ(o.status, 0) << o.err;
  const std::map<double, double> measured = gains(testsupport::TempFolder::read(csv));
  EXPECT_GT(measured.size(), 300u);  // 6.6 octaves at 48 points per octave
  for (auto [f, gain] : measured) {
    EXPECT_NEAR(gain, 0, tolerance) << f << " Hz; " << o.out;
    if (std::fabs(gain) > tolerance) break;
  }
  return jsonNumber(o.out, "delay_samples");
}

}  // namespace

TEST(LogSweepServers, ANullSinkMeasuredThroughItsMonitorIsFlat) {
  pa::pulse::Options options;
  options.connectTimeoutMs = 5000;
  std::shared_ptr<pa::pulse::PulseProvider> provider = pa::pulse::PulseProvider::create(options);
  if (!provider) {
    if (required("SPECAN_PULSE_REQUIRED")) FAIL() << "no PulseAudio server answers";
    GTEST_SKIP() << "no PulseAudio server";
  }
  // The delay from the recording's start holds what the output had queued
  // before the sweep and the input's blocks the recording began behind, so
  // on a busy machine it moves from run to run. It is never negative: the
  // monitor of a sink skips what a new stream plays first (the server
  // rewinds the sink to mix it in), and had the sweep begun the stream, the
  // recording would begin inside the sweep, a few milliseconds "before" the
  // response.
  for (int run = 0; run < 3; ++run)
    EXPECT_GT(expectFlat(provider, "Monitor of SpecAn_Test_Sink_A", "SpecAn_Test_Sink_A", 0.1), 0);
}

TEST(LogSweepServers, AJackPassThroughClientIsFlat) {
  std::shared_ptr<pa::jack::JackProvider> provider = testsupport::jackTestProvider();
  if (!provider) {
    if (testsupport::jackTestServerRequired()) FAIL() << "no JACK server named by SPECAN_JACK_SERVER runs";
    GTEST_SKIP() << "no JACK test server";
  }
  testsupport::JackWire wire("specan-logsweep-wire", testsupport::jackTestServer());
  ASSERT_TRUE(wire.ok());
  provider->flushNotifications();
  EXPECT_TRUE(std::isfinite(expectFlat(provider, "specan-logsweep-wire", "specan-logsweep-wire", 0.05)));
}
