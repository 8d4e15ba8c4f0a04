#include "app/window/MainWindow.h"

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSplitter>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <cmath>
#include <optional>

#include "app/controller/InterfaceDefaults.h"
#include "app/controller/InterfaceMenus.h"
#include "app/window/CalibrationDialog.h"
#include "app/window/MeasureMenu.h"
#include "app/window/PreferencesDialog.h"
#include "endpoints/Input.h"
#include "endpoints/TrackingGenerator.h"
#include "platform/audio/Provider.h"

using ui::qt::QtButton;
using ui::qt::QtCheckbox;
using ui::qt::QtMatrix;
using ui::qt::QtPopover;
using ui::qt::QtPopUpButton;
using ui::qt::QtSlider;
using ui::qt::QtTextField;

namespace {

// The popovers' titles and the controller's commands that toggle them, in
// the order of MainWindow::popoverButton().
const char* const kPopoverTitles[5] = {"Attenuator", "RBW / Span", "Device", "Detector", "Generator"};
// Runs the controller's command that toggles popover index beside sender.
// (A switch rather than a table of member pointers, which GCC's sanitizer
// builds misreport as uninitialised.)
void togglePopover(AppDelegate& app, int index, ui::Control* sender) {
  switch (index) {
    case 0: app.showAttenuatorPopover(sender); break;
    case 1: app.showBandwidthAndSpanPopover(sender); break;
    case 2: app.showDevicePopover(sender); break;
    case 3: app.showDetectorPopover(sender); break;
    case 4: app.showTrackingGeneratorPopover(sender); break;
    default: break;
  }
}

// The controller's colour wells, in the order of PreferencesDialog::Well.
std::array<ui::ColorWell**, PreferencesDialog::kWellCount> colorWellFields(AppDelegate& app) {
  return {&app.windowBackgroundColor, &app.plotBackgroundColor, &app.plotGraticuleColor, &app.plotCurveColor,
          &app.plotCaptionColor,      &app.plotMarkerColor,     &app.plotReferenceColor, &app.printBackgroundColor,
          &app.printGraticuleColor,   &app.printCurveColor,     &app.printCaptionColor,  &app.printMarkerColor,
          &app.printReferenceColor};
}

// The desktop's keys for a standard command, or the given ones where it has
// none (as Qt's platforms without a desktop theme have none for Quit).
QKeySequence standardKeys(QKeySequence::StandardKey key, const QKeySequence& fallback) {
  const QKeySequence keys(key);
  return keys.isEmpty() ? fallback : keys;
}

QtPopUpButton* makePopUp(const std::vector<ui::MenuItem>& items, int selectedTag, QWidget* parent) {
  auto* popup = new QtPopUpButton(parent);
  auto menu = std::make_shared<ui::Menu>();
  for (const ui::MenuItem& item : items) menu->addItem(item.title, item.tag);
  ui::PopUpButton& control = *popup;
  control.setMenu(menu);
  control.selectItemWithTag(selectedTag);
  return popup;
}

// The spectrogram pane's share of the plot column's height.
const char* const kSpectrogramShareKey = "Spectrogram Share";

QtTextField* makeField(const char* text, QWidget* parent) {
  auto* field = new QtTextField(parent);
  static_cast<ui::TextField&>(*field).setStringValue(text);
  field->setMaximumWidth(90);
  return field;
}

}  // namespace

