// The main window with the real display, off-screen: the controls reach the
// controller, the popovers toggle, a sweep ends at the plot's right edge, the
// preferences hold the colours and the export settings, and the menu
// commands reach the popovers, the help page and the end of the event loop.

#include <gtest/gtest.h>

#include <QAction>
#include <QColorDialog>
#include <QTest>
#include <QApplication>
#include <QPainter>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QWheelEvent>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/controller/AppDelegate.h"
#include "app/window/MainWindow.h"
#include "app/window/PreferencesDialog.h"
#include "audio/AFInputSoundcard.h"
#include "endpoints/Input.h"
#include "endpoints/LogSweepRun.h"
#include "endpoints/TrackingGenerator.h"
#include "platform/audio/simulated/SimulatedProvider.h"
#include "app/window/RecordingPanels.h"
#include "support/MonoFloatWave.h"
#include "ui/Panels.h"
#include "ui/Workspace.h"
#include "ui/qt/QtControls.h"
#include "ui/qt/QtMainThread.h"

namespace {

QApplication& application() {
  static int argc = 1;
  static char name[] = "app_window_test";
  static char* argv[] = {name, nullptr};
  // Never destroyed: tearing Qt down among the static destructors at exit
  // is not safe, and a process-long application is all the tests need.
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

// The window opens on a logarithmic axis; these tests read the plot on the
// linear one unless they choose otherwise.
struct LaunchedWindow {
  explicit LaunchedWindow(bool linear = true) {
    ui::MainThread::install(&mainThread);
    if (linear) app.axisPopup->selectItemWithTag(0);
  }
  ~LaunchedWindow() { ui::MainThread::install(nullptr); }
  void launch() {
    app.applicationDidFinishLaunching();
    QApplication::processEvents();
  }
  // A 1 kHz sine at -20 dB, 48 kHz.
  void feed(int blocks) {
    float block[AppDelegate::kBlockLength];
    for (int b = 0; b < blocks; ++b) {
      for (float& s : block) s = 0.1414f * static_cast<float>(std::sin(2 * 3.14159265358979 * 1000.0 * n++ / 48000.0));
      app.newDataFromInput(block, 48000.0f);
      QApplication::processEvents();
    }
  }
  long long n = 0;
  QApplication& qtApplication = application();  // before any widget
  ui::qt::QtMainThread mainThread;
  AppDelegate app;
  MainWindow window{app};
};

}  // namespace

TEST(MainWindow, OpensAtTwoThirdsOfTheScreenWithEveryControlWired) {
  LaunchedWindow w;
  w.launch();
  EXPECT_TRUE(w.window.isVisible());
  // No frame stored: two thirds of the screen each way, at least the fixed size.
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_EQ(w.window.width(), std::max(MainWindow::kDefaultWidth, static_cast<int>(std::lround(screen.width() * 2.0 / 3))));
  EXPECT_EQ(w.window.height(),
            std::max(MainWindow::kDefaultHeight, static_cast<int>(std::lround(screen.height() * 2.0 / 3))));
  EXPECT_GT(w.window.display()->width(), w.window.width() / 2);  // the plot takes most of the window
  // The window frame the settings keep brings it back where it was.
  PlotView& view = *w.app.display;
  w.window.setGeometry(40, 60, 500, 400);
  const std::string frame = view.windowFrameString();
  w.window.setGeometry(0, 0, 300, 300);
  view.setWindowFrameFromString(frame);
  EXPECT_EQ(w.window.geometry(), QRect(40, 60, 500, 400)) << frame;
  EXPECT_EQ(w.app.sharedData.ready, 1);
  EXPECT_EQ(w.app.sharedData.detectorMode, 4);
  EXPECT_TRUE(w.app.colorPalette.curve.isSet);
  EXPECT_TRUE(w.app.printPalette.background.isSet);
  for (ui::Control* control :
       std::initializer_list<ui::Control*>{w.app.bandwidthPopup, w.app.windowPopup, w.app.lowerSpanField,
                                           w.app.upperSpanField, w.app.traceAverageField, w.app.detectorPopup,
                                           w.app.referenceLevelField, w.app.divisionPopup, w.app.titleField,
                                           w.app.showDateCheckbox, w.app.trackingGeneratorMatrix,
                                           w.app.trackingGeneratorButton})
    EXPECT_TRUE(control->hasInterface());

  // Pressing a popover's button twice shows it and hides it again.
  ui::qt::QtButton* button = w.window.popoverButton(1);
  static_cast<ui::Control*>(button)->sendAction();
  EXPECT_TRUE(w.window.popover(1)->isShown());
  static_cast<ui::Control*>(button)->sendAction();
  EXPECT_FALSE(w.window.popover(1)->isShown());

  // A normal trace reaches the display.
  w.feed(64);
  EXPECT_EQ(w.app.sharedData.hasData, 1);
}

TEST(MainWindow, AFirstStartShowsTheAudioBandOnALogarithmicAxis) {
  LaunchedWindow w(false);
  w.launch();
  EXPECT_EQ(w.app.axisPopup->selectedTag(), 1);
  EXPECT_EQ(w.app.lowerSpanField->stringValue() + " " + w.app.upperSpanField->stringValue(), "20 20000");
  EXPECT_EQ(w.app.sharedData.axisScale, display::AxisScale::logarithmic);
  w.feed(200);
  // The 1 kHz sine peaks at 56.6 % of the plot's width (log 50 / log 1000).
  const display::Display& d = *w.window.display();
  const display::DetectedData& detected = d.detectedData();
  int peak = 0;
  for (int c = 1; c <= d.plotGeometry().lastColumn(); ++c)
    if (detected.max[c] > detected.max[peak]) peak = c;
  EXPECT_NEAR(peak, d.plotBounds().width() * std::log(50.0) / std::log(1000.0), 1.5);
  EXPECT_EQ(d.plotGeometry().axisLabels().size(), 10u);

  // Back to the linear axis from the RBW / Span popover.
  auto* axis = static_cast<ui::qt::QtPopUpButton*>(w.app.axisPopup);
  const int linear = axis->findText(QStringLiteral("Linear"));
  ASSERT_GE(linear, 0);
  axis->setCurrentIndex(linear);
  emit axis->activated(linear);  // as the user's choice in the list
  QApplication::processEvents();
  EXPECT_EQ(w.app.sharedData.axisScale, display::AxisScale::linear);
  EXPECT_TRUE(d.plotGeometry().axisLabels().empty());
}

TEST(MainWindow, ASweepEndsWhenItReachesThePlotsRightEdge) {
  LaunchedWindow w;
  w.app.lowerSpanField->setStringValue("0");
  // The widest RBW over a fifth of the band: the shortest FFT (2^14), the
  // fewest bins across the plot, and a spectrum every second block.
  w.app.upperSpanField->setStringValue("4800");
  w.app.bandwidthPopup->selectItemWithTag(30);
  w.launch();
  w.app.trackingGeneratorMatrix->selectCell(0, 1);
  w.app.trackingModeChanged();
  w.app.trackingGeneratorButton->setState(1);
  w.app.trackingStateChanged();
  ASSERT_EQ(w.app.sweep.running, 1);
  EXPECT_EQ(w.app.trackingGeneratorButton->title(), "Stop");

  // The span's right edge is rightBin; allow twice the blocks it needs.
  const int blocks = 2 * 2 * (w.app.sweep.rightBin - w.app.sweep.startBin + 2);
  for (int b = 0; b < blocks && w.app.sweep.running; b += 8) w.feed(8);
  EXPECT_EQ(w.app.sweep.running, 0);
  EXPECT_FALSE(w.app.trackingGeneratorButton->isOn());
  EXPECT_EQ(w.app.trackingGeneratorButton->title(), "Start");
  EXPECT_TRUE(w.app.trackingGeneratorIdle());
  // It ended near the right edge, not before the span's end.
  EXPECT_GE(w.app.sweep.currentBin, w.app.sweep.rightBin - 2);
  EXPECT_LE(w.app.sweep.currentBin, w.app.sweep.endBin);
  // No bin is measured any more: the cursor has gone, the curve stays.
  EXPECT_LT(w.app.sharedData.track.pixel, 0);
  EXPECT_FALSE(w.window.display()->plotPath().isEmpty());

  // Back in the normal mode the swept curve goes too, from the plot and
  // from the trace the analysis averages into.
  w.app.trackingGeneratorMatrix->selectCell(0, 0);
  w.app.trackingModeChanged();
  EXPECT_TRUE(w.window.display()->plotPath().isEmpty());
  EXPECT_EQ(w.app.trace->traceData()->traces, 0);
}

// On the logarithmic axis the window's sweep measures one point per column
// of the plot on screen, not every bin: the same span takes far fewer
// spectra than on the linear axis, and still ends at its right edge.
TEST(MainWindow, OnTheLogarithmicAxisASweepMeasuresAPointPerPlotColumn) {
  int64_t spectra[2] = {};
  for (const bool log : {false, true}) {
    SCOPED_TRACE(log ? "logarithmic axis" : "linear axis");
    LaunchedWindow w(!log);
    w.app.lowerSpanField->setStringValue("20");
    w.app.upperSpanField->setStringValue("20000");
    w.app.bandwidthPopup->selectItemWithTag(20);  // 100 Hz
    w.launch();
    w.app.trackingGeneratorMatrix->selectCell(0, 1);
    w.app.trackingModeChanged();
    w.app.trackingGeneratorButton->setState(1);
    w.app.trackingStateChanged();
    const Sweep& s = w.app.sweep;
    ASSERT_EQ(s.running, 1);
    const int columns = w.window.display()->plotColumns();
    ASSERT_GT(columns, 100);
    if (log) {
      const double perOctave = columns / std::log2(double(s.rightBin) / std::max(s.leftBin, 1));
      EXPECT_NEAR(s.pointRatio, std::exp2(1 / perOctave) - 1, 1e-6);
    } else {
      EXPECT_EQ(s.pointRatio, 0.0f);
    }
    const int blocks = 2 * 2 * (s.rightBin - s.startBin + 2);
    for (int b = 0; b < blocks && s.running; b += 8) w.feed(8);
    ASSERT_EQ(s.running, 0);
    // It ends where the plot's last column begins.
    EXPECT_GE(s.currentBin, s.rightBin - s.rightBin / columns - 2);
    spectra[log] = s.spectra;
  }
  EXPECT_GE(spectra[0], 2 * spectra[1]) << spectra[0] << " spectra on the linear axis, " << spectra[1]
                                          << " on the logarithmic";
}

TEST(MainWindow, ThePreferencesHoldTheColourWellsAndTheExportSettingsUntilTheWindowGoes) {
  application();
  AppDelegate app;
  auto window = std::make_unique<MainWindow>(app);
  PreferencesDialog& preferences = *window->preferences();
  EXPECT_FALSE(preferences.isVisible());
  ui::ColorWell** wells[PreferencesDialog::kWellCount] = {
      &app.windowBackgroundColor, &app.plotBackgroundColor,  &app.plotGraticuleColor, &app.plotCurveColor,
      &app.plotCaptionColor,      &app.plotMarkerColor,      &app.plotReferenceColor, &app.printBackgroundColor,
      &app.printGraticuleColor,   &app.printCurveColor,      &app.printCaptionColor,  &app.printMarkerColor,
      &app.printReferenceColor};
  for (int i = 0; i < PreferencesDialog::kWellCount; ++i)
    EXPECT_EQ(*wells[i], static_cast<ui::ColorWell*>(preferences.colorWell(i))) << i;
  EXPECT_TRUE(preferences.isAncestorOf(dynamic_cast<QWidget*>(app.printBorderCheckbox)));
  EXPECT_EQ(app.printWidthField->stringValue() + "x" + app.printHeightField->stringValue(), "800x500");
  EXPECT_EQ(app.printFormat->numberOfItems(), 3);
  EXPECT_EQ(app.printFormat->titleOfSelectedItem(), "PNG");
  EXPECT_EQ(app.printName->stringValue(), "~/spectrum");
  EXPECT_FALSE(app.printColorCheckbox->isOn());
  EXPECT_TRUE(app.printBorderCheckbox->isOn());

  window->preferencesAction()->trigger();
  EXPECT_TRUE(preferences.isVisible());
  EXPECT_FALSE(preferences.isModal());

  window.reset();
  for (ui::ColorWell** well : wells) EXPECT_EQ(*well, nullptr);
  EXPECT_TRUE(!app.printWidthField && !app.printHeightField && !app.printFormat && !app.printName &&
              !app.printColorCheckbox && !app.printBorderCheckbox);
}

TEST(MainWindow, TheViewCommandsToggleThePopoversBesideTheirButtons) {
  LaunchedWindow w;
  w.launch();
  for (int i = 0; i < 5; ++i) {
    w.window.viewAction(i)->trigger();
    ASSERT_TRUE(w.window.popover(i)->isShown()) << i;
    // Right of the button, or left of it where the screen ends; the style's
    // frame may widen the popover a little once shown.
    const QWidget* button = w.window.popoverButton(i);
    const QRect bounds(button->mapToGlobal(QPoint(0, 0)), button->size());
    const QRect shown = w.window.popover(i)->geometry();
    EXPECT_LE(std::min(std::abs(shown.left() - bounds.right() - 1), std::abs(shown.right() + 1 - bounds.left())), 4)
        << i;
    w.window.viewAction(i)->trigger();
    EXPECT_FALSE(w.window.popover(i)->isShown()) << i;
  }
}

namespace {

// Records the pages it is asked to open instead of opening them.
struct RecordingWorkspace final : ui::Workspace {
  RecordingWorkspace() { ui::Workspace::install(this); }
  ~RecordingWorkspace() override { ui::Workspace::install(nullptr); }
  bool openURL(const std::string& url) override {
    opened.push_back(url);
    return true;
  }
  std::vector<std::string> opened;
};

QString pageAt(const std::string& url) {
  return QFileInfo(QUrl(QString::fromStdString(url)).toLocalFile()).canonicalFilePath();
}

}  // namespace

TEST(MainWindow, TheHelpCommandOpensTheHelpPageBesideTheProgram) {
  application();
  // The test program gets the page from the source tree.
  const QString page = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("help.html"));
  QFile::remove(page);
  ASSERT_TRUE(
      QFile::copy(QFileInfo(QStringLiteral(__FILE__)).dir().filePath(QStringLiteral("../../../docs/help.html")), page));
  RecordingWorkspace workspace;
  LaunchedWindow w;
  w.window.helpAction()->trigger();
  ASSERT_EQ(workspace.opened.size(), 1u);
  EXPECT_TRUE(workspace.opened[0].starts_with("file://"));
  EXPECT_EQ(pageAt(workspace.opened[0]), QFileInfo(page).canonicalFilePath());
}

