// The controller's export and print side: the options that choose the print
// view's palette and border and keep the size of an exported or printed plot
// within bounds, and the commands that export the plot as an image file and
// print it, and the trace's numbers as a CSV file.

#include "app/AppDelegate.h"
#include "app/DataExport.h"
#include "platform/AtomicFile.h"
#include "platform/Log.h"
#include "ui/Panels.h"

namespace {

// The smallest and the largest width or height of an exported or printed
// plot, in points.
constexpr float kSmallestPrintDimension = 100.0f;
constexpr float kLargestPrintDimension = 1800.0f;

}  // namespace

void AppDelegate::updatePrintCheckbox() {
  // The display's colours are drawn as on screen, where the plot has no
  // border, so the border box only counts with the print colours.
  if (printColorCheckbox && printColorCheckbox->isOn()) {
    if (printBorderCheckbox) printBorderCheckbox->setEnabled(false);
    if (printView) printView->setColorPalette(&colorPalette, false);
    return;
  }
  if (printBorderCheckbox) printBorderCheckbox->setEnabled(true);
  if (printView) printView->setColorPalette(&printPalette, printBorderCheckbox && printBorderCheckbox->isOn());
}

void AppDelegate::printDimensionChanged(ui::TextField* sender) {
  if (!sender) return;
  // Text that is no number reads as 0 and so becomes the smallest size.
  const float value = sender->floatValue();
  if (value < kSmallestPrintDimension)
    sender->setStringValue("100");
  else if (value > kLargestPrintDimension)
    sender->setStringValue("1800");
}

void AppDelegate::exportData() {
  suspendTracking();
  ui::Panels* panels = ui::Panels::instance();
  const std::optional<std::string> path =
      panels ? panels->runSavePanel("Export Data", "spectrum.csv", "CSV files (*.csv);;All files (*)") : std::nullopt;
  if (path) {
    TraceExportSettings settings;
    settings.resolutionBandwidth = sharedData.span.bandwidth;
    settings.window = windowPopup ? windowPopup->titleOfSelectedItem() : std::string();
    settings.detector = detectorPopup ? detectorPopup->titleOfSelectedItem() : std::string();
    settings.startFrequency = sharedData.span.startFrequency;
    settings.endFrequency = sharedData.span.endFrequency;
    settings.refScale = sharedData.refScale;
    std::string csv;
    {
      TraceData* live = trace->traceData();
      std::lock_guard<std::mutex> lock(live->lock);
      settings.samplingRate = live->samplingRate;
      csv = traceCsv(settings, *live, showsReference_ ? reference->traceData() : nullptr);
    }
    std::string error;
    if (!platform::writeFileAtomically(*path, csv, &error)) {
      platform::log("The data could not be exported to %s: %s\n", path->c_str(), error.c_str());
      if (panels) panels->showAlert("The data could not be exported to " + *path, error);
    }
  }
  resumeTracking();
}
