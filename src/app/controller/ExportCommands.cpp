// The controller's export and print side: the options that choose the print
// view's palette and border and keep the size of an exported or printed plot
// within bounds, and the commands that export the plot as an image file and
// print it, and the trace's numbers as a CSV file.

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "app/controller/AppDelegate.h"
#include "app/formats/DataExport.h"
#include "dsp/TraceTreatment.h"
#include "platform/AtomicFile.h"
#include "platform/Log.h"
#include "ui/Panels.h"

namespace {

// The smallest and the largest width or height of an exported or printed
// plot, in points.
constexpr float kSmallestPrintDimension = 100.0f;
constexpr float kLargestPrintDimension = 1800.0f;

// A "~" that begins the path, alone or before a "/", stands for the home
// folder; any other path is taken as it is (relative ones to the current
// folder).
std::string expandHome(const std::string& path) {
  if (path.empty() || path[0] != '~' || (path.size() > 1 && path[1] != '/')) return path;
  return AppDelegate::homeFolder() + path.substr(1);
}

struct ImageType {
  PageView::ImageFormat format;
  const char* extension;
};

// The format menu's title chooses the format; a title it does not know
// means PNG.
ImageType imageType(const ui::PopUpButton* formatMenu) {
  const std::string title = formatMenu ? formatMenu->titleOfSelectedItem() : std::string();
  if (title == "JPEG") return {PageView::ImageFormat::jpeg, ".jpg"};
  if (title == "TIFF") return {PageView::ImageFormat::tiff, ".tif"};
  return {PageView::ImageFormat::png, ".png"};
}

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
  // A log sweep's response with its phase, group delay and harmonics, as
  // the command line writes it; else the trace.
  const std::optional<std::string> logSweep = logSweepCsv();
  ui::Panels* panels = ui::Panels::instance();
  const std::optional<std::string> path =
      panels ? panels->runSavePanel("Export Data", logSweep ? "logsweep.csv" : "spectrum.csv",
                                    "CSV files (*.csv);;All files (*)")
             : std::nullopt;
  if (path) {
    std::string error;
    if (!platform::writeFileAtomically(*path, logSweep ? *logSweep : traceExportCsv(), &error))
      alertFailure("The data could not be exported to " + *path, error);
    else if (showStatus)
      showStatus("Data exported to " + *path);
  }
  resumeTracking();
}

std::string AppDelegate::traceExportCsv() {
  TraceExportSettings settings;
  settings.resolutionBandwidth = sharedData.span.bandwidth;
  settings.window = windowPopup ? windowPopup->titleOfSelectedItem() : std::string();
  settings.detector = detectorPopup ? detectorPopup->titleOfSelectedItem() : std::string();
  settings.startFrequency = sharedData.span.startFrequency;
  settings.endFrequency = sharedData.span.endFrequency;
  settings.refScale = sharedData.refScale;
  settings.normalised = sharedData.measure.normalise && showsReference_;
  if (sweep.enabled) {
    settings.sweep = "the tracking generator's tone, one spectrum per bin, bins " + std::to_string(sweep.leftBin) +
                     " to " + std::to_string(sweep.rightBin);
    if (sweep.remeasuredBins > 0) settings.sweep += ", " + std::to_string(sweep.remeasuredBins) + " measured again after drop-outs";
    if (sweep.uncleanBins > 0) settings.sweep += ", " + std::to_string(sweep.uncleanBins) + " left unmeasured after drop-outs";
  }
  settings.averagedSeconds = recordingSecondsAveraged();
  TraceData* live = trace->traceData();
  TraceData* shownReference = showsReference_ ? reference->traceData() : nullptr;
  // The levels as the plot shows them: weighted and smoothed when chosen.
  const dsp::TraceTreatment treatment =
      dsp::TraceTreatment::of(sharedData.treatment.weighting, sharedData.treatment.smoothing,
                              sharedData.sensorResponse.get());
  settings.levels = sharedData.levelScale;
  settings.calibration = sharedData.levelsCalibration;
  std::lock_guard<std::mutex> lock(live->lock);
  settings.samplingRate = live->samplingRate;
  if (treatment.none()) return traceCsv(settings, *live, shownReference);
  settings.weighting = dsp::weightingName(treatment.weighting);
  settings.smoothing = dsp::isSmoothingFraction(treatment.smoothing) ? treatment.smoothing : 0;
  dsp::TraceTreater treater;
  treater.setTreatment(treatment);
  auto treatedLive = std::make_unique<TraceData>();
  treater.treat(*live, *treatedLive);
  std::unique_ptr<TraceData> treatedReference;
  if (shownReference) {
    treatedReference = std::make_unique<TraceData>();
    treater.treat(*shownReference, *treatedReference);
  }
  return traceCsv(settings, *treatedLive, treatedReference.get());
}

std::string AppDelegate::exportImagePath() const {
  return expandHome(printName ? printName->stringValue() : std::string()) + " " + sharedData.secondsDateString +
         imageType(printFormat).extension;
}

PageView* AppDelegate::preparePrintPage() {
  PageView* page = printView ? printView->page() : nullptr;
  if (!page) return nullptr;
  updatePrintCheckbox();
  // As typed or as the settings had them: the limits act only on editing.
  const float width = printWidthField ? printWidthField->floatValue() : kSmallestPrintDimension;
  const float height = printHeightField ? printHeightField->floatValue() : kSmallestPrintDimension;
  // The screen's markers, so that the page shows the same ones.
  page->setMarker(display ? display->markerCache() : nullptr, display ? display->referenceMarkerCache() : nullptr);
  page->preparePage(width, height, trace->traceData());
  return page;
}

void AppDelegate::save() {
  if (!printView || !printView->page()) return;
  const std::string path = exportImagePath();
  std::string error;
  if (!exportImage(path, &error)) {
    alertFailure("The plot could not be exported to " + path, error);
    return;
  }
  if (showStatus) showStatus("Exported to " + path);
}

bool AppDelegate::exportImage(const std::string& path, std::string* error) {
  PageView* page = preparePrintPage();
  if (!page) {
    if (error) *error = "there is no print view";
    return false;
  }
  return page->writeImage(path, imageType(printFormat).format, error);
}

void AppDelegate::print() {
  // The sweep waits while the print dialog is open, as it does for the file
  // panels.
  suspendTracking();
  PageView* page = preparePrintPage();
  if (!page || !page->printPage()) platform::log("Print operation failed or was cancelled\n");
  resumeTracking();
}
