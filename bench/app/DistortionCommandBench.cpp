// `specan measure --distortion` at 1 kHz on the stepped simulated loopbacks
// (the plain one and the distorting one), stepped as fast as the machine
// goes, at RBW 10 Hz asked (the readout takes it for a tone of 500 Hz and
// up, 3.16 Hz below): for each, the audio
// time (frames played / rate) and the wall time until the first reading
// whose fundamental and THD+N are within 0.1 dB of the settled reading's,
// until the reading settled, and for the whole command (launch to exit).
// Against, in the same run: the readout's own spectra with nothing to read
// (one hop of audio and the wall time per spectrum at its RBW and window),
// and the plain sweep command's wall and audio time per spectrum at RBW
// 10 Hz over 990 to 1010 Hz.
//
//   build/bench/app/distortion_command_bench [--frequency=HZ]
// Prints plain text; never run by the test suite.

#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/cli/measure/DistortionMeasurement.h"
#include "app/cli/measure/SweepCommand.h"
#include "app/cli/measure/SweepMeasurement.h"
#include "app/controller/AppDelegate.h"
#include "dsp/FFTPlanner.h"
#include "dsp/PlotTrace.h"
#include "dsp/WindowShape.h"
#include "platform/audio/simulated/SimulatedProvider.h"
#include "ui/MainThread.h"

