// The per-block path allocates nothing with the shipped main thread either:
// a delivery thread queues each 512-sample block with runAsync(task,
// context), as an input does, Qt's event loop wakes and runs it on the GUI
// thread, and the controller takes it through the engine, the trace's
// averaging step and the display's detection pass, each queued on the main
// thread in its turn. QApplication::exec runs throughout; allocations are
// counted on the GUI thread and on the delivery thread, one at a time.
//
// The window stays hidden while the count runs: Qt's repaint machinery
// makes an event per frame and the painter allocates, which is the drawing
// path's cost and not the hand-over's. Everything up to the drawing runs.
//
// In sanitizer builds the counter sees operator new only (the sanitizers own
// malloc); Qt's queued calls and events are made with operator new, so the
// count still catches a hand-over that allocates, as the first test shows.

#include <gtest/gtest.h>

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QMetaObject>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cmath>
#include <semaphore>
#include <string>
#include <thread>

#include "app/controller/AppDelegate.h"
#include "app/window/CountingView.h"
#include "app/window/MainWindow.h"
#include "support/AllocationCounter.h"
#include "ui/qt/QtMainThread.h"

namespace {

using namespace std::chrono_literals;

QApplication& application() {
  static int argc = 1;
  static char name[] = "app_qt_block_path_test";
  static char* argv[] = {name, nullptr};
  // Never destroyed: tearing Qt down among the static destructors at exit
  // is not safe, and a process-long application is all the tests need.
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}


// The controller in the main window on the Qt main thread, and a delivery
// thread that feeds it a 1 kHz sine at -20 dB, 48 kHz, through blocks of a
// pool made beforehand, while the event loop runs.
class Rig {
 public:
  static constexpr int kPoolBlocks = 8;
  static constexpr auto kPatience = 60s;  // for any one wait; a hang fails the test

  Rig() {
    ui::MainThread::install(&mainThread_);
    view_.inner = app.display;
    app.display = &view_;
    for (Block& block : pool_) block.rig = this;
    // On the window's own (logarithmic) axis.
    app.lowerSpanField->setStringValue("0");
    app.upperSpanField->setStringValue("4800");
    app.bandwidthPopup->selectItemWithTag(30);  // the shortest FFT: a spectrum every few blocks
    app.traceAverageField->setStringValue("4");
    app.applicationDidFinishLaunching();
  }
  ~Rig() { ui::MainThread::install(nullptr); }

  // Runs the event loop while delivery(*this) runs on a thread of its own.
  template <class Delivery>
  void run(Delivery delivery) {
    // Each time the loop falls idle it is about to block; a block queued
    // after that wakes it.
    const QMetaObject::Connection idle = QObject::connect(QAbstractEventDispatcher::instance(),
                                                          &QAbstractEventDispatcher::aboutToBlock, [this] { ++idle_; });
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [this] {
      timedOut_ = true;
      QApplication::exit(1);
    });
    watchdog.start(3 * kPatience);
    std::thread thread([&] {
      delivery(*this);
      onMainThread([](Rig&) { QApplication::exit(0); });
    });
    const int status = QApplication::exec();
    thread.join();
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(timedOut_) << "the event loop stopped answering";
    QObject::disconnect(idle);
  }

  // --- Delivery thread ---

  // Queues blocks one after another, each in a pool block as soon as one is
  // free. paced: waits until each block has run and lets the loop fall idle
  // before the next, as a sound card's 10.7 ms between blocks does; else a
  // burst, up to the pool's size in flight.
  bool deliver(int blocks, bool paced) {
    for (int b = 0; b < blocks; ++b) {
      if (!free_.try_acquire_for(kPatience)) return fail();
      Block& block = pool_[queued_ % kPoolBlocks];
      for (float& s : block.samples)
        s = 0.1414f * static_cast<float>(std::sin(2 * 3.14159265358979 * 1000.0 * n_++ / 48000.0));
      ++queued_;
      mainThread_.runAsync(&Rig::runBlock, &block);
      if (paced) {
        if (!settle()) return false;
        std::this_thread::sleep_for(1ms);
      }
    }
    return settle();
  }

  // Runs step(*this) on the main thread and waits for it.
  bool onMainThread(void (*step)(Rig&)) {
    step_ = step;
    mainThread_.runAsync(&Rig::runStep, this);
    return stepDone_.try_acquire_for(kPatience) || fail();
  }

  // --- Main thread ---

  int spectra() const { return view_.spectra; }
  int idle() const { return idle_; }
  int blocksRun() const { return run_.load(); }
  ui::qt::QtMainThread& mainThread() { return mainThread_; }
  display::Display* display() { return window_.display(); }
  bool failed() const { return failed_.load(); }

  QApplication& qtApplication = application();  // before any widget

 private:
  struct Block {
    Rig* rig = nullptr;
    float samples[AppDelegate::kBlockLength] = {};
  };

  static void runBlock(void* context) {
    Block& block = *static_cast<Block*>(context);
    block.rig->app.newDataFromInput(block.samples, 48000.0f);
    block.rig->run_.fetch_add(1);
    block.rig->free_.release();
  }
  static void runStep(void* context) {
    Rig& rig = *static_cast<Rig*>(context);
    rig.step_(rig);
    rig.stepDone_.release();
  }

  // Waits until every queued block has run.
  bool settle() {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (run_.load() != queued_) {
      if (std::chrono::steady_clock::now() > deadline) return fail();
      std::this_thread::sleep_for(100us);
    }
    return true;
  }
  bool fail() {
    failed_ = true;
    return false;
  }

  ui::qt::QtMainThread mainThread_;

 public:
  AppDelegate app;

 private:
  MainWindow window_{app};
  CountingView view_;
  int idle_ = 0;  // main thread