MainWindow::MainWindow(AppDelegate& app, Input* input, TrackingGenerator* generator)
    : app_(app), input_(input), generator_(generator), soundFiles_(input) {
  setWindowTitle(QStringLiteral("SpecAn"));
  setGeometry(kDefaultX, kDefaultY, kDefaultWidth, kDefaultHeight);

  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  display_ = new ::display::Display(this);
  display_->setMinimumSize(300, 200);
  // The plot, and beneath it a line that says what the last command did.
  auto* plotColumn = new QVBoxLayout();
  plotColumn->setContentsMargins(0, 0, 0, 0);
  plotColumn->setSpacing(0);
  // The spectrogram under the plot, on the plot's columns, the splitter
  // between them sharing out the height.
  plotSplitter_ = new QSplitter(Qt::Vertical, this);
  plotSplitter_->setChildrenCollapsible(false);
  plotSplitter_->addWidget(display_);
  spectrogramPane_ = new ::display::SpectrogramPane(display_, plotSplitter_);
  plotSplitter_->addWidget(spectrogramPane_);
  plotSplitter_->setStretchFactor(0, 1);
  plotSplitter_->setStretchFactor(1, 1);
  connect(plotSplitter_, &QSplitter::splitterMoved, this, [this] { spectrogramShare_ = spectrogramShare(); });
  plotColumn->addWidget(plotSplitter_, 1);
  statusLabel_ = new QLabel(this);
  statusLabel_->setContentsMargins(6, 2, 6, 2);
  statusLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  statusLabel_->hide();
  plotColumn->addWidget(statusLabel_);
  layout->addLayout(plotColumn, 1);

  auto* side = new QVBoxLayout();
  side->setContentsMargins(6, 8, 6, 8);
  side->setSpacing(4);
  layout->addLayout(side);
  for (int i = 0; i < 5; ++i) {
    auto* button = new QtButton(QString::fromUtf8(kPopoverTitles[i]), this, QtButton::Kind::momentary);
    popoverButtons_[i] = button;
    static_cast<ui::Control&>(*button).setInterface(
        [this, i, button] { togglePopover(app_, i, button); });
    side->addWidget(button);
  }
  side->addStretch(1);
  side->addWidget(new QLabel(QStringLiteral("Title"), this));
  auto* title = makeField("", this);
  title->setMaximumWidth(120);
  side->addWidget(title);
  auto* date = new QtCheckbox(QStringLiteral("Date"), this);
  side->addWidget(date);
  lostInputLabel_ = new QLabel(this);
  lostInputLabel_->setStyleSheet(QStringLiteral("color: #e04040"));
  lostInputLabel_->setWordWrap(true);
  lostInputLabel_->setMaximumWidth(120);
  lostInputLabel_->hide();
  side->addWidget(lostInputLabel_);
  outputGapsLabel_ = new QLabel(this);
  outputGapsLabel_->setWordWrap(true);
  outputGapsLabel_->setMaximumWidth(120);
  outputGapsLabel_->hide();
  side->addWidget(outputGapsLabel_);
  const std::shared_ptr<platform::audio::Provider> provider = platform::audio::currentProvider();
  providerLabel_ = new QLabel(
      QStringLiteral("Audio: ") + QString::fromStdString(provider ? provider->name() : std::string("none")), this);
  side->addWidget(providerLabel_);
  app_.titleField = title;
  app_.showDateCheckbox = date;
  app_.showStatus = [this](const std::string& text) {
    statusLabel_->setText(QString::fromStdString(text));
    statusLabel_->setToolTip(statusLabel_->text());
    statusLabel_->show();
  };

  buildPopovers();
  buildPreferences();
  buildMenuBar(layout);
  app_.loadInterfaceSettings = [this](const platform::PropertyDictionary& plist) {
    loadSpectrogramSettings(plist, *spectrogramPane_);
    if (const platform::PropertyValue* share = plist.find(kSpectrogramShareKey))
      if (const std::optional<double> value = share->number(); value && *value >= 0.1 && *value <= 0.9)
        spectrogramShare_ = *value;
    applySpectrogramShare();
    showSpectrogramState(spectrogramActions_, *spectrogramPane_);
  };
  app_.storeInterfaceSettings = [this](platform::PropertyDictionary& plist) {
    storeSpectrogramSettings(plist, *spectrogramPane_);
    plist.set(kSpectrogramShareKey, spectrogramShare());
  };
  app_.helpURL = helpPageURL();

  displayView_ = std::make_unique<DisplayView>(display_, this);
  app_.display = displayView_.get();
  printView_ = std::make_unique<PrintView>(this);
  app_.printView = printView_.get();
  printView_->setSpectrogramPane(spectrogramPane_);
  display_->setCallbacks(::display::DisplayCallbacks{
      [this] { app_.stopTrackingGenerator(); }, [this] { return app_.trackingGeneratorIdle(); },
      [this](double lower, double upper) { return app_.requestSpan(lower, upper); }});

  if (generator_) app_.trackingGenerator = generator_;
  if (input_) app_.input = input_;
  if (input_ || generator_) {
    lostInputTimer_ = new QTimer(this);
    connect(lostInputTimer_, &QTimer::timeout, this, [this] {
      updateLostInput();
      app_.logSweepTick();
    });
    lostInputTimer_->start(250);
  }
}

