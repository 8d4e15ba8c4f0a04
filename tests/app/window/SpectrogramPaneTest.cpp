// The spectrogram pane in the real window, off-screen, fed a 1 kHz sine at
// -20 dB, 48 kHz: its ridge lies in the plot's column of the tone on both
// axes, its rows take the map's colour of their levels, pausing freezes the
// history while the plot goes on, and its settings keys come back as
// stored. The pane's clock steps a little over one row per trace, so every
// trace writes a row however fast the test feeds it.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QMouseEvent>
#include <QSplitter>
#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "app/controller/AppDelegate.h"
#include "app/window/CountingView.h"
#include "app/window/MainWindow.h"
#include "app/window/SpectrogramMenu.h"
#include "display/SpectrogramPane.h"
#include "dsp/PlotTrace.h"
#include "plot/PlotView.h"
#include "ui/qt/QtMainThread.h"

namespace {

QApplication& application() {
  static int argc = 1;
  static char name[] = "app_spectrogram_pane_test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = new QApplication(argc, argv);  // process-long, as in the window test
  return *app;
}

double gClock = 0, gClockStep = 1;
double steppingClock() { return gClock += gClockStep; }


struct PaneWindow {
  explicit PaneWindow(int axisTag) {
    ui::MainThread::install(&mainThread);
    app.axisPopup->selectItemWithTag(axisTag);
    app.upperSpanField->setStringValue("4800");
    app.bandwidthPopup->selectItemWithTag(30);  // a short FFT: a trace every few blocks
    app.applicationDidFinishLaunching();
    view.inner = app.display;
    app.display = &view;
    window.spectrogramActions().shown->trigger();
    QApplication::processEvents();
    pane().setClock(&steppingClock);
    gClockStep = 1.01 * pane().rowSeconds();
  }
  ~PaneWindow() {
    app.display = view.inner;
    ui::MainThread::install(nullptr);
  }
  display::SpectrogramPane& pane() { return *window.spectrogramPane(); }
  // Feeds blocks until the plot has been given that many more traces.
  void feedSpectra(int spectra, float amplitude = 0.1414f) {
    float block[AppDelegate::kBlockLength];
    for (const int until = view.spectra + spectra; view.spectra < until;) {
      for (float& s : block) s = amplitude * static_cast<float>(std::sin(2 * 3.14159265358979 * 1000.0 * n++ / 48000.0));
      app.newDataFromInput(block, 48000.0f);
      QApplication::processEvents();
    }
  }
  // The newest row's loudest column.
  int ridgeColumn() {
    const display::Spectrogram& sg = pane().spectrogram();
    const float* levels = sg.levelsOfAge(0);
    int best = 0;
    for (int c = 1; c < sg.columns(); ++c)
      if (levels[c] > levels[best]) best = c;
    return best;
  }

  long long n = 0;
  QApplication& qtApplication = application();
  ui::qt::QtMainThread mainThread;
  AppDelegate app;
  MainWindow window{app};
  CountingView view;
};

}  // namespace

TEST(SpectrogramPane, ATonesRidgeLiesInThePlotsColumnOfItsFrequencyOnBothAxes) {
  for (const int axisTag : {0, 1}) {
    PaneWindow w(axisTag);
    ASSERT_TRUE(w.pane().isVisible());
    w.feedSpectra(12);
    const display::Display& plot = *w.window.display();
    ASSERT_GE(w.pane().spectrogram().filledRows(), 4) << "every trace opened a row";
    EXPECT_EQ(w.pane().spectrogram().columns(), plot.plotGeometry().lastColumn() + 1) << "the plot's own columns";
    EXPECT_EQ(plot.plotGeometry().axis().logarithmic(), axisTag == 1);
    const double plotColumn = plot.xForFrequency(1000.0f) - plot.x0();
    EXPECT_NEAR(w.ridgeColumn(), plotColumn, 1.0) << (axisTag ? "log" : "linear");
    // The ridge reads the tone's level at its frequency under the pointer.
    const QRectF rows = w.pane().rowsRect();
    const auto readout = w.pane().readoutAt(QPointF(rows.left() + w.ridgeColumn() + 0.5, rows.top() + 0.5));
    ASSERT_TRUE(readout);
    EXPECT_NEAR(readout->frequency, 1000.0, 4800.0 / rows.width() * (axisTag ? 2 : 1.5));
    EXPECT_NEAR(readout->level, -20.0, 3.0) << "a -20 dB sine";
    EXPECT_NEAR(readout->secondsAgo, 0.0, 1e-9);
  }
}

