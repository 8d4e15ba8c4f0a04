#include "app/controller/HeadlessControls.h"

#include <memory>
#include <string>

#include "app/controller/AppDelegate.h"
#include "app/controller/InterfaceDefaults.h"
#include "app/controller/InterfaceMenus.h"

HeadlessControls::HeadlessControls()
    : bandwidthPopup(interface_menus::bandwidthItems()),
      windowPopup(interface_menus::windowItems()),
      detectorPopup(interface_menus::detectorItems()),
      divisionPopup(interface_menus::divisionItems()),
      axisPopup(interface_menus::axisItems()),
      smoothingPopup(interface_menus::smoothingItems()),
      weightingPopup(interface_menus::weightingItems()),
      bandsPopup(interface_menus::bandItems()) {
  namespace defaults = interface_defaults;
  bandwidthPopup.selectItemWithTag(defaults::kBandwidthTag);
  windowPopup.selectItemWithTag(defaults::kWindowTag);
  detectorPopup.selectItemWithTag(defaults::kDetectorTag);
  divisionPopup.selectItemWithTag(defaults::kDivisionTag);
  axisPopup.selectItemWithTag(defaults::kAxisTag);
  smoothingPopup.selectItemWithTag(defaults::kSmoothingTag);
  weightingPopup.selectItemWithTag(defaults::kWeightingTag);
  bandsPopup.selectItemWithTag(defaults::kBandsTag);
  lowerSpanField.setStringValue(defaults::kLowerSpan);
  upperSpanField.setStringValue(defaults::kUpperSpan);
  traceAverageField.setStringValue(defaults::kTraceAverage);
  referenceLevelField.setStringValue(defaults::kReferenceLevel);
  trackingGeneratorButton.setEnabled(false);  // only in tracking mode

  printWidthField.setStringValue(defaults::kPrintWidth);
  printHeightField.setStringValue(defaults::kPrintHeight);
  auto formats = std::make_shared<ui::Menu>();
  int tag = 0;
  for (const char* format : defaults::kImageFormats) formats->addItem(format, tag++);
  printFormat.setMenu(formats);
  printFormat.selectItemWithTitle("PNG");
  printName.setStringValue(defaults::kExportNamePrefix);
  printColorCheckbox.setState(defaults::kUseDisplayColorsForPrinting);
  printBorderCheckbox.setState(defaults::kPrintBorder);
  for (std::size_t i = 0; i < wells.size(); ++i) wells[i].setColor(defaults::kColorWells[i].color);
}

void HeadlessControls::attach(AppDelegate& app) {
  app.bandwidthPopup = &bandwidthPopup;
  app.windowPopup = &windowPopup;
  app.detectorPopup = &detectorPopup;
  app.divisionPopup = &divisionPopup;
  app.axisPopup = &axisPopup;
  app.smoothingPopup = &smoothingPopup;
  app.weightingPopup = &weightingPopup;
  app.bandsPopup = &bandsPopup;
  app.lowerSpanField = &lowerSpanField;
  app.upperSpanField = &upperSpanField;
  app.traceAverageField = &traceAverageField;
  app.referenceLevelField = &referenceLevelField;
  app.titleField = &titleField;
  app.showDateCheckbox = &showDateCheckbox;
  app.trackingGeneratorMatrix = &trackingGeneratorMatrix;
  app.trackingGeneratorButton = &trackingGeneratorButton;
  app.printWidthField = &printWidthField;
  app.printHeightField = &printHeightField;
  app.printFormat = &printFormat;
  app.printName = &printName;
  app.printColorCheckbox = &printColorCheckbox;
  app.printBorderCheckbox = &printBorderCheckbox;
  ui::ColorWell** fields[13] = {
      &app.windowBackgroundColor, &app.plotBackgroundColor, &app.plotGraticuleColor, &app.plotCurveColor,
      &app.plotCaptionColor,      &app.plotMarkerColor,     &app.plotReferenceColor, &app.printBackgroundColor,
      &app.printGraticuleColor,   &app.printCurveColor,     &app.printCaptionColor,  &app.printMarkerColor,
      &app.printReferenceColor};
  for (std::size_t i = 0; i < wells.size(); ++i) *fields[i] = &wells[i];
  // The interface wires the two reference wells; the launch the others.
  app.setColorInterface(app.plotReferenceColor);
  app.setColorInterface(app.printReferenceColor);
}
