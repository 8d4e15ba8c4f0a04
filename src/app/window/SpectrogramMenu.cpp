#include "app/window/SpectrogramMenu.h"

#include <QActionGroup>
#include <QInputDialog>
#include <QMenu>
#include <QMessageBox>
#include <cmath>
#include <cstdlib>

namespace {

using display::ColorMap;
using display::kSpectrogramHistories;
using display::OwnLevelRange;
using display::SpectrogramPane;

const char* const kShown = "Spectrogram Shown";
const char* const kColorMap = "Spectrogram Color Map";
const char* const kHistory = "Spectrogram History Seconds";
const char* const kRangeTop = "Spectrogram Range Top";
const char* const kRangeBottom = "Spectrogram Range Bottom";

const char* const kHistoryTitles[] = {"10 s", "30 s", "1 min", "3 min", "10 min"};
static_assert(std::size(kHistoryTitles) == std::size(kSpectrogramHistories));

std::optional<double> finiteNumber(const platform::PropertyValue* value) {
  if (!value) return std::nullopt;
  std::optional<double> number = value->number();
  if (number && std::isfinite(*number)) return number;
  return std::nullopt;
}

void askForRange(SpectrogramPane* pane, QWidget* parent) {
  const OwnLevelRange shown = pane->shownRange();
  bool ok = false;
  const QString text = QInputDialog::getText(
      parent, QStringLiteral("Spectrogram Range"), QStringLiteral("Top and bottom of the colours, in dB:"),
      QLineEdit::Normal, QStringLiteral("%1, %2").arg(shown.top, 0, 'g', 6).arg(shown.bottom, 0, 'g', 6), &ok);
  if (!ok) return;
  std::string error;
  if (const std::optional<OwnLevelRange> range = parseLevelRange(text.toStdString(), &error)) {
    pane->setOwnRange(range);
  } else {
    QMessageBox::warning(parent, QStringLiteral("Spectrogram Range"),
                         QString::fromStdString(error + " The range was left as it was."));
  }
}

}  // namespace

std::optional<OwnLevelRange> parseLevelRange(const std::string& text, std::string* error) {
  const char* p = text.c_str();
  char* end = nullptr;
  const double first = std::strtod(p, &end);
  const bool firstRead = end != p;
  p = end;
  while (*p == ' ' || *p == '\t') ++p;
  if (*p == ',' || *p == ';') ++p;
  const double second = std::strtod(p, &end);
  const bool secondRead = end != p;
  p = end;
  while (*p == ' ' || *p == '\t') ++p;
  if (!firstRead || !secondRead || *p != '\0') {
    *error = "\"" + text + "\" is not two levels in dB, such as \"0, -100\".";
    return std::nullopt;
  }
  if (!std::isfinite(first) || !std::isfinite(second) || first == second || std::fabs(first) > 1000 ||
      std::fabs(second) > 1000) {
    *error = "The top and the bottom must be two different levels between -1000 and 1000 dB.";
    return std::nullopt;
  }
  return OwnLevelRange{std::max(first, second), std::min(first, second)};
}

