#pragma once
// The main window: the plot, the buttons beside it that open the five
// popovers, the title field and the date checkbox. It builds every control
// of the interface, hands them to the controller and connects the display's
// calls back to it; the controller's launch sequence then shows the window.

#include <QWidget>
#include <memory>

#include "app/AppDelegate.h"
#include "app/DisplayView.h"
#include "display/Display.h"
#include "ui/qt/QtControls.h"

class QVBoxLayout;

class MainWindow final : public QWidget {
 public:
  // The window's frame at first launch: x, y, width, height.
  static constexpr int kDefaultX = 180;
  static constexpr int kDefaultY = 156;
  static constexpr int kDefaultWidth = 692;
  static constexpr int kDefaultHeight = 469;

  explicit MainWindow(AppDelegate& app);
  ~MainWindow() override;

  ::display::Display* display() { return display_; }
  // Where the sound-card controls go when the sound cards exist.
  QVBoxLayout* devicePopoverLayout() { return deviceLayout_; }
  // The popovers' buttons, in the order attenuator, bandwidth and span,
  // device, detector, tracking generator.
  ui::qt::QtButton* popoverButton(int index) { return popoverButtons_[index]; }
  ui::qt::QtPopover* popover(int index) { return popovers_[index]; }

 private:
  void buildPopovers();
  void buildColorWells();

  AppDelegate& app_;
  ::display::Display* display_ = nullptr;
  std::unique_ptr<DisplayView> displayView_;
  ui::qt::QtButton* popoverButtons_[5] = {};
  ui::qt::QtPopover* popovers_[5] = {};
  QVBoxLayout* deviceLayout_ = nullptr;
  QWidget* colorWells_ = nullptr;  // not shown yet: the settings and print panels will hold them
};
