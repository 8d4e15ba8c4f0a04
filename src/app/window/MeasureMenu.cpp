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

  // The checks as the settings have them, whoever changed them.
  QObject::connect(menu, &QMenu::aboutToShow, menu, [&app, modeActions, toggleActions, toggles] {
    const MeasureState& m = app.sharedData.measure;
    for (int mode = 0; mode < 3; ++mode) modeActions[mode]->setChecked(m.traceMode == mode);
    for (std::size_t i = 0; i < std::size(toggles); ++i) toggleActions[i]->setChecked(m.*toggles[i].state != 0);
  });
  return menu;
}
