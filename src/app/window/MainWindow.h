#pragma once
// The main window: the menu bar, the plot, the buttons beside it that open
// the five popovers, the title field and the date checkbox, and the
// preferences dialog. It builds every control of the interface, hands them
// to the controller and connects the display's calls back to it; the
// controller's launch sequence then shows the window.

#include <QWidget>
#include <memory>
#include <string>

#include "app/controller/AppDelegate.h"
#include "app/views/DisplayView.h"
#include "app/views/PrintView.h"
#include "app/controller/SoundFileCommands.h"
#include "app/window/SpectrogramMenu.h"
#include "display/Display.h"
#include "ui/qt/QtControls.h"

class CalibrationDialog;
class Input;
class PreferencesDialog;
class TrackingGenerator;
class QAction;
class QLabel;
class QSplitter;
class QPushButton;
class QTimer;
class QVBoxLayout;

class MainWindow final : public QWidget {
 public:
  // The window's frame at first launch: x, y, width, height.
  static constexpr int kDefaultX = 180;
  static constexpr int kDefaultY = 156;
  static constexpr int kDefaultWidth = 692;
  static constexpr int kDefaultHeight = 469;

  // With an input, the device popover holds the input card's controls and
  // the window reports input that was lost on the way to the analysis; with
  // a generator, the generator popover holds the output card's controls.
  explicit MainWindow(AppDelegate& app, Input* input = nullptr, TrackingGenerator* generator = nullptr);
  ~MainWindow() override;

  ::display::Display* display() { return display_; }
  // The spectrogram pane under the plot (hidden until View ▸ Spectrogram)
  // and its View menu items.
  ::display::SpectrogramPane* spectrogramPane() { return spectrogramPane_; }
  const SpectrogramActions& spectrogramActions() const { return spectrogramActions_; }
  // The splitter between the plot and the pane, and the pane's share of
  // their height that it keeps ("Spectrogram Share" in the settings).
  QSplitter* plotSplitter() { return plotSplitter_; }
  double spectrogramShare() const;
  // Where the sound-card controls go.
  QVBoxLayout* devicePopoverLayout() { return deviceLayout_; }
  // "Audio: " and the name of the audio provider in use.
  QLabel* providerLabel() { return providerLabel_; }
  // Shown once input has been lost: how many samples, in total, and in how
  // many gaps (a gap the server reported without a count has no samples).
  QLabel* lostInputLabel() { return lostInputLabel_; }
  // Shown once the generator's output has had a gap (its playback ran dry).
  QLabel* outputGapsLabel() { return outputGapsLabel_; }
  // The line beneath the plot that says what the last command did.
  QLabel* statusLabel() { return statusLabel_; }
  // Reads the input's and the generator's loss counters into the two labels
  // (a timer does it twice a second).
  void updateLostInput();
  // Hands the input's and the generator's controls back and forgets them,
  // so that they may go before the window.
  void detachEndpoints();
  // The popovers' buttons, in the order attenuator, bandwidth and span,
  // device, detector, tracking generator.
  ui::qt::QtButton* popoverButton(int index) { return popoverButtons_[index]; }
  ui::qt::QtPopover* popover(int index) { return popovers_[index]; }
  // The colours and the export and print settings; made with the window,
  // shown by the Preferences command.
  PreferencesDialog* preferences() { return preferences_; }
  // The Attenuator popover's "Calibrate…" button and the dialog it opens;
  // the reference level's label, which names the levels' unit.
  QPushButton* calibrationButton() { return calibrationButton_; }
  CalibrationDialog* calibration() { return calibration_; }
  QLabel* referenceLevelLabel() { return referenceLevelLabel_; }

  // The print and export view the controller's printView is; never shown.
  PrintView* printView() { return printView_.get(); }

  // The menu commands. File: Open Sound File, Close Sound File; Export
  // Image, Export Data, Export Impulse Response, Print; the four reference commands
  // (referenceAction(): use the live trace, save, show, remove);
  // Preferences, Quit. View: one per popover, in the order of
  // popoverButton(), each toggling its popover beside its button. Help: the
  // help page.
  QAction* openSoundFileAction() { return openSoundFileAction_; }
  QAction* closeSoundFileAction() { return closeSoundFileAction_; }
  SoundFileCommands& soundFileCommands() { return soundFiles_; }
  QAction* exportImageAction() { return exportImageAction_; }
  QAction* exportDataAction() { return exportDataAction_; }
  // Enabled as the File menu opens while a log sweep's response is shown.
  QAction* exportImpulseResponseAction() { return exportImpulseResponseAction_; }
  QAction* printAction() { return printAction_; }
  QAction* referenceAction(int index) { return referenceActions_[index]; }
  QAction* preferencesAction() { return preferencesAction_; }
  QAction* quitAction() { return quitAction_; }
  QAction* viewAction(int index) { return viewActions_[index]; }
  QAction* helpAction() { return helpAction_; }

 private:
  void buildMenuBar(QLayout* layout);
  void buildPopovers();
  void buildDeviceControls(QWidget* popover);
  void buildGeneratorControls(QWidget* popover, QVBoxLayout* layout);
  void buildPreferences();
  void showAbout();
  // Gives the pane its share of the splitter, when it is shown.
  void applySpectrogramShare();

  AppDelegate& app_;
  Input* input_ = nullptr;
  TrackingGenerator* generator_ = nullptr;
  QLabel* providerLabel_ = nullptr;
  QLabel* lostInputLabel_ = nullptr;
  QLabel* outputGapsLabel_ = nullptr;
  QLabel* statusLabel_ = nullptr;
  unsigned long long inputGapsShown_ = 0, outputGapsShown_ = 0;
  QTimer* lostInputTimer_ = nullptr;
  unsigned long long lostShown_ = 0;
  ::display::Display* display_ = nullptr;
  ::display::SpectrogramPane* spectrogramPane_ = nullptr;
  QSplitter* plotSplitter_ = nullptr;
  double spectrogramShare_ = 0.5;  // as last set or dragged while the pane was shown
  SpectrogramActions spectrogramActions_;
  std::unique_ptr<DisplayView> displayView_;
  std::unique_ptr<PrintView> printView_;
  ui::qt::QtButton* popoverButtons_[5] = {};
  ui::qt::QtPopover* popovers_[5] = {};
  QVBoxLayout* deviceLayout_ = nullptr;
  PreferencesDialog* preferences_ = nullptr;
  QPushButton* calibrationButton_ = nullptr;
  CalibrationDialog* calibration_ = nullptr;
  QLabel* referenceLevelLabel_ = nullptr;
  SoundFileCommands soundFiles_{nullptr};
  QAction* openSoundFileAction_ = nullptr;
  QAction* closeSoundFileAction_ = nullptr;
  QAction* exportImageAction_ = nullptr;
  QAction* exportDataAction_ = nullptr;
  QAction* exportImpulseResponseAction_ = nullptr;
  QAction* printAction_ = nullptr;
  QAction* referenceActions_[4] = {};
  QAction* preferencesAction_ = nullptr;
  QAction* quitAction_ = nullptr;
  QAction* viewActions_[5] = {};
  QAction* helpAction_ = nullptr;
};

// The help page's file:// address: help.html in the program's folder, else
// where it is installed as program data, ../share/specan/help.html from
// there in the usual layout (SPECAN_INSTALLED_HELP); empty when neither
// exists. An empty folder means the running program's.
std::string helpPageURL(const QString& programFolder = QString());