namespace {

namespace sim = platform::audio::simulated;
namespace pa = platform::audio;
using Clock = std::chrono::steady_clock;

constexpr int kFramesPerStep = 512;
constexpr double kRate = 48000;
constexpr int kRbw10HzTag = 10;

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// A stepped provider and the frames it has been stepped by.
struct SteppedLoop {
  std::shared_ptr<sim::SimulatedProvider> provider =
      std::make_shared<sim::SimulatedProvider>(sim::Options{sim::ClockMode::Stepped, true, nullptr});
  pa::AudioObjectID loopback = provider->deviceNamed("Loopback");
  int64_t frames = 0;
  SteppedLoop() { provider->flushNotifications(); }
  std::function<void()> step() {
    return [this] {
      provider->advanceFrames(loopback, kFramesPerStep);
      frames += kFramesPerStep;
    };
  }
};

// The provider installed with a main thread this one serves, for the
// measurements driven without the command.
struct Installed {
  ui::ManualMainThread mainThread;
  explicit Installed(const std::shared_ptr<pa::Provider>& provider) {
    ui::MainThread::install(&mainThread);
    pa::installProvider(provider);
  }
  ~Installed() {
    pa::installProvider(nullptr);
    FFTPlanner::shutdown();
    ui::MainThread::install(nullptr);
  }
};

measure::Settings loopSettings(const std::string& device) {
  measure::Settings settings;
  settings.input = settings.output = device;
  settings.bandwidthTag = kRbw10HzTag;
  return settings;
}

struct Timing {
  double audio = 0, wall = 0;
};

struct Readings {
  Timing first, settled;  // the first reading within 0.1 dB; the settled one
  int firstIndex = 0, spectra = 0;
  bool settledFlag = false;
  double fundamentalDb = 0, thdNDb = 0;
};

// Measures the tone with DistortionMeasurement itself, hearing each reading.
bool readTone(const std::string& device, double hz, Readings* out) {
  SteppedLoop loop;
  Installed installed(loop.provider);
  measure::DistortionMeasurement measurement(loopSettings(device), dsp::DistortionSettings{}, hz);
  std::string cause;
  if (!measurement.prepare(&cause)) {
    std::fprintf(stderr, "distortion_command_bench: %s\n", cause.c_str());
    return false;
  }
  struct Taken {
    Timing at;
    double fundamental, thdN;
  };
  std::vector<Taken> taken;
  const int64_t frames0 = loop.frames;
  const auto start = Clock::now();
  measurement.observeReadings([&](const measure::DistortionPoint& p) {
    taken.push_back({{static_cast<double>(loop.frames - frames0) / kRate, since(start)},
                     p.reading.fundamentalDb, p.reading.thdnDb});
  });
  GeneratorTone tone;
  tone.frequencyHz = hz;
  const std::optional<measure::DistortionPoint> point = measurement.measure(tone, &cause, loop.step());
  measurement.stop();
  if (!point || !point->reading.valid || taken.empty()) {
    std::fprintf(stderr, "distortion_command_bench: %s: %s\n", device.c_str(),
                 point ? "no fundamental came back" : cause.c_str());
    return false;
  }
  out->spectra = point->spectra;
  out->settledFlag = point->settled;
  out->fundamentalDb = point->reading.fundamentalDb;
  out->thdNDb = point->reading.thdnDb;
  out->settled = taken.back().at;
  for (std::size_t i = 0; i < taken.size(); ++i)
    if (std::fabs(taken[i].fundamental - out->fundamentalDb) <= 0.1 && std::fabs(taken[i].thdN - out->thdNDb) <= 0.1) {
      out->first = taken[i].at;
      out->firstIndex = static_cast<int>(i) + 1;
      break;
    }
  return true;
}

// The whole command: launch, the reading, the summary.
bool command(const std::string& device, double hz, Timing* out) {
  SteppedLoop loop;
  MeasureHooks hooks;
  hooks.provider = loop.provider;
  hooks.step = loop.step();
  hooks.out = std::tmpfile();
  const auto start = Clock::now();
  char frequency[64];
  std::snprintf(frequency, sizeof frequency, "--frequency=%g", hz);
  const int status = runMeasureCommand(
      {"--distortion", frequency, "--rbw=10", "--input=" + device, "--output=" + device}, hooks);
  out->wall = since(start);
  out->audio = static_cast<double>(loop.frames) / kRate;
  std::fclose(hooks.out);
  return status == 0;
}

struct PerSpectrum {
  Timing each;
  int bins = 0;
  int64_t spectra = 0;
};

// The readout's spectra with nothing playing: what one spectrum costs at
// its RBW and window.
bool idleReadout(double hz, PerSpectrum* out) {
  SteppedLoop loop;
  Installed installed(loop.provider);
  measure::Settings settings = loopSettings("Loopback");
  settings.windowTag = static_cast<int>(WindowShape::BlackmanHarris7);
  settings.bandwidthTag = measure::DistortionMeasurement::bandwidthTagFor(settings.bandwidthTag, hz);
  measure::SweepMeasurement rig(settings, false);
  std::string cause;
  if (!rig.prepare(&cause)) {
    std::fprintf(stderr, "distortion_command_bench: %s\n", cause.c_str());
    return false;
  }
  const std::function<void()> step = loop.step();
  // The first spectrum, then twenty more timed.
  const int64_t first = rig.view().tracesReceived();
  while (rig.view().tracesReceived() == first) rig.look(step);
  const int64_t from = rig.view().tracesReceived(), frames0 = loop.frames;
  const auto start = Clock::now();
  while (rig.view().tracesReceived() < from + 20) rig.look(step);
  out->spectra = rig.view().tracesReceived() - from;
  out->each = {static_cast<double>(loop.frames - frames0) / kRate / static_cast<double>(out->spectra),
               since(start) / static_cast<double>(out->spectra)};
  out->bins = rig.controller().trace->traceData()->bins;
  return true;
}

// The plain sweep at RBW 10 Hz (Gaussian): one bin per spectrum.
bool sweep(PerSpectrum* out) {
  SteppedLoop loop;
  Installed installed(loop.provider);
  measure::Settings settings = loopSettings("Loopback");
  settings.lowerSpan = 990;
  settings.upperSpan = 1010;
  measure::SweepMeasurement rig(settings, false);
  std::string cause;
  const int64_t frames0 = loop.frames;
  const auto start = Clock::now();
  if (!rig.prepare(&cause) || !rig.run(&cause, loop.step())) {
    std::fprintf(stderr, "distortion_command_bench: sweep: %s\n", cause.c_str());
    return false;
  }
  const double wall = since(start);
  out->spectra = rig.spectra();
  out->each = {static_cast<double>(loop.frames - frames0) / kRate / static_cast<double>(out->spectra),
               wall / static_cast<double>(out->spectra)};
  out->bins = rig.controller().trace->traceData()->bins;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  double hz = 1000;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("--frequency=", 0) == 0) hz = std::stod(a.substr(12));
    else {
      std::fprintf(stderr, "usage: distortion_command_bench [--frequency=HZ]\n");
      return a == "--help" ? 0 : 2;
    }
  }
  PerSpectrum readout, swept;
  if (!idleReadout(hz, &readout) || !sweep(&swept)) return 1;
  std::printf("baseline, stepped %d frames at a time at %g Hz:\n", kFramesPerStep, kRate);
  std::printf("  readout spectra (7-term Blackman-Harris, RBW %g Hz, %d bins = %d-point FFT): "
              "%.4f s audio, %.4f s wall per spectrum\n",
              std::pow(10.0, measure::DistortionMeasurement::bandwidthTagFor(kRbw10HzTag, hz) / 10.0), readout.bins,
              2 * readout.bins, readout.each.audio, readout.each.wall);
  std::printf("  sweep command (Gaussian, RBW 10 Hz, %d bins, 990-1010 Hz, %lld spectra): "
              "%.4f s audio, %.4f s wall per spectrum\n",
              swept.bins, static_cast<long long>(swept.spectra), swept.each.audio, swept.each.wall);
  int status = 0;
  for (const std::string device : {"Loopback", "Loopback (distorting)"}) {
    Readings r;
    Timing whole;
    if (!readTone(device, hz, &r) || !command(device, hz, &whole)) {
      status = 1;
      continue;
    }
    std::printf("%s, %g Hz at -12.04 dBFS, RBW 10 Hz asked: settled %s after %d readings at fundamental %.2f dB, "
                "THD+N %.2f dB\n",
                device.c_str(), hz, r.settledFlag ? "yes" : "no", r.spectra, r.fundamentalDb, r.thdNDb);
    if (r.firstIndex > 0)
      std::printf("  first reading within 0.1 dB (reading %d): %.3f s audio = %.1f readout spectra, %.3f s wall\n",
                  r.firstIndex, r.first.audio, r.first.audio / readout.each.audio, r.first.wall);
    else
      std::printf("  no reading within 0.1 dB of the settled one\n");
    std::printf("  settled reading: %.3f s audio = %.1f readout spectra, %.3f s wall\n", r.settled.audio,
                r.settled.audio / readout.each.audio, r.settled.wall);
    std::printf("  whole command (launch to exit): %.3f s audio, %.3f s wall\n", whole.audio, whole.wall);
  }
  std::printf("goal: the first reading within 0.1 dB in under 1 s\n");
  std::printf("reproduce: %s --frequency=%g\n", argv[0], hz);
  return status;
}
