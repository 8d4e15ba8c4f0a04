// The reference trace: take the live trace as the reference, save it as a
// reference file, load one, and remove it. While a reference is shown the
// span fields are disabled, so both traces keep one frequency axis. The
// sweep pauses while a file panel is open.

#include <cmath>
#include <string>

#include "app/controller/AppDelegate.h"
#include "app/formats/ReferenceFile.h"
#include "platform/Log.h"
#include "ui/Panels.h"

namespace {

const char kProposedName[] = "reference.xml";
const char kFilter[] = "Reference traces (*.xml);;All files (*)";

}  // namespace

void AppDelegate::useReference() {
  reference->importData(trace->traceData());
  setReferenceTrace(reference->traceData());
}

void AppDelegate::saveReference() {
  suspendTracking();
  ui::Panels* panels = ui::Panels::instance();
  const std::optional<std::string> path =
      panels ? panels->runSavePanel("Save Reference Trace", kProposedName, kFilter) : std::nullopt;
  if (path) {
    reference->importData(trace->traceData());
    const platform::PropertyDictionary file =
        referenceDictionary(*reference->traceData(), lowerSpanField ? lowerSpanField->stringValue() : "",
                            upperSpanField ? upperSpanField->stringValue() : "");
    // Written whole or not at all; a failure is said, so nobody relies on a
    // file that is not there.
    std::string error;
    if (!platform::writePropertyList(platform::PropertyValue(file), *path, &error))
      alertFailure("The reference trace could not be saved to " + *path, error);
  }
  resumeTracking();
}

void AppDelegate::drawReference() {
  suspendTracking();
  ui::Panels* panels = ui::Panels::instance();
  const std::optional<std::string> path =
      panels ? panels->runOpenPanel("Show Reference Trace", kProposedName, kFilter) : std::nullopt;
  if (path) {
    std::string error;
    if (std::optional<ReferenceFile> file = readReferenceFile(*path, &error))
      loadReference(*file);
    else
      alertFailure("The reference trace " + *path + " was not loaded", "The file was refused: " + error + ".");
  }
  resumeTracking();
}

void AppDelegate::loadReference(const ReferenceFile& file) {
  TraceData* data = reference->traceData();
  {
    std::lock_guard<std::mutex> lock(data->lock);
    data->bins = file.bins;
    if (file.samplingRate) data->samplingRate = *file.samplingRate;
    if (file.binsPerHertz) data->binsPerHertz = *file.binsPerHertz;
    // Without data the previous values stay under the new bin count.
    if (file.data) std::copy(file.data->begin(), file.data->end(), data->averaged);
  }
  // The analysis moves to the reference's span when it differs by more than 1 Hz.
  const float lower = lowerSpanField ? lowerSpanField->floatValue() : 0.0f;
  const float upper = upperSpanField ? upperSpanField->floatValue() : 0.0f;
  if (file.lowerSpan && lowerSpanField) lowerSpanField->setStringValue(*file.lowerSpan);
  if (file.upperSpan && upperSpanField) upperSpanField->setStringValue(*file.upperSpan);
  const float newLower = lowerSpanField ? lowerSpanField->floatValue() : 0.0f;
  const float newUpper = upperSpanField ? upperSpanField->floatValue() : 0.0f;
  if (std::fabs(newLower - lower) > 1.0f || std::fabs(newUpper - upper) > 1.0f) setupSampling();
  setReferenceTrace(data);
}

void AppDelegate::removeReference() {
  setReferenceTrace(nullptr);
  for (ui::TextField* field : {lowerSpanField, upperSpanField})
    if (field) field->setEnabled(true);
}

void AppDelegate::setReferenceTrace(TraceData* referenceTrace) {
  showsReference_ = referenceTrace != nullptr;
  for (PlotView* view : {display, printView})
    if (view) view->setReference(referenceTrace, trace->traceData());
  for (ui::TextField* field : {lowerSpanField, upperSpanField})
    if (field) field->setEnabled(false);
}