void MainWindow::detachEndpoints() {
  app_.releaseLogSweep();
  if (generator_) {
    generator_->devicePopup = generator_->sourcePopup = generator_->channelPopup = generator_->samplingRatePopup =
        nullptr;
    generator_->outputSlider = nullptr;
    if (app_.trackingGenerator == generator_) app_.trackingGenerator = nullptr;
    generator_ = nullptr;
  }
  if (!input_) return;
  if (lostInputTimer_) lostInputTimer_->stop();
  input_->devicePopup = input_->sourcePopup = input_->channelPopup = input_->samplingRatePopup = nullptr;
  input_->inputSlider = nullptr;
  if (app_.input == input_) app_.input = nullptr;
  input_ = nullptr;
}

void MainWindow::updateLostInput() {
  if (generator_) {
    const unsigned long long gaps = generator_->ioHealth().gaps;
    if (gaps != outputGapsShown_) {
      outputGapsShown_ = gaps;
      outputGapsLabel_->setText(QStringLiteral("Output gaps: %1").arg(gaps));
      outputGapsLabel_->setVisible(gaps > 0);
    }
  }
  if (!input_) return;
  const EndpointIoHealth health = input_->ioHealth();
  const unsigned long long lost = health.lostSamples;
  if (lost == lostShown_ && health.gaps == inputGapsShown_) return;
  lostShown_ = lost;
  inputGapsShown_ = health.gaps;
  const float rate = input_->currentSamplingRate();
  QString text;
  if (lost > 0) {
    text = QStringLiteral("Input lost: %1 samples").arg(lost);
    if (rate > 0) text += QStringLiteral(" (%1 s)").arg(static_cast<double>(lost) / rate, 0, 'f', 2);
    if (health.gaps > 1) text += QStringLiteral(" in %1 gaps").arg(health.gaps);
  } else {
    text = QStringLiteral("Input lost: %1 %2").arg(health.gaps).arg(health.gaps == 1 ? "gap" : "gaps");
  }
  lostInputLabel_->setText(text);
  lostInputLabel_->setVisible(lost > 0 || health.gaps > 0);
}

double MainWindow::spectrogramShare() const {
  // A pane that is shown has its share as the splitter lays it out now.
  const QList<int> sizes = plotSplitter_->sizes();
  if (!spectrogramPane_->isVisible() || sizes.size() != 2 || sizes[0] + sizes[1] <= 0) return spectrogramShare_;
  return std::clamp(static_cast<double>(sizes[1]) / (sizes[0] + sizes[1]), 0.1, 0.9);
}

void MainWindow::applySpectrogramShare() {
  // Sizes given while the window is laid out later are shared out in their
  // proportion then.
  if (!spectrogramPane_->active()) return;
  const int total = std::max(1000, plotSplitter_->height());
  const int pane = static_cast<int>(std::lround(total * spectrogramShare_));
  plotSplitter_->setSizes({total - pane, pane});
}

MainWindow::~MainWindow() {
  // The controller and the input outlive the window: leave them nothing that
  // dangles.
  detachEndpoints();
  app_.loadInterfaceSettings = nullptr;
  app_.storeInterfaceSettings = nullptr;
  if (printView_) printView_->setSpectrogramPane(nullptr);
  // The pane leaves the plot it follows before the plot goes.
  delete spectrogramPane_;
  spectrogramPane_ = nullptr;
  app_.display = nullptr;
  app_.printView = nullptr;
  app_.titleField = nullptr;
  app_.showDateCheckbox = nullptr;
  app_.showStatus = nullptr;
  app_.showLevelUnit = nullptr;
  app_.unitPopup = nullptr;
  app_.bandwidthPopup = app_.windowPopup = app_.detectorPopup = app_.divisionPopup = nullptr;
  app_.lowerSpanField = app_.upperSpanField = app_.traceAverageField = app_.referenceLevelField = nullptr;
  app_.trackingGeneratorMatrix = nullptr;
  app_.trackingGeneratorButton = nullptr;
  app_.logSweepLengthPopup = nullptr;
  app_.logSweepScalePopup = nullptr;
  app_.logSweepsField = nullptr;
  app_.logSweepReferenceField = nullptr;
  app_.outputFullScaleField = app_.generatorLevelField = app_.toneFrequencyField = nullptr;
  app_.toneButton = nullptr;
  app_.attenuatorPopover = app_.bandwidthAndSpanPopover = app_.devicePopover = app_.detectorPopover =
      app_.trackingGeneratorPopover = nullptr;
  for (ui::ColorWell** well : colorWellFields(app_)) *well = nullptr;
  app_.printWidthField = app_.printHeightField = app_.printName = nullptr;
  app_.printFormat = nullptr;
  app_.printColorCheckbox = app_.printBorderCheckbox = nullptr;
}

