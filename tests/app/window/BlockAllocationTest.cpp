// The main thread's per-block path allocates nothing once it runs: a block
// through the engine, the trace's averaging step and the display's detection
// pass, in normal analysis and in a sweep. Counted on the main thread by the
// test programs' allocation counter; the main thread's queue is run by hand.

#include <gtest/gtest.h>

#include <QApplication>
#include <chrono>
#include <cmath>
#include <memory>
#include <thread>

#include "app/controller/AppDelegate.h"
#include "plot/FrequencyAxis.h"
#include "app/window/MainWindow.h"
#include "audio/AFInputSoundcard.h"
#include "display/SpectrogramPane.h"
#include "endpoints/Input.h"
#include "endpoints/LogSweepRun.h"
#include "endpoints/TrackingGenerator.h"
#include "platform/audio/simulated/SimulatedProvider.h"
#include "support/AllocationCounter.h"
#include "ui/MainThread.h"

namespace {

QApplication& application() {
  static int argc = 1;
  static char name[] = "app_allocation_test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = new QApplication(argc, argv);  // process-long, as in the window test
  return *app;
}

// A clock a little over one spectrogram row per reading, so that every
// trace writes a row.
double gClock = 0, gClockStep = 1;
double steppingClock() { return gClock += gClockStep; }

struct Rig {
  Rig() { ui::MainThread::install(&mainThread); }
  ~Rig() { ui::MainThread::install(nullptr); }
  // A 1 kHz sine at -20 dB, 48 kHz; returns the allocations made meanwhile.
  long feed(int blocks) {
    testsupport::AllocationScope scope;
    for (int b = 0; b < blocks; ++b) {
      for (float& s : block) s = 0.1414f * static_cast<float>(std::sin(2 * 3.14159265358979 * 1000.0 * n++ / 48000.0));
      app.newDataFromInput(block, 48000.0f);
      mainThread.drain();
    }
    return scope.allocations();
  }
  ui::Matrix* trackingGeneratorMatrix() { return app.trackingGeneratorMatrix; }
  // Starts a sweep on that frequency axis at that RBW, from the normal mode
  // or after another sweep.
  void startSweep(display::AxisScale axis, int bandwidthTag) {
    app.trackingGeneratorMatrix->selectCell(0, 0);
    app.trackingModeChanged();
    app.axisPopup->selectItemWithTag(static_cast<int>(axis));
    app.axisChanged();
    app.bandwidthPopup->selectItemWithTag(bandwidthTag);
    app.setupSampling();
    app.trackingGeneratorMatrix->selectCell(0, 1);
    app.trackingModeChanged();
    app.sweepPointsPerOctave = axis == display::AxisScale::logarithmic ? 48 : 0;
    app.trackingGeneratorButton->setState(1);
    app.trackingStateChanged();
    ASSERT_EQ(app.sweep.running, 1);
    ASSERT_EQ(app.sweep.pointRatio > 0, axis == display::AxisScale::logarithmic);
  }
  QApplication& qtApplication = application();
  ui::ManualMainThread mainThread;
  AppDelegate app;
  MainWindow window{app};
  float block[AppDelegate::kBlockLength];
  long long n = 0;
};

}  // namespace

TEST(BlockAllocation, NormalAnalysisAndSweepsAllocateNothingPerBlock) {
  Rig r;
  r.app.upperSpanField->setStringValue("4800");
  r.app.bandwidthPopup->selectItemWithTag(30);  // the shortest FFT: a spectrum every few blocks
  r.app.applicationDidFinishLaunching();
  r.feed(256);  // the first traces size what they keep (the date strings)
  ASSERT_EQ(r.app.sharedData.hasData, 1);
  EXPECT_EQ(r.feed(256), 0);

  r.startSweep(display::AxisScale::linear, 30);
  r.feed(64);
  int before = r.app.sweep.currentBin;
  EXPECT_EQ(r.feed(256), 0);
  EXPECT_GT(r.app.sweep.currentBin, before + 50) << "the sweep advanced meanwhile";

  // The logarithmic axis's sweep of points: its steps, jumps and the bins
  // drawn between points. At RBW 10 Hz it is still under way at the end.
  r.startSweep(display::AxisScale::logarithmic, 10);
  r.feed(64);
  before = r.app.sweep.currentBin;
  EXPECT_EQ(r.feed(256), 0);
  EXPECT_GT(r.app.sweep.currentBin, before + 10) << "the sweep advanced meanwhile";
  EXPECT_EQ(r.app.sweep.running, 1);
}

// The same with every measurement on: a hold, the peak table, the
// distortion readout and the trace normalised to a reference shown, in normal analysis and in a sweep.
TEST(BlockAllocation, MeasurementsAllocateNothingPerBlock) {
  Rig r;
  r.app.upperSpanField->setStringValue("4800");
  r.app.bandwidthPopup->selectItemWithTag(30);
  r.app.applicationDidFinishLaunching();
  r.feed(64);
  r.app.useReference();
  r.app.setTraceMode(1);
  r.app.setPeakTable(true);
  r.app.setPrecisePeak(true);
  r.app.setNoiseMarker(true);
  r.app.setDeltaMarker(true);
  r.app.setDistortionReadout(true);
  r.feed(256);
  EXPECT_EQ(r.feed(256), 0);
  EXPECT_TRUE(r.app.sharedData.measure.distortionReadout.reading.valid) << "the readout read meanwhile";
  EXPECT_GT(r.window.display()->peakTable().count, 0) << "the table followed the trace";
  r.app.setNormalise(true);
  r.feed(64);
  ASSERT_TRUE(r.window.display()->normalising());
  EXPECT_EQ(r.feed(256), 0);

  r.app.setTraceMode(2);
  for (const auto axis : {display::AxisScale::linear, display::AxisScale::logarithmic}) {
    const bool log = axis == display::AxisScale::logarithmic;
    r.startSweep(axis, log ? 10 : 30);
    r.feed(64);
    const int before = r.app.sweep.currentBin;
    EXPECT_EQ(r.feed(256), 0) << (log ? "log" : "linear");
    EXPECT_GT(r.app.sweep.currentBin, before + (log ? 10 : 50)) << "the sweep advanced meanwhile";
    EXPECT_EQ(r.app.sweep.running, 1);
  }
}

