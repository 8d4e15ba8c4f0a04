// `specan measure --method=logsweep` over 20 Hz - 20 kHz at 48 kHz with a
// 2^18-sample sweep on the real-time simulated loopback: the time from the
// start of the sweep to the response, the analysis after the sweep ended,
// and the memory peak; against, in the same run, the tracking sweep of the
// same span at RBW 10 Hz, timed over a part of the span and extrapolated
// by its bins (linear axis) or points (log axis, 48 per octave). Each
// measurement runs in a process of its own (forked before any thread), so
// each memory peak (ru_maxrss) is its own.
//   build/bench/app/logsweep_command_bench [--length=N] [--part=LOW:HIGH]
// Prints plain text; never run by the test suite.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "app/cli/measure/LogSweepMeasurement.h"
#include "app/cli/measure/SweepMeasurement.h"
#include "dsp/FFTPlanner.h"
#include "platform/audio/simulated/SimulatedProvider.h"
#include "ui/MainThread.h"

namespace {

namespace sim = platform::audio::simulated;
namespace pa = platform::audio;

constexpr int kRbw10HzTag = 10;

struct Figures {
  double seconds = 0;   // the measurement itself
  double analysis = 0;  // log sweep: after the last sweep ended
  double units = 0;     // bins or points measured
  long peakKiB = 0;
  bool ok = false;
};

// Runs measure in a child process on a real-time loopback and returns its
// figures through a pipe.
Figures inChild(const std::function<bool(Figures&)>& measure) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    Figures f;
    {
      ui::ManualMainThread mainThread;
      ui::MainThread::install(&mainThread);
      auto provider = std::make_shared<sim::SimulatedProvider>();
      const pa::AudioObjectID loop = provider->deviceNamed("Loopback");
      provider->setDefaultDevice(pa::kAudioObjectPropertyScopeInput, loop);
      provider->setDefaultDevice(pa::kAudioObjectPropertyScopeOutput, loop);
      pa::installProvider(provider);
      f.ok = measure(f);
      pa::installProvider(nullptr);
      FFTPlanner::shutdown();
      ui::MainThread::install(nullptr);
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    f.peakKiB = usage.ru_maxrss;
    const ssize_t written = write(fds[1], &f, sizeof f);
    _exit(written == sizeof f ? 0 : 1);
  }
  close(fds[1]);
  Figures f;
  if (read(fds[0], &f, sizeof f) != sizeof f) f = {};
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return f;
}

measure::Settings loopSettings(double low, double high) {
  measure::Settings settings;
  settings.input = settings.output = "Loopback";
  settings.bandwidthTag = kRbw10HzTag;
  settings.lowerSpan = low;
  settings.upperSpan = high;
  return settings;
}

bool tracking(Figures& f, double low, double high, bool logAxis) {
  measure::Settings settings = loopSettings(low, high);
  if (logAxis) {
    settings.axis = display::AxisScale::logarithmic;
    settings.pointsPerOctave = 48;
  }
  measure::SweepMeasurement sweep(settings, false);
  std::string cause;
  if (!sweep.prepare(&cause) || !sweep.run(&cause)) {
    std::fprintf(stderr, "logsweep_command_bench: tracking: %s\n", cause.c_str());
    return false;
  }
  f.seconds = sweep.seconds();
  f.units = logAxis ? std::floor(48 * std::log2(high / low)) + 1 : sweep.bins();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  long long length = 1 << 18;
  double partLow = 1000, partHigh = 1100;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("--length=", 0) == 0) {
      length = std::stoll(a.substr(9));
    } else if (a.rfind("--part=", 0) == 0) {
      partLow = std::stod(a.substr(7));
      partHigh = std::stod(a.substr(a.find(':') + 1));
    } else {
      std::fprintf(stderr, "usage: logsweep_command_bench [--length=N] [--part=LOW:HIGH]\n");
      return a == "--help" ? 0 : 2;
    }
  }
  const double low = 20, high = 20000;

  // The rig alone: launched on the devices, nothing measured.
  const Figures idle = inChild([&](Figures&) {
    measure::SweepMeasurement rig(loopSettings(low, high), false);
    std::string cause;
    return rig.prepare(&cause);
  });
  const Figures swept = inChild([&](Figures& f) {
    LogSweepPlan options;
    options.length = length;
    measure::LogSweepMeasurement m(loopSettings(low, high), options);
    std::string cause;
    if (!m.prepare(&cause) || !m.run(&cause)) {
      std::fprintf(stderr, "logsweep_command_bench: log sweep: %s\n", cause.c_str());
      return false;
    }
    f.seconds = m.seconds();
    f.analysis = m.analysisSeconds();
    f.units = static_cast<double>(m.response().frequencyHz.size());
    return true;
  });
  const Figures linear = inChild([&](Figures& f) { return tracking(f, partLow, partHigh, false); });
  const double octaves = 1;  // the log axis' part: an octave from partLow
  const Figures logPart = inChild([&](Figures& f) { return tracking(f, partLow, partLow * 2, true); });
  if (!idle.ok || !swept.ok || !linear.ok || !logPart.ok) return 1;

  // The full span's bins at RBW 10 Hz on the linear axis, from the part's
  // bins per hertz; its points at 48 per octave on the log axis.
  const double fullBins = linear.units * (high - low) / (partHigh - partLow);
  const double fullPoints = std::floor(48 * std::log2(high / low)) + 1;
  const double linearFull = linear.seconds / linear.units * fullBins;
  const double logFull = logPart.seconds / logPart.units * fullPoints;
  std::printf("20-20000 Hz at 48 kHz on the real-time simulated loopback\n");
  std::printf("  log sweep %lld samples (%.2f s of sweep): %.3f s start to response, analysis %.3f s, "
              "%g points; peak %.1f MiB (rig alone %.1f MiB)\n",
              length, length / 48000.0, swept.seconds, swept.analysis, swept.units, swept.peakKiB / 1024.0,
              idle.peakKiB / 1024.0);
  std::printf("  tracking, linear, RBW 10 Hz: %.3f s for %g bins (%g-%g Hz) -> %.0f s for %.0f bins "
              "= %.1f x the log sweep; peak %.1f MiB\n",
              linear.seconds, linear.units, partLow, partHigh, linearFull, fullBins, linearFull / swept.seconds,
              linear.peakKiB / 1024.0);
  std::printf("  tracking, log axis 48/oct, RBW 10 Hz: %.3f s for %g points (%g octave) -> %.0f s for %.0f "
              "points = %.1f x the log sweep; peak %.1f MiB\n",
              logPart.seconds, logPart.units, octaves, logFull, fullPoints, logFull / swept.seconds,
              logPart.peakKiB / 1024.0);
  std::printf("reproduce: %s --length=%lld --part=%g:%g\n", argv[0], length, partLow, partHigh);
  return 0;
}
