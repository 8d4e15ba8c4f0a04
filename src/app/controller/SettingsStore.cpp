// The settings store: one property-list dictionary in the user's
// configuration folder, read once at launch into the controls and written
// once at shutdown from them. The endpoints and the traces keep their own
// keys in the same dictionary; keys nobody knows are written back unchanged.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "app/controller/AppDelegate.h"
#include "dsp/FrequencyWeighting.h"
#include "platform/Log.h"
#include "ui/WindowFrame.h"

namespace {

using platform::PropertyData;
using platform::PropertyDictionary;
using platform::PropertyValue;

constexpr const char* kSettingsFileName = "org.specan.SpecAn.plist";
// A settings file is small; anything far larger is not one of ours.
constexpr std::size_t kLargestSettingsFile = 16u << 20;
// Texts longer than this are not a title, a number or a prefix a person typed.
constexpr std::size_t kLongestText = 4096;

const char* const kWindowPosition = "Window position";
const char* const kTitle = "Title";
const char* const kSpanLower = "Span (lower)";
const char* const kSpanUpper = "Span (upper)";
const char* const kLogBandwidth = "Log Bandwidth";
const char* const kFilterType = "Filter Type";
const char* const kDetectorMode = "Detector Mode";
const char* const kTraceAverage = "Trace Average";
const char* const kRefLevel = "Ref Level";
const char* const kDivisions = "Divisions";
const char* const kPrintWidth = "Print Width";
const char* const kPrintHeight = "Print Height";
const char* const kPrintFormat = "Print Format";
const char* const kUseDisplayColor = "Use Display Color For Printing";
const char* const kPrintBorder = "Print Border";
const char* const kExportNamePrefix = "Export Name Prefix";
const char* const kShowDate = "Show Date";
const char* const kFrequencyAxis = "Frequency Axis";
const char* const kSmoothing = "Smoothing";  // N of 1/N octave, 0 off
const char* const kWeighting = "Weighting";  // "A", "C" or "Z"
const char* const kBands = "Bands";          // N of 1/N-octave bands, 0 none
const char* const kLogSweepLength = "Log Sweep Length";  // log2 of the samples, 16…20
const char* const kLogSweepScale = "Log Sweep Right Scale";  // 0 phase, 1 unwrapped phase, 2 group delay
const char* const kLogSweeps = "Log Sweeps";             // text, 1…64
const char* const kLogSweepReference = "Log Sweep Reference Channel";  // text; empty: none

// The colour wells in the order their keys are read and written.
struct ColorKey {
  const char* key;
  ui::ColorWell* AppDelegate::*well;
};
constexpr ColorKey kColorKeys[] = {
    {"Window Background Color", &AppDelegate::windowBackgroundColor},
    {"Display Background Color", &AppDelegate::plotBackgroundColor},
    {"Display Graticule Color", &AppDelegate::plotGraticuleColor},
    {"Display Curve Color", &AppDelegate::plotCurveColor},
    {"Display Reference Color", &AppDelegate::plotReferenceColor},
    {"Display Caption Color", &AppDelegate::plotCaptionColor},
    {"Display Marker Color", &AppDelegate::plotMarkerColor},
    {"Print Background Color", &AppDelegate::printBackgroundColor},
    {"Print Graticule Color", &AppDelegate::printGraticuleColor},
    {"Print Curve Color", &AppDelegate::printCurveColor},
    {"Print Reference Color", &AppDelegate::printReferenceColor},
    {"Print Caption Color", &AppDelegate::printCaptionColor},
    {"Print Marker Color", &AppDelegate::printMarkerColor},
};

// --- colours: a data value of four 32-bit floats, red, green, blue and
//     alpha, each stored little-endian

PropertyData archivedColor(const ui::Color& color) {
  PropertyData data(16);
  const float components[4] = {color.red, color.green, color.blue, color.alpha};
  for (int i = 0; i < 4; ++i) {
    uint32_t bits = 0;
    std::memcpy(&bits, &components[i], 4);
    for (int b = 0; b < 4; ++b) data[static_cast<std::size_t>(4 * i + b)] = static_cast<uint8_t>(bits >> (8 * b));
  }
  return data;
}

std::optional<ui::Color> unarchivedColor(const PropertyValue& value) {
  const PropertyData* data = value.data();
  if (!data || data->size() != 16) return std::nullopt;
  float components[4];
  for (int i = 0; i < 4; ++i) {
    uint32_t bits = 0;
    for (int b = 0; b < 4; ++b) bits |= static_cast<uint32_t>((*data)[static_cast<std::size_t>(4 * i + b)]) << (8 * b);
    std::memcpy(&components[i], &bits, 4);
    if (!std::isfinite(components[i])) return std::nullopt;
  }
  return ui::Color{components[0], components[1], components[2], components[3]};
}

// --- stored values read through their text, number or truth value, as a
//     value of another kind than expected still says what it meant

std::optional<std::string> textOf(const PropertyValue* value) {
  if (!value) return std::nullopt;
  if (const std::string* s = value->string()) {
    if (s->size() > kLongestText || s->find('\0') != std::string::npos) return std::nullopt;
    return *s;
  }
  if (value->type() == PropertyValue::Type::boolean) return std::nullopt;
  if (std::optional<double> number = value->number(); number && std::isfinite(*number)) {
    char text[64];
    std::snprintf(text, sizeof text, "%.15g", *number);
    return std::string(text);
  }
  return std::nullopt;
}

// A text that holds a number, as the numeric fields read it: a text that is
// not finite (for example "nan") is not a usable value.
std::optional<std::string> numericTextOf(const PropertyValue* value) {
  std::optional<std::string> text = textOf(value);
  if (!text) return std::nullopt;
  char* end = nullptr;
  const double number = std::strtod(text->c_str(), &end);
  if (end != text->c_str() && !std::isfinite(number)) return std::nullopt;
  return text;
}

std::optional<int> integerOf(const PropertyValue* value) {
  if (!value) return std::nullopt;
  if (std::optional<bool> b = value->boolean()) return *b ? 1 : 0;
  if (const std::string* s = value->string()) {
    if (s->size() > kLongestText) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(s->c_str(), &end, 10);
    if (end == s->c_str() || errno == ERANGE) return std::nullopt;
    if (parsed < std::numeric_limits<int>::min() || parsed > std::numeric_limits<int>::max()) return std::nullopt;
    return static_cast<int>(parsed);
  }
  std::optional<double> number = value->number();
  if (!number || !std::isfinite(*number)) return std::nullopt;
  if (*number < std::numeric_limits<int>::min() || *number > std::numeric_limits<int>::max()) return std::nullopt;
  return static_cast<int>(*number);
}

std::optional<bool> truthOf(const PropertyValue* value) {
  if (!value) return std::nullopt;
  if (std::optional<bool> b = value->boolean()) return b;
  if (const std::string* s = value->string()) {
    const std::size_t i = s->find_first_not_of(" \t");
    return i != std::string::npos && std::strchr("YyTt123456789", (*s)[i]) != nullptr;
  }
  std::optional<double> number = value->number();
  if (!number || std::isnan(*number)) return std::nullopt;
  return *number != 0.0;
}

void setText(ui::TextField* field, const PropertyValue* value) {
  if (!field) return;
  if (std::optional<std::string> text = numericTextOf(value)) field->setStringValue(*text);
}

// Selects the item with the stored tag, or the first item when the menu has
// none with it.
void selectTag(ui::PopUpButton* popup, const PropertyValue* value) {
  if (!popup) return;
  std::optional<int> tag = integerOf(value);
  if (!tag) return;
  if (!popup->selectItemWithTag(*tag)) popup->selectItemAtIndex(0);
}

// The folder the settings file lives in, made when missing (owner only, as
// the desktop's own configuration folder is).
bool makeFolders(const std::string& file, std::string* error) {
  std::string::size_type slash = 0;
  while ((slash = file.find('/', slash + 1)) != std::string::npos) {
    const std::string folder = file.substr(0, slash);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      *error = "cannot create " + folder + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

// Reads the settings file: the dictionary, or empty. A file that exists but
// cannot be used is set aside as "<file>.bad" (or "<file>.bad-2" …) and said
// so; when even that fails, keep is set so that shutdown leaves it alone.
std::optional<PropertyDictionary> readSettingsFile(const std::string& path, bool& keep) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 && errno == ENOENT) return std::nullopt;  // first run
  std::string error;
  std::optional<PropertyValue> root;
  if (S_ISREG(info.st_mode) && static_cast<std::size_t>(info.st_size) > kLargestSettingsFile)
    error = "the file is too large";
  else
    root = platform::readPropertyList(path, &error);
  if (root && root->dictionary()) return std::move(*root->dictionary());
  if (root) error = "it does not hold a dictionary";

  std::string aside = path + ".bad";
  for (int n = 2; ::access(aside.c_str(), F_OK) == 0 && n < 1000; ++n) aside = path + ".bad-" + std::to_string(n);
  if (std::rename(path.c_str(), aside.c_str()) == 0) {
    platform::log("The settings file %s could not be read (%s); it was kept as %s and SpecAn starts with its "
                  "default settings.\n",
                  path.c_str(), error.c_str(), aside.c_str());
  } else {
    keep = true;
    platform::log("The settings file %s could not be read (%s); SpecAn starts with its default settings and will not "
                  "overwrite it.\n",
                  path.c_str(), error.c_str());
  }
  return std::nullopt;
}

}  // namespace