TEST(SpectrogramPane, ARowsColoursAreTheMapsAtItsLevelsUnderEitherMapAndRange) {
  PaneWindow w(0);
  w.feedSpectra(6);
  const display::Spectrogram& sg = w.pane().spectrogram();
  // The map's entry of a level in the range top..bottom, worked out here.
  const auto expected = [&](display::ColorMap map, float level, float top, float bottom) {
    const double share = (static_cast<double>(level) - bottom) / (top - bottom);
    const int entry = std::clamp(static_cast<int>(std::floor(share * display::kColorMapEntries)), 0,
                                 display::kColorMapEntries - 1);
    return display::colorTable(map)[static_cast<size_t>(entry)];
  };
  const auto checkRow = [&](display::ColorMap map, float top, float bottom) {
    int inRange = 0;
    for (int c = 0; c < sg.columns(); ++c) {
      const float level = sg.levelsOfAge(0)[c];
      if (!(level > bottom) || !(level < top)) continue;
      ++inRange;
      ASSERT_EQ(sg.colorsOfAge(0)[c], expected(map, level, top, bottom)) << "column " << c << " at " << level;
    }
    EXPECT_GT(inRange, 5) << "the tone's skirt lies inside the range";
  };
  // Following the plot: the reference line (0 dB) down eight divisions.
  const float dBPerDivision = w.window.display()->dBPerDivision();
  checkRow(display::ColorMap::viridis, 0, -8 * dBPerDivision);
  // The grey map and an own range colour the history anew.
  w.window.spectrogramActions().colorMaps[1]->trigger();
  w.pane().setOwnRange(display::OwnLevelRange{-10, -60});
  checkRow(display::ColorMap::grey, -10, -60);
  const uint32_t ridge = sg.colorsOfAge(0)[w.ridgeColumn()];
  EXPECT_EQ(ridge & 0xff, (ridge >> 8) & 0xff) << "grey";
  // Following the reference level again.
  w.window.spectrogramActions().followReference->trigger();
  EXPECT_FALSE(w.pane().ownRange());
  checkRow(display::ColorMap::grey, 0, -8 * dBPerDivision);
}

TEST(SpectrogramPane, PauseKeepsTheHistoryWhileThePlotGoesOn) {
  PaneWindow w(0);
  w.feedSpectra(6);
  const display::Spectrogram& sg = w.pane().spectrogram();
  w.window.spectrogramActions().pause->trigger();
  ASSERT_TRUE(w.pane().paused());
  const int64_t rows = sg.rowsAdded();
  const std::vector<uint32_t> newest(sg.colorsOfAge(0), sg.colorsOfAge(0) + sg.columns());
  const int ridge = w.ridgeColumn();
  const float plotBefore = w.window.display()->detectedData().max[ridge];
  // A tone 20 dB louder meanwhile: the plot shows it, the history does not.
  w.feedSpectra(12, 1.414f);
  EXPECT_GT(w.window.display()->detectedData().max[ridge], 30 * plotBefore) << "the plot went on";
  EXPECT_EQ(sg.rowsAdded(), rows);
  EXPECT_EQ(std::vector<uint32_t>(sg.colorsOfAge(0), sg.colorsOfAge(0) + sg.columns()), newest);
  w.window.spectrogramActions().pause->trigger();
  EXPECT_FALSE(w.pane().paused());
  w.feedSpectra(3);
  EXPECT_GT(sg.rowsAdded(), rows) << "resumed";
}