void MainWindow::buildMenuBar(QLayout* layout) {
  auto* bar = new QMenuBar(this);
  layout->setMenuBar(bar);
  const auto addCommand = [this](QMenu* menu, const QString& title, const QKeySequence& shortcut, auto command) {
    QAction* action = menu->addAction(title);
    action->setShortcut(shortcut);
    connect(action, &QAction::triggered, this, command);
    return action;
  };

  // The document commands (sound files, export, print, the reference trace)
  // go at the top, each group followed by a separator.
  QMenu* file = bar->addMenu(QStringLiteral("&File"));
  file->setObjectName(QStringLiteral("fileMenu"));
  // Sound files need the file-device overlay; Close needs an open file.
  const auto updateSoundFileActions = [this] {
    openSoundFileAction_->setEnabled(SoundFileCommands::available());
    closeSoundFileAction_->setEnabled(soundFiles_.canCloseSoundFile());
  };
  openSoundFileAction_ = addCommand(file, QStringLiteral("Open Sound File…"), QKeySequence(Qt::CTRL | Qt::Key_O),
                                    [this, updateSoundFileActions] {
                                      soundFiles_.openSoundFile();
                                      updateSoundFileActions();
                                    });
  closeSoundFileAction_ = addCommand(file, QStringLiteral("Close Sound File"), QKeySequence(),
                                     [this, updateSoundFileActions] {
                                       soundFiles_.closeSoundFile();
                                       updateSoundFileActions();
                                     });
  updateSoundFileActions();
  connect(file, &QMenu::aboutToShow, this, updateSoundFileActions);
  file->addSeparator();
  exportImageAction_ =
      addCommand(file, QStringLiteral("Export Image"), QKeySequence(Qt::CTRL | Qt::Key_E), [this] { app_.save(); });
  exportDataAction_ = addCommand(file, QStringLiteral("Export Data…"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_E),
                                 [this] { app_.exportData(); });
  // Only a log sweep's response has an impulse response to write.
  exportImpulseResponseAction_ = addCommand(file, QStringLiteral("Export Impulse Response…"), QKeySequence(),
                                            [this] { app_.exportImpulseResponse(); });
  exportImpulseResponseAction_->setEnabled(false);
  connect(file, &QMenu::aboutToShow, this,
          [this] { exportImpulseResponseAction_->setEnabled(app_.showsLogSweepResponse()); });
  printAction_ = addCommand(file, QStringLiteral("Print…"),
                            standardKeys(QKeySequence::Print, QKeySequence(Qt::CTRL | Qt::Key_P)),
                            [this] { app_.print(); });
  file->addSeparator();
  referenceActions_[0] = addCommand(file, QStringLiteral("Use Live Trace as Reference"), QKeySequence(),
                                    [this] { app_.useReference(); });
  referenceActions_[1] =
      addCommand(file, QStringLiteral("Save Reference…"), QKeySequence(), [this] { app_.saveReference(); });
  referenceActions_[2] =
      addCommand(file, QStringLiteral("Show Reference…"), QKeySequence(), [this] { app_.drawReference(); });
  referenceActions_[3] =
      addCommand(file, QStringLiteral("Remove Reference"), QKeySequence(), [this] { app_.removeReference(); });
  file->addSeparator();
  preferencesAction_ = addCommand(file, QStringLiteral("Preferences…"), QKeySequence(QStringLiteral("Ctrl+,")), [this] {
    preferences_->show();
    preferences_->raise();
    preferences_->activateWindow();
  });
  preferencesAction_->setMenuRole(QAction::PreferencesRole);
  file->addSeparator();
  // Through the application, so that the controller's shutdown runs.
  quitAction_ =
      addCommand(file, QStringLiteral("Quit"), standardKeys(QKeySequence::Quit, QKeySequence(Qt::CTRL | Qt::Key_Q)),
                 [] { QCoreApplication::quit(); });
  quitAction_->setMenuRole(QAction::QuitRole);

  QMenu* view = bar->addMenu(QStringLiteral("&View"));
  for (int i = 0; i < 5; ++i) {
    viewActions_[i] =
        addCommand(view, QString::fromUtf8(kPopoverTitles[i]), QKeySequence(QStringLiteral("Ctrl+%1").arg(i + 1)),
                   [this, i, button = popoverButtons_[i]] { togglePopover(app_, i, button); });
  }

  spectrogramActions_ = addSpectrogramItems(view, spectrogramPane_, this);
  // Shown again, the pane takes the share it had (after the pane's own
  // handler has shown it).
  connect(spectrogramActions_.shown, &QAction::toggled, this, [this](bool on) {
    if (on) applySpectrogramShare();
  });

  addMeasureMenu(bar, app_);

  QMenu* help = bar->addMenu(QStringLiteral("&Help"));
  helpAction_ =
      addCommand(help, QStringLiteral("SpecAn Help"),
                 standardKeys(QKeySequence::HelpContents, QKeySequence(Qt::Key_F1)), [this] { app_.showHelp(); });
  QAction* about = addCommand(help, QStringLiteral("About SpecAn"), QKeySequence(), [this] { showAbout(); });
  about->setMenuRole(QAction::AboutRole);
}

