#pragma once
// A controller wired to fake controls, fake views and fake endpoints, with a
// hand-driven main thread, as the tests of the controller and the sweep use it.

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "AppFakes.h"
#include "app/controller/InterfaceMenus.h"
#include "platform/audio/simulated/SimulatedProvider.h"
#include "ui/MainThread.h"
#include "support/ServeMainThread.h"

namespace app_fakes {

using namespace ui::fakes;

// A stepped simulated provider without devices: the controller's audio
// device manager finds nothing, and no provider thread outlives the test
// (the diagnostic's test forks, and a forked child must not wait for a
// thread it does not have).
inline std::shared_ptr<platform::audio::simulated::SimulatedProvider> quietProvider() {
  platform::audio::simulated::Options options;
  options.clock = platform::audio::simulated::ClockMode::Stepped;
  options.defaultDeviceSet = false;
  return std::make_shared<platform::audio::simulated::SimulatedProvider>(options);
}

// Waits until every notification the provider has fired so far has been
// handled, serving the main thread meanwhile (listeners wait for it).
inline void settle(platform::audio::simulated::SimulatedProvider& provider, ui::ManualMainThread& mainThread) {
  testsupport::serveMainThreadWhile(mainThread, [&] { provider.flushNotifications(); });
}

struct ControllerHarness {
  std::shared_ptr<platform::audio::simulated::SimulatedProvider> quiet = quietProvider();
  ui::ManualMainThread mainThread;
  EventLog log;
  FakePlotView display{log, "display"};
  FakePlotView printView{log, "print"};
  FakeInput input{log};
  FakeGenerator generator{log};

  FakePopUpButton bandwidthPopup{interface_menus::bandwidthItems()};
  FakePopUpButton axisPopup{interface_menus::axisItems()};
  FakePopUpButton windowPopup{interface_menus::windowItems()};
  FakePopUpButton detectorPopup{interface_menus::detectorItems()};
  FakePopUpButton divisionPopup{interface_menus::divisionItems()};
  FakeTextField lowerSpanField{"0"};
  FakeTextField upperSpanField{"24000"};
  FakeTextField traceAverageField{"1"};
  FakeTextField referenceLevelField{"0"};
  FakeTextField titleField{"Filter response"};
  FakeCheckbox showDateCheckbox;
  FakeMatrix trackingGeneratorMatrix{1, 3, {"Normal", "Tracking", "Log sweep"}};
  FakeButton trackingGeneratorButton{"Start"};
  FakeColorWell wells[13];
  FakePopover popovers[5];

  AppDelegate app;

  ControllerHarness() {
    platform::audio::installProvider(quiet);
    ui::MainThread::install(&mainThread);
    bandwidthPopup.selectItemWithTag(10);
    axisPopup.selectItemWithTag(0);
    windowPopup.selectItemWithTag(1);
    detectorPopup.selectItemWithTag(3);
    divisionPopup.selectItemWithTag(10);

    app.input = &input;
    app.trackingGenerator = &generator;
    app.display = &display;
    app.printView = &printView;
    app.bandwidthPopup = &bandwidthPopup;
    app.axisPopup = &axisPopup;
    app.windowPopup = &windowPopup;
    app.lowerSpanField = &lowerSpanField;
    app.upperSpanField = &upperSpanField;
    app.traceAverageField = &traceAverageField;
    app.detectorPopup = &detectorPopup;
    app.referenceLevelField = &referenceLevelField;
    app.divisionPopup = &divisionPopup;
    app.titleField = &titleField;
    app.showDateCheckbox = &showDateCheckbox;
    app.trackingGeneratorMatrix = &trackingGeneratorMatrix;
    app.trackingGeneratorButton = &trackingGeneratorButton;
    ui::ColorWell** wellFields[13] = {
        &app.windowBackgroundColor, &app.plotBackgroundColor,  &app.plotGraticuleColor, &app.plotCurveColor,
        &app.plotCaptionColor,      &app.plotMarkerColor,      &app.plotReferenceColor, &app.printBackgroundColor,
        &app.printGraticuleColor,   &app.printCurveColor,      &app.printCaptionColor,  &app.printMarkerColor,
        &app.printReferenceColor};
    for (int i = 0; i < 13; ++i) {
      // Distinct colours, so a well routed to the wrong entry shows.
      wells[i].setColor({i / 13.0f, 1.0f - i / 13.0f, 0.5f, 1.0f});
      *wellFields[i] = &wells[i];
    }
    app.setColorInterface(app.plotReferenceColor);
    app.setColorInterface(app.printReferenceColor);
    ui::Popover** popoverFields[5] = {&app.attenuatorPopover, &app.bandwidthAndSpanPopover, &app.devicePopover,
                                      &app.detectorPopover, &app.trackingGeneratorPopover};
    for (int i = 0; i < 5; ++i) *popoverFields[i] = &popovers[i];
  }
  ~ControllerHarness() {
    ui::MainThread::install(nullptr);
    platform::audio::installProvider(nullptr);
  }

  void launch() {
    app.applicationDidFinishLaunching();
    mainThread.drain();
  }

  // Deterministic white noise, so every bin of a spectrum holds power.
  void feed(int blocks) {
    float block[AppDelegate::kBlockLength];
    for (int b = 0; b < blocks; ++b) {
      for (float& s : block) {
        noise = noise * 1664525u + 1013904223u;
        s = static_cast<float>(noise >> 8) / 16777216.0f - 0.5f;
      }
      app.newDataFromInput(block, input.samplingRate);
      mainThread.drain();
    }
  }
  std::uint32_t noise = 12345;

  void enterTrackingMode() { trackingGeneratorMatrix.pick(0, 1); }
  void enterLogSweepMode() { trackingGeneratorMatrix.pick(0, 2); }
  void pressStart() { trackingGeneratorButton.press(); }
};

}  // namespace app_fakes
