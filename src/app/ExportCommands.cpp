// The controller's export and print side: the options that choose the print
// view's palette and border and keep the size of an exported or printed plot
// within bounds, and the commands that export the plot as an image file and
// print it.

#include "app/AppDelegate.h"

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