// In either generator mode the plot holds only what a sweep measures, while
// the history goes on taking the input's whole spectrum: a tone (or a
// rattle) elsewhere than the swept bin shows in its rows.
TEST(SpectrogramPane, InTheGeneratorModesTheRowsHoldTheInputsWholeSpectrum) {
  PaneWindow w(0);
  w.feedSpectra(4);
  const display::Spectrogram& sg = w.pane().spectrogram();
  auto feedTone = [&](double hz, int blocks) {
    float block[AppDelegate::kBlockLength];
    for (int b = 0; b < blocks; ++b) {
      for (float& s : block) s = 0.1414f * static_cast<float>(std::sin(2 * 3.14159265358979 * hz * w.n++ / 48000.0));
      w.app.newDataFromInput(block, 48000.0f);
      QApplication::processEvents();
    }
  };
  const QRectF rows = w.pane().rowsRect();
  const double columnHz = 4800.0 / rows.width();
  for (const auto& [cell, hz] : {std::pair{1, 2000.0}, std::pair{2, 3000.0}}) {
    w.app.trackingGeneratorMatrix->selectCell(0, cell);
    w.app.trackingModeChanged();
    const int64_t before = sg.rowsAdded();
    const int traces = w.view.spectra;
    feedTone(hz, 40);
    EXPECT_EQ(w.view.spectra, traces) << "no trace of the input on the plot in a generator mode";
    EXPECT_GT(w.view.sweepSpectra, 0);
    EXPECT_GE(sg.rowsAdded() - before, 4) << "mode " << cell;
    const auto readout = w.pane().readoutAt(QPointF(rows.left() + w.ridgeColumn() + 0.5, rows.top() + 0.5));
    ASSERT_TRUE(readout);
    EXPECT_NEAR(readout->frequency, hz, 1.5 * columnHz) << "mode " << cell;
    EXPECT_NEAR(readout->level, -20.0, 3.0) << "mode " << cell;
  }
  // Paused, the history keeps still in a generator mode too, and the log
  // sweep mode transforms no block for it.
  w.window.spectrogramActions().pause->trigger();
  const int64_t paused = sg.rowsAdded();
  const int given = w.view.sweepSpectra;
  feedTone(1000.0, 20);
  EXPECT_EQ(sg.rowsAdded(), paused);
  EXPECT_EQ(w.view.sweepSpectra, given);
}

TEST(SpectrogramPane, ItsSettingsComeBackAsStoredAndOlderSettingsShowNoPane) {
  PaneWindow w(0);
  display::SpectrogramPane& pane = w.pane();
  w.window.spectrogramActions().histories[3]->trigger();  // 3 min
  w.window.spectrogramActions().colorMaps[1]->trigger();
  pane.setOwnRange(display::OwnLevelRange{-5, -95});
  platform::PropertyDictionary stored;
  storeSpectrogramSettings(stored, pane);

  // Back to how a first launch has it; a settings file of an older version
  // (none of the pane's keys) leaves it so.
  w.window.spectrogramActions().shown->trigger();
  w.window.spectrogramActions().histories[2]->trigger();
  w.window.spectrogramActions().colorMaps[0]->trigger();
  w.window.spectrogramActions().followReference->trigger();
  platform::PropertyDictionary older;
  older.set("Ref Level", "0");
  loadSpectrogramSettings(older, pane);
  EXPECT_FALSE(pane.active());
  EXPECT_FALSE(pane.isVisible());
  EXPECT_EQ(pane.historySeconds(), display::kDefaultSpectrogramHistory);
  EXPECT_EQ(pane.colorMap(), display::ColorMap::viridis);
  EXPECT_FALSE(pane.ownRange());

  loadSpectrogramSettings(stored, pane);
  EXPECT_TRUE(pane.active());
  EXPECT_EQ(pane.historySeconds(), 180);
  EXPECT_EQ(pane.colorMap(), display::ColorMap::grey);
  ASSERT_TRUE(pane.ownRange());
  EXPECT_EQ(*pane.ownRange(), (display::OwnLevelRange{-5, -95}));
  // Values not understood are left out, not taken.
  platform::PropertyDictionary odd;
  odd.set("Spectrogram Color Map", "plasma");
  odd.set("Spectrogram History Seconds", "a while");
  odd.set("Spectrogram Range Top", -100.0);
  odd.set("Spectrogram Range Bottom", -50.0);
  loadSpectrogramSettings(odd, pane);
  EXPECT_EQ(pane.colorMap(), display::ColorMap::grey);
  EXPECT_EQ(pane.historySeconds(), 180);
  EXPECT_EQ(*pane.ownRange(), (display::OwnLevelRange{-5, -95}));
}

