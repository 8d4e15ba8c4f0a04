// `specan measure --method=logsweep`: swept-sine measurements on the stepped
// simulated loopbacks, against the band-pass filter's analytic response
// (audio-EQ-cookbook band-pass, 1 kHz, Q 0.707, 0 dB at its centre, 1024
// frames of latency), its nonlinearity's harmonics and the tracking sweep.

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <map>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include <QImage>

#include "app/TrackingRig.h"
#include "app/cli/measure/SweepCommand.h"
#include "app/cli/measure/MeasureRun.h"
#include "platform/audio/simulated/SimulatedProvider.h"
#include "support/MonoFloatWave.h"
#include "support/TempFolder.h"

namespace {

namespace sim = platform::audio::simulated;
namespace pa = platform::audio;

constexpr double kRate = 48000;
constexpr uint32_t kLatency = 1024;

using measure_run::Outcome;
using measure_run::slurp;

// A stepped provider with the default devices and "Loopback (reference)":
// the Loopback whose input channel 2 carries the output looped back past
// its filter, the filter's path delayed by deviceDelay frames more, and
// optionally without a filter (a wire).
struct SteppedRig {
  explicit SteppedRig(uint32_t deviceDelay = 0, bool wire = false) {
    provider = std::make_shared<sim::SimulatedProvider>(sim::Options{sim::ClockMode::Stepped, false, nullptr});
    for (sim::DeviceDescription d : sim::defaultDevices()) {
      const pa::AudioObjectID id = provider->addDevice(d);
      if (d.name == "Loopback") {
        clock = id;
        d.name = "Loopback (reference)";
        d.uid = "sim:specan:loopback-reference:Bus5:0";
        d.loopbackReferenceChannel = 2;
        d.loopbackDeviceDelayFrames = deviceDelay;
        d.loopbackFilter->bypassed = wire;
        reference = provider->addDevice(d);
      }
    }
    provider->flushNotifications();
  }
  // Runs the command on device (its input and output); atStep runs after
  // each step with its count.
  Outcome measure(const std::string& device, std::vector<std::string> args,
                  const std::function<void(int)>& atStep = {}) {
    const pa::AudioObjectID stepped = device == "Loopback (reference)" ? reference
                                      : device == "Loopback"           ? clock
                                                                       : provider->deviceNamed(device);
    args.insert(args.begin(), {"--input=" + device, "--output=" + device});
    int steps = 0;
    return measure_run::run(args, provider, [&] {
      provider->advanceFrames(stepped, 512);
      if (atStep) atStep(++steps);
    });
  }
  std::shared_ptr<sim::SimulatedProvider> provider;
  pa::AudioObjectID clock = 0, reference = 0;
};

// The band-pass's complex response at f, as the device computes it.
std::complex<double> bandPass(double f, const sim::BandPassFilter& filter = {}) {
  const double w0 = 2 * std::numbers::pi * filter.centerHz / kRate;
  const double alpha = std::sin(w0) / (2 * filter.q);
  const std::complex<double> zi = std::polar(1.0, -2 * std::numbers::pi * f / kRate);
  return (alpha - alpha * zi * zi) / ((1 + alpha) - 2 * std::cos(w0) * zi + (1 - alpha) * zi * zi);
}

struct Row {
  double level, phase, groupDelay, h[4];
};

// frequency → row of the log sweep's CSV (empty fields NaN), its level
// column named level.
std::map<double, Row> rows(const std::string& csv, const std::string& level = "level_db") {
  std::map<double, Row> result;
  std::istringstream in(csv);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "frequency_hz," + level + ",phase_deg,group_delay_ms,h2_db,h3_db,h4_db,h5_db");
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<double> v;
    std::istringstream fields(line);
    std::string f;
    while (std::getline(fields, f, ',')) v.push_back(f.empty() ? NAN : std::stod(f));
    if (line.back() == ',') v.push_back(NAN);
    EXPECT_EQ(v.size(), 8u) << line;
    if (v.size() == 8) result[v[0]] = Row{v[1], v[2], v[3], {v[4], v[5], v[6], v[7]}};
  }
  return result;
}

double wrapped(double degrees) { return std::remainder(degrees, 360.0); }