  Block pool_[kPoolBlocks];
  std::counting_semaphore<kPoolBlocks> free_{kPoolBlocks};
  long long queued_ = 0;  // delivery thread
  std::atomic<long long> run_{0};
  long long n_ = 0;  // delivery thread
  void (*step_)(Rig&) = nullptr;
  std::binary_semaphore stepDone_{0};
  std::atomic<bool> failed_{false};
  bool timedOut_ = false;
};

// Keeps an allocation from being optimised away.
int* volatile gSink = nullptr;

}  // namespace

// The counter sees what a hand-over through a queued call would cost on each
// side, in this build too; a count of 0 below is not for want of looking.
TEST(QtBlockPathAllocation, TheCounterSeesAQueuedCall) {
  application();
  QObject receiver;
  std::atomic<long> posting{0};
  std::thread poster([&] {
    testsupport::resetAllocationCount();
    testsupport::countAllocationsOnThisThread(true);
    QMetaObject::invokeMethod(&receiver, [] { gSink = new int(1); }, Qt::QueuedConnection);
    testsupport::countAllocationsOnThisThread(false);
    posting = testsupport::allocationCount();
  });
  poster.join();
  EXPECT_GT(posting.load(), 0);
  testsupport::AllocationScope scope;
  QApplication::processEvents();
  EXPECT_GT(scope.allocations(), 0);
  delete gSink;
}

namespace {

// The parameter: with measurements, a hold, the peak table and the peak,
// delta and noise readings, A weighting and sixth-octave smoothing are
// switched on half-way through the warm-up.
class QtBlockPathAllocationTest : public ::testing::TestWithParam<bool> {};

}  // namespace

TEST_P(QtBlockPathAllocationTest, BlocksFromAnotherThreadAllocateNothingOnEitherSide) {
  const bool measurements = GetParam();
  Rig r;
  ::testing::Test::RecordProperty("event_dispatcher", QAbstractEventDispatcher::instance()->metaObject()->className());
  ASSERT_EQ(&ui::MainThread::instance(), &r.mainThread());
  ASSERT_TRUE(r.display()->isVisible()) << "the launch shows the window";

  // Counted in steps of the delivery thread, each run on the main thread and
  // waited for; the results are read there.
  static long mainThreadAllocations = -1;
  static long deliveryThreadAllocations = -1;
  static int spectraCounted = 0;
  static int idleCounted = 0;
  static int pathAfterClear = -1;
  constexpr int kWarmUpBlocks = 256;
  constexpr int kCountedBlocks = 300;

  r.run([measurements](Rig& rig) {
    // Warm-up, the window shown as the launch left it: the first spectra,
    // averaging steps, detection passes and drawings size what they keep.
    if (!rig.deliver(kWarmUpBlocks / 2, false)) return;
    if (measurements)
      rig.onMainThread([](Rig& on) {
        on.app.setTraceMode(1);
        on.app.setPeakTable(true);
        on.app.setPrecisePeak(true);
        on.app.setNoiseMarker(true);
        on.app.setDeltaMarker(true);
        // A weighted, smoothed trace on the logarithmic axis.
        on.app.weightingPopup->selectItemWithTag(1);
        on.app.smoothingPopup->selectItemWithTag(6);
        on.app.treatmentChanged();
      });
    if (!rig.deliver(kWarmUpBlocks / 2, true)) return;
    rig.onMainThread([](Rig& on) {
      on.display()->window()->hide();
      QApplication::sendPostedEvents();
      on.display()->clearPlot();  // the counted blocks must detect a path again
      pathAfterClear = on.display()->plotPath().count();
      spectraCounted = -on.spectra();
      idleCounted = -on.idle();
      testsupport::resetAllocationCount();
      testsupport::countAllocationsOnThisThread(true);
    });

    // The main thread's share: paced blocks, one wake-up each, then bursts.
    rig.deliver(kCountedBlocks / 2, true);
    rig.deliver(kCountedBlocks / 2, false);
    rig.onMainThread([](Rig& on) {
      testsupport::countAllocationsOnThisThread(false);
      mainThreadAllocations = testsupport::allocationCount();
      spectraCounted += on.spectra();
      idleCounted += on.idle();
    });

    // The delivery thread's share: the same blocks again.
    testsupport::resetAllocationCount();
    testsupport::countAllocationsOnThisThread(true);
    rig.deliver(kCountedBlocks / 2, true);
    rig.deliver(kCountedBlocks / 2, false);
    testsupport::countAllocationsOnThisThread(false);
    deliveryThreadAllocations = testsupport::allocationCount();
  });

  ::testing::Test::RecordProperty("spectra_counted", spectraCounted);
  ::testing::Test::RecordProperty("idle_counted", idleCounted);
  ASSERT_FALSE(r.failed()) << "a block or step was not run in time";
  EXPECT_EQ(r.blocksRun(), kWarmUpBlocks + 2 * kCountedBlocks);
  ASSERT_EQ(pathAfterClear, 0);
  EXPECT_GT(r.display()->plotPath().count(), 100) << "the counted blocks were detected onto the plot";
  EXPECT_GE(spectraCounted, 10);
  EXPECT_GE(idleCounted, kCountedBlocks / 4) << "the loop fell idle and was woken between the paced blocks";
  EXPECT_EQ(mainThreadAllocations, 0);
  EXPECT_EQ(deliveryThreadAllocations, 0);
  if (measurements) {
    EXPECT_GT(r.display()->peakTable().count, 0) << "the peak table followed the trace";
  }
}

INSTANTIATE_TEST_SUITE_P(QtBlockPathAllocation, QtBlockPathAllocationTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "WithTheMeasurementsOn" : "WithoutMeasurements");
                         });