// The splitter between the plot and the pane makes the pane taller without
// losing its history: the rows written are spread over the new rows, the
// newest and the oldest with the tone's ridge in its column. The pane's
// share of the height is what the settings keep, what showing the pane
// again gives back, and what a settings file sets (within 0.1 … 0.9).
TEST(SpectrogramPane, TheSplitterResizesThePaneKeepingItsHistoryAndTheSettingsKeepItsShare) {
  PaneWindow w(0);
  w.window.resize(900, 1000);
  QApplication::processEvents();
  w.feedSpectra(12);
  const display::Spectrogram& sg = w.pane().spectrogram();
  const int rowsBefore = sg.rows(), filledBefore = sg.filledRows();
  ASSERT_GE(filledBefore, 4);
  const int ridge = w.ridgeColumn();
  QSplitter& splitter = *w.window.plotSplitter();
  const QList<int> sizes = splitter.sizes();
  ASSERT_EQ(sizes.size(), 2);
  const int total = sizes[0] + sizes[1];
  // Dragged by its handle, as the user does, up to a quarter of the height.
  QSplitterHandle* handle = splitter.handle(1);
  const QPointF grip(handle->width() / 2.0, handle->height() / 2.0);
  const auto mouse = [&](QEvent::Type type, QPointF at, Qt::MouseButtons buttons) {
    QMouseEvent event(type, at, handle->mapToGlobal(at), Qt::LeftButton, buttons, Qt::NoModifier);
    QApplication::sendEvent(handle, &event);
  };
  const QPointF dropped = grip - QPointF(0, sizes[0] - total / 4);
  mouse(QEvent::MouseButtonPress, grip, Qt::LeftButton);
  mouse(QEvent::MouseMove, dropped, Qt::LeftButton);
  mouse(QEvent::MouseButtonRelease, dropped, Qt::NoButton);
  QApplication::processEvents();
  ASSERT_GT(sg.rows(), rowsBefore + 100);
  EXPECT_GE(sg.filledRows(), filledBefore) << "the history stays";
  EXPECT_LE(sg.filledRows(), (filledBefore * sg.rows() + rowsBefore - 1) / rowsBefore);
  EXPECT_EQ(w.ridgeColumn(), ridge);
  const float* oldest = sg.levelsOfAge(sg.filledRows() - 1);
  EXPECT_EQ(std::max_element(oldest, oldest + sg.columns()) - oldest, ridge) << "the oldest row";
  const double share = w.window.spectrogramShare();
  EXPECT_NEAR(share, 0.75, 0.02);

  platform::PropertyDictionary stored;
  w.app.storeInterfaceSettings(stored);
  ASSERT_TRUE(stored.find("Spectrogram Share"));
  EXPECT_DOUBLE_EQ(*stored.find("Spectrogram Share")->number(), share);
  w.window.spectrogramActions().shown->trigger();
  w.window.spectrogramActions().shown->trigger();
  QApplication::processEvents();
  EXPECT_NEAR(w.window.spectrogramShare(), share, 0.01) << "shown again";

  platform::PropertyDictionary file;
  file.set("Spectrogram Share", 0.3);
  w.app.loadInterfaceSettings(file);
  QApplication::processEvents();
  EXPECT_NEAR(w.window.spectrogramShare(), 0.3, 0.01);
  for (const double odd : {0.0, 0.95, 5.0}) {
    file.set("Spectrogram Share", odd);
    w.app.loadInterfaceSettings(file);
    QApplication::processEvents();
    EXPECT_NEAR(w.window.spectrogramShare(), 0.3, 0.01) << odd << " is no share";
  }
}

TEST(SpectrogramPane, ARangeTypedInIsTwoLevelsOrSaysWhatIsWrong) {
  std::string error;
  EXPECT_EQ(parseLevelRange("-100, 0", &error), (display::OwnLevelRange{0, -100}));
  EXPECT_EQ(parseLevelRange(" 10 ; -20.5 ", &error), (display::OwnLevelRange{10, -20.5}));
  for (const char* bad : {"", "-10", "0, x", "0, 0", "nan, 1", "5, 6, 7"}) {
    error.clear();
    EXPECT_FALSE(parseLevelRange(bad, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}