// A number after key in a JSON object.
double jsonNumber(const std::string& json, const std::string& key) {
  const std::size_t at = json.find("\"" + key + "\":");
  EXPECT_NE(at, std::string::npos) << key << " in " << json;
  return at == std::string::npos ? NAN : std::stod(json.substr(at + key.size() + 3));
}

// Magnitude within 0.1 dB and phase within 2° of H(f)·P(f) over 20 Hz -
// 20 kHz wherever |H| is above -40 dB: P the path's own phase beside the
// filter, in degrees at each point (none: 0).
void expectBandPass(const std::map<double, Row>& measured, const std::map<double, Row>& path = {}) {
  int compared = 0;
  for (const auto& [f, row] : measured) {
    const std::complex<double> h = bandPass(f);
    const double db = 20 * std::log10(std::abs(h));
    if (db < -40) continue;
    ASSERT_NEAR(row.level, db, 0.1) << f << " Hz";
    const double phase = std::arg(h) * 180 / std::numbers::pi + (path.empty() ? 0.0 : path.at(f).phase);
    ASSERT_NEAR(wrapped(row.phase - phase), 0, 2) << f << " Hz";
    ++compared;
  }
  EXPECT_GT(compared, 350);  // 20 Hz - 20 kHz at 48 points per octave: 479 points
}

// The delay of a summary line, in samples.
double summaryDelay(const std::string& line) {
  const std::size_t at = line.find(", delay ");
  EXPECT_NE(at, std::string::npos) << line;
  return at == std::string::npos ? NAN : std::stod(line.substr(at + 8));
}

TEST(LogSweepCommand, TheLoopbacksBandPassReadsAsItsAnalyticResponseWithAndWithoutAReference) {
  testsupport::TempFolder folder;
  // With the reference on channel 2 the phase is absolute: the filter's
  // own, whatever the output's rate converter does to both channels.
  SteppedRig rig;
  const Outcome referenced = rig.measure("Loopback (reference)", {"--method=logsweep", "--reference-channel=2", "--json",
                                                                   "--csv=" + folder.file("referenced.csv")});
  ASSERT_EQ(referenced.status, 0) << referenced.err;
  EXPECT_NE(referenced.out.find("\"origin\":\"reference\""), std::string::npos) << referenced.out;
  expectBandPass(rows(testsupport::TempFolder::read(folder.file("referenced.csv"))));
  const double tau = jsonNumber(referenced.out, "delay_samples");
  EXPECT_GT(tau, 0);
  EXPECT_LT(tau, 48);  // the band-pass's response peaks within a millisecond

  // Without one the IR's peak is t = 0, and the phase holds the path's own
  // beside the filter's (the output's rate converter, not linear in phase
  // near the top): a wire's on the same path, from its own peak, the two
  // peaks' distance taken off. The delay counts from the recording's start:
  // the loop's latency, the filter's peak, and the output card's block
  // rendered ahead and its rate converter, less than two blocks.
  const Outcome plain = rig.measure("Loopback", {"--method=logsweep", "--csv=" + folder.file("plain.csv"),
                                                 "--ir=" + folder.file("ir.wav")});
  ASSERT_EQ(plain.status, 0) << plain.err;
  EXPECT_NE(plain.out.find(", phase relative to the impulse response's peak, delay "), std::string::npos)
      << plain.out;
  SteppedRig wired(0, true);
  const Outcome wire = wired.measure("Loopback (reference)", {"--method=logsweep", "--csv=" + folder.file("wire.csv")});
  ASSERT_EQ(wire.status, 0) << wire.err;
  const double peak = summaryDelay(plain.out), wirePeak = summaryDelay(wire.out);
  EXPECT_GT(wirePeak, kLatency);
  EXPECT_LT(wirePeak, kLatency + 1024);
  EXPECT_NEAR(peak - wirePeak, tau, 1);
  std::map<double, Row> path = rows(testsupport::TempFolder::read(folder.file("wire.csv")));
  for (auto& [f, row] : path) row.phase += 360 * f * (peak - wirePeak) / kRate;
  expectBandPass(rows(testsupport::TempFolder::read(folder.file("plain.csv"))), path);

  // The impulse response from the recording's start: silence until the
  // sweep came round, then the filter's response peaking there.
  const std::optional<testsupport::MonoFloatWave> wav = testsupport::readMonoFloatWave(folder.file("ir.wav"));
  ASSERT_TRUE(wav);
  EXPECT_EQ(wav->rate, 48000);
  const std::vector<float>& ir = wav->samples;
  const size_t loudest = wav->loudest;
  EXPECT_NEAR(static_cast<double>(loudest), peak, 1);
  for (size_t i = 0; i < kLatency; ++i) ASSERT_LT(std::fabs(ir[i]), 1e-3 * std::fabs(ir[loudest])) << i;
}