SpectrogramActions addSpectrogramItems(QMenu* view, SpectrogramPane* pane, QWidget* parent) {
  SpectrogramActions a;
  view->addSeparator();
  a.shown = view->addAction(QStringLiteral("Spectrogram"));
  a.shown->setCheckable(true);
  a.shown->setShortcut(QKeySequence(QStringLiteral("Ctrl+6")));
  QObject::connect(a.shown, &QAction::toggled, pane, [pane](bool on) { pane->setActive(on); });

  QMenu* colors = view->addMenu(QStringLiteral("Spectrogram Colours"));
  auto* colorGroup = new QActionGroup(colors);
  const struct {
    const char* title;
    ColorMap map;
  } maps[] = {{"Perceptual (Viridis)", ColorMap::viridis}, {"Grey", ColorMap::grey}};
  for (int i = 0; i < 2; ++i) {
    a.colorMaps[i] = colors->addAction(QString::fromUtf8(maps[i].title));
    a.colorMaps[i]->setCheckable(true);
    colorGroup->addAction(a.colorMaps[i]);
    QObject::connect(a.colorMaps[i], &QAction::triggered, pane, [pane, map = maps[i].map] { pane->setColorMap(map); });
  }

  QMenu* history = view->addMenu(QStringLiteral("Spectrogram History"));
  auto* historyGroup = new QActionGroup(history);
  for (std::size_t i = 0; i < std::size(kSpectrogramHistories); ++i) {
    a.histories[i] = history->addAction(QString::fromUtf8(kHistoryTitles[i]));
    a.histories[i]->setCheckable(true);
    historyGroup->addAction(a.histories[i]);
    QObject::connect(a.histories[i], &QAction::triggered, pane,
                     [pane, seconds = kSpectrogramHistories[i]] { pane->setHistorySeconds(seconds); });
  }

  QMenu* range = view->addMenu(QStringLiteral("Spectrogram Range"));
  a.followReference = range->addAction(QStringLiteral("Follow Reference Level"));
  a.followReference->setCheckable(true);
  QObject::connect(a.followReference, &QAction::triggered, pane, [pane] { pane->setOwnRange(std::nullopt); });
  a.setRange = range->addAction(QStringLiteral("Set Range…"));
  QObject::connect(a.setRange, &QAction::triggered, pane, [pane, parent] { askForRange(pane, parent); });

  a.pause = view->addAction(QStringLiteral("Pause Spectrogram"));
  a.pause->setCheckable(true);
  QObject::connect(a.pause, &QAction::toggled, pane, [pane](bool on) { pane->setPaused(on); });
  // Pausing is for a pane that is shown.
  QObject::connect(a.shown, &QAction::toggled, a.pause, &QAction::setEnabled);

  QObject::connect(view, &QMenu::aboutToShow, pane, [a, pane] { showSpectrogramState(a, *pane); });
  showSpectrogramState(a, *pane);
  return a;
}

void showSpectrogramState(const SpectrogramActions& a, const SpectrogramPane& pane) {
  // Setting a check does not run the item's command: toggled() would, so
  // its signals wait meanwhile.
  const QSignalBlocker shown(a.shown), pause(a.pause);
  a.shown->setChecked(pane.active());
  a.pause->setChecked(pane.paused());
  a.pause->setEnabled(pane.active());
  a.colorMaps[0]->setChecked(pane.colorMap() == ColorMap::viridis);
  a.colorMaps[1]->setChecked(pane.colorMap() == ColorMap::grey);
  for (std::size_t i = 0; i < std::size(kSpectrogramHistories); ++i)
    a.histories[i]->setChecked(pane.historySeconds() == kSpectrogramHistories[i]);
  a.followReference->setChecked(!pane.ownRange());
}

void loadSpectrogramSettings(const platform::PropertyDictionary& plist, SpectrogramPane& pane) {
  if (const platform::PropertyValue* map = plist.find(kColorMap); map && map->string()) {
    if (*map->string() == display::colorMapName(ColorMap::grey)) pane.setColorMap(ColorMap::grey);
    if (*map->string() == display::colorMapName(ColorMap::viridis)) pane.setColorMap(ColorMap::viridis);
  }
  if (const std::optional<double> seconds = finiteNumber(plist.find(kHistory)); seconds && *seconds > 0 && *seconds < 1e6)
    pane.setHistorySeconds(static_cast<int>(std::lround(*seconds)));
  const std::optional<double> top = finiteNumber(plist.find(kRangeTop));
  const std::optional<double> bottom = finiteNumber(plist.find(kRangeBottom));
  if (top && bottom && *top > *bottom) pane.setOwnRange(OwnLevelRange{*top, *bottom});
  if (const platform::PropertyValue* shown = plist.find(kShown))
    if (const std::optional<bool> on = shown->boolean()) pane.setActive(*on);
}

void storeSpectrogramSettings(platform::PropertyDictionary& plist, const SpectrogramPane& pane) {
  plist.set(kShown, pane.active());
  plist.set(kColorMap, std::string(display::colorMapName(pane.colorMap())));
  plist.set(kHistory, static_cast<int64_t>(pane.historySeconds()));
  if (pane.ownRange()) {
    plist.set(kRangeTop, pane.ownRange()->top);
    plist.set(kRangeBottom, pane.ownRange()->bottom);
  } else {
    plist.erase(kRangeTop);
    plist.erase(kRangeBottom);
  }
}
