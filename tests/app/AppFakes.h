#pragma once
// Fakes for the controller's collaborators that are not product components
// here: a plot view, the analyzer input, the tracking generator and a
// popover, each recording what the controller asked of it. One shared event
// list keeps the order of calls across all of them.

#include <optional>
#include <string>
#include <vector>

#include "app/controller/AppDelegate.h"
#include "ui/fakes/FakeControls.h"

namespace app_fakes {

struct EventLog {
  std::vector<std::string> events;
  void add(std::string e) { events.push_back(std::move(e)); }
  int count(const std::string& e) const {
    int n = 0;
    for (const auto& x : events) n += x == e;
    return n;
  }
  // Index of the first event e, or -1.
  int indexOf(const std::string& e) const {
    for (std::size_t i = 0; i < events.size(); ++i)
      if (events[i] == e) return static_cast<int>(i);
    return -1;
  }
};

class FakePlotView final : public PlotView {
 public:
  explicit FakePlotView(EventLog& log, std::string name) : log_(log), name_(std::move(name)) {}
  void setSharedData(SharedData* s) override {
    shared = s;
    log_.add(name_ + ".setSharedData");
  }
  void setColorPalette(const ColorPalette* p, bool b) override {
    palette = p;
    border = b;
    log_.add(name_ + ".setColorPalette");
  }
  void addTraceData(TraceData* t) override {
    lastTrace = t;
    ++traces;
  }
  void addTraceDataBin(TraceData* t, int bin) override {
    lastTrace = t;
    bins.push_back(bin);
  }
  void clearPlot() override { log_.add(name_ + ".clearPlot"); }
  void newSweep() override { log_.add(name_ + ".newSweep"); }
  void setTrackingGeneratorMode(bool enabled) override { trackingMode = enabled; }
  void setReference(TraceData* r, TraceData* t) override {
    referenceTrace = r;
    lastTrace = t;
    log_.add(name_ + ".setReference");
  }
  void setPlotScale(float d) override {
    dBPerDivision = d;
    log_.add(name_ + ".setPlotScale");
  }
  void setCaptionColor(const RGBAColor& c) override { caption = c; }
  void setNeedsDisplay() override { ++redraws; }
  void setWindowBackgroundColor(const ui::Color& c) override { windowBackground = c; }
  void makeKeyAndOrderFront() override { log_.add(name_ + ".front"); }
  std::string windowFrameString() const override { return frame; }
  void setWindowFrameFromString(const std::string& f) override {
    frame = f;
    log_.add(name_ + ".setFrame");
  }
  const display::MarkerCache* markerCache() const override { return nullptr; }
  const display::MarkerCache* referenceMarkerCache() const override { return nullptr; }
  PageView* page() override { return nullptr; }

  SharedData* shared = nullptr;
  const ColorPalette* palette = nullptr;
  bool border = false;
  TraceData* lastTrace = nullptr;
  TraceData* referenceTrace = nullptr;
  int traces = 0;
  std::vector<int> bins;
  bool trackingMode = false;
  float dBPerDivision = 0;
  RGBAColor caption;
  int redraws = 0;
  ui::Color windowBackground;
  std::string frame;

 private:
  EventLog& log_;
  std::string name_;
};

class FakeInput final : public AnalyzerInput {
 public:
  explicit FakeInput(EventLog& log, float rate = 48000.0f) : samplingRate(rate), log_(log) {}
  void applicationFinishLaunching(platform::PropertyDictionary&, AFManager&) override { log_.add("input.launch"); }
  void applicationTerminating(platform::PropertyDictionary&) override { log_.add("input.terminate"); }
  float pause() override {
    log_.add("input.pause");
    return samplingRate;
  }
  void resume() override { log_.add("input.resume"); }
  int32_t latencyFrames() override { return 0; }
  std::string deviceName() override { return device; }
  int32_t channel() override { return inputChannel; }
  float samplingRate;
  // The device and channel it records from; none by default.
  std::string device;
  int32_t inputChannel = 0;

 private:
  EventLog& log_;
};

class FakeGenerator final : public TrackingGeneratorEndpoint {
 public:
  explicit FakeGenerator(EventLog& log) : log_(log) {}
  void applicationFinishLaunching(platform::PropertyDictionary&, AFManager&) override { log_.add("generator.launch"); }
  void applicationTerminating(platform::PropertyDictionary&) override { log_.add("generator.terminate"); }
  void start(Sweep* sweep) override {
    startedAt = sweep->currentBin;
    log_.add("generator.start");
  }
  void stop() override { log_.add("generator.stop"); }
  void setSuspend(bool s) override { suspended = s; }
  void updateFrequency(Sweep* sweep) override { tunedTo.push_back(sweep->currentBin); }
  int32_t latencyFrames() override { return 0; }
  bool playTone(const GeneratorTone& t) override {
    if (!t.playableAt(48000)) return false;
    tone = t;
    log_.add("generator.tone");
    return true;
  }
  void stopTone() override { log_.add("generator.stopTone"); }
  int startedAt = -1;
  bool suspended = false;
  std::vector<int> tunedTo;
  std::optional<GeneratorTone> tone;

 private:
  EventLog& log_;
};

class FakePopover final : public ui::Popover {
 public:
  bool isShown() const override { return shown; }
  void showRelativeTo(ui::Control* a) override {
    shown = true;
    anchor = a;
  }
  void close() override { shown = false; }
  bool shown = false;
  ui::Control* anchor = nullptr;
};

}  // namespace app_fakes