std::string AppDelegate::settingsFilePath() {
  // A relative XDG_CONFIG_HOME is invalid and ignored, as the desktop does.
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::string folder = config && config[0] == '/' ? std::string(config) : AppDelegate::homeFolder() + "/.config";
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder + "/" + kSettingsFileName;
}

void AppDelegate::setupFromPlist() {
  // The dictionary, with every key the file holds.
  plist = PropertyDictionary{};
  // A run without a settings file neither reads one nor, with plistPath
  // empty, writes one at shutdown.
  plistPath = usesSettingsFile ? settingsFilePath() : std::string();
  keepSettingsFile_ = false;
  bool readFile = false;
  if (!plistPath.empty())
    if (std::optional<PropertyDictionary> stored = readSettingsFile(plistPath, keepSettingsFile_)) {
      plist = std::move(*stored);
      readFile = true;
    }

  // The window's frame.
  if (display) {
    const std::string* frame = plist.string(kWindowPosition);
    // Without a stored frame the view opens at a size its screen suits.
    display->setWindowFrameFromString(frame && frame->size() <= kLongestText ? *frame : std::string());
  }

  // The wells; their handlers run later in the launch.
  for (const ColorKey& c : kColorKeys) {
    ui::ColorWell* well = this->*c.well;
    const PropertyValue* stored = plist.find(c.key);
    if (!well || !stored) continue;
    if (std::optional<ui::Color> color = unarchivedColor(*stored)) well->setColor(*color);
  }

  // The title.
  if (titleField)
    if (std::optional<std::string> title = textOf(plist.find(kTitle))) titleField->setStringValue(*title);

  // The span only as a pair whose upper edge lies above the lower one.
  {
    const std::optional<std::string> lower = numericTextOf(plist.find(kSpanLower));
    const std::optional<std::string> upper = numericTextOf(plist.find(kSpanUpper));
    if (lower && upper && ui::TextField::parseDouble(*upper) > ui::TextField::parseDouble(*lower)) {
      if (lowerSpanField) lowerSpanField->setStringValue(*lower);
      if (upperSpanField) upperSpanField->setStringValue(*upper);
    }
  }

  // The RBW, window and detector pop-ups, by tag.
  selectTag(bandwidthPopup, plist.find(kLogBandwidth));
  selectTag(windowPopup, plist.find(kFilterType));
  selectTag(detectorPopup, plist.find(kDetectorMode));
  // Without a settings file the axis is the interface's (the window opens
  // on a logarithmic one); a file written before the axis could be chosen
  // keeps the linear axis it was made with.
  selectTag(smoothingPopup, plist.find(kSmoothing));
  selectTag(bandsPopup, plist.find(kBands));
  selectTag(logSweepLengthPopup, plist.find(kLogSweepLength));
  selectTag(logSweepScalePopup, plist.find(kLogSweepScale));
  if (weightingPopup)
    if (std::optional<std::string> name = textOf(plist.find(kWeighting)))
      if (std::optional<dsp::Weighting> weighting = dsp::weightingFromName(*name))
        weightingPopup->selectItemWithTag(static_cast<int>(*weighting));
  if (const PropertyValue* axis = plist.find(kFrequencyAxis))
    selectTag(axisPopup, axis);
  else if (readFile && axisPopup)
    axisPopup->selectItemWithTag(static_cast<int>(display::AxisScale::linear));

  // The border box only together with the display-colour box.
  if (std::optional<bool> useDisplay = truthOf(plist.find(kUseDisplayColor))) {
    if (printColorCheckbox) printColorCheckbox->setState(*useDisplay ? 1 : 0);
    if (std::optional<bool> border = truthOf(plist.find(kPrintBorder)); border && printBorderCheckbox)
      printBorderCheckbox->setState(*border ? 1 : 0);
  }

  // The fields as stored; the range checks run when the user edits them
  // (and for the trace average, in the launch).
  setText(traceAverageField, plist.find(kTraceAverage));
  setText(logSweepsField, plist.find(kLogSweeps));
  setText(logSweepReferenceField, plist.find(kLogSweepReference));
  setText(referenceLevelField, plist.find(kRefLevel));
  setText(printWidthField, plist.find(kPrintWidth));
  setText(printHeightField, plist.find(kPrintHeight));
  if (printName)
    if (std::optional<std::string> prefix = textOf(plist.find(kExportNamePrefix))) printName->setStringValue(*prefix);
  if (std::optional<bool> date = truthOf(plist.find(kShowDate)); date && showDateCheckbox)
    showDateCheckbox->setState(*date ? 1 : 0);

  // The export format, by title; the first one when the menu lacks it.
  if (printFormat)
    if (std::optional<std::string> title = textOf(plist.find(kPrintFormat))) {
      printFormat->selectItemWithTitle(*title);
      if (printFormat->indexOfSelectedItem() < 0) printFormat->selectItemAtIndex(0);
    }

  // The scale: a tag the menu lacks leaves the selection.
  if (divisionPopup)
    if (std::optional<int> tag = integerOf(plist.find(kDivisions))) divisionPopup->selectItemWithTag(*tag);

  loadMeasureSettings();
  loadLevelUnitSettings();
}