void MainWindow::showAbout() {
  QMessageBox::about(this, QStringLiteral("About SpecAn"),
                     QStringLiteral("<h3>SpecAn %1</h3><p>A desktop audio spectrum analyzer with a tracking "
                                    "generator.</p>")
                         .arg(QStringLiteral(SPECAN_VERSION)));
}

std::string helpPageURL(const QString& programFolder) {
  const QDir folder(programFolder.isEmpty() ? QCoreApplication::applicationDirPath() : programFolder);
  for (const char* path : {"help.html", SPECAN_INSTALLED_HELP}) {
    const QFileInfo page(folder.filePath(QString::fromUtf8(path)));
    if (page.isFile()) return QUrl::fromLocalFile(page.canonicalFilePath()).toEncoded().toStdString();
  }
  return {};
}

void MainWindow::buildPopovers() {
  namespace defaults = interface_defaults;
  for (auto*& popover : popovers_) popover = new QtPopover(this);

  // Attenuator: reference level, the levels' unit, scale and the input's
  // calibration.
  {
    auto* form = new QFormLayout(popovers_[0]);
    app_.referenceLevelField = makeField(defaults::kReferenceLevel, popovers_[0]);
    app_.unitPopup = makePopUp(interface_menus::levelUnitItems(), static_cast<int>(dsp::LevelUnit::dB), popovers_[0]);
    app_.divisionPopup = makePopUp(interface_menus::divisionItems(), defaults::kDivisionTag, popovers_[0]);
    referenceLevelLabel_ = new QLabel(QStringLiteral("Reference level (dB)"), popovers_[0]);
    form->addRow(referenceLevelLabel_, static_cast<QtTextField*>(app_.referenceLevelField));
    form->addRow(QStringLiteral("Units"), static_cast<QtPopUpButton*>(app_.unitPopup));
    form->addRow(QStringLiteral("Scale (dB/div)"), static_cast<QtPopUpButton*>(app_.divisionPopup));
    calibrationButton_ = new QPushButton(QStringLiteral("Calibrate…"), popovers_[0]);
    form->addRow(calibrationButton_);
    calibration_ = new CalibrationDialog(app_, this);
    connect(calibrationButton_, &QPushButton::clicked, this, [this] {
      calibration_->show();
      calibration_->raise();
      calibration_->activateWindow();
    });
    app_.showLevelUnit = [this](const std::string& unit) {
      referenceLevelLabel_->setText(QStringLiteral("Reference level (") + QString::fromStdString(unit) + ")");
      if (calibration_->isVisible()) calibration_->refresh();
    };
  }
  // Bandwidth and span.
  {
    auto* form = new QFormLayout(popovers_[1]);
    app_.bandwidthPopup = makePopUp(interface_menus::bandwidthItems(), defaults::kBandwidthTag, popovers_[1]);
    app_.windowPopup = makePopUp(interface_menus::windowItems(), defaults::kWindowTag, popovers_[1]);
    app_.lowerSpanField = makeField(defaults::kWindowLowerSpan, popovers_[1]);
    app_.upperSpanField = makeField(defaults::kWindowUpperSpan, popovers_[1]);
    app_.axisPopup = makePopUp(interface_menus::axisItems(), defaults::kWindowAxisTag, popovers_[1]);
    form->addRow(QStringLiteral("RBW"), static_cast<QtPopUpButton*>(app_.bandwidthPopup));
    form->addRow(QStringLiteral("Window"), static_cast<QtPopUpButton*>(app_.windowPopup));
    form->addRow(QStringLiteral("Span from (Hz)"), static_cast<QtTextField*>(app_.lowerSpanField));
    form->addRow(QStringLiteral("to (Hz)"), static_cast<QtTextField*>(app_.upperSpanField));
    form->addRow(QStringLiteral("Frequency axis"), static_cast<QtPopUpButton*>(app_.axisPopup));
  }
  // Device: the input card's controls.
  {
    deviceLayout_ = new QVBoxLayout(popovers_[2]);
    buildDeviceControls(popovers_[2]);
  }
  // Detector and trace averaging.
  {
    auto* form = new QFormLayout(popovers_[3]);
    app_.detectorPopup = makePopUp(interface_menus::detectorItems(), defaults::kDetectorTag, popovers_[3]);
    app_.traceAverageField = makeField(defaults::kTraceAverage, popovers_[3]);
    app_.smoothingPopup = makePopUp(interface_menus::smoothingItems(), defaults::kSmoothingTag, popovers_[3]);
    app_.weightingPopup = makePopUp(interface_menus::weightingItems(), defaults::kWeightingTag, popovers_[3]);
    form->addRow(QStringLiteral("Detector"), static_cast<QtPopUpButton*>(app_.detectorPopup));
    form->addRow(QStringLiteral("Trace average"), static_cast<QtTextField*>(app_.traceAverageField));
    form->addRow(QStringLiteral("Smoothing"), static_cast<QtPopUpButton*>(app_.smoothingPopup));
    form->addRow(QStringLiteral("Weighting"), static_cast<QtPopUpButton*>(app_.weightingPopup));
    app_.bandsPopup = makePopUp(interface_menus::bandItems(), defaults::kBandsTag, popovers_[3]);
    form->addRow(QStringLiteral("Bands"), static_cast<QtPopUpButton*>(app_.bandsPopup));
  }
  // Tracking generator: mode and Start/Stop.
  {
    auto* box = new QVBoxLayout(popovers_[4]);
    auto* matrix = new QtMatrix(1, 3, {"Normal", "Tracking", "Log sweep"}, popovers_[4]);
    auto* button = new QtButton(QStringLiteral("Start"), popovers_[4]);
    static_cast<ui::Button&>(*button).setEnabled(false);  // only in a generator mode
    box->addWidget(matrix);
    box->addWidget(button);
    // The log sweep's own settings.
    auto* logSweep = new QFormLayout();
    auto* length = makePopUp(interface_menus::logSweepLengthItems(), interface_defaults::kLogSweepLengthTag, popovers_[4]);
    auto* sweeps = makeField("1", popovers_[4]);
    auto* reference = makeField("", popovers_[4]);
    reference->setPlaceholderText(QStringLiteral("none"));
    logSweep->addRow(QStringLiteral("Log sweep length"), length);
    logSweep->addRow(QStringLiteral("Sweeps averaged"), sweeps);
    logSweep->addRow(QStringLiteral("Reference channel"), reference);
    auto* scale = makePopUp(interface_menus::logSweepScaleItems(), 0, popovers_[4]);
    logSweep->addRow(QStringLiteral("Right scale"), scale);
    box->addLayout(logSweep);
    app_.logSweepLengthPopup = length;
    app_.logSweepScalePopup = scale;
    app_.logSweepsField = sweeps;
    app_.logSweepReferenceField = reference;
    buildGeneratorControls(popovers_[4], box);
    // The output's calibration: with the input's, the response reads as
    // the gain from the output to the input.
    auto* calibration = new QFormLayout();
    auto* fullScale = makeField("", popovers_[4]);
    fullScale->setPlaceholderText(QStringLiteral("+4dBu, -10dBV, 1.228V"));
    calibration->addRow(QStringLiteral("Output full scale"), fullScale);
    auto* level = makeField("", popovers_[4]);
    level->setPlaceholderText(QStringLiteral("-12 dBFS, +4dBu"));
    calibration->addRow(QStringLiteral("Level"), level);
    // A fixed tone at that level in the normal mode, read by the
    // distortion readout.
    auto* tone = new QHBoxLayout();
    auto* toneFrequency = makeField("1000", popovers_[4]);
    toneFrequency->setObjectName(QStringLiteral("toneFrequency"));
    toneFrequency->setPlaceholderText(QStringLiteral("1000 Hz"));
    auto* toneButton = new QtButton(QStringLiteral("Play Tone"), popovers_[4]);
    toneButton->setObjectName(QStringLiteral("toneButton"));
    tone->addWidget(toneFrequency);
    tone->addWidget(toneButton);
    calibration->addRow(QStringLiteral("Tone (Hz)"), tone);
    box->addLayout(calibration);
    app_.toneFrequencyField = toneFrequency;
    app_.toneButton = toneButton;
    app_.outputFullScaleField = fullScale;
    app_.generatorLevelField = level;
    app_.trackingGeneratorMatrix = matrix;
    app_.trackingGeneratorButton = button;
  }
  app_.attenuatorPopover = popovers_[0];
  app_.bandwidthAndSpanPopover = popovers_[1];
  app_.devicePopover = popovers_[2];
  app_.detectorPopover = popovers_[3];
  app_.trackingGeneratorPopover = popovers_[4];
}

