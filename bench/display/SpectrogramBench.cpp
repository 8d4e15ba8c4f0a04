// The spectrogram's share of the main thread: per spectrum, the work of
// normal analysis with the spectrogram shown against the same without it,
// and the cost of mapping one row against the cost of the spectrum itself,
// all in the same run.
//
// One trace's work is what the controller does on the main thread from one
// spectrum to the next: the 512-sample blocks of N/2 samples through the
// engine (the last computes the spectrum), the trace's queued averaging step
// and the display's detection of an 1800-column plot. With the spectrogram
// shown, one row of 1800 columns is mapped into a 600-row ring from the same
// trace through the plot's geometry and detector, and the ring is drawn into
// an 1800 x 600 image (the pane's repaint), two pieces at its offset.
// Configurations: 48 kHz at RBW 10 Hz and 192 kHz at RBW 100 Hz, Gaussian,
// a 1 kHz and a 5 kHz sine over white noise.
//
//   spectrum      the engine alone, per spectrum (blocks in, spectrum out)
//   plain         a trace's whole work without the spectrogram
//   shown         the same with the row mapped and the ring drawn
//   row           Spectrogram::addRow alone
//   draw          drawSpectrogram of the full ring alone
//   pane          a trace's whole work with the window's spectrogram pane
//                 shown (1800 columns, 600 rows, a row per trace), the row
//                 taken on the display's own per-spectrum path
//   pane+paint    the same with the pane painted as on screen (its rows,
//                 time axis, legend and the plot's ticks)
// The ratios pane/plain and pane+paint/plain set the pane against the same
// work without it in the same run.
//
// Both ways run in alternating rounds of a few traces each, so that both see
// the same machine; each figure is the median over the rounds. The share of
// one core is (shown − plain) times the live analysis's spectra per second
// (the rate over N/2). Goal: below 10 % at 192 kHz / 100 Hz.
//
//   build/bench/display/spectrogram_bench [rounds]

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <numbers>
#include <vector>

#include "display/Display.h"
#include "display/Spectrogram.h"
#include "display/SpectrogramPainter.h"
#include "display/SpectrogramPane.h"
#include "dsp/FFTPlanner.h"
#include "dsp/PlotTrace.h"
#include "dsp/Spectrum.h"
#include "ui/MainThread.h"

namespace {

constexpr int kBlock = 512;
constexpr int kColumns = 1800;
constexpr int kRows = 600;
constexpr int kViewWidth = kColumns + 49;
constexpr int kViewHeight = 400 + 73;

double gClock = 0;
double rowClock() { return gClock += 1; }  // a row per trace at any history

QApplication& application() {
  static int argc = 1;
  static char name[] = "spectrogram_bench";
  static char* argv[] = {name, nullptr};
  static QApplication app(argc, argv);
  return app;
}

struct Rig {
  float rate;
  Spectrum engine;
  PlotTrace trace;
  SharedData shared;
  display::Display view;
  display::Spectrogram spectrogram;
  QImage pane{kColumns, kRows, QImage::Format_RGB32};
  display::SpectrogramPane windowPane{&view, &view};  // in no window of its own
  QImage windowImage{kViewWidth, kRows + display::SpectrogramPane::kTopMargin + display::SpectrogramPane::kLegendHeight,
                     QImage::Format_RGB32};
  ui::ManualMainThread mainThread;
  std::vector<float> block = std::vector<float>(kBlock);
  long long t = 0;
  uint64_t seed = 1;

  Rig(float rbw, float samplingRate) : rate(samplingRate), engine(rbw, samplingRate, WindowShape::Gaussian) {
    ui::MainThread::install(&mainThread);
    view.resize(kViewWidth, kViewHeight);
    view.updateFrameFromBounds(QRectF(0, 0, kViewWidth, kViewHeight));
    view.setSharedData(&shared);
    shared.span = {0, rate / 2, rbw};
    shared.ready = 1;
    trace.setTraceAverages(4);
    spectrogram.configure(kColumns, kRows);
    for (int i = 0; i < 4; ++i) oneTrace(false);
    windowPane.resize(windowImage.size());
    windowPane.setClock(&rowClock);
  }
  // The window's pane shown or not; the ring is configured for the plot's
  // width at the first trace, outside the timing.
  void showPane(bool shown) {
    windowPane.setActive(shown);
    if (!shown) return;
    oneTrace(false);
    QApplication::processEvents();
    oneTrace(false);
  }
  void paintPane() { windowPane.render(&windowImage); }
  ~Rig() { ui::MainThread::install(nullptr); }

