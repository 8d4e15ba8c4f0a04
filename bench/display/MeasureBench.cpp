// The main thread's work per trace with the measurements that run on every
// trace switched on (max hold and the peak table), against the same work
// with them off, in the same run.
//
// One trace's work is what the controller does on the main thread from one
// spectrum to the next in normal analysis: the 512-sample blocks of N/2
// samples through the engine (the last of them computes the spectrum), the
// trace's queued averaging step and the display's queued detection of an
// 1800-column plot. The input is a 1 kHz sine and a 5 kHz sine over white
// noise at 48 kHz, so the peak table searches a noise floor full of local
// maxima. Configurations: RBW 1 Hz (Gaussian, 2^17 points), 10 Hz and
// 100 Hz (2^14 points, the engine's shortest), and the 1 Hz flat-top
// (2^18 points, the longest trace the menu makes at 48 kHz).
//
// Off and on run in alternating rounds of a few traces each, so that both
// see the same machine; each figure is the median over the rounds.
//
//   build/bench/display/measure_bench [rounds]

#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <numbers>
#include <vector>

#include "display/Display.h"
#include "dsp/FFTPlanner.h"
#include "dsp/PeakReading.h"
#include "dsp/PlotTrace.h"
#include "dsp/Spectrum.h"
#include "ui/MainThread.h"

namespace {

constexpr float kRate = 48000;
constexpr int kBlock = 512;
constexpr int kViewWidth = 1800 + 49;
constexpr int kViewHeight = 1000 + 73;

QApplication& application() {
  static int argc = 1;
  static char name[] = "measure_bench";
  static char* argv[] = {name, nullptr};
  static QApplication app(argc, argv);
  return app;
}

struct Rig {
  Spectrum engine;
  PlotTrace trace;
  SharedData shared;
  display::Display view;
  WindowResponse window;
  ui::ManualMainThread mainThread;
  std::vector<float> block = std::vector<float>(kBlock);
  long long t = 0;
  uint64_t seed = 1;

  Rig(float rbw, WindowShape shape) : engine(rbw, kRate, shape) {
    ui::MainThread::install(&mainThread);
    view.resize(kViewWidth, kViewHeight);
    view.updateFrameFromBounds(QRectF(0, 0, kViewWidth, kViewHeight));
    view.setSharedData(&shared);
    shared.span = {0, kRate / 2, rbw};
    shared.ready = 1;
    window.prepare(engine);
    shared.measure.window = &window;
    trace.setTraceAverages(4);
    // The ring full and the first traces through, as in a running analysis.
    for (int i = 0; i < 4; ++i) oneTrace();
  }
  ~Rig() { ui::MainThread::install(nullptr); }

  void setMeasurements(bool on) {
    shared.measure.peakTable = on ? 1 : 0;
    trace.setTraceMode(on ? TraceMode::maxHold : TraceMode::average);
    view.measurementsChanged();
  }

  // Blocks up to and including the next spectrum, and the queued steps.
  void oneTrace() {
    for (;;) {
      for (float& x : block) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        const double noise = 1e-3 * (static_cast<double>(seed >> 11) / 9007199254740992.0 - 0.5);
        const double phase = 2 * std::numbers::pi * static_cast<double>(t++) / kRate;
        x = static_cast<float>(0.1 * std::sin(1000 * phase) + 0.01 * std::sin(5000 * phase) + noise);
      }
      SpectrumResult* r = engine.compute(block.data(), kBlock);
      if (!r->validBins) continue;
      const PlotTrace::AveragingStep step = trace.addDataSamplingRate(r, kRate);
      ui::MainThread::instance().runAsync(step.run, step.context);
      view.addTraceData(trace.traceData());
      mainThread.drain();
      return;
    }
  }

  // Seconds per trace over n traces.
  double time(int n) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) oneTrace();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / n;
  }
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  application();
  FFTPlanner::setBackgroundPlanning(false);
  const int rounds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 15;
  struct Config {
    const char* name;
    float rbw;
    WindowShape shape;
    int tracesPerRound;
  } configs[] = {{"RBW 100 Hz Gaussian", 100, WindowShape::Gaussian, 60},
                 {"RBW 10 Hz Gaussian", 10, WindowShape::Gaussian, 60},
                 {"RBW 1 Hz Gaussian", 1, WindowShape::Gaussian, 8},
                 {"RBW 1 Hz flat-top", 1, WindowShape::FlatTop, 4}};
  std::printf("Main-thread work per trace (median of %d rounds), measurements off / on (max hold + peak table)\n",
              rounds);
  std::printf("%-22s %8s %12s %12s %8s %6s\n", "configuration", "bins", "off (ms)", "on (ms)", "on/off", "peaks");
  for (const Config& c : configs) {
    Rig rig(c.rbw, c.shape);
    std::vector<double> off, on;
    for (int round = 0; round < rounds; ++round) {
      rig.setMeasurements(false);
      rig.oneTrace();
      off.push_back(rig.time(c.tracesPerRound));
      rig.setMeasurements(true);
      rig.oneTrace();
      on.push_back(rig.time(c.tracesPerRound));
    }
    const double a = median(off), b = median(on);
    std::printf("%-22s %8d %12.3f %12.3f %8.3f %6d\n", c.name, rig.engine.bins(), 1e3 * a, 1e3 * b, b / a,
                rig.view.peakTable().count);
  }
  std::printf(
      "\nReproduce: cmake --build build --target measure_bench && QT_QPA_PLATFORM=offscreen "
      "build/bench/display/measure_bench %d\n",
      rounds);
  return 0;
}
