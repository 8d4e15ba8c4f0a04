#pragma once
// The window's controls as plain values, for running the controller without
// a window (the command line's analysis and measurement): the analysis
// controls, the tracking controls, the export settings and the colour wells,
// holding what the window holds at first launch. attach() hands them to the
// controller as the window's interface does.

#include <array>

#include "ui/PlainControls.h"

class AppDelegate;

struct HeadlessControls {
  HeadlessControls();
  HeadlessControls(const HeadlessControls&) = delete;
  HeadlessControls& operator=(const HeadlessControls&) = delete;

  // Sets the controller's control pointers to these controls and wires the
  // two reference wells as the interface does (the launch wires the rest).
  void attach(AppDelegate& app);

  ui::PlainPopUpButton bandwidthPopup;
  ui::PlainPopUpButton windowPopup;
  ui::PlainPopUpButton detectorPopup;
  ui::PlainPopUpButton divisionPopup;
  ui::PlainPopUpButton axisPopup;
  ui::PlainPopUpButton smoothingPopup;
  ui::PlainPopUpButton weightingPopup;
  ui::PlainPopUpButton bandsPopup;
  ui::PlainTextField lowerSpanField;
  ui::PlainTextField upperSpanField;
  ui::PlainTextField traceAverageField;
  ui::PlainTextField referenceLevelField;
  ui::PlainTextField titleField;
  ui::PlainCheckbox showDateCheckbox;
  ui::PlainMatrix trackingGeneratorMatrix{1, 3, {"Normal", "Tracking", "Log sweep"}};
  ui::PlainButton trackingGeneratorButton{"Start"};
  ui::PlainTextField printWidthField;
  ui::PlainTextField printHeightField;
  ui::PlainPopUpButton printFormat;
  ui::PlainTextField printName;
  ui::PlainCheckbox printColorCheckbox;
  ui::PlainCheckbox printBorderCheckbox;
  // In the order of interface_defaults::kColorWells.
  std::array<ui::PlainColorWell, 13> wells;
};
