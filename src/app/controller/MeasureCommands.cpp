// The measurement commands: the trace's hold modes, the peak reading, the
// delta and noise markers, the peak table and the normalisation to the
// reference, with their keys in the settings. Each is an addition to the
// analyzer's plain behaviour and starts switched off; a settings file
// without these keys leaves them off, and an older build keeps them as
// keys it does not know.

#include <algorithm>
#include <optional>

#include "app/controller/AppDelegate.h"
#include "ui/MainThread.h"

namespace {

const char* const kTraceMode = "Trace Mode";  // integer: 0 average, 1 max hold, 2 min hold
const char* const kPrecisePeak = "Precise Peak Reading";
const char* const kDeltaMarker = "Delta Marker";
const char* const kNoiseMarker = "Noise Marker";
const char* const kPeakTable = "Peak Table";
const char* const kNormalise = "Normalise To Reference";

// A stored flag as it was meant: a boolean, or a number (0 is off). Any
// other kind leaves the setting as it was.
void readFlag(const platform::PropertyDictionary& plist, const char* key, uint8_t& flag) {
  const platform::PropertyValue* value = plist.find(key);
  if (!value) return;
  if (std::optional<bool> on = value->boolean()) {
    flag = *on ? 1 : 0;
  } else if (std::optional<double> number = value->number()) {
    flag = *number != 0 ? 1 : 0;
  }
}

bool validTraceMode(int mode) { return mode >= 0 && mode <= 2; }

}  // namespace

void AppDelegate::loadMeasureSettings() {
  MeasureState& m = sharedData.measure;
  if (const platform::PropertyValue* value = plist.find(kTraceMode))
    if (std::optional<double> mode = value->number();
        mode && validTraceMode(static_cast<int>(*mode)) && *mode == static_cast<int>(*mode))
      m.traceMode = static_cast<int>(*mode);
  readFlag(plist, kPrecisePeak, m.precisePeak);
  readFlag(plist, kDeltaMarker, m.deltaMarker);
  readFlag(plist, kNoiseMarker, m.noiseMarker);
  readFlag(plist, kPeakTable, m.peakTable);
  readFlag(plist, kNormalise, m.normalise);
  loadDistortionSettings();
  m.anchor.valid = 0;
}

void AppDelegate::applyMeasureSettings() {
  // The readings use the engine's window from its first configuration on.
  sharedData.measure.window = &windowResponse;
  const MeasureState& m = sharedData.measure;
  if (m.traceMode != 0) trace->setTraceMode(static_cast<TraceMode>(m.traceMode));
  // The views only hear of settings that ask for something.
  if (m.precisePeak || m.deltaMarker || m.noiseMarker || m.peakTable || m.normalise || m.distortion)
    for (PlotView* view : {display, printView})
      if (view) view->measurementsChanged();
}

void AppDelegate::storeMeasureSettings() {
  const MeasureState& m = sharedData.measure;
  plist.set(kTraceMode, static_cast<int64_t>(m.traceMode));
  plist.set(kPrecisePeak, m.precisePeak != 0);
  plist.set(kDeltaMarker, m.deltaMarker != 0);
  plist.set(kNoiseMarker, m.noiseMarker != 0);
  plist.set(kPeakTable, m.peakTable != 0);
  plist.set(kNormalise, m.normalise != 0);
  storeDistortionSettings();
}

namespace {

void tellViews(PlotView* display, PlotView* printView) {
  for (PlotView* view : {display, printView})
    if (view) view->measurementsChanged();
}

}  // namespace

void AppDelegate::setTraceMode(int mode) {
  if (!validTraceMode(mode)) return;
  sharedData.measure.traceMode = mode;
  trace->setTraceMode(static_cast<TraceMode>(mode));
  tellViews(display, printView);
}

void AppDelegate::resetHold() {
  trace->resetHold();
  if (display) display->setNeedsDisplay();
}

void AppDelegate::setPrecisePeak(bool on) {
  sharedData.measure.precisePeak = on ? 1 : 0;
  tellViews(display, printView);
}

void AppDelegate::setDeltaMarker(bool on) {
  sharedData.measure.deltaMarker = on ? 1 : 0;
  sharedData.measure.anchor.valid = 0;  // taken from the marker's next reading
  tellViews(display, printView);
}

void AppDelegate::setNoiseMarker(bool on) {
  sharedData.measure.noiseMarker = on ? 1 : 0;
  tellViews(display, printView);
}

void AppDelegate::setPeakTable(bool on) {
  sharedData.measure.peakTable = on ? 1 : 0;
  tellViews(display, printView);
}

void AppDelegate::setNormalise(bool on) {
  sharedData.measure.normalise = on ? 1 : 0;
  tellViews(display, printView);
}

void AppDelegate::engineReconfigured() {
  ui::MainThread::instance().runSync([this] {
    trace->resetHold();
    if (spectrum) windowResponse.prepare(*spectrum);
    sharedData.measure.window = &windowResponse;
  });
}
