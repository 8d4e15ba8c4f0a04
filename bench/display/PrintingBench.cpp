// One image export of an 1800 x 1000 page from a 262144-bin trace, on the
// main thread.
//
//   PageRender           baseline: geometry, detection and path for the page,
//                        then drawing it into a new image (1 pixel per point)
//   PageRenderAndPng     the same, then PNG-encoding the image into memory;
//                        its "vs_render" counter is its time over the
//                        baseline's, measured in the same run
//
// The file write itself is left out: it depends on the disk, not on us.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QBuffer>
#include <QByteArray>
#include <QImage>

#include <chrono>
#include <cmath>
#include <memory>

#include "display/Printing.h"
#include "dsp/PlotTrace.h"

namespace {

constexpr int kBins = 262144;
constexpr float kRate = 48000;

QApplication& application() {
  static int argc = 1;
  static char name[] = "printing_bench";
  static char* argv[] = {name, nullptr};
  static QApplication app(argc, argv);
  return app;
}

struct Rig {
  SharedData shared;
  ColorPalette palette;
  std::unique_ptr<TraceData> trace = std::make_unique<TraceData>();
  display::MarkerCache screenMarker;
  display::MarkerCache screenReferenceMarker;
  display::Printing page;

  Rig() {
    trace->bins = kBins;
    trace->samplingRate = kRate;
    trace->binsPerHertz = PlotTrace::binsPerHertz(kBins, kRate);
    trace->traces = 8;
    for (int k = 0; k < kBins; ++k) {
      const double noise = 1e-6 * (1 + 0.5 * std::sin(k * 0.37) + 0.3 * std::sin(k * 1.71));
      trace->averaged[k] = static_cast<float>(noise * kBins * kBins);
    }
    trace->averaged[40000] = 0.125f * kBins * kBins;
    // The print colours: white paper, dark ink.
    palette.background = RGBAColor::rgba(1, 1, 1, 1);
    palette.graticule = RGBAColor::rgba(0.5f, 0.5f, 0.5f, 1);
    palette.curve = RGBAColor::rgba(0, 0, 0, 1);
    palette.caption = RGBAColor::rgba(0, 0, 0, 1);
    palette.marker = RGBAColor::rgba(1, 0, 0, 1);
    shared.span = {0, kRate / 2, 1};
    shared.hasData = 1;
    shared.printDate = 1;
    shared.dateString = "2026-01-31 2359";
    shared.title = "Benchmark";
    page.setSharedData(&shared);
    page.setColorPalette(&palette, true);
    page.setReference(nullptr, trace.get());
    screenMarker.type = display::MarkerCache::kPeak;
    screenMarker.frequency = 40000 / trace->binsPerHertz;
    screenMarker.valid = 1;
    page.setMarker(&screenMarker, &screenReferenceMarker);
    page.setPageSize(QSizeF(1800, 1000));
  }
  QImage render() {
    page.createPlotFromTraceData(trace.get());
    return page.renderImage();
  }
};

Rig& rig() {
  application();
  static Rig r;
  return r;
}

using Clock = std::chrono::steady_clock;
double gRenderSeconds = 0;  // the baseline's time per page in this run

double secondsPerRender(int pages) {
  const auto start = Clock::now();
  for (int i = 0; i < pages; ++i) benchmark::DoNotOptimize(rig().render().constBits());
  return std::chrono::duration<double>(Clock::now() - start).count() / pages;
}

void PageRender(benchmark::State& state) {
  Rig& r = rig();
  const auto start = Clock::now();
  for (auto _ : state) {
    QImage image = r.render();
    benchmark::DoNotOptimize(image.constBits());
  }
  gRenderSeconds =
      std::chrono::duration<double>(Clock::now() - start).count() / static_cast<double>(state.iterations());
  state.counters["points"] = r.page.plotPath().count();
}
BENCHMARK(PageRender)->Unit(benchmark::kMillisecond);

void PageRenderAndPng(benchmark::State& state) {
  Rig& r = rig();
  if (gRenderSeconds <= 0) gRenderSeconds = secondsPerRender(5);  // run on its own
  QByteArray bytes;
  const auto start = Clock::now();
  for (auto _ : state) {
    const QImage image = r.render();
    bytes.clear();
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "PNG")) state.SkipWithError("PNG encoding failed");
    benchmark::DoNotOptimize(bytes.constData());
  }
  const double seconds =
      std::chrono::duration<double>(Clock::now() - start).count() / static_cast<double>(state.iterations());
  state.counters["vs_render"] = seconds / gRenderSeconds;
  state.counters["png_bytes"] = static_cast<double>(bytes.size());
}
BENCHMARK(PageRenderAndPng)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
