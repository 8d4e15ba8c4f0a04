// The levels' unit in the real window: the Attenuator popover's Units
// pop-up and the reference level's label, and the calibration dialog,
// whose Measure makes the plot's peak marker read the level it was told.

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <cmath>

#include "app/AppFakes.h"
#include "app/controller/AppDelegate.h"
#include "app/window/CalibrationDialog.h"
#include "app/window/MainWindow.h"
#include "ui/qt/QtMainThread.h"

namespace {

QApplication& application() {
  static int argc = 1;
  static char name[] = "app_level_units_window_test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

struct UnitsWindowRig {
  UnitsWindowRig() {
    ui::MainThread::install(&mainThread);
    input.device = "Line In";
    input.inputChannel = 1;
    app.usesSettingsFile = false;
    window.resize(900, 600);
    window.show();
  }
  ~UnitsWindowRig() {
    app.input = nullptr;
    ui::MainThread::install(nullptr);
  }
  // A full-scale 3 kHz sine, 48 kHz.
  void feed(int blocks) {
    float block[AppDelegate::kBlockLength];
    for (int b = 0; b < blocks; ++b) {
      for (float& s : block) s = static_cast<float>(std::sin(2 * 3.14159265358979 * 3000.0 * n++ / 48000.0));
      app.newDataFromInput(block, 48000.0f);
      mainThread.drain();
    }
  }
  void pickUnit(dsp::LevelUnit unit) {
    auto* popup = static_cast<ui::qt::QtPopUpButton*>(app.unitPopup);
    const int index = popup->findData(static_cast<int>(unit));
    popup->setCurrentIndex(index);
    emit popup->activated(index);
  }
  // The peak marker on the sine, as a right-click there places it.
  std::string markerText() {
    display::Display* plot = window.display();
    const TraceData* trace = app.trace->traceData();
    const int bin = static_cast<int>(std::lround(3000 * trace->binsPerHertz));
    const QPointF local(plot->xForFrequency(3000), plot->height() - plot->yForValue(trace->averaged[bin]));
    plot->setMarkerType(display::Display::kPeakMarker, plot->mapToGlobal(local));
    plot->updateMarkerInfo();
    plot->updateMeasureReadout();
    return plot->markerReadoutText();
  }
  QApplication& qtApplication = application();
  ui::qt::QtMainThread mainThread;
  app_fakes::EventLog log;
  app_fakes::FakeInput input{log};
  AppDelegate app;
  MainWindow window{app};
  long long n = 0;
};

}  // namespace

TEST(LevelUnitsWindow, CalibratedFromTheDialogThePeakMarkerReadsTheLevelInEachUnit) {
  UnitsWindowRig r;
  r.app.input = &r.input;
  r.app.applicationDidFinishLaunching();
  r.app.setPrecisePeak(true);
  ASSERT_NE(r.app.unitPopup, nullptr);
  auto* popup = static_cast<ui::qt::QtPopUpButton*>(r.app.unitPopup);
  ASSERT_EQ(popup->count(), 7);
  EXPECT_EQ(popup->itemText(3), QStringLiteral("dBu (uncalibrated)"));
  EXPECT_EQ(r.window.referenceLevelLabel()->text(), QStringLiteral("Reference level (dB)"));
  // Refused without a full-scale voltage, and said beneath the plot.
  r.pickUnit(dsp::LevelUnit::dBu);
  EXPECT_EQ(popup->currentText(), QStringLiteral("dB"));
  EXPECT_TRUE(r.window.statusLabel()->text().contains(QStringLiteral("full-scale voltage")));

  r.feed(300);
  r.window.calibrationButton()->click();
  CalibrationDialog* dialog = r.window.calibration();
  ASSERT_TRUE(dialog->isVisible());
  dialog->levelField()->setText(QStringLiteral("+4.00"));
  dialog->unitBox()->setCurrentIndex(dialog->unitBox()->findText(QStringLiteral("dBu")));
  dialog->measureButton()->click();
  EXPECT_EQ(dialog->fullScaleField()->text(), QStringLiteral("+4.00 dBu"))
      << dialog->messageLabel()->text().toStdString();
  EXPECT_EQ(popup->itemText(3), QStringLiteral("dBu"));

  r.pickUnit(dsp::LevelUnit::dBu);
  EXPECT_EQ(r.window.referenceLevelLabel()->text(), QStringLiteral("Reference level (dBu)"));
  EXPECT_NE(r.markerText().find("Hz   +4.00 dBu"), std::string::npos) << r.markerText();
  r.pickUnit(dsp::LevelUnit::dBV);
  EXPECT_NE(r.markerText().find("Hz   +1.78 dBV"), std::string::npos) << r.markerText();
  r.pickUnit(dsp::LevelUnit::volt);
  EXPECT_NE(r.markerText().find("Hz   1.228 V"), std::string::npos) << r.markerText();

  // A sensitivity the dialog cannot read is refused and changes nothing.
  dialog->sensitivityField()->setText(QStringLiteral("loud"));
  emit dialog->sensitivityField()->editingFinished();
  EXPECT_TRUE(dialog->messageLabel()->text().startsWith(QStringLiteral("The sensitivity was not changed")));
  EXPECT_FALSE(r.app.presentCalibration().levels.voltsPerPascal);
  dialog->sensitivityField()->setText(QStringLiteral("12.5mV/Pa"));
  emit dialog->sensitivityField()->editingFinished();
  EXPECT_EQ(dialog->sensitivityField()->text(), QStringLiteral("12.50 mV/Pa"));
  EXPECT_EQ(popup->itemText(5), QStringLiteral("dB SPL"));
  r.app.applicationWillTerminate();
}