void AppDelegate::storeControllerSettings() {
  if (display) plist.set(kWindowPosition, display->windowFrameString());
  for (const ColorKey& c : kColorKeys)
    if (ui::ColorWell* well = this->*c.well) plist.set(c.key, archivedColor(well->color()));
  auto storeText = [this](const char* key, ui::TextField* field) {
    if (field) plist.set(key, field->stringValue());
  };
  // A pop-up without a selection leaves its stored value as it was.
  auto storeTag = [this](const char* key, ui::PopUpButton* popup) {
    if (popup && popup->indexOfSelectedItem() >= 0) plist.set(key, static_cast<int64_t>(popup->selectedTag()));
  };
  storeText(kTitle, titleField);
  storeText(kSpanLower, lowerSpanField);
  storeText(kSpanUpper, upperSpanField);
  storeTag(kLogBandwidth, bandwidthPopup);
  storeTag(kFilterType, windowPopup);
  storeTag(kDetectorMode, detectorPopup);
  storeTag(kFrequencyAxis, axisPopup);
  storeTag(kSmoothing, smoothingPopup);
  storeTag(kBands, bandsPopup);
  storeTag(kLogSweepLength, logSweepLengthPopup);
  storeTag(kLogSweepScale, logSweepScalePopup);
  storeText(kLogSweeps, logSweepsField);
  storeText(kLogSweepReference, logSweepReferenceField);
  if (weightingPopup && weightingPopup->indexOfSelectedItem() >= 0)
    plist.set(kWeighting, std::string(dsp::weightingName(dsp::weightingOf(weightingPopup->selectedTag()))));
  storeText(kTraceAverage, traceAverageField);
  // In dB, whatever unit the field shows.
  if (referenceLevelField) plist.set(kRefLevel, storedReferenceLevel());
  storeTag(kDivisions, divisionPopup);
  storeText(kPrintWidth, printWidthField);
  storeText(kPrintHeight, printHeightField);
  storeText(kExportNamePrefix, printName);
  if (showDateCheckbox) plist.set(kShowDate, showDateCheckbox->isOn());
  if (printFormat && printFormat->indexOfSelectedItem() >= 0) plist.set(kPrintFormat, printFormat->titleOfSelectedItem());
  if (printColorCheckbox) plist.set(kUseDisplayColor, printColorCheckbox->isOn());
  if (printBorderCheckbox) plist.set(kPrintBorder, printBorderCheckbox->isOn());
  storeMeasureSettings();
  storeLevelUnitSettings();
}

