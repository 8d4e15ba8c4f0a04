// Fuzzes the settings file as the analyzer reads it at launch: arbitrary
// bytes as the file, read into the real Qt controls of the main window, then
// the handlers that turn the controls into the analyzer's state. Whatever the
// file holds, the launch must neither crash, hang nor leak, and the controls
// must end with values the analyzer can use.

#include <QApplication>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "app/controller/AppDelegate.h"
#include "app/window/MainWindow.h"
#include "platform/Log.h"
#include "ui/MainThread.h"

namespace {

struct Rig {
  std::unique_ptr<QApplication> application;
  std::unique_ptr<AppDelegate> app;
  std::unique_ptr<MainWindow> window;
  std::filesystem::path folder;
};

Rig* rig = nullptr;

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "settings fuzzer: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  char pattern[] = "/tmp/specan-settings-fuzz-XXXXXX";
  check(::mkdtemp(pattern) != nullptr, "no temporary folder");
  rig = new Rig;
  rig->folder = pattern;
  ::setenv("XDG_CONFIG_HOME", pattern, 1);
  rig->application = std::make_unique<QApplication>(*argc, *argv);
  rig->app = std::make_unique<AppDelegate>();
  rig->window = std::make_unique<MainWindow>(*rig->app);
  // What an unreadable file makes the store say is not of interest here.
  platform::setLogSink([](std::string_view, void*) {}, nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  AppDelegate& app = *rig->app;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(rig->folder, ignored))
    std::filesystem::remove_all(entry.path(), ignored);
  if (std::FILE* file = std::fopen(AppDelegate::settingsFilePath().c_str(), "wb")) {
    std::fwrite(data, 1, size, file);
    std::fclose(file);
  }

  app.setupFromPlist();
  // The handlers the launch runs after loading.
  for (ui::ColorWell* well :
       {app.windowBackgroundColor, app.plotBackgroundColor, app.plotGraticuleColor, app.plotCurveColor,
        app.plotCaptionColor, app.plotReferenceColor, app.plotMarkerColor, app.printBackgroundColor,
        app.printGraticuleColor, app.printCurveColor, app.printReferenceColor, app.printCaptionColor,
        app.printMarkerColor})
    app.colorChanged(well);
  app.updatePrintCheckbox();
  app.traceAverageChanged();
  app.detectorChanged();
  app.scaleChanged();
  app.titleChanged();
  app.dateCheckboxChanged();

  check(std::isfinite(app.sharedData.refScale) && app.sharedData.refScale > 0, "unusable reference level");
  check(app.traceAverageField->floatValue() >= 1.0f, "trace average below 1");
  const QRect frame = rig->window->geometry();
  check(frame.width() > 0 && frame.height() > 0 && frame.width() <= 100000 && frame.height() <= 100000,
        "unusable window frame");
  return 0;
}
