#pragma once
// The View menu's spectrogram items and the pane's settings keys:
// Spectrogram (shown or not, "Spectrogram Shown"), Spectrogram Colours
// (viridis or grey, "Spectrogram Color Map"), Spectrogram History (10 s to
// 10 min, "Spectrogram History Seconds"), Spectrogram Range (following the
// reference level and dB/div, or an own range kept in "Spectrogram Range
// Top" and "Spectrogram Range Bottom", dB as the reference level reads) and
// Pause Spectrogram. A settings file without these keys shows no pane.

#include <optional>
#include <string>

#include "display/SpectrogramPane.h"
#include "platform/PropertyList.h"

class QAction;
class QMenu;
class QWidget;

struct SpectrogramActions {
  QAction* shown = nullptr;
  QAction* pause = nullptr;
  QAction* colorMaps[2] = {};  // viridis, grey
  QAction* histories[std::size(display::kSpectrogramHistories)] = {};
  QAction* followReference = nullptr;
  QAction* setRange = nullptr;
};

// Adds the items to the View menu; each acts on the pane, and their checks
// follow the pane each time the menu opens. Set Range asks for the range
// in a dialog of parent.
SpectrogramActions addSpectrogramItems(QMenu* view, display::SpectrogramPane* pane, QWidget* parent);
// The checks from the pane's state.
void showSpectrogramState(const SpectrogramActions& actions, const display::SpectrogramPane& pane);

// The pane's settings from the dictionary: keys absent or not understood
// leave the pane as it is (hidden, viridis, 1 min, following the plot).
void loadSpectrogramSettings(const platform::PropertyDictionary& plist, display::SpectrogramPane& pane);
void storeSpectrogramSettings(platform::PropertyDictionary& plist, const display::SpectrogramPane& pane);

// "top, bottom" in dB (either order) as a range; otherwise none, and why in
// *error.
std::optional<display::OwnLevelRange> parseLevelRange(const std::string& text, std::string* error);
