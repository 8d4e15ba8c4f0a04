// `specan measure` on the simulated loopback in real time: the sweep's wall
// time against its designed minimum, the bins it steps through divided by the
// spectra the engine completes per second (one bin per spectrum), and the
// whole command (launch, sweep, outputs) against the same minimum.
//   build/bench/app/sweep_command_bench [--span=LOW:HIGH] [--rbw=HZ]
// Prints plain text; never run by the test suite.

#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/cli/measure/SweepCommand.h"
#include "app/cli/measure/SweepMeasurement.h"
#include "platform/audio/simulated/SimulatedProvider.h"
#include "ui/MainThread.h"

namespace {

namespace sim = platform::audio::simulated;
namespace pa = platform::audio;
using Clock = std::chrono::steady_clock;

std::shared_ptr<sim::SimulatedProvider> loopbackProvider() {
  auto provider = std::make_shared<sim::SimulatedProvider>();
  const pa::AudioObjectID loop = provider->deviceNamed("Loopback");
  provider->setDefaultDevice(pa::kAudioObjectPropertyScopeInput, loop);
  provider->setDefaultDevice(pa::kAudioObjectPropertyScopeOutput, loop);
  return provider;
}

}  // namespace

int main(int argc, char** argv) {
  std::string span = "900:1100", rbw = "100";
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("--span=", 0) == 0) span = a.substr(7);
    else if (a.rfind("--rbw=", 0) == 0) rbw = a.substr(6);
    else {
      std::fprintf(stderr, "usage: sweep_command_bench [--span=LOW:HIGH] [--rbw=HZ]\n");
      return a == "--help" ? 0 : 2;
    }
  }
  const std::size_t colon = span.find(':');
  measure::Settings settings;
  settings.lowerSpan = std::stod(span.substr(0, colon));
  settings.upperSpan = std::stod(span.substr(colon + 1));
  settings.bandwidthTag = static_cast<int>(std::lround(10 * std::log10(std::stod(rbw))));

  // The sweep alone.
  double sweepSeconds = 0, minimum = 0;
  int bins = 0;
  {
    ui::ManualMainThread mainThread;
    ui::MainThread::install(&mainThread);
    pa::installProvider(loopbackProvider());
    {
      measure::SweepMeasurement sweep(settings, false);
      std::string cause;
      if (!sweep.prepare(&cause) || !sweep.run(&cause)) {
        std::fprintf(stderr, "sweep_command_bench: %s\n", cause.c_str());
        return 1;
      }
      const Sweep& s = sweep.controller().sweep;
      const TraceData* t = sweep.controller().trace->traceData();
      bins = s.currentBin - s.startBin;
      minimum = bins / (static_cast<double>(s.hertzPerSecond) * t->binsPerHertz);
      sweepSeconds = sweep.seconds();
    }
    pa::installProvider(nullptr);
    ui::MainThread::install(nullptr);
  }

  // The whole command.
  MeasureHooks hooks;
  hooks.provider = loopbackProvider();
  std::FILE* sink = std::tmpfile();
  hooks.out = sink;
  const auto start = Clock::now();
  const int status = runMeasureCommand({"--span=" + span, "--rbw=" + rbw, "--csv=-"}, hooks);
  const double commandSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::fclose(sink);
  if (status != 0) return 1;

  std::printf("sweep %s Hz at RBW %s Hz: %d bins, designed minimum %.3f s (bins / spectra per second)\n",
              span.c_str(), rbw.c_str(), bins, minimum);
  std::printf("  sweep      %.3f s  = %.4f x the minimum (overhead %+.2f %%)\n", sweepSeconds, sweepSeconds / minimum,
              100 * (sweepSeconds / minimum - 1));
  std::printf("  command    %.3f s  = %.4f x the minimum (launch, sweep, CSV)\n", commandSeconds,
              commandSeconds / minimum);
  std::printf("reproduce: %s --span=%s --rbw=%s\n", argv[0], span.c_str(), rbw.c_str());
  return 0;
}