  // Blocks up to and including the next spectrum; false: nothing else.
  SpectrumResult* nextSpectrum() {
    for (;;) {
      for (float& x : block) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        const double noise = 1e-3 * (static_cast<double>(seed >> 11) / 9007199254740992.0 - 0.5);
        const double phase = 2 * std::numbers::pi * static_cast<double>(t++) / rate;
        x = static_cast<float>(0.1 * std::sin(1000 * phase) + 0.01 * std::sin(5000 * phase) + noise);
      }
      SpectrumResult* r = engine.compute(block.data(), kBlock);
      if (r->validBins) return r;
    }
  }
  void oneTrace(bool shown) {
    SpectrumResult* r = nextSpectrum();
    const PlotTrace::AveragingStep step = trace.addDataSamplingRate(r, rate);
    ui::MainThread::instance().runAsync(step.run, step.context);
    view.addTraceData(trace.traceData());
    mainThread.drain();
    if (!shown) return;
    addRow();
    draw();
  }
  void addRow() { spectrogram.addRow(view.plotGeometry(), *trace.traceData(), shared.detectorMode); }
  void draw() {
    QPainter painter(&pane);
    display::drawSpectrogram(painter, spectrogram, QRectF(0, 0, kColumns, kRows));
  }

  // Seconds per call over n calls.
  static double time(int n, const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) work();
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
    float rate, rbw;
    int tracesPerRound;
  } configs[] = {{"48 kHz, RBW 10 Hz", 48000, 10, 30}, {"192 kHz, RBW 100 Hz", 192000, 100, 30}};
  std::printf("Per spectrum, %d x %d spectrogram, median of %d rounds (ms)\n", kColumns, kRows, rounds);
  std::printf("%-20s %7s %9s %9s %9s %8s %8s %9s %9s %10s\n", "configuration", "bins", "spectrum", "plain", "shown",
              "row", "draw", "row/spec", "shown/pl", "core share");
  std::printf("%-20s %9s %11s %9s %11s\n", "", "pane", "pane+paint", "pane/pl", "+paint/pl");
  for (const Config& c : configs) {
    Rig rig(c.rbw, c.rate);
    std::vector<double> spectrum, plain, shown, row, draw, pane, painted;
    for (int round = 0; round < rounds; ++round) {
      spectrum.push_back(Rig::time(c.tracesPerRound, [&] { rig.nextSpectrum(); }));
      plain.push_back(Rig::time(c.tracesPerRound, [&] { rig.oneTrace(false); }));
      shown.push_back(Rig::time(c.tracesPerRound, [&] { rig.oneTrace(true); }));
      row.push_back(Rig::time(c.tracesPerRound, [&] { rig.addRow(); }));
      draw.push_back(Rig::time(c.tracesPerRound, [&] { rig.draw(); }));
      rig.showPane(true);
      pane.push_back(Rig::time(c.tracesPerRound, [&] { rig.oneTrace(false); }));
      painted.push_back(Rig::time(c.tracesPerRound, [&] {
        rig.oneTrace(false);
        rig.paintPane();
      }));
      rig.showPane(false);
    }
    if (rig.windowPane.spectrogram().columns() < kColumns || rig.windowPane.spectrogram().rows() != kRows ||
        rig.windowPane.spectrogram().rowsAdded() < c.tracesPerRound) {
      std::fprintf(stderr, "the pane was not %d x %d or took no rows\n", kColumns, kRows);
      return 1;
    }
    const double s = median(spectrum), p = median(plain), w = median(shown), r = median(row), d = median(draw);
    const double spectraPerSecond = c.rate / static_cast<double>(rig.engine.bins());
    std::printf("%-20s %7d %9.3f %9.3f %9.3f %8.3f %8.3f %9.3f %9.3f %9.2f%%\n", c.name, rig.engine.bins(), 1e3 * s,
                1e3 * p, 1e3 * w, 1e3 * r, 1e3 * d, r / s, w / p, 100 * (w - p) * spectraPerSecond);
    const double a = median(pane), b = median(painted);
    std::printf("%-20s %9.3f %11.3f %9.3f %11.3f\n", "", 1e3 * a, 1e3 * b, a / p, b / p);
  }
  std::printf(
      "\nReproduce: cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSPECAN_BUILD_BENCH=ON && "
      "cmake --build build --target spectrogram_bench && QT_QPA_PLATFORM=offscreen "
      "build/bench/display/spectrogram_bench %d\n",
      rounds);
  return 0;
}
