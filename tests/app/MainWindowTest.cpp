// The main window with the real display, off-screen: the controls reach the
// controller, the popovers toggle, and a sweep ends at the plot's right edge.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <chrono>
#include <cmath>
#include <memory>
#include <thread>

#include "app/AppDelegate.h"
#include "app/MainWindow.h"
#include "audio/AFInputSoundcard.h"
#include "endpoints/Input.h"
#include "endpoints/TrackingGenerator.h"
#include "platform/audio/simulated/SimulatedProvider.h"
#include "ui/qt/QtMainThread.h"

namespace {

QApplication& application() {
  static int argc = 1;
  static char name[] = "app_window_test";
  static char* argv[] = {name, nullptr};
  // Never destroyed: tearing Qt down among the static destructors at exit
  // is not safe, and a process-long application is all the tests need.
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

struct LaunchedWindow {
  LaunchedWindow() { ui::MainThread::install(&mainThread); }
  ~LaunchedWindow() { ui::MainThread::install(nullptr); }
  void launch() {
    app.applicationDidFinishLaunching();
    QApplication::processEvents();
  }
  // A 1 kHz sine at -20 dB, 48 kHz.
  void feed(int blocks) {
    float block[AppDelegate::kBlockLength];
    for (int b = 0; b < blocks; ++b) {
      for (float& s : block) s = 0.1414f * static_cast<float>(std::sin(2 * 3.14159265358979 * 1000.0 * n++ / 48000.0));
      app.newDataFromInput(block, 48000.0f);
      QApplication::processEvents();
    }
  }
  long long n = 0;
  QApplication& qtApplication = application();  // before any widget
  ui::qt::QtMainThread mainThread;
  AppDelegate app;
  MainWindow window{app};
};

}  // namespace

TEST(MainWindow, OpensAtTheDefaultFrameWithEveryControlWired) {
  LaunchedWindow w;
  w.launch();
  EXPECT_TRUE(w.window.isVisible());
  EXPECT_EQ(w.window.width(), MainWindow::kDefaultWidth);
  EXPECT_EQ(w.window.height(), MainWindow::kDefaultHeight);
  EXPECT_GT(w.window.display()->width(), w.window.width() / 2);  // the plot takes most of the window
  EXPECT_EQ(w.app.sharedData.ready, 1);
  EXPECT_EQ(w.app.sharedData.detectorMode, 4);
  EXPECT_TRUE(w.app.colorPalette.curve.isSet);
  EXPECT_TRUE(w.app.printPalette.background.isSet);
  for (ui::Control* control :
       std::initializer_list<ui::Control*>{w.app.bandwidthPopup, w.app.windowPopup, w.app.lowerSpanField,
                                           w.app.upperSpanField, w.app.traceAverageField, w.app.detectorPopup,
                                           w.app.referenceLevelField, w.app.divisionPopup, w.app.titleField,
                                           w.app.showDateCheckbox, w.app.trackingGeneratorMatrix,
                                           w.app.trackingGeneratorButton})
    EXPECT_TRUE(control->hasInterface());

  // Pressing a popover's button twice shows it and hides it again.
  ui::qt::QtButton* button = w.window.popoverButton(1);
  static_cast<ui::Control*>(button)->sendAction();
  EXPECT_TRUE(w.window.popover(1)->isShown());
  static_cast<ui::Control*>(button)->sendAction();
  EXPECT_FALSE(w.window.popover(1)->isShown());

  // A normal trace reaches the display.
  w.feed(64);
  EXPECT_EQ(w.app.sharedData.hasData, 1);
}

TEST(MainWindow, ASweepEndsWhenItReachesThePlotsRightEdge) {
  LaunchedWindow w;
  w.app.lowerSpanField->setStringValue("0");
  // The widest RBW over a fifth of the band: the shortest FFT (2^14), the
  // fewest bins across the plot, and a spectrum every second block.
  w.app.upperSpanField->setStringValue("4800");
  w.app.bandwidthPopup->selectItemWithTag(30);
  w.launch();
  w.app.trackingGeneratorMatrix->selectCell(0, 1);
  w.app.trackingModeChanged();
  w.app.trackingGeneratorButton->setState(1);
  w.app.trackingStateChanged();
  ASSERT_EQ(w.app.sweep.running, 1);
  EXPECT_EQ(w.app.trackingGeneratorButton->title(), "Stop");

  // The span's right edge is rightBin; allow twice the blocks it needs.
  const int blocks = 2 * 2 * (w.app.sweep.rightBin - w.app.sweep.startBin + 2);
  for (int b = 0; b < blocks && w.app.sweep.running; b += 8) w.feed(8);
  EXPECT_EQ(w.app.sweep.running, 0);
  EXPECT_FALSE(w.app.trackingGeneratorButton->isOn());
  EXPECT_EQ(w.app.trackingGeneratorButton->title(), "Start");
  EXPECT_TRUE(w.app.trackingGeneratorIdle());
  // It ended near the right edge, not before the span's end.
  EXPECT_GE(w.app.sweep.currentBin, w.app.sweep.rightBin - 2);
  EXPECT_LE(w.app.sweep.currentBin, w.app.sweep.endBin);
}

namespace {

namespace sim = platform::audio::simulated;
namespace pa = platform::audio;

// The window with the analyzer input on a stepped simulated provider.
struct WindowWithInput {
  WindowWithInput() {
    ui::MainThread::install(&mainThread);
    sim::Options options;
    options.clock = sim::ClockMode::Stepped;
    provider = std::make_shared<sim::SimulatedProvider>(options);
    pa::installProvider(provider);
    input = std::make_unique<Input>(&app);
    generator = std::make_unique<TrackingGenerator>();
    window = std::make_unique<MainWindow>(app, input.get(), generator.get());
  }
  ~WindowWithInput() {
    window->detachEndpoints();
    input.reset();
    generator.reset();
    window.reset();
    QApplication::processEvents();
    ui::MainThread::install(nullptr);
    pa::installProvider(nullptr);
  }
  AFInputSoundcard* card() { return static_cast<AFInputSoundcard*>(input->soundcard()); }
  // Runs the device for blocks device buffers; the main thread is not
  // served meanwhile.
  void runWithoutTheMainThread(int blocks) {
    for (int i = 0; i < blocks; ++i) {
      provider->advance(512.0 / 48000);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (card()->memory().available() >= 512 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  }

  QApplication& qtApplication = application();
  ui::qt::QtMainThread mainThread;
  std::shared_ptr<sim::SimulatedProvider> provider;
  AppDelegate app;
  std::unique_ptr<Input> input;
  std::unique_ptr<TrackingGenerator> generator;
  std::unique_ptr<MainWindow> window;
};

}  // namespace

TEST(MainWindow, ThePopoversHoldTheCardsControlsAndTheWindowNamesTheProvider) {
  WindowWithInput w;
  w.app.applicationDidFinishLaunching();
  QApplication::processEvents();
  EXPECT_EQ(w.window->providerLabel()->text().toStdString(), "Audio: Simulated");
  EXPECT_EQ(w.input->devicePopup->titleOfSelectedItem(), "Test Signal");
  EXPECT_EQ(w.input->sourcePopup->titleOfSelectedItem(), "Sine");
  EXPECT_EQ(w.input->samplingRatePopup->titleOfSelectedItem(), "48000");
  EXPECT_EQ(w.input->channelPopup->numberOfItems(), 2);
  EXPECT_EQ(w.input->channelPopup->titleOfSelectedItem(), "L");
  EXPECT_TRUE(w.input->inputSlider->hasInterface());
  EXPECT_TRUE(w.card()->isRunning());
  EXPECT_TRUE(w.window->lostInputLabel()->isHidden());
  // The generator popover holds the output card's controls; the card waits
  // for a sweep.
  EXPECT_EQ(w.generator->devicePopup->titleOfSelectedItem(), "Loopback");
  EXPECT_EQ(w.generator->samplingRatePopup->titleOfSelectedItem(), "48000");
  EXPECT_EQ(w.generator->channelPopup->titleOfSelectedItem(), "L");
  EXPECT_TRUE(w.generator->outputSlider->hasInterface());
  EXPECT_FALSE(w.generator->soundcard()->isRunning());
}

TEST(MainWindow, InputLostOnTheWayToTheAnalysisIsShown) {
  WindowWithInput w;
  w.app.applicationDidFinishLaunching();
  QApplication::processEvents();
  // The main thread does not take the blocks for 80 device buffers.
  w.runWithoutTheMainThread(Input::kPoolBlocks + 16);
  w.window->updateLostInput();
  ASSERT_GT(w.input->droppedSamples(), 0u);
  EXPECT_FALSE(w.window->lostInputLabel()->isHidden());
  EXPECT_TRUE(w.window->lostInputLabel()->text().startsWith(
      QStringLiteral("Input lost: %1 samples").arg(w.input->droppedSamples())));
}
