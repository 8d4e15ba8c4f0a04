// The window on the test command's JACK server (scripts/jack-daemon, named by
// SPECAN_JACK_SERVER): the input records a pass-through client of the test's
// own, which overruns one period on request. Without a server the case
// skips, unless SPECAN_JACK_REQUIRED=1.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "app/controller/AppDelegate.h"
#include "app/window/MainWindow.h"
#include "endpoints/Input.h"
#include "endpoints/TrackingGenerator.h"
#include "platform/audio/jack/JackProvider.h"
#include "support/JackWire.h"
#include "ui/qt/QtControls.h"
#include "ui/qt/QtMainThread.h"

namespace {

namespace pa = platform::audio;
using namespace std::chrono_literals;

using testsupport::jackTestServer;
using testsupport::jackTestServerRequired;

QApplication& application() {
  static int argc = 1;
  static char name[] = "app_jack_window_test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = new QApplication(argc, argv);  // process-long, as in the window test
  return *app;
}

// Runs the event loop until done() holds or the patience runs out.
template <typename Done>
bool serveUntil(Done done, std::chrono::seconds patience = 20s) {
  const auto limit = std::chrono::steady_clock::now() + patience;
  while (!done()) {
    if (std::chrono::steady_clock::now() > limit) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 5);
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

}  // namespace

// An xrun of the server while the window records: counted as lost input of
// the running device and shown in the side column, as a gap of any other
// provider is.
TEST(JackWindow, AnXrunIsCountedAndShownBesideThePlot) {
  std::shared_ptr<pa::jack::JackProvider> provider = testsupport::jackTestProvider();
  if (!provider) {
    if (jackTestServerRequired()) FAIL() << "no JACK server named by SPECAN_JACK_SERVER runs";
    GTEST_SKIP() << "no JACK test server";
  }
  testsupport::JackWire wire("specan-xrun", jackTestServer());
  ASSERT_TRUE(wire.ok());
  provider->flushNotifications();
  pa::installProvider(provider);
  // Torn down in the window's order whatever way the test ends.
  struct Window {
    Window() {
      ui::MainThread::install(&mainThread);
      app.usesSettingsFile = false;
      input = std::make_unique<Input>(&app);
      generator = std::make_unique<TrackingGenerator>();
      window = std::make_unique<MainWindow>(app, input.get(), generator.get());
    }
    ~Window() {
      app.applicationWillTerminate();
      window->detachEndpoints();
      input.reset();
      generator.reset();
      window.reset();
      QApplication::processEvents();
      ui::MainThread::install(nullptr);
      pa::installProvider(nullptr);
    }
    QApplication& qt = application();
    ui::qt::QtMainThread mainThread;
    AppDelegate app;
    std::unique_ptr<Input> input;
    std::unique_ptr<TrackingGenerator> generator;
    std::unique_ptr<MainWindow> window;
  } w;
  AppDelegate& app = w.app;
  Input* input = w.input.get();
  MainWindow* window = w.window.get();
  app.applicationDidFinishLaunching();
  QApplication::processEvents();
  EXPECT_EQ(window->providerLabel()->text().toStdString(), "Audio: JACK");
  const int index = input->devicePopup->indexOfItemWithTitle("specan-xrun");
  ASSERT_GE(index, 0) << "the wire's ports are a device";
  auto* device = static_cast<ui::qt::QtPopUpButton*>(input->devicePopup);
  device->setCurrentIndex(index);
  emit device->activated(index);  // as the user's choice in the list
  ASSERT_TRUE(serveUntil([&] { return app.sharedData.hasData == 1; })) << "the input records";
  // What the device switch itself may have counted comes in first.
  const auto settled = std::chrono::steady_clock::now() + 500ms;
  serveUntil([&] { return std::chrono::steady_clock::now() > settled; });
  const uint64_t before = input->ioHealth().gaps;

  wire.stallOnce(100ms);  // twenty periods of the dummy driver
  ASSERT_TRUE(serveUntil([&] { return wire.stalled(); }));
  // The xrun callback comes on JACK's own thread, after the cycles it cut.
  EXPECT_TRUE(serveUntil([&] { return input->ioHealth().gaps > before; }))
      << "the xrun was not counted as lost input";
  window->updateLostInput();
  EXPECT_FALSE(window->lostInputLabel()->isHidden());
  EXPECT_TRUE(window->lostInputLabel()->text().startsWith(QStringLiteral("Input lost: ")))
      << window->lostInputLabel()->text().toStdString();
}
