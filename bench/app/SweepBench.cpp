// A full-band frequency-response sweep through the simulated Loopback device
// (its band-pass device under test), stepped as fast as the machine goes:
// 20 Hz to 20 kHz, Gaussian window, 48 kHz, at RBW 10 Hz and 100 Hz, on the
// linear axis (every bin) and on the logarithmic axis (48 points per
// octave). Reports for each the spectra taken, the device time they took,
// the wall time per spectrum against stepping the device with nothing
// playing or analysing (the baseline, same run), and the measured response's
// worst deviation from the filter's analytic response where that is above
// -40 dB; for the logarithmic sweeps the spectra and device time as ratios
// to the linear sweep's of the same RBW.
//
//   sweep_bench [--help]

#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <memory>
#include <numbers>
#include <thread>

#include "app/controller/AppDelegate.h"
#include "app/controller/InterfaceMenus.h"
#include "plot/FrequencyAxis.h"
#include "audio/AFInputSoundcard.h"
#include "endpoints/Input.h"
#include "endpoints/TrackingGenerator.h"
#include "platform/audio/simulated/SimulatedProvider.h"
#include "ui/MainThread.h"
#include "support/ServeMainThread.h"

namespace {

namespace sim = platform::audio::simulated;
namespace pa = platform::audio;
using Clock = std::chrono::steady_clock;

struct Field final : ui::TextField {
  explicit Field(const char* text) { setStringValue(text); }
};

struct PopUp final : ui::PopUpButton {
  PopUp(const std::vector<ui::MenuItem>& items, int tag) {
    auto menu = std::make_shared<ui::Menu>();
    for (const ui::MenuItem& item : items) menu->addItem(item.title, item.tag);
    setMenu(menu);
    selectItemWithTag(tag);
  }
};

double filterResponse(const sim::BandPassFilter& filter, double f, double rate) {
  const double w0 = 2 * std::numbers::pi * filter.centerHz / rate;
  const double alpha = std::sin(w0) / (2 * filter.q);
  const std::complex<double> zi = std::polar(1.0, -2 * std::numbers::pi * f / rate);
  const std::complex<double> h = (alpha - alpha * zi * zi) / ((1 + alpha) - 2 * std::cos(w0) * zi + (1 - alpha) * zi * zi);
  return 20 * std::log10(std::abs(h));
}

// Runs the provider's notifications while this thread serves as the main thread.
void settle(sim::SimulatedProvider& provider, ui::ManualMainThread& mainThread) {
  testsupport::serveMainThreadWhile(mainThread, [&] { provider.flushNotifications(); });
}

struct Outcome {
  int64_t spectra = 0;
  long blocks = 0;
  double wallPerSpectrum = 0, baselinePerSpectrum = 0, worst = 0;
  int compared = 0;
};

Outcome sweepOnce(sim::SimulatedProvider& provider, pa::AudioObjectID loopback, ui::ManualMainThread& mainThread,
                  int bandwidthTag, display::AxisScale axis) {
  Outcome outcome;
  AppDelegate app;
  Input input(&app);
  TrackingGenerator generator;
  Field lower("20"), upper("20000");
  PopUp bandwidth(interface_menus::bandwidthItems(), bandwidthTag), window(interface_menus::windowItems(), 1);
  PopUp axes(interface_menus::axisItems(), static_cast<int>(axis));
  app.input = &input;
  app.trackingGenerator = &generator;
  app.lowerSpanField = &lower;
  app.upperSpanField = &upper;
  app.bandwidthPopup = &bandwidth;
  app.windowPopup = &window;
  app.axisPopup = &axes;
  app.usesSettingsFile = false;
  app.applicationDidFinishLaunching();
  settle(provider, mainThread);
  auto* card = static_cast<AFInputSoundcard*>(input.soundcard());

  // The baseline: the devices stepped with the input running, the
  // generator silent and no sweep.
  const int baselineBlocks = 1000;
  auto start = Clock::now();
  for (int b = 0; b < baselineBlocks; ++b) {
    provider.advanceFrames(loopback, 512);
    while (card->memory().available() >= card->bufferLength()) std::this_thread::yield();
    mainThread.drain();
  }
  const double baselinePerBlock = std::chrono::duration<double>(Clock::now() - start).count() / baselineBlocks;

  app.sweep.enabled = 1;
  app.trace->clearTrace();
  app.initAndStartTrackingGenerator();
  const Sweep& s = app.sweep;
  start = Clock::now();
  while (s.running && s.currentBin <= s.rightBin + 1) {
    provider.advanceFrames(loopback, 512);
    while (card->memory().available() >= card->bufferLength()) std::this_thread::yield();
    mainThread.drain();
    ++outcome.blocks;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  outcome.spectra = s.spectra;
  outcome.wallPerSpectrum = seconds / static_cast<double>(std::max<int64_t>(s.spectra, 1));
  outcome.baselinePerSpectrum = baselinePerBlock * static_cast<double>(outcome.blocks) / static_cast<double>(std::max<int64_t>(s.spectra, 1));

  const TraceData* t = app.trace->traceData();
  const double generatorLevel = 10 * std::log10(0.25 * 0.25 / 2);
  const sim::BandPassFilter filter;
  // From 50 Hz: a span that starts this low leaves the sweep no room to
  // begin below it, and its first spectra hold audio from before the start.
  for (int k = s.leftBin + 1; k < s.rightBin; ++k) {
    const double f = k / t->binsPerHertz;
    const double expected = generatorLevel + filterResponse(filter, f, 48000);
    if (f < 50 || expected < generatorLevel - 40) continue;
    const double level = 10 * std::log10(t->averaged[k] / (double(t->bins) * t->bins));
    outcome.worst = std::max(outcome.worst, std::fabs(level - expected));
    ++outcome.compared;
  }
  app.applicationWillTerminate();
  mainThread.drain();
  return outcome;
}

}  // namespace

int main(int argc, char* argv[]) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::printf("usage: %s\n  stepped full-band loopback sweeps, linear and logarithmic: spectra, time, deviation\n", argv[0]);
      return 0;
    }
    std::fprintf(stderr, "%s: unknown option '%s'\nusage: %s\n", argv[0], argv[i], argv[0]);
    return 2;
  }

  ui::ManualMainThread mainThread;
  ui::MainThread::install(&mainThread);
  sim::Options options;
  options.clock = sim::ClockMode::Stepped;
  auto provider = std::make_shared<sim::SimulatedProvider>(options);
  const pa::AudioObjectID loopback = provider->deviceNamed("Loopback");
  provider->setDefaultDevice(pa::kAudioObjectPropertyScopeInput, loopback);
  provider->setDefaultDevice(pa::kAudioObjectPropertyScopeOutput, loopback);
  pa::installProvider(provider);

  std::printf("# sweep_bench: 20 Hz - 20 kHz, Gaussian, 48 kHz, stepped simulated Loopback\n");
  std::printf("# %-10s %-6s %9s %10s %14s %14s %10s %9s %9s\n", "axis", "RBW", "spectra", "device s", "wall/spectrum",
              "baseline", "worst dB", "spectra×", "time×");
  for (const int tag : {10, 20}) {
    const Outcome linear = sweepOnce(*provider, loopback, mainThread, tag, display::AxisScale::linear);
    const Outcome log = sweepOnce(*provider, loopback, mainThread, tag, display::AxisScale::logarithmic);
    for (const Outcome* o : {&linear, &log}) {
      const bool isLog = o == &log;
      std::printf("  %-10s %-6s %9lld %10.1f %11.1f us %11.1f us %10.3f %9s %9s\n", isLog ? "log 1/48" : "linear",
                  tag == 10 ? "10 Hz" : "100 Hz", static_cast<long long>(o->spectra), o->blocks * 512 / 48000.0,
                  o->wallPerSpectrum * 1e6, o->baselinePerSpectrum * 1e6, o->worst,
                  isLog ? std::to_string(static_cast<double>(linear.spectra) / std::max<int64_t>(o->spectra, 1)).substr(0, 5).c_str() : "1",
                  isLog ? std::to_string(static_cast<double>(linear.blocks) / std::max(o->blocks, 1L)).substr(0, 5).c_str() : "1");
    }
  }
  mainThread.drain();
  pa::installProvider(nullptr);
  return 0;
}
