#include "app/window/MeasureMenu.h"

#include <QAction>
#include <QActionGroup>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>

#include "app/controller/AppDelegate.h"

QMenu* addMeasureMenu(QMenuBar* bar, AppDelegate& app) {
  QMenu* menu = bar->addMenu(QStringLiteral("&Measure"));
  menu->setObjectName(QStringLiteral("measureMenu"));
  auto add = [menu](const char* name, const QString& title) {
    QAction* action = menu->addAction(title);
    action->setObjectName(QString::fromUtf8(name));
    return action;
  };

  // The trace's mode: one of three.
  auto* modes = new QActionGroup(menu);
  QAction* modeActions[3] = {add("traceAverage", QStringLiteral("Average")),
                             add("traceMaxHold", QStringLiteral("Max Hold")),
                             add("traceMinHold", QStringLiteral("Min Hold"))};
  for (int mode = 0; mode < 3; ++mode) {
    QAction* action = modeActions[mode];
    action->setCheckable(true);
    modes->addAction(action);
    QObject::connect(action, &QAction::triggered, menu, [&app, mode] { app.setTraceMode(mode); });
  }
  QAction* reset = add("resetHold", QStringLiteral("Reset Hold"));
  reset->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
  QObject::connect(reset, &QAction::triggered, menu, [&app] { app.resetHold(); });
  menu->addSeparator();

  // Readings and markers, each switched on and off.
  struct Toggle {
    const char* name;
    const char* title;
    void (AppDelegate::*command)(bool);
    uint8_t MeasureState::*state;
  };
  const Toggle toggles[] = {
      {"precisePeak", "Precise Peak Reading", &AppDelegate::setPrecisePeak, &MeasureState::precisePeak},
      {"deltaMarker", "Delta Marker", &AppDelegate::setDeltaMarker, &MeasureState::deltaMarker},
      {"noiseMarker", "Noise Marker", &AppDelegate::setNoiseMarker, &MeasureState::noiseMarker},
      {"peakTable", "Peak Table", &AppDelegate::setPeakTable, &MeasureState::peakTable},
      {"distortion", "Distortion", &AppDelegate::setDistortionReadout, &MeasureState::distortion},
      {"normalise", "Normalise to Reference", &AppDelegate::setNormalise, &MeasureState::normalise},
  };
  QAction* toggleActions[std::size(toggles)] = {};
  for (std::size_t i = 0; i < std::size(toggles); ++i) {
    if (i == std::size(toggles) - 1) menu->addSeparator();
    const Toggle t = toggles[i];
    QAction* action = add(t.name, QString::fromUtf8(t.title));
    action->setCheckable(true);
    QObject::connect(action, &QAction::triggered, menu, [&app, t](bool on) { (app.*t.command)(on); });
    toggleActions[i] = action;
  }

  // The distortion readout's band and noise weighting.
  QMenu* band = menu->addMenu(QStringLiteral("Distortion Band"));
  band->setObjectName(QStringLiteral("distortionBandMenu"));
  auto* limits = new QActionGroup(band);
  struct Limit {
    const char* title;
    double hz;  // 0: half the rate
  };
  static constexpr Limit kLimits[] = {
      {"20 Hz – 20 kHz", 20000}, {"20 Hz – 22 kHz", 22000}, {"20 Hz – 30 kHz", 30000},
      {"20 Hz – 80 kHz", 80000}, {"20 Hz – Half the Rate", 0}};
  QAction* limitActions[std::size(kLimits)] = {};
  for (std::size_t i = 0; i < std::size(kLimits); ++i) {
    QAction* action = band->addAction(QString::fromUtf8(kLimits[i].title));
    action->setCheckable(true);
    limits->addAction(action);
    const double hz = kLimits[i].hz;
    QObject::connect(action, &QAction::triggered, menu, [&app, hz] { app.setDistortionUpperLimit(hz); });
    limitActions[i] = action;
  }
  band->addSeparator();
  QAction* sweep = band->addAction(QStringLiteral("Sweep the Generator's Tone over the Band"));
  sweep->setObjectName(QStringLiteral("distortionSweep"));
  sweep->setCheckable(true);
  QObject::connect(sweep, &QAction::triggered, menu, [&app](bool on) { app.setDistortionSweep(on); });
  QAction* levelSweep = band->addAction(QStringLiteral("Sweep the Generator's Level from -60 to 0 dBFS"));
  levelSweep->setObjectName(QStringLiteral("distortionLevelSweep"));
  levelSweep->setCheckable(true);
  QObject::connect(levelSweep, &QAction::triggered, menu, [&app](bool on) { app.setDistortionLevelSweep(on); });
  QAction* exportSweep = band->addAction(QStringLiteral("Export Sweep Points…"));
  exportSweep->setObjectName(QStringLiteral("distortionSweepExport"));
  QObject::connect(exportSweep, &QAction::triggered, menu, [&app] { app.exportDistortionSweep(); });
  QAction* weighted = band->addAction(QStringLiteral("A-Weighted Noise"));
  weighted->setObjectName(QStringLiteral("distortionNoiseWeighted"));
  weighted->setCheckable(true);
  QObject::connect(weighted, &QAction::triggered, menu, [&app](bool on) { app.setDistortionNoiseWeighted(on); });

  // The readout's intermodulation standard: the generator's tone button
  // plays its pair of tones.
  QMenu* imd = menu->addMenu(QStringLiteral("Intermodulation"));
  imd->setObjectName(QStringLiteral("intermodulationMenu"));
  auto* standards = new QActionGroup(imd);
  static constexpr const char* kStandards[] = {"Off (Harmonic Distortion)", "SMPTE: 60 Hz + 7 kHz, 4:1",
                                               "CCIF: 19 kHz + 20 kHz, 1:1"};
  QAction* standardActions[std::size(kStandards)] = {};
  for (std::size_t i = 0; i < std::size(kStandards); ++i) {
    QAction* action = imd->addAction(QString::fromUtf8(kStandards[i]));
    action->setCheckable(true);
    standards->addAction(action);
    const int standard = static_cast<int>(i);
    QObject::connect(action, &QAction::triggered, menu, [&app, standard] { app.setIntermodulationReadout(standard); });
    standardActions[i] = action;
  }

  // The checks as the settings have them, whoever changed them.
  QObject::connect(menu, &QMenu::aboutToShow, menu,
                   [&app, modeActions, toggleActions, toggles, limitActions, weighted, sweep, levelSweep, exportSweep,
                    standardActions] {
    const MeasureState& m = app.sharedData.measure;
    for (int mode = 0; mode < 3; ++mode) modeActions[mode]->setChecked(m.traceMode == mode);
    for (std::size_t i = 0; i < std::size(toggles); ++i) toggleActions[i]->setChecked(m.*toggles[i].state != 0);
    for (std::size_t i = 0; i < std::size(kLimits); ++i)
      limitActions[i]->setChecked(kLimits[i].hz == m.distortionReadout.upperHz);
    weighted->setChecked(m.distortionReadout.weightNoise != 0);
    sweep->setChecked(m.distortionReadout.sweeping != 0 && !m.distortionReadout.overLevel);
    levelSweep->setChecked(m.distortionReadout.sweeping != 0 && m.distortionReadout.overLevel);
    exportSweep->setEnabled(!m.distortionReadout.sweep.empty());
    for (std::size_t i = 0; i < std::size(kStandards); ++i)
      standardActions[i]->setChecked(m.distortionReadout.intermodulation == i);
  });
  return menu;
}
