// The Export Image command on an 1800 x 1000 page from a 262144-bin trace,
// in the main window on the main thread.
//
//   PageRender       baseline: the print view's page laid out from the trace
//                    (geometry, detection, path) and drawn into a new image,
//                    without encoding
//   ExportCommand    the whole command as the menu runs it: the page laid out
//                    and drawn, PNG-encoded in memory and written whole to a
//                    file in a temporary folder (flushed to the disk, then
//                    renamed over the previous one); its "vs_render" counter
//                    is its time over the baseline's, measured in the same run

#include <benchmark/benchmark.h>

#include <QAction>
#include <QApplication>
#include <QFileInfo>
#include <QImage>
#include <QTemporaryDir>
#include <chrono>
#include <cmath>
#include <memory>

#include "app/controller/AppDelegate.h"
#include "app/window/MainWindow.h"
#include "app/views/PrintView.h"
#include "dsp/PlotTrace.h"
#include "ui/qt/QtMainThread.h"

namespace {

constexpr int kBins = 262144;
constexpr float kRate = 48000;

QApplication& application() {
  static int argc = 1;
  static char name[] = "export_bench";
  static char* argv[] = {name, nullptr};
  static QApplication app(argc, argv);
  return app;
}

struct Rig {
  QApplication& qtApplication = application();
  ui::qt::QtMainThread mainThread;
  QTemporaryDir folder;
  AppDelegate app;
  MainWindow window{app};

  Rig() {
    ui::MainThread::install(&mainThread);
    app.applicationDidFinishLaunching();
    QApplication::processEvents();
    // Noise with one strong tone, over the whole band.
    TraceData* trace = app.trace->traceData();
    trace->bins = kBins;
    trace->samplingRate = kRate;
    trace->binsPerHertz = PlotTrace::binsPerHertz(kBins, kRate);
    trace->traces = 8;
    for (int k = 0; k < kBins; ++k) {
      const double noise = 1e-6 * (1 + 0.5 * std::sin(k * 0.37) + 0.3 * std::sin(k * 1.71));
      trace->averaged[k] = static_cast<float>(noise * kBins * kBins);
    }
    trace->averaged[40000] = 0.125f * kBins * kBins;
    app.sharedData.hasData = 1;  // as the display sets it at the first trace
    app.printWidthField->setStringValue("1800");
    app.printHeightField->setStringValue("1000");
    app.printFormat->selectItemWithTitle("PNG");
    app.printName->setStringValue(folder.filePath(QStringLiteral("plot")).toStdString());
    app.sharedData.secondsDateString = "2026-01-31 235959";
  }
  ~Rig() { ui::MainThread::install(nullptr); }
  QImage render() {
    PrintView& view = *window.printView();
    view.preparePage(1800, 1000, app.trace->traceData());
    return view.printing().renderImage();
  }
};

Rig& rig() {
  static Rig r;  // goes before the application, and its folder with it
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
}
BENCHMARK(PageRender)->Unit(benchmark::kMillisecond);

void ExportCommand(benchmark::State& state) {
  Rig& r = rig();
  if (gRenderSeconds <= 0) gRenderSeconds = secondsPerRender(5);  // run on its own
  const QString path = QString::fromStdString(r.app.exportImagePath());
  const auto start = Clock::now();
  for (auto _ : state) r.window.exportImageAction()->trigger();
  const double seconds =
      std::chrono::duration<double>(Clock::now() - start).count() / static_cast<double>(state.iterations());
  const QImage written(path);
  if (written.size() != QSize(1800, 1000)) state.SkipWithError("no 1800 x 1000 image was written");
  state.counters["vs_render"] = seconds / gRenderSeconds;
  state.counters["png_bytes"] = static_cast<double>(QFileInfo(path).size());
}
BENCHMARK(ExportCommand)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