// With the spectrogram pane shown, each trace also becomes a row of its
// history (and a row repeated where the clock skips one): nothing allocated.
TEST(BlockAllocation, TheSpectrogramPaneAllocatesNothingPerSpectrum) {
  Rig r;
  r.app.upperSpanField->setStringValue("4800");
  r.app.bandwidthPopup->selectItemWithTag(30);
  r.app.applicationDidFinishLaunching();
  display::SpectrogramPane& pane = *r.window.spectrogramPane();
  r.window.spectrogramActions().shown->trigger();
  pane.setClock(&steppingClock);
  gClockStep = 1.5 * pane.rowSeconds();
  r.feed(256);  // the first trace meets a plot of another width: the ring is configured
  const int64_t rows = pane.spectrogram().rowsAdded();
  ASSERT_GT(rows, 0);
  EXPECT_EQ(r.feed(256), 0);
  EXPECT_GT(pane.spectrogram().rowsAdded(), rows + 4) << "rows were written meanwhile";

  // In a sweep the rows take the input's whole spectrum, smoothed as the
  // trace is; in the log sweep mode too.
  r.app.smoothingPopup->selectItemWithTag(6);
  r.app.treatmentChanged();
  r.startSweep(display::AxisScale::linear, 30);
  r.feed(64);
  const int64_t swept = pane.spectrogram().rowsAdded();
  EXPECT_EQ(r.feed(256), 0);
  EXPECT_GT(pane.spectrogram().rowsAdded(), swept + 4) << "rows were written during the sweep";
  r.app.trackingGeneratorMatrix->selectCell(0, 2);
  r.app.trackingModeChanged();
  r.feed(64);
  const int64_t logMode = pane.spectrogram().rowsAdded();
  EXPECT_EQ(r.feed(256), 0);
  EXPECT_GT(pane.spectrogram().rowsAdded(), logMode + 4) << "rows were written in the log sweep mode";
}

// A log sweep of the window through the simulated loopback: the real input
// hands each block to the sweep's recording and the controller moves the
// run on; while a sweep plays, nothing is allocated per block.
TEST(BlockAllocation, ALogSweepAllocatesNothingPerBlockWhileItPlays) {
  namespace sim = platform::audio::simulated;
  namespace pa = platform::audio;
  QApplication& qt = application();
  (void)qt;
  ui::ManualMainThread mainThread;
  ui::MainThread::install(&mainThread);
  sim::Options options;
  options.clock = sim::ClockMode::Stepped;
  auto provider = std::make_shared<sim::SimulatedProvider>(options);
  provider->setDefaultDevice(pa::kAudioObjectPropertyScopeInput, provider->deviceNamed("Loopback"));
  pa::installProvider(provider);
  {
    AppDelegate app;
    app.usesSettingsFile = false;
    auto input = std::make_unique<Input>(&app);
    auto generator = std::make_unique<TrackingGenerator>();
    auto window = std::make_unique<MainWindow>(app, input.get(), generator.get());
    auto step = [&] {
      provider->advance(512.0 / 48000);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (static_cast<AFInputSoundcard*>(input->soundcard())->memory().available() >= 512 &&
             std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      mainThread.drain();
    };
    app.applicationDidFinishLaunching();
    mainThread.drain();
    app.logSweepLengthPopup->selectItemWithTag(18);
    app.trackingGeneratorMatrix->selectCell(0, 2);
    app.trackingModeChanged();
    app.trackingGeneratorButton->setState(1);
    app.trackingStateChanged();
    for (int i = 0; i < 200 && app.logSweepRun()->phase() != LogSweepRun::Phase::sweeping; ++i) step();
    ASSERT_EQ(app.logSweepRun()->phase(), LogSweepRun::Phase::sweeping) << app.logSweepRun()->failure();
    for (int i = 0; i < 16; ++i) step();
    const int64_t before = app.logSweepRun()->recorded();
    long allocations = 0;
    {
      testsupport::AllocationScope scope;
      for (int i = 0; i < 200; ++i) step();
      allocations = scope.allocations();
    }
    EXPECT_EQ(allocations, 0);
    EXPECT_EQ(app.logSweepRun()->phase(), LogSweepRun::Phase::sweeping);
    EXPECT_EQ(app.logSweepRun()->recorded(), before + 200 * 512) << "every block was recorded meanwhile";
    app.trackingGeneratorButton->setState(0);
    app.trackingStateChanged();
    app.applicationWillTerminate();
    window->detachEndpoints();
    input.reset();
    generator.reset();
    window.reset();
    mainThread.drain();
  }
  ui::MainThread::install(nullptr);
  pa::installProvider(nullptr);
}