bool AppDelegate::writeSettings() {
  if (plistPath.empty()) return false;
  if (keepSettingsFile_) {
    platform::log("The settings were not saved: the unreadable settings file %s was left as it is.\n",
                  plistPath.c_str());
    return false;
  }
  std::string error;
  if (makeFolders(plistPath, &error) &&
      platform::writePropertyList(PropertyValue(plist), plistPath, &error))
    return true;
  platform::log("The settings could not be saved to %s (%s); the previous settings file is unchanged.\n",
                plistPath.c_str(), error.c_str());
  return false;
}

void AppDelegate::applicationWillTerminate() {
  // Closing the window, Quit and a termination signal may all arrive; the
  // settings are taken and written once.
  if (terminated_) return;
  terminated_ = true;
  // The input stops first.
  if (input) input->pause();
  // A sweep still running ends with the program: the tone stops too.
  if (sweep.running) resetAndStopTrackingGenerator();
  releaseLogSweep();
  // The controller's keys, then the generator's, the input's and the
  // live trace's.
  storeControllerSettings();
  if (storeInterfaceSettings) storeInterfaceSettings(plist);
  if (trackingGenerator) trackingGenerator->applicationTerminating(plist);
  if (input) input->applicationTerminating(plist);
  trace->applicationTerminating(plist);
  // One atomic write.
  writeSettings();
}