namespace {

// A sound card's managed controls, in a form added to layout.
struct CardControls {
  QtPopUpButton* device;
  QtPopUpButton* source;
  QtPopUpButton* rate;
  QtPopUpButton* channel;
  QtSlider* volume;
};

CardControls addCardControls(QWidget* popover, QVBoxLayout* layout, const QString& direction,
                             const QString& sourceTitle) {
  auto* form = new QFormLayout();
  layout->addLayout(form);
  CardControls c{new QtPopUpButton(popover), new QtPopUpButton(popover), new QtPopUpButton(popover),
                 new QtPopUpButton(popover), new QtSlider(popover)};
  c.volume->setOrientation(Qt::Horizontal);
  c.volume->setMinimumWidth(160);
  form->addRow(direction + QStringLiteral(" device"), c.device);
  form->addRow(sourceTitle, c.source);
  form->addRow(QStringLiteral("Sampling rate (Hz)"), c.rate);
  form->addRow(QStringLiteral("Channel"), c.channel);
  form->addRow(direction + QStringLiteral(" volume"), c.volume);
  return c;
}

}  // namespace

void MainWindow::buildDeviceControls(QWidget* popover) {
  if (!input_) {
    deviceLayout_->addWidget(new QLabel(QStringLiteral("No input"), popover));
    return;
  }
  const CardControls c = addCardControls(popover, deviceLayout_, QStringLiteral("Input"), QStringLiteral("Source"));
  input_->devicePopup = c.device;
  input_->sourcePopup = c.source;
  input_->samplingRatePopup = c.rate;
  input_->channelPopup = c.channel;
  input_->inputSlider = c.volume;
  input_->trace = app_.trace.get();
}

