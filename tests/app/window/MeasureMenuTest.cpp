// The window's Measure menu reaches the controller's measurement commands,
// shows their state when it opens, and the plot draws what they read.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QImage>
#include <QMenu>
#include <QPainter>
#include <cmath>

#include "app/controller/AppDelegate.h"
#include "app/window/MainWindow.h"
#include "ui/qt/QtMainThread.h"

namespace {

QApplication& application() {
  static int argc = 1;
  static char name[] = "app_measure_menu_test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = new QApplication(argc, argv);  // process-long, as in the window test
  return *app;
}

struct MenuRig {
  MenuRig() { ui::MainThread::install(&mainThread); }
  ~MenuRig() { ui::MainThread::install(nullptr); }
  QAction* action(const char* name) { return window.findChild<QAction*>(QString::fromUtf8(name)); }
  // The plot as the window would paint it now.
  QImage draw() {
    QImage image(window.display()->size(), QImage::Format_ARGB32);
    image.fill(Qt::black);
    QPainter painter(&image);
    window.display()->drawRect(painter);
    return image;
  }
  // A 1 kHz sine at -20 dB, 48 kHz.
  void feed(int blocks) {
    float block[AppDelegate::kBlockLength];
    for (int b = 0; b < blocks; ++b) {
      for (float& s : block) s = 0.1414f * static_cast<float>(std::sin(2 * 3.14159265358979 * 1000.0 * n++ / 48000.0));
      app.newDataFromInput(block, 48000.0f);
      mainThread.drain();
    }
  }
  QApplication& qtApplication = application();
  ui::qt::QtMainThread mainThread;
  AppDelegate app;
  MainWindow window{app};
  long long n = 0;
};

}  // namespace

TEST(MeasureMenu, ItsItemsRunTheCommandsAndShowTheirState) {
  MenuRig r;
  r.app.applicationDidFinishLaunching();
  QMenu* menu = r.window.findChild<QMenu*>(QStringLiteral("measureMenu"));
  ASSERT_NE(menu, nullptr);
  for (const char* name : {"traceAverage", "traceMaxHold", "traceMinHold", "resetHold", "precisePeak", "deltaMarker",
                           "noiseMarker", "peakTable", "distortion", "normalise", "distortionNoiseWeighted"})
    ASSERT_NE(r.action(name), nullptr) << name;

  r.action("traceMaxHold")->trigger();
  EXPECT_EQ(r.app.sharedData.measure.traceMode, 1);
  EXPECT_EQ(r.app.trace->traceMode(), TraceMode::maxHold);
  r.action("peakTable")->trigger();
  EXPECT_TRUE(r.app.sharedData.measure.peakTable);

  // Changed elsewhere, shown when the menu opens.
  r.app.setNoiseMarker(true);
  r.app.setTraceMode(2);
  emit menu->aboutToShow();
  EXPECT_TRUE(r.action("noiseMarker")->isChecked());
  EXPECT_TRUE(r.action("traceMinHold")->isChecked());
  EXPECT_FALSE(r.action("traceMaxHold")->isChecked());
  EXPECT_TRUE(r.action("peakTable")->isChecked());
  r.action("peakTable")->trigger();
  EXPECT_FALSE(r.app.sharedData.measure.peakTable);

  // The table reads the sine once a trace is in, and the plot draws it.
  r.action("peakTable")->trigger();
  r.feed(400);
  ASSERT_GT(r.window.display()->peakTable().count, 0);
  EXPECT_NEAR(r.window.display()->peakTable().entries[0].bin / r.app.trace->traceData()->binsPerHertz, 1000, 3);
  const QImage withTable = r.draw();
  // Switched off from the menu, the table leaves the plot: the drawing
  // changes at the plot's top right, where its line stood and where the
  // trace, far below at the noise floor there, never reaches.
  r.action("peakTable")->trigger();
  EXPECT_FALSE(r.app.sharedData.measure.peakTable);
  const QImage withoutTable = r.draw();
  ASSERT_GT(withTable.width(), 0);
  ASSERT_EQ(withoutTable.size(), withTable.size());
  int changed = 0;
  for (int y = 0; y < withTable.height() / 4; ++y)
    for (int x = withTable.width() / 2; x < withTable.width(); ++x)
      if (withTable.pixel(x, y) != withoutTable.pixel(x, y)) ++changed;
  EXPECT_GT(changed, 100) << "the table's line was drawn";

  // The distortion readout, on from the menu, reads the sine and draws its
  // lines there too.
  r.action("distortion")->trigger();
  r.feed(200);
  EXPECT_TRUE(r.app.sharedData.measure.distortionReadout.reading.valid);
  const QImage withReadout = r.draw();
  changed = 0;
  for (int y = 0; y < withReadout.height() / 4; ++y)
    for (int x = withReadout.width() / 2; x < withReadout.width(); ++x)
      if (withReadout.pixel(x, y) != withoutTable.pixel(x, y)) ++changed;
  EXPECT_GT(changed, 100) << "the readout's lines were drawn";

  // The intermodulation standards, one at a time, shown when the menu opens.
  QMenu* imd = r.window.findChild<QMenu*>(QStringLiteral("intermodulationMenu"));
  ASSERT_NE(imd, nullptr);
  ASSERT_EQ(imd->actions().size(), 3);
  imd->actions()[2]->trigger();
  EXPECT_EQ(r.app.sharedData.measure.distortionReadout.intermodulation, 2);
  r.app.setIntermodulationReadout(1);
  emit menu->aboutToShow();
  EXPECT_TRUE(imd->actions()[1]->isChecked());
  EXPECT_FALSE(imd->actions()[2]->isChecked());

  // A sweep over level is drawn against the level across the whole plot,
  // its levels along the plot's foot; the same points read as a sweep of
  // frequency would all stand at their one frequency, 100 Hz, in the plot's
  // left half.
  ASSERT_NE(r.action("distortionLevelSweep"), nullptr);
  r.app.setIntermodulationReadout(0);
  MeasureState::Distortion& d = r.app.sharedData.measure.distortionReadout;
  // A sweep over frequency is drawn without any marker placed.
  ASSERT_FALSE(r.window.display()->marker()->valid);
  const QImage withoutSweep = r.draw();
  // Its curves lie in the plot's lower half, away from the readout's lines
  // (which name the sweep too).
  for (int i = 0; i < 5; ++i) d.sweep.push_back({100.0 * (1 << i), -65, -60, -12, {}});
  const QImage swept = r.draw();
  changed = 0;
  for (int y = swept.height() / 2; y < swept.height(); ++y)
    for (int x = 0; x < swept.width(); ++x)
      if (swept.pixel(x, y) != withoutSweep.pixel(x, y)) ++changed;
  EXPECT_GT(changed, 200) << "the sweep's curves were drawn";
  d.sweep.clear();
  for (int i = 0; i < 5; ++i) d.sweep.push_back({100, -65, -60, -40.0 + 10 * i, {}});
  const QImage overFrequency = r.draw();
  d.overLevel = 1;
  const QImage overLevel = r.draw();
  changed = 0;
  for (int y = 0; y < overLevel.height(); ++y)
    for (int x = overLevel.width() / 2; x < overLevel.width(); ++x)
      if (overLevel.pixel(x, y) != overFrequency.pixel(x, y)) ++changed;
  EXPECT_GT(changed, 200) << "the curves and the levels reach across the plot";
  d.overLevel = 0;
  d.sweep.clear();
}
