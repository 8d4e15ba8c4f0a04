// The sound-file commands in the real window, off-screen: File ▸ Open Sound
// File… (Ctrl+O) opens the file the open panel gives as an input device and
// the device pop-up shows it selected; File ▸ Close Sound File closes it and
// the input goes back to the default device. The window still names the
// provider that serves the sound cards.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>

#include "app/controller/AppDelegate.h"
#include "app/window/MainWindow.h"
#include "audio/AFInputSoundcard.h"
#include "endpoints/Input.h"
#include "endpoints/LogSweepRun.h"
#include "endpoints/TrackingGenerator.h"
#include "platform/audio/filedevices/FileDeviceProvider.h"
#include "platform/audio/simulated/SimulatedProvider.h"
#include "support/TempFolder.h"
#include "support/ToneMeasure.h"
#include "support/WaveFile.h"
#include "ui/Panels.h"
#include "ui/PopUpButton.h"
#include "ui/qt/QtMainThread.h"
#include "support/ServeMainThread.h"

namespace {

namespace sim = platform::audio::simulated;
namespace pa = platform::audio;
namespace files = platform::audio::files;

QApplication& application() {
  static int argc = 1;
  static char name[] = "app_sound_file_window_test";
  static char* argv[] = {name, nullptr};
  // Never destroyed: tearing Qt down among the static destructors at exit
  // is not safe, and a process-long application is all the tests need.
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

// An open panel that gives one path.
struct OnePath final : ui::Panels {
  std::string path;
  int shown = 0;
  std::optional<std::string> runSavePanel(const std::string&, const std::string&, const std::string&) override {
    return std::nullopt;
  }
  std::optional<std::string> runOpenPanel(const std::string&, const std::string&, const std::string&) override {
    ++shown;
    return path;
  }
  void showAlert(const std::string&, const std::string&) override {}
};

struct WindowOnFiles {
  WindowOnFiles() {
    ui::MainThread::install(&mainThread);
    ui::Panels::install(&panels);
    sim::Options options;
    options.clock = sim::ClockMode::Stepped;
    provider = std::make_shared<sim::SimulatedProvider>(options);
    files::Options stepped;
    stepped.clock = files::ClockMode::Stepped;
    overlay = std::make_shared<files::FileDeviceProvider>(provider, stepped);
    pa::installProvider(overlay);
    input = std::make_unique<Input>(&app);
    generator = std::make_unique<TrackingGenerator>();
    window = std::make_unique<MainWindow>(app, input.get(), generator.get());
  }
  ~WindowOnFiles() {
    window->detachEndpoints();
    input.reset();
    generator.reset();
    window.reset();
    QApplication::processEvents();
    ui::Panels::install(nullptr);
    ui::MainThread::install(nullptr);
    pa::installProvider(nullptr);
  }
  // Waits until every notification so far has been handled, serving the
  // main thread meanwhile.
  void settle() {
    testsupport::serveMainThreadWhile(mainThread, [&] {
      provider->flushNotifications();
      overlay->flushNotifications();
    });
    QApplication::processEvents();
  }
  ui::PopUpButton& devicePopup() { return *input->devicePopup; }

  QApplication& qtApplication = application();
  ui::qt::QtMainThread mainThread;
  OnePath panels;
  testsupport::TempFolder folder;
  std::shared_ptr<sim::SimulatedProvider> provider;
  std::shared_ptr<files::FileDeviceProvider> overlay;
  AppDelegate app;
  std::unique_ptr<Input> input;
  std::unique_ptr<TrackingGenerator> generator;
  std::unique_ptr<MainWindow> window;
};

}  // namespace

TEST(SoundFileWindow, OpenSoundFileSelectsTheFileAsTheInputAndCloseSoundFileGivesItBack) {
  WindowOnFiles w;
  w.app.applicationDidFinishLaunching();
  w.settle();
  EXPECT_EQ(w.window->providerLabel()->text().toStdString(), "Audio: Simulated");
  EXPECT_EQ(w.devicePopup().titleOfSelectedItem(), "Test Signal");

  // Both commands head the File menu; Close waits for a file.
  QAction* open = w.window->openSoundFileAction();
  QAction* close = w.window->closeSoundFileAction();
  ASSERT_TRUE(open && close);
  QMenu* file = w.window->findChild<QMenuBar*>()->actions().at(0)->menu();
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->actions().at(0), open);
  EXPECT_EQ(file->actions().at(1), close);
  EXPECT_EQ(open->text().toStdString(), "Open Sound File…");
  EXPECT_EQ(open->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_O));
  EXPECT_TRUE(open->isEnabled());
  EXPECT_FALSE(close->isEnabled());

  w.panels.path = w.folder.file("voice.wav");
  testsupport::writeWave(w.panels.path, {tonetest::sine(22050, 22050, 440, 0.3)}, 22050);
  open->trigger();
  w.settle();
  EXPECT_EQ(w.panels.shown, 1);
  EXPECT_EQ(w.devicePopup().titleOfSelectedItem(), "voice.wav");
  EXPECT_EQ(w.input->soundcard()->selectedDevice()->deviceID(), w.overlay->deviceForPath(w.panels.path));
  EXPECT_EQ(w.input->sourcePopup->titleOfSelectedItem(), "Loop");
  EXPECT_EQ(w.input->channelPopup->titleOfSelectedItem(), "mono");
  EXPECT_TRUE(close->isEnabled());

  close->trigger();
  w.settle();
  EXPECT_EQ(w.devicePopup().titleOfSelectedItem(), "Test Signal");
  EXPECT_EQ(w.devicePopup().indexOfItemWithTitle("voice.wav"), -1);
  EXPECT_FALSE(close->isEnabled());
  EXPECT_TRUE(static_cast<AFInputSoundcard*>(w.input->soundcard())->isRunning());
}

// A file never hears the generator: a log sweep from it would deconvolve
// the file's own sound into a response, so Start refuses it and says why.
TEST(SoundFileWindow, ALogSweepIsRefusedWhileTheInputIsASoundFile) {
  WindowOnFiles w;
  w.app.applicationDidFinishLaunching();
  w.settle();
  EXPECT_FALSE(w.input->recordsSoundFile());
  const std::string path = w.folder.file("music.wav");
  testsupport::writeWave(path, {tonetest::sine(48000, 48000, 1000, 0.3)}, 48000);
  ASSERT_NE(w.window->soundFileCommands().openSoundFileAtPath(path), 0u);
  w.settle();
  ASSERT_EQ(w.devicePopup().titleOfSelectedItem(), "music.wav");
  EXPECT_TRUE(w.input->recordsSoundFile());

  w.app.trackingGeneratorMatrix->selectCell(0, 2);
  w.app.trackingModeChanged();
  ASSERT_TRUE(w.app.logSweepMode());
  w.app.trackingGeneratorButton->setState(1);
  w.app.trackingStateChanged();
  EXPECT_FALSE(w.app.logSweepRun() && w.app.logSweepRun()->running());
  EXPECT_EQ(w.app.trackingGeneratorButton->title(), "Start");
  EXPECT_EQ(w.app.trackingGeneratorButton->state(), 0);
  EXPECT_EQ(w.window->statusLabel()->text().toStdString(),
            "Log sweep: the input is a sound file; choose the device that hears the generator");

  w.window->soundFileCommands().closeSoundFile();
  w.settle();
  EXPECT_FALSE(w.input->recordsSoundFile());
}
