// The plot view's share of the main thread's budget: a new trace every 10 ms.
//
//   PlainPassOverBins       baseline: one read of every bin of a 262144-bin trace
//   PerTraceWork            averaging, detection and path of that trace into
//                           1800 columns, as queued on the main thread
//   PerTraceWorkLogAxis     the same on the logarithmic axis (20 Hz – 20 kHz)
//                           with sixth-octave smoothing and third-octave
//                           bands: compare with PerTraceWork
//   RepaintEmptyTrace       baseline: one full repaint of an 1800 x 1000 plot
//                           with nothing to draw
//   RepaintFullTrace        the same repaint with the detected trace
//   RepaintWithReference    the same with a stored reference trace as well
//
// Compare PerTraceWork with PlainPassOverBins and RepaintFullTrace with
// RepaintEmptyTrace; the absolute times say whether 10 ms per trace holds.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>

#include <cmath>
#include <memory>
#include <vector>

#include "display/Display.h"
#include "dsp/PlotTrace.h"
#include "ui/MainThread.h"

namespace {

constexpr int kBins = 262144;
constexpr float kRate = 48000;
// A view whose plot is 1800 x 1000 points.
constexpr int kViewWidth = 1800 + 49;
constexpr int kViewHeight = 1000 + 73;

QApplication& application() {
  static int argc = 1;
  static char name[] = "display_bench";
  static char* argv[] = {name, nullptr};
  static QApplication app(argc, argv);
  return app;
}

struct Rig {
  SharedData shared;
  ColorPalette palette;
  std::vector<float> spectrum = std::vector<float>(kBins);
  SpectrumResult result{};
  PlotTrace trace;
  display::Display view;
  QImage image{kViewWidth, kViewHeight, QImage::Format_ARGB32_Premultiplied};

  Rig() {
    for (int k = 0; k < kBins; ++k) {
      const double noise = 1e-6 * (1 + 0.5 * std::sin(k * 0.37) + 0.3 * std::sin(k * 1.71));
      spectrum[static_cast<size_t>(k)] = static_cast<float>(noise * kBins * kBins);
    }
    spectrum[40000] = 0.125f * kBins * kBins;
    result.output = spectrum.data();
    result.bins = result.validBins = kBins;
    trace.setTraceAverages(8);
    palette.background = RGBAColor::rgba(0, 0, 0, 1);
    palette.graticule = RGBAColor::rgba(0.3f, 0.6f, 0.3f, 1);
    palette.curve = RGBAColor::rgba(1, 0.8f, 0.2f, 1);
    palette.caption = RGBAColor::rgba(0.8f, 0.8f, 0.8f, 1);
    view.resize(kViewWidth, kViewHeight);
    view.setSharedData(&shared);
    view.setColorPalette(&palette, false);
    view.setCaptionColor(palette.caption);
    shared.span = {0, kRate / 2, 1};
    shared.ready = 1;
    repaint();   // the launch's first drawing takes the view's size
    newTrace();  // the first pass, and the averaging's first spectra
    newTrace();
    newTrace();
  }
  // One spectrum's work on the main thread: the trace's averaging step and
  // the view's detection pass, as the controller queues them.
  void newTrace() {
    const PlotTrace::AveragingStep step = trace.addDataSamplingRate(&result, kRate);
    ui::MainThread::instance().runAsync(step.run, step.context);
    view.addTraceData(trace.traceData());
    ui::MainThread::instance().drain();
  }
  void repaint() { view.render(&image, QPoint(), QRegion(), QWidget::DrawChildren); }
};

Rig& rig() {
  application();
  static Rig r;
  return r;
}

void PlainPassOverBins(benchmark::State& state) {
  const float* values = rig().trace.traceData()->averaged;
  for (auto _ : state) {
    float sum = 0;
    for (int k = 0; k < kBins; ++k) sum += values[k];
    benchmark::DoNotOptimize(sum);
  }
}
BENCHMARK(PlainPassOverBins)->Unit(benchmark::kMicrosecond);

void PerTraceWork(benchmark::State& state) {
  Rig& r = rig();
  for (auto _ : state) r.newTrace();
  state.counters["points"] = r.view.plotPath().count();
}
BENCHMARK(PerTraceWork)->Unit(benchmark::kMicrosecond);

void PerTraceWorkLogAxis(benchmark::State& state) {
  Rig& r = rig();
  r.shared.axisScale = display::AxisScale::logarithmic;
  r.shared.span = {20, 20000, 1};
  const int parts = static_cast<int>(state.range(0));
  r.shared.treatment = {0, parts & 1 ? 6 : 0};
  r.shared.bands = parts & 2 ? 3 : 0;
  r.view.measurementsChanged();  // takes the treatment's and the bands' storage
  r.newTrace();
  for (auto _ : state) r.newTrace();
  state.counters["points"] = r.view.plotPath().count();
  state.counters["bands"] = static_cast<double>(r.view.bandLevels().size());
  r.shared.axisScale = display::AxisScale::linear;
  r.shared.span = {0, kRate / 2, 1};
  r.shared.treatment = {};
  r.shared.bands = 0;
  r.view.measurementsChanged();
  r.newTrace();
}
// 0: the axis alone, 1: with smoothing, 2: with bands, 3: with both.
BENCHMARK(PerTraceWorkLogAxis)->Arg(0)->Arg(1)->Arg(2)->Arg(3)->Unit(benchmark::kMicrosecond);

void RepaintEmptyTrace(benchmark::State& state) {
  Rig& r = rig();
  r.shared.hasData = 0;  // the next rebuild leaves the paths empty
  r.view.setPlotScale(10);
  r.repaint();
  for (auto _ : state) r.repaint();
  r.shared.hasData = 1;
  r.newTrace();
}
BENCHMARK(RepaintEmptyTrace)->Unit(benchmark::kMicrosecond);

void RepaintFullTrace(benchmark::State& state) {
  Rig& r = rig();
  r.newTrace();
  for (auto _ : state) r.repaint();
  state.counters["points"] = r.view.plotPath().count();
}
BENCHMARK(RepaintFullTrace)->Unit(benchmark::kMicrosecond);

// The same with a stored reference trace (dashed) under the live one.
void RepaintWithReference(benchmark::State& state) {
  Rig& r = rig();
  static TraceData reference;
  reference.bins = kBins;
  reference.samplingRate = kRate;
  reference.binsPerHertz = PlotTrace::binsPerHertz(kBins, kRate);
  for (int k = 0; k < kBins; ++k) reference.averaged[k] = r.spectrum[static_cast<size_t>(k)] * 0.5f;
  r.palette.reference = RGBAColor::rgba(0.3f, 0.6f, 1, 1);
  r.view.setReference(&reference, r.trace.traceData());
  r.newTrace();
  for (auto _ : state) r.repaint();
  state.counters["points"] = r.view.referencePath().count();
  r.view.setReference(nullptr, r.trace.traceData());
}
BENCHMARK(RepaintWithReference)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