void MainWindow::buildGeneratorControls(QWidget* popover, QVBoxLayout* layout) {
  if (!generator_) return;
  const CardControls c = addCardControls(popover, layout, QStringLiteral("Output"), QStringLiteral("Destination"));
  generator_->devicePopup = c.device;
  generator_->sourcePopup = c.source;
  generator_->samplingRatePopup = c.rate;
  generator_->channelPopup = c.channel;
  generator_->outputSlider = c.volume;
}

void MainWindow::buildPreferences() {
  preferences_ = new PreferencesDialog(this);
  const auto wells = colorWellFields(app_);
  for (int i = 0; i < PreferencesDialog::kWellCount; ++i)
    *wells[static_cast<std::size_t>(i)] = preferences_->colorWell(i);
  // The launch sequence wires the other eleven wells itself.
  app_.setColorInterface(app_.plotReferenceColor);
  app_.setColorInterface(app_.printReferenceColor);

  app_.printWidthField = preferences_->widthField();
  app_.printHeightField = preferences_->heightField();
  app_.printFormat = preferences_->formatPopup();
  app_.printName = preferences_->namePrefixField();
  app_.printColorCheckbox = preferences_->displayColorsCheckbox();
  app_.printBorderCheckbox = preferences_->borderCheckbox();
}