TEST(LogSweepCommand, ADelayAddedOnPurposeIsMeasuredExactlyFromTheReference) {
  SteppedRig rig(37, true);
  const Outcome o = rig.measure("Loopback (reference)", {"--method=logsweep", "--reference-channel=2", "--json"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NEAR(jsonNumber(o.out, "delay_samples"), 37, 0.01) << o.out;
  EXPECT_NE(o.out.find("\"origin\":\"reference\""), std::string::npos) << o.out;
}

TEST(LogSweepCommand, TheTrackingSweepAndTheLogSweepAgreeOnTheSameDevice) {
  testsupport::TempFolder folder;
  SteppedRig rig;
  const Outcome tracking =
      rig.measure("Loopback", {"--span=200:5000", "--rbw=31.6", "--csv=" + folder.file("tracking.csv")});
  ASSERT_EQ(tracking.status, 0) << tracking.err;
  const Outcome swept =
      rig.measure("Loopback", {"--method=logsweep", "--span=200:5000", "--csv=" + folder.file("swept.csv")});
  ASSERT_EQ(swept.status, 0) << swept.err;
  const std::map<double, Row> grid = rows(testsupport::TempFolder::read(folder.file("swept.csv")));
  ASSERT_GT(grid.size(), 200u);
  // Each bin of the tracking sweep against the log grid between its two
  // nearest points, the generator's level taken off.
  std::istringstream in(testsupport::TempFolder::read(folder.file("tracking.csv")));
  std::string line;
  int compared = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#' || line[0] == 'f') continue;
    const double f = std::stod(line), level = std::stod(line.substr(line.find(',') + 1));
    auto above = grid.lower_bound(f);
    if (above == grid.begin() || above == grid.end() || level - app_fakes::kGeneratorLevel < -40) continue;
    const auto below = std::prev(above);
    const double t = std::log(f / below->first) / std::log(above->first / below->first);
    const double swept = below->second.level + t * (above->second.level - below->second.level);
    ASSERT_NEAR(level - app_fakes::kGeneratorLevel, swept, 0.1) << f << " Hz";
    ++compared;
  }
  EXPECT_GT(compared, 100);
}

TEST(LogSweepCommand, AResponseSavedAsAReferencePassesEitherMethodOnTheDeviceAndFailsAnother) {
  testsupport::TempFolder folder;
  SteppedRig rig;
  const std::string reference = folder.file("loopback.plist");
  const std::vector<std::string> span{"--span=200:5000", "--rbw=31.6"};
  auto with = [&](std::vector<std::string> args) {
    args.insert(args.end(), span.begin(), span.end());
    return args;
  };
  const Outcome saved = rig.measure("Loopback", with({"--method=logsweep", "--save-reference=" + reference}));
  ASSERT_EQ(saved.status, 0) << saved.err;
  // Read back by the log sweep as measured (between the trace's bins, not at
  // the nearest, which is 0.05 dB off on the band-pass's slope at 220 Hz),
  // and by the tracking sweep of the same RBW.
  const Outcome swept = rig.measure(
      "Loopback", with({"--method=logsweep", "--reference=" + reference, "--tolerance=0.01", "--json"}));
  EXPECT_EQ(swept.status, 0) << swept.out << swept.err;
  EXPECT_NE(swept.out.find("\"within\":true"), std::string::npos) << swept.out;
  const Outcome tracked = rig.measure("Loopback", with({"--reference=" + reference, "--tolerance=0.05"}));
  EXPECT_EQ(tracked.status, 0) << tracked.out << tracked.err;
  EXPECT_NE(tracked.out.find("within the tolerance"), std::string::npos) << tracked.out;
  // A wire (the reference device's filter bypassed) is 3 dB off the
  // band-pass an octave from its centre, and more at the span's ends.
  SteppedRig wired(0, true);
  const Outcome wire = wired.measure("Loopback (reference)", with({"--method=logsweep", "--reference=" + reference,
                                                                  "--tolerance=1"}));
  EXPECT_EQ(wire.status, 3) << wire.out << wire.err;
  EXPECT_NE(wire.out.find("outside the tolerance"), std::string::npos) << wire.out;
}

// The columns of the plot's trace in an image, from the left: the top row
// of the trace's colour (blue over the print view's white, black and grey)
// in each column, -1 where there is none.
std::vector<int> traceTops(const QImage& image) {
  std::vector<int> tops(static_cast<size_t>(image.width()), -1);
  for (int x = 0; x < image.width(); ++x)
    for (int y = 0; y < image.height(); ++y) {
      const QColor c = image.pixelColor(x, y);
      if (c.blue() - c.red() > 80) {
        tops[static_cast<size_t>(x)] = y;
        break;
      }
    }
  return tops;
}

TEST(LogSweepCommand, TheImageDrawsTheGainOverTheSpanOnTheLogAxisOrOnTheLinearOne) {
  testsupport::TempFolder folder;
  SteppedRig rig;
  // The band-pass's peak, 1 kHz, lies 56.6 % of the way across 20 Hz -
  // 20 kHz on the log axis (log(1000/20) / log(1000)) and 4.9 % on the
  // linear one ((1000 - 20) / 19980).
  const std::pair<const char*, double> axes[] = {{"--axis=log", 0.566}, {"--axis=linear", 0.049}};
  for (const auto& [axis, peakAt] : axes) {
    const std::string png = folder.file(std::string(axis + 7) + ".png");
    const Outcome o = rig.measure("Loopback", {"--method=logsweep", "--length=65536", "--png=" + png,
                                                "--size=800x500", axis});
    ASSERT_EQ(o.status, 0) << o.err;
    const QImage image(QString::fromStdString(png));
    ASSERT_EQ(image.size(), QSize(800, 500)) << axis;
    const std::vector<int> tops = traceTops(image);
    const auto drawn = [](int top) { return top >= 0; };
    const int left = static_cast<int>(std::find_if(tops.begin(), tops.end(), drawn) - tops.begin());
    const int right = static_cast<int>(tops.rend() - std::find_if(tops.rbegin(), tops.rend(), drawn)) - 1;
    ASSERT_GT(right - left, 600) << axis << ": the trace spans the plot";
    // Drawn without a gap, its highest point at the filter's centre.
    int highest = left;
    for (int x = left; x <= right; ++x) {
      ASSERT_GE(tops[static_cast<size_t>(x)], 0) << axis << ": no trace at column " << x;
      if (tops[static_cast<size_t>(x)] < tops[static_cast<size_t>(highest)]) highest = x;
    }
    EXPECT_NEAR(highest, left + peakAt * (right - left), 0.015 * (right - left)) << axis;
  }
  // The group delay on the right-hand scale in the phase's place: the gain
  // stays, the right-hand curve and its labels change.
  const std::string delay = folder.file("delay.png");
  const Outcome o = rig.measure("Loopback", {"--method=logsweep", "--length=65536", "--png=" + delay,
                                              "--size=800x500", "--axis=log", "--right-scale=delay"});
  ASSERT_EQ(o.status, 0) << o.err;
  const QImage phaseImage(QString::fromStdString(folder.file("log.png")));
  const QImage delayImage(QString::fromStdString(delay));
  ASSERT_EQ(delayImage.size(), phaseImage.size());
  EXPECT_EQ(traceTops(delayImage), traceTops(phaseImage));
  int changed = 0;
  for (int y = 0; y < phaseImage.height(); ++y)
    for (int x = 0; x < phaseImage.width(); ++x) changed += phaseImage.pixel(x, y) != delayImage.pixel(x, y);
  EXPECT_GT(changed, 500);
}

// The distorting loopback's y = x + a·x² + b·x³ after the band-pass: a
// sine of amplitude A·|H| there has H2 = a·A·|H|/2 and H3 = b·A²·|H|²/4
// relative to its fundamental A·|H|·(1 + 3b·A²·|H|²/4).
TEST(LogSweepCommand, TheDistortingLoopbacksSecondAndThirdHarmonicsReadAsItsNonlinearityMakesThem) {
  testsupport::TempFolder folder;
  SteppedRig rig;
  const Outcome o = rig.measure("Loopback (distorting)",
                                {"--method=logsweep", "--level=-6", "--csv=" + folder.file("distorting.csv")});
  ASSERT_EQ(o.status, 0) << o.err;
  const double a = sim::kDistortingLoopback.a, b = sim::kDistortingLoopback.b;
  const double A = std::pow(10.0, -6.0 / 20);
  int compared = 0;
  for (const auto& [f, row] : rows(testsupport::TempFolder::read(folder.file("distorting.csv")))) {
    const double h = std::abs(bandPass(f));
    if (20 * std::log10(h) < -10 || !std::isfinite(row.h[1])) continue;
    const double fundamental = 1 + 3 * b * A * A * h * h / 4;
    ASSERT_NEAR(row.h[0], 20 * std::log10(a * A * h / 2 / fundamental), 0.5) << f << " Hz";
    ASSERT_NEAR(row.h[1], 20 * std::log10(b * A * A * h * h / 4 / fundamental), 0.5) << f << " Hz";
    ++compared;
  }
  EXPECT_GT(compared, 50);
}

// Smoothed, each point is the band-pass's power averaged over its octave:
// the mean of |H(f)|² over [f/√2, f·√2] in linear frequency (the interval
// in 4000 steps), which lies up to 1 dB from |H|² on the filter's slopes
// and at its peak. In dBV with a full scale of 1 V RMS the generator's
// quarter of full scale (-12.04 dBFS) is 0.25 V RMS, -12.04 dBV, so each
// level reads the gain plus that.
TEST(LogSweepCommand, TheResponseIsSmoothedAndReadInTheCalibratedUnit) {
  testsupport::TempFolder folder;
  SteppedRig rig;
  const Outcome o = rig.measure("Loopback", {"--method=logsweep", "--length=65536", "--smoothing=1/1", "--units=dBV",
                                              "--full-scale=1V", "--csv=" + folder.file("dbv.csv")});
  ASSERT_EQ(o.status, 0) << o.err;
  // The summary reads the response as measured: the filter's 0 dB centre.
  EXPECT_NE(o.out.find(", max -12.04 dBV at 1"), std::string::npos) << o.out;
  const std::string csv = testsupport::TempFolder::read(folder.file("dbv.csv"));
  EXPECT_NE(csv.find("\n# smoothing: 1/1 octave\n"), std::string::npos) << csv;
  EXPECT_NE(csv.find("\n# levels in: dBV"), std::string::npos) << csv;
  const double generator = 20 * std::log10(0.25);
  int compared = 0;
  double farthest = 0;
  for (const auto& [f, row] : rows(csv, "level_dbv")) {
    if (f < 100 || f > 10000) continue;
    double power = 0;
    constexpr int kSteps = 4000;
    const double low = f / std::sqrt(2.0), high = f * std::sqrt(2.0);
    for (int i = 0; i < kSteps; ++i) power += std::norm(bandPass(low + (i + 0.5) * (high - low) / kSteps)) / kSteps;
    const double smoothed = 10 * std::log10(power);
    ASSERT_NEAR(row.level - generator, smoothed, 0.05) << f << " Hz";
    farthest = std::max(farthest, std::fabs(smoothed - 20 * std::log10(std::abs(bandPass(f)))));
    ++compared;
  }
  EXPECT_GT(compared, 300);
  EXPECT_GT(farthest, 0.5);

  // With the output's full scale the response is the gain in volts: an
  // output of 2 V RMS at full scale into an input of 1 V reads 6.02 dB
  // below the filter's gain.
  const Outcome volts = rig.measure("Loopback", {"--method=logsweep", "--length=65536", "--full-scale=1V",
                                                  "--output-full-scale=2V", "--csv=" + folder.file("gain.csv")});
  ASSERT_EQ(volts.status, 0) << volts.err;
  compared = 0;
  for (const auto& [f, row] : rows(testsupport::TempFolder::read(folder.file("gain.csv")))) {
    if (f < 100 || f > 10000) continue;
    ASSERT_NEAR(row.level, 20 * std::log10(std::abs(bandPass(f)) / 2), 0.1) << f << " Hz";
    ++compared;
  }
  EXPECT_GT(compared, 300);
}

// A microphone whose calibration rises 10 dB a decade from 0 dB at 10 Hz is
// taken out of each level at its frequency, and out of each harmonic at
// its own: H2 reads 10·log10(2) = 3.01 dB and H3 10·log10(3) = 4.77 dB lower
// than the distorting loopback makes them.
TEST(LogSweepCommand, ASensorsCalibrationIsTakenOutOfTheLevelsAndTheHarmonics) {
  testsupport::TempFolder folder;
  {
    std::FILE* file = std::fopen(folder.file("rising.txt").c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs("10 0\n100000 40\n", file);
    std::fclose(file);
  }
  SteppedRig rig;
  const Outcome o = rig.measure("Loopback (distorting)", {"--method=logsweep", "--level=-6",
                                                           "--calibration=" + folder.file("rising.txt"),
                                                           "--csv=" + folder.file("taken.csv")});
  ASSERT_EQ(o.status, 0) << o.err;
  const double a = sim::kDistortingLoopback.a, b = sim::kDistortingLoopback.b;
  const double A = std::pow(10.0, -6.0 / 20);
  int compared = 0;
  for (const auto& [f, row] : rows(testsupport::TempFolder::read(folder.file("taken.csv")))) {
    const double h = std::abs(bandPass(f));
    if (20 * std::log10(h) < -10 || !std::isfinite(row.h[1])) continue;
    const double fundamental = 1 + 3 * b * A * A * h * h / 4;
    ASSERT_NEAR(row.level, 20 * std::log10(h * fundamental) - 10 * std::log10(f / 10), 0.1) << f << " Hz";
    ASSERT_NEAR(row.h[0], 20 * std::log10(a * A * h / 2 / fundamental) - 10 * std::log10(2.0), 0.5) << f << " Hz";
    ASSERT_NEAR(row.h[1], 20 * std::log10(b * A * A * h * h / 4 / fundamental) - 10 * std::log10(3.0), 0.5)
        << f << " Hz";
    ++compared;
  }
  EXPECT_GT(compared, 50);
}

TEST(LogSweepCommand, ASweepADropOutMetIsPlayedAgainAndNeverAveragedIn) {
  SteppedRig rig;
  // Halfway through the first of two sweeps the main thread stops taking
  // the input for a second: the input's blocks run out and are lost.
  const Outcome o = rig.measure("Loopback", {"--method=logsweep", "--length=65536", "--sweeps=2", "--json"},
                                [&](int step) {
                                  if (step == 60) rig.provider->advanceFrames(rig.clock, 48000);
                                });
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("\"sweeps\":2,\"repeated_sweeps\":1,"), std::string::npos) << o.out;
  EXPECT_NEAR(jsonNumber(o.out, "level_db"), 0, 0.05) << o.out;  // the maximum: the filter's centre
}

TEST(LogSweepCommand, OptionsOfTheLogSweepAloneAndWhatItCannotDoAreRefused) {
  SteppedRig rig;
  const std::pair<std::vector<std::string>, const char*> refused[] = {
      {{"--sweeps=2"}, "--sweeps: belongs to the log sweep: give --method=logsweep"},
      {{"--right-scale=delay"}, "--right-scale: belongs to the log sweep: give --method=logsweep"},
      {{"--method=logsweep", "--right-scale=ms"}, "the right scale is phase, unwrapped or delay"},
      {{"--method=logsweep", "--window=hann"}, "--window: not with --method=logsweep, which reads no window's spectrum"},
      {{"--method=logsweep", "--axis=log"}, "--axis: the axis is that of the image: give --png too"},
      {{"--method=logsweep", "--length=1000"}, "the sweep's length is a number of samples from 65536 to 1048576"},
      {{"--method=chirp"}, "the method is tracking (the default) or logsweep"}};
  for (const auto& [args, message] : refused) {
    const Outcome o = rig.measure("Loopback", args);
    EXPECT_EQ(o.status, 2) << args.back();
    EXPECT_NE(o.err.find(message), std::string::npos) << o.err;
  }
  const Outcome same = rig.measure("Loopback", {"--method=logsweep", "--reference-channel=1"});
  EXPECT_EQ(same.status, 1);
  EXPECT_NE(same.err.find("the reference channel 1 is the measurement's own channel"), std::string::npos) << same.err;
  // The plain Loopback's channel 2 carries the filtered silence of output 2.
  const Outcome silent = rig.measure("Loopback", {"--method=logsweep", "--length=65536", "--reference-channel=2"});
  EXPECT_EQ(silent.status, 1);
  EXPECT_NE(silent.err.find("the reference channel 2 carries no sweep"), std::string::npos) << silent.err;
}

}  // namespace