TEST(MainWindow, AnInstalledHelpPageIsFoundBesideTheProgramOrUnderShare) {
  QTemporaryDir root;
  const QDir top(root.path());
  const QString program = top.filePath(QStringLiteral("bin"));
  const QString installed = QDir::cleanPath(QDir(program).filePath(QStringLiteral(SPECAN_INSTALLED_HELP)));
  ASSERT_TRUE(top.mkpath(QStringLiteral("bin")) && QDir().mkpath(QFileInfo(installed).path()));
  EXPECT_EQ(helpPageURL(program), "");
  for (const QString& path : {installed, top.filePath(QStringLiteral("bin/help.html"))}) {
    QFile page(path);
    ASSERT_TRUE(page.open(QIODevice::WriteOnly));
    page.close();
    EXPECT_EQ(pageAt(helpPageURL(program)), QFileInfo(page).canonicalFilePath()) << path.toStdString();
  }
}

TEST(MainWindow, QuitEndsTheEventLoopThroughTheApplication) {
  LaunchedWindow w;
  // Ctrl+Q even where the platform names no keys for quitting.
  EXPECT_EQ(w.window.quitAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
  QObject scope;  // ends the connections with the test
  bool aboutToQuit = false;
  QObject::connect(&w.qtApplication, &QCoreApplication::aboutToQuit, &scope, [&] { aboutToQuit = true; });
  QTimer::singleShot(0, &scope, [&] { w.window.quitAction()->trigger(); });
  QTimer::singleShot(10000, &scope, [] { QCoreApplication::exit(1); });  // a quit that never comes
  EXPECT_EQ(QApplication::exec(), 0);
  EXPECT_TRUE(aboutToQuit);
}

namespace {

namespace sim = platform::audio::simulated;
namespace pa = platform::audio;

// The window with the analyzer input on a stepped simulated provider.
struct WindowWithInput {
  WindowWithInput() {
    ui::MainThread::install(&mainThread);
    sim::Options options;
    options.clock = sim::ClockMode::Stepped;
    provider = std::make_shared<sim::SimulatedProvider>(options);
    pa::installProvider(provider);
    input = std::make_unique<Input>(&app);
    generator = std::make_unique<TrackingGenerator>();
    window = std::make_unique<MainWindow>(app, input.get(), generator.get());
  }
  ~WindowWithInput() {
    window->detachEndpoints();
    input.reset();
    generator.reset();
    window.reset();
    QApplication::processEvents();
    ui::MainThread::install(nullptr);
    pa::installProvider(nullptr);
  }
  AFInputSoundcard* card() { return static_cast<AFInputSoundcard*>(input->soundcard()); }
  // Runs the device for blocks device buffers; the main thread is not
  // served meanwhile.
  void runWithoutTheMainThread(int blocks) {
    for (int i = 0; i < blocks; ++i) {
      provider->advance(512.0 / 48000);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (card()->memory().available() >= 512 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  }

  QApplication& qtApplication = application();
  ui::qt::QtMainThread mainThread;
  std::shared_ptr<sim::SimulatedProvider> provider;
  AppDelegate app;
  std::unique_ptr<Input> input;
  std::unique_ptr<TrackingGenerator> generator;
  std::unique_ptr<MainWindow> window;
};

}  // namespace

TEST(MainWindow, ThePopoversHoldTheCardsControlsAndTheWindowNamesTheProvider) {
  WindowWithInput w;
  w.app.applicationDidFinishLaunching();
  QApplication::processEvents();
  EXPECT_EQ(w.window->providerLabel()->text().toStdString(), "Audio: Simulated");
  EXPECT_EQ(w.input->devicePopup->titleOfSelectedItem(), "Test Signal");
  EXPECT_EQ(w.input->sourcePopup->titleOfSelectedItem(), "Sine");
  EXPECT_EQ(w.input->samplingRatePopup->titleOfSelectedItem(), "48000");
  EXPECT_EQ(w.input->channelPopup->numberOfItems(), 2);
  EXPECT_EQ(w.input->channelPopup->titleOfSelectedItem(), "L");
  EXPECT_TRUE(w.input->inputSlider->hasInterface());
  EXPECT_TRUE(w.card()->isRunning());
  EXPECT_TRUE(w.window->lostInputLabel()->isHidden());
  // The generator popover holds the output card's controls; the card waits
  // for a sweep.
  EXPECT_EQ(w.generator->devicePopup->titleOfSelectedItem(), "Loopback");
  EXPECT_EQ(w.generator->samplingRatePopup->titleOfSelectedItem(), "48000");
  EXPECT_EQ(w.generator->channelPopup->titleOfSelectedItem(), "L");
  EXPECT_TRUE(w.generator->outputSlider->hasInterface());
  EXPECT_FALSE(w.generator->soundcard()->isRunning());
}

TEST(MainWindow, InputLostOnTheWayToTheAnalysisIsShown) {
  WindowWithInput w;
  w.app.applicationDidFinishLaunching();
  QApplication::processEvents();
  // The main thread does not take the blocks for 80 device buffers.
  w.runWithoutTheMainThread(Input::kPoolBlocks + 16);
  w.window->updateLostInput();
  ASSERT_GT(w.input->droppedSamples(), 0u);
  EXPECT_FALSE(w.window->lostInputLabel()->isHidden());
  EXPECT_TRUE(w.window->lostInputLabel()->text().startsWith(
      QStringLiteral("Input lost: %1 samples").arg(w.input->droppedSamples())));
}

// The generator popover's log sweep through the window: the loopback
// measured with a short sweep, its progress and result in the status line,
// and the response drawn across the whole span as a finished sweep is (not
// only the columns a tracking sweep would have reached).
TEST(MainWindow, ALogSweepDrawsTheResponseAcrossTheSpan) {
  WindowWithInput w;
  w.provider->setDefaultDevice(pa::kAudioObjectPropertyScopeInput, w.provider->deviceNamed("Loopback"));
  w.app.applicationDidFinishLaunching();
  QApplication::processEvents();
  ASSERT_EQ(w.input->devicePopup->titleOfSelectedItem(), "Loopback");
  w.app.logSweepLengthPopup->selectItemWithTag(16);
  w.app.trackingGeneratorMatrix->selectCell(0, 2);
  w.app.trackingModeChanged();
  ASSERT_TRUE(w.app.logSweepMode());
  w.app.trackingGeneratorButton->setState(1);
  w.app.trackingStateChanged();
  ASSERT_TRUE(w.app.logSweepRun() && w.app.logSweepRun()->running());
  bool progressShown = false;
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (w.app.logSweepRun()->running() && std::chrono::steady_clock::now() < limit) {
    w.provider->advance(512.0 / 48000);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (w.card()->memory().available() >= 512 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    QApplication::processEvents();
    w.app.logSweepTick();  // as the window's timer does
    progressShown = progressShown || w.window->statusLabel()->text().endsWith(QStringLiteral(" %"));
  }
  ASSERT_EQ(w.app.logSweepRun()->phase(), LogSweepRun::Phase::done) << w.app.logSweepRun()->failure();
  QApplication::processEvents();
  EXPECT_TRUE(progressShown);
  EXPECT_TRUE(w.window->statusLabel()->text().startsWith(QStringLiteral("Log sweep: 1 sweep in ")))
      << w.window->statusLabel()->text().toStdString();
  EXPECT_EQ(w.app.trackingGeneratorButton->title(), "Start");
  const ::display::PolylinePath& path = w.window->display()->plotPath();
  ASSERT_GT(path.count(), 100);
  const double drawn = path.point(path.count() - 1).x() - path.point(0).x();
  EXPECT_GT(drawn, 0.95 * w.window->display()->plotWidth()) << "the curve covers " << drawn << " of "
                                                           << w.window->display()->plotWidth() << " points";

  // Beside the magnitude, the phase (on its own scale) and the harmonics,
  // which this linear loopback has none of in reach above the floor.
  const SharedData::SweptResponse& curves = w.app.sharedData.sweptResponse;
  ASSERT_TRUE(curves.shown);
  ASSERT_GT(curves.frequencyHz.size(), 400u);
  ASSERT_EQ(curves.phaseDeg.size(), curves.frequencyHz.size());
  auto draw = [&] {
    QImage image(w.window->display()->size(), QImage::Format_ARGB32);
    image.fill(Qt::black);
    QPainter painter(&image);
    w.window->display()->drawRect(painter);
    return image;
  };
  const QImage withPhase = draw();
  w.app.sharedData.sweptResponse.shown = 0;
  const QImage without = draw();
  w.app.sharedData.sweptResponse.shown = 1;
  int changed = 0;
  for (int y = 0; y < withPhase.height(); ++y)
    for (int x = 0; x < withPhase.width(); ++x)
      if (withPhase.pixel(x, y) != without.pixel(x, y)) ++changed;
  EXPECT_GT(changed, 1000) << "the phase, its scale and the legend were drawn";
  // The right scale can show the group delay instead, on a range that holds
  // the response's, and is kept in the settings.
  ASSERT_NE(w.app.logSweepScalePopup, nullptr);
  EXPECT_EQ(curves.rightScale, SharedData::SweptResponse::wrappedPhase);
  ASSERT_TRUE(w.app.logSweepScalePopup->selectItemWithTag(SharedData::SweptResponse::groupDelay));
  w.app.logSweepScaleChanged();
  ASSERT_EQ(curves.rightScale, SharedData::SweptResponse::groupDelay);
  ASSERT_EQ(curves.groupDelayMs.size(), curves.frequencyHz.size());
  std::vector<double> delays;
  for (double d : curves.groupDelayMs)
    if (std::isfinite(d)) delays.push_back(d);
  ASSERT_FALSE(delays.empty());
  std::nth_element(delays.begin(), delays.begin() + delays.size() / 2, delays.end());
  const double median = delays[delays.size() / 2];
  EXPECT_LT(curves.scaleLow, median);
  EXPECT_GT(curves.scaleHigh, median);
  const QImage withDelay = draw();
  int moved = 0;
  for (int y = 0; y < withPhase.height(); ++y)
    for (int x = 0; x < withPhase.width(); ++x)
      if (withPhase.pixel(x, y) != withDelay.pixel(x, y)) ++moved;
  EXPECT_GT(moved, 500) << "the group delay and its scale in ms replaced the phase";
  ASSERT_TRUE(w.app.logSweepScalePopup->selectItemWithTag(SharedData::SweptResponse::unwrappedPhase));
  w.app.logSweepScaleChanged();
  EXPECT_EQ(curves.rightScale, SharedData::SweptResponse::unwrappedPhase);
  EXPECT_GT(curves.scaleHigh, curves.scaleLow);
  // Smoothed as the trace is, the curves beside it are read again over each
  // octave, and File ▸ Export Data writes them so.
  const std::vector<double> unsmoothed = curves.groupDelayMs;
  ASSERT_TRUE(w.app.smoothingPopup->selectItemWithTag(1));
  w.app.treatmentChanged();
  ASSERT_EQ(curves.groupDelayMs.size(), unsmoothed.size());
  int resmoothed = 0;
  for (size_t i = 0; i < unsmoothed.size(); ++i) resmoothed += std::fabs(curves.groupDelayMs[i] - unsmoothed[i]) > 0.01;
  EXPECT_GT(resmoothed, 100);
  const std::optional<std::string> csv = w.app.logSweepCsv();
  ASSERT_TRUE(csv);
  EXPECT_NE(csv->find("\n# smoothing: 1/1 octave\n"), std::string::npos) << *csv;

  // File ▸ Export Impulse Response writes the response from the recording's
  // start as a mono 32-bit float WAV at the sweep's rate, loudest where the
  // response peaked; into a folder that is not there, an alert says why.
  RecordingPanels panels;
  QMenu* file = w.window->findChild<QMenu*>(QStringLiteral("fileMenu"));
  ASSERT_NE(file, nullptr);
  emit file->aboutToShow();
  QAction* exportIr = w.window->exportImpulseResponseAction();
  ASSERT_TRUE(exportIr->isEnabled());
  QTemporaryDir folder;
  panels.answer = folder.filePath(QStringLiteral("ir.wav")).toStdString();
  exportIr->trigger();
  const std::optional<testsupport::MonoFloatWave> wav = testsupport::readMonoFloatWave(*panels.answer);
  ASSERT_TRUE(wav) << w.window->statusLabel()->text().toStdString();
  EXPECT_EQ(wav->rate, 48000);
  EXPECT_EQ(static_cast<int64_t>(wav->samples.size()), w.app.logSweepRun()->impulseResponseLength());
  EXPECT_NEAR(static_cast<double>(wav->loudest), w.app.logSweepRun()->response().peakSample, 1);
  EXPECT_EQ(w.window->statusLabel()->text().toStdString(), "Impulse response exported to " + *panels.answer);
  panels.answer = folder.filePath(QStringLiteral("gone/ir.wav")).toStdString();
  exportIr->trigger();
  ASSERT_EQ(panels.alerts.size(), 1u);
  EXPECT_EQ(panels.alerts[0].rfind("The impulse response could not be exported to " + *panels.answer + ": ", 0), 0u)
      << panels.alerts[0];
  EXPECT_FALSE(QFileInfo::exists(folder.filePath(QStringLiteral("gone"))));

  // Back to the normal mode, they go with the response.
  w.app.trackingGeneratorMatrix->selectCell(0, 0);
  w.app.trackingModeChanged();
  EXPECT_FALSE(w.app.sharedData.sweptResponse.shown);
  emit file->aboutToShow();
  EXPECT_FALSE(exportIr->isEnabled());
}

namespace {
double fakeNow = 0;
double fakeClock() { return fakeNow; }
}  // namespace

// A run whose input stands still is ended by the window's timer once the
// input has stood still for the stall limit, and not while blocks come in,
// however long the run has taken.
TEST(MainWindow, ALogSweepWhoseInputStandsStillEndsAsStalled) {
  WindowWithInput w;
  w.provider->setDefaultDevice(pa::kAudioObjectPropertyScopeInput, w.provider->deviceNamed("Loopback"));
  w.app.applicationDidFinishLaunching();
  QApplication::processEvents();
  w.app.logSweepClock = &fakeClock;
  fakeNow = 1000;
  w.app.logSweepLengthPopup->selectItemWithTag(16);
  w.app.trackingGeneratorMatrix->selectCell(0, 2);
  w.app.trackingModeChanged();
  w.app.trackingGeneratorButton->setState(1);
  w.app.trackingStateChanged();
  ASSERT_TRUE(w.app.logSweepRun() && w.app.logSweepRun()->running());
  auto block = [&] {
    w.provider->advance(512.0 / 48000);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (w.card()->memory().available() >= 512 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    QApplication::processEvents();
  };
  // Thirty blocks, each after 3 s: 90 s in all, never 10 s without input.
  for (int i = 0; i < 30; ++i) {
    block();
    fakeNow += 3;
    w.app.logSweepTick();
    ASSERT_TRUE(w.app.logSweepRun()->running()) << "block " << i << ": " << w.app.logSweepRun()->failure();
  }
  const double lastBlock = fakeNow - 3;
  fakeNow = lastBlock + AppDelegate::kLogSweepStallSeconds - 0.5;
  w.app.logSweepTick();
  EXPECT_TRUE(w.app.logSweepRun()->running());
  fakeNow = lastBlock + AppDelegate::kLogSweepStallSeconds + 0.5;
  w.app.logSweepTick();
  EXPECT_EQ(w.app.logSweepRun()->phase(), LogSweepRun::Phase::failed);
  EXPECT_EQ(w.window->statusLabel()->text().toStdString(),
            "Log sweep failed: the sweep stalled: no input from 'Loopback, channel 1'");
  EXPECT_EQ(w.app.trackingGeneratorButton->title(), "Start");
}

namespace {

// A desktop without a web browser.
struct BrowserlessWorkspace final : ui::Workspace {
  BrowserlessWorkspace() { ui::Workspace::install(this); }
  ~BrowserlessWorkspace() override { ui::Workspace::install(nullptr); }
  bool openURL(const std::string&) override { return false; }
};

}  // namespace

TEST(MainWindow, HelpWithoutABrowserSaysSoAndWhereTheFileIs) {
  application();
  BrowserlessWorkspace workspace;
  RecordingPanels panels;
  LaunchedWindow w;
  w.app.helpURL = "file:///opt/specan/share/doc/specan/help.html";
  w.window.helpAction()->trigger();
  ASSERT_EQ(panels.alerts.size(), 1u);
  EXPECT_NE(panels.alerts[0].find("/opt/specan/share/doc/specan/help.html"), std::string::npos) << panels.alerts[0];
}

// Return ends the editing of a field; it neither presses a colour well (the
// colour dialog) nor closes the dialog.
TEST(MainWindow, ReturnInAPreferencesFieldOpensNoColourDialog) {
  LaunchedWindow w;
  w.launch();
  PreferencesDialog& preferences = *w.window.preferences();
  w.window.preferencesAction()->trigger();
  ASSERT_TRUE(preferences.isVisible());
  int colourDialogs = 0;
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&] {
    if (auto* dialog = qobject_cast<QColorDialog*>(QApplication::activeModalWidget())) {
      ++colourDialogs;
      dialog->reject();
    }
  });
  closer.start(20);
  for (QWidget* field : {static_cast<QWidget*>(preferences.widthField()),
                         static_cast<QWidget*>(preferences.namePrefixField())}) {
    field->setFocus();
    QTest::keyClick(field, Qt::Key_Return);
    QApplication::processEvents();
  }
  EXPECT_EQ(colourDialogs, 0);
  EXPECT_TRUE(preferences.isVisible());
}

// Export Image says where the file went, in the line beneath the plot.
TEST(MainWindow, AnExportedImageIsNamedBeneathThePlot) {
  QTemporaryDir folder;
  LaunchedWindow w;
  w.launch();
  w.feed(16);
  w.app.printName->setStringValue(folder.filePath(QStringLiteral("amp")).toStdString());
  ASSERT_FALSE(w.window.statusLabel()->isVisible());
  w.app.save();
  const std::string path = w.app.exportImagePath();
  EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(path)));
  EXPECT_TRUE(w.window.statusLabel()->isVisible());
  EXPECT_EQ(w.window.statusLabel()->text().toStdString(), "Exported to " + path);
}

namespace {

// One notch of the wheel over the plot at view x.
void turnWheel(QWidget* plot, double x, int notches) {
  const QPointF at(x, plot->height() / 2.0);
  QWheelEvent wheel(at, plot->mapToGlobal(at), QPoint(), QPoint(0, 120 * notches), Qt::NoButton, Qt::NoModifier,
                    Qt::NoScrollPhase, false);
  QApplication::sendEvent(plot, &wheel);
}

std::pair<float, float> spanOf(const AppDelegate& app) {
  return {app.sharedData.span.startFrequency, app.sharedData.span.endFrequency};
}

}  // namespace

// The wheel zooms around the pointer, a drag moves the span, a double-click
// and Home show the whole band; the span fields and the analysis follow,
// once per burst of events. A running sweep owns the span.
TEST(MainWindow, TheMouseAndTheKeysZoomAndMoveTheSpan) {
  LaunchedWindow w;
  w.app.lowerSpanField->setStringValue("0");
  w.app.upperSpanField->setStringValue("10000");
  w.launch();
  w.feed(64);  // a trace, which knows its rate (48 kHz)
  QWidget* plot = w.window.display();
  ASSERT_TRUE(w.window.display()->spanLimits().has_value()) << "no rate known";
  const double left = 45, width = plot->width() - 49.0;
  // Two notches in at 2500 Hz (a quarter across): one change of the span.
  turnWheel(plot, left + width / 4, 1);
  turnWheel(plot, left + width / 4, 1);
  QApplication::processEvents();
  EXPECT_EQ(spanOf(w.app), std::make_pair(900.0f, 7300.0f));
  EXPECT_EQ(w.app.lowerSpanField->stringValue() + " " + w.app.upperSpanField->stringValue(), "900 7300");

  // A drag to the right by a tenth of the plot moves it a tenth down.
  QTest::mousePress(plot, Qt::LeftButton, Qt::NoModifier, QPoint(static_cast<int>(left + width / 2), 100));
  QTest::mouseMove(plot, QPoint(static_cast<int>(left + width / 2 + width / 10), 100));
  QApplication::processEvents();
  QTest::mouseRelease(plot, Qt::LeftButton, Qt::NoModifier, QPoint(static_cast<int>(left + width / 2 + width / 10), 100));
  EXPECT_NEAR(spanOf(w.app).first, 900 - 640, 10);
  EXPECT_NEAR(spanOf(w.app).second - spanOf(w.app).first, 6400, 1);

  QTest::keyClick(plot, Qt::Key_Home);
  QApplication::processEvents();
  EXPECT_EQ(spanOf(w.app), std::make_pair(0.0f, 24000.0f));
  QTest::keyClick(plot, Qt::Key_Plus);
  QApplication::processEvents();
  EXPECT_EQ(spanOf(w.app), std::make_pair(2400.0f, 21600.0f));
  QTest::keyClick(plot, Qt::Key_Left);
  QApplication::processEvents();
  EXPECT_EQ(spanOf(w.app), std::make_pair(480.0f, 19680.0f));
  QTest::mouseDClick(plot, Qt::LeftButton, Qt::NoModifier, QPoint(200, 100));
  QApplication::processEvents();
  EXPECT_EQ(spanOf(w.app), std::make_pair(0.0f, 24000.0f));

  // A sweep running: the wheel leaves the span as it is.
  w.app.lowerSpanField->setStringValue("0");
  w.app.upperSpanField->setStringValue("4800");
  w.app.setupSampling();
  w.app.trackingGeneratorMatrix->selectCell(0, 1);
  w.app.trackingModeChanged();
  w.app.trackingGeneratorButton->setState(1);
  w.app.trackingStateChanged();
  ASSERT_EQ(w.app.sweep.running, 1);
  turnWheel(plot, left + width / 2, 3);
  QApplication::processEvents();
  EXPECT_EQ(spanOf(w.app), std::make_pair(0.0f, 4800.0f));
}
