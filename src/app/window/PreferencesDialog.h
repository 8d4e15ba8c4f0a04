#pragma once
// The preferences: the screen colours, the print colours and the export and
// print settings. A non-modal dialog that only holds the controls at their
// first-launch values; the main window makes it when it is built, so that
// the settings can fill the controls before the dialog is first shown, and
// hands every control to the controller.

#include <QDialog>

#include "ui/qt/QtControls.h"

class PreferencesDialog final : public QDialog {
 public:
  // The colour wells, in the order colorWell() takes: the window background
  // and the screen's background, graticule, curve, caption, marker and
  // reference, then the print colours in that order from the background on.
  enum Well {
    kWindowBackground,
    kScreenBackground,
    kScreenGraticule,
    kScreenCurve,
    kScreenCaption,
    kScreenMarker,
    kScreenReference,
    kPrintBackground,
    kPrintGraticule,
    kPrintCurve,
    kPrintCaption,
    kPrintMarker,
    kPrintReference,
    kWellCount
  };

  explicit PreferencesDialog(QWidget* parent);

  ui::qt::QtColorWell* colorWell(int well) { return wells_[well]; }
  // Export and print: the plot's size in points, the image format ("PNG",
  // "JPEG", "TIFF"), the path and name prefix of exported files, and the
  // choice between the display's colours and the print colours with or
  // without a border.
  ui::qt::QtTextField* widthField() { return widthField_; }
  ui::qt::QtTextField* heightField() { return heightField_; }
  ui::qt::QtPopUpButton* formatPopup() { return formatPopup_; }
  ui::qt::QtTextField* namePrefixField() { return namePrefixField_; }
  ui::qt::QtCheckbox* displayColorsCheckbox() { return displayColorsCheckbox_; }
  ui::qt::QtCheckbox* borderCheckbox() { return borderCheckbox_; }

 private:
  ui::qt::QtColorWell* wells_[kWellCount] = {};
  ui::qt::QtTextField* widthField_ = nullptr;
  ui::qt::QtTextField* heightField_ = nullptr;
  ui::qt::QtPopUpButton* formatPopup_ = nullptr;
  ui::qt::QtTextField* namePrefixField_ = nullptr;
  ui::qt::QtCheckbox* displayColorsCheckbox_ = nullptr;
  ui::qt::QtCheckbox* borderCheckbox_ = nullptr;
};
