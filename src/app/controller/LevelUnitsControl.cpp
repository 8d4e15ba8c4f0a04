// The unit the levels read in, and the calibration of each input behind it.
//
// Settings:
//   "Level Unit": the chosen unit's keyword ("db", "dbfs", "dbv", "dbu",
//     "v", "dbspl", "pa"); a file without it reads dB.
//   "Input Calibration": a dictionary by input device name, each a
//     dictionary by channel ("1", "2", …), each holding what is known of that
//     channel, every key optional:
//       "Full Scale Volts"  real, the RMS voltage of a full-scale sine
//       "Volts Per Pascal"  real, the microphone's sensitivity
//       "Calibration File"  string, the path of the microphone's response
//     Keys other builds put there are kept as they are.
//   "Output Calibration": the same by output device name and channel, for
//     the tracking generator's output: "Full Scale Volts" only.
//   "Ref Level" keeps the reference level in dB whatever the unit, so that
//     a build without units reads the same level.

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "app/controller/AppDelegate.h"
#include "app/formats/CalibrationFile.h"
#include "dsp/SensorResponse.h"
#include "dsp/TraceTreatment.h"
#include "app/controller/OptionValues.h"
#include "platform/Log.h"

namespace {

using dsp::LevelUnit;
using platform::PropertyDictionary;
using platform::PropertyValue;

const char* const kLevelUnit = "Level Unit";
const char* const kInputCalibration = "Input Calibration";
const char* const kFullScaleVolts = "Full Scale Volts";
const char* const kVoltsPerPascal = "Volts Per Pascal";
const char* const kCalibrationFile = "Calibration File";
const char* const kOutputCalibration = "Output Calibration";
// A path longer than this is no file a person chose.
constexpr std::size_t kLongestPath = 4096;

// The reference level stays within what the plot's float factor can hold.
const double kLowestReferenceDb = 10 * std::log10(static_cast<double>(FLT_MIN));
const double kHighestReferenceDb = 10 * std::log10(static_cast<double>(FLT_MAX));

std::optional<LevelUnit> unitOfTag(int tag) {
  if (tag < static_cast<int>(LevelUnit::dB) || tag > static_cast<int>(LevelUnit::pascal)) return std::nullopt;
  return static_cast<LevelUnit>(tag);
}

bool needsVolts(LevelUnit unit) { return unit != LevelUnit::dB && unit != LevelUnit::dBFS; }
bool needsPascals(LevelUnit unit) { return unit == LevelUnit::dBSPL || unit == LevelUnit::pascal; }

std::optional<double> positiveNumber(const PropertyDictionary& entry, const char* key) {
  const std::optional<double> value = entry.number(key);
  if (value && std::isfinite(*value) && *value > 0) return value;
  return std::nullopt;
}

// The dictionary under key, made (replacing a value of another kind) when
// missing.
PropertyDictionary& dictionaryAt(PropertyDictionary& parent, const std::string& key) {
  PropertyValue* value = parent.find(key);
  if (!value || !value->dictionary()) {
    parent.set(key, PropertyValue(PropertyDictionary{}));
    value = parent.find(key);
  }
  return *value->dictionary();
}

// The entry kept for a device's channel under key ("Input Calibration",
// "Output Calibration"), or null.
const PropertyDictionary* channelEntry(const PropertyDictionary& settings, const char* key, const std::string& device,
                                       int32_t channel) {
  const PropertyDictionary* devices = settings.dictionary(key);
  const PropertyDictionary* channels = devices ? devices->dictionary(device) : nullptr;
  return channels ? channels->dictionary(std::to_string(channel)) : nullptr;
}

// Changes that entry (made when missing) by edit; nothing left of a
// channel or a device then leaves no entry for it.
template <typename Edit>
void editChannelEntry(PropertyDictionary& settings, const char* key, const std::string& device, int32_t channel,
                      Edit edit) {
  const std::string channelKey = std::to_string(channel);
  PropertyDictionary& devices = dictionaryAt(settings, key);
  PropertyDictionary& channels = dictionaryAt(devices, device);
  PropertyDictionary& entry = dictionaryAt(channels, channelKey);
  edit(entry);
  if (entry.empty()) channels.erase(channelKey);
  if (channels.empty()) devices.erase(device);
  if (devices.empty()) settings.erase(key);
}

// Sets key to value, or removes it for none.
void putNumber(PropertyDictionary& entry, const char* key, const std::optional<double>& value) {
  if (value)
    entry.set(key, PropertyValue(*value));
  else
    entry.erase(key);
}

// A level as the reference level field shows it: two decimals at most in a
// logarithmic unit, four significant digits in a linear one.
std::string fieldText(double level, bool logarithmic) {
  char text[64];
  if (!std::isfinite(level)) level = 0;
  if (!logarithmic) {
    std::snprintf(text, sizeof text, "%.4g", level);
    return text;
  }
  std::snprintf(text, sizeof text, "%.2f", level);
  std::string s = text;
  while (s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  return s == "-0" ? "0" : s;
}

std::string trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// "0 dBFS = +4.00 dBu, 12.50 mV/Pa, response of mic.txt": what of the
// calibration the levels use.
std::string describeCalibration(LevelUnit unit, const dsp::InputCalibration& levels, const std::string& file,
                                bool withResponse) {
  std::string text;
  const auto add = [&text](const std::string& part) { text += (text.empty() ? "" : ", ") + part; };
  if (needsVolts(unit))
    if (std::optional<double> dBu = dsp::levelInUnit(0.5, LevelUnit::dBu, levels))
      add("0 dBFS = " + dsp::formatLevel(*dBu, LevelUnit::dBu));
  if (needsPascals(unit) && levels.voltsPerPascal) {
    char sensitivity[48];
    add(dsp::formatLinearLevel(sensitivity, sizeof sensitivity, *levels.voltsPerPascal, "V/Pa"));
  }
  if (withResponse) add("response of " + std::filesystem::path(file).filename().string());
  return text;
}

}  // namespace

// --- settings and launch

void AppDelegate::loadLevelUnitSettings() {
  chosenUnit_ = LevelUnit::dB;
  if (const std::string* keyword = plist.string(kLevelUnit))
    if (std::optional<LevelUnit> unit = dsp::levelUnitFromKeyword(*keyword)) chosenUnit_ = *unit;
  levelUnitsReady_ = false;
  appliedInput_.clear();
  appliedRecord_ = {};
  calibrationFileFailed_ = false;
  // Until the input is there the levels read dB; the launch then applies
  // its calibration.
  if (unitPopup) {
    sharedData.levelScale = dsp::LevelScale{};
    sharedData.sensorResponse.reset();
    sharedData.levelsCalibration.clear();
    unitPopup->selectItemWithTag(static_cast<int>(LevelUnit::dB));
  }
}

void AppDelegate::storeLevelUnitSettings() {
  if (unitPopup) plist.set(kLevelUnit, std::string(dsp::levelUnitKeyword(chosenUnit_)));
}

std::string AppDelegate::storedReferenceLevel() {
  if (!referenceLevelField) return {};
  if (!unitPopup || levelUnitInUse() == LevelUnit::dB) return referenceLevelField->stringValue();
  char text[64];
  std::snprintf(text, sizeof text, "%.10g", referenceLevelDb());
  return text;
}

double AppDelegate::referenceLevelDb() {
  if (!referenceLevelField) return referenceLevelDb_;
  const std::string& text = referenceLevelField->stringValue();
  // The text the field was given for the level: the level itself, not its
  // rounding.
  if (levelUnitsReady_ && text == referenceLevelText_) return referenceLevelDb_;
  const double value = referenceLevelField->doubleValue();
  const double dB = unitPopup ? sharedData.levelScale.toDb(value) : value;
  referenceLevelDb_ = std::clamp(std::isnan(dB) ? 0.0 : dB, kLowestReferenceDb, kHighestReferenceDb);
  referenceLevelText_ = text;
  return referenceLevelDb_;
}

void AppDelegate::say(const std::string& line) {
  platform::log("%s\n", line.c_str());
  if (showStatus) showStatus(line);
}

// --- the present input

std::string AppDelegate::presentInputName() const {
  if (!input) return {};
  const std::string device = input->deviceName();
  const int32_t channel = input->channel();
  if (device.empty() || channel < 1) return {};
  return device + ", channel " + std::to_string(channel);
}

AppDelegate::InputCalibrationRecord AppDelegate::presentCalibration() const {
  InputCalibrationRecord record;
  if (presentInputName().empty()) return record;
  const PropertyDictionary* entry = channelEntry(plist, kInputCalibration, input->deviceName(), input->channel());
  if (!entry) return record;
  record.levels.fullScaleVolts = positiveNumber(*entry, kFullScaleVolts);
  record.levels.voltsPerPascal = positiveNumber(*entry, kVoltsPerPascal);
  if (const std::string* file = entry->string(kCalibrationFile); file && file->size() <= kLongestPath)
    record.calibrationFile = *file;
  return record;
}

void AppDelegate::setPresentCalibration(const InputCalibrationRecord& record) {
  editChannelEntry(plist, kInputCalibration, input->deviceName(), input->channel(), [&record](PropertyDictionary& entry) {
    putNumber(entry, kFullScaleVolts, record.levels.fullScaleVolts);
    putNumber(entry, kVoltsPerPascal, record.levels.voltsPerPascal);
    if (record.calibrationFile.empty())
      entry.erase(kCalibrationFile);
    else
      entry.set(kCalibrationFile, PropertyValue(record.calibrationFile));
  });
  applyInputCalibration();
}

void AppDelegate::inputChanged() {
  if (levelUnitsReady_) applyInputCalibration();
}

void AppDelegate::applyInputCalibration(bool always) {
  if (!unitPopup) return;
  const std::string inputName = presentInputName();
  const InputCalibrationRecord record = presentCalibration();
  if (!always && inputName == appliedInput_ && record == appliedRecord_) return;
  appliedInput_ = inputName;
  appliedRecord_ = record;
  // The reference level in dB, read in the unit it was shown in.
  const double referenceDb = referenceLevelDb();

  // The microphone's response, read afresh: the file may have been fixed.
  std::shared_ptr<const dsp::SensorResponse> response;
  calibrationFileFailed_ = false;
  if (!record.calibrationFile.empty()) {
    std::string error;
    if (std::optional<dsp::SensorResponse> read = readCalibrationFile(record.calibrationFile, &error)) {
      response = std::make_shared<const dsp::SensorResponse>(std::move(*read));
    } else {
      calibrationFileFailed_ = true;
      say("The calibration file " + record.calibrationFile + " of " + inputName + " could not be read (" + error +
          "); the levels read dB.");
    }
  }

  LevelUnit unit = calibrationFileFailed_ ? LevelUnit::dB : chosenUnit_;
  if (const char* reason = dsp::uncalibratedReason(unit, record.levels)) {
    say(std::string(dsp::levelUnitName(unit)) + " on " + (inputName.empty() ? "this input" : inputName) + ": " +
        reason + "; the levels read dB.");
    unit = LevelUnit::dB;
  }
  sharedData.levelScale = dsp::LevelScale::make(unit, record.levels).value_or(dsp::LevelScale{});
  sharedData.sensorResponse = response;
  sharedData.levelsCalibration = describeCalibration(unit, record.levels, record.calibrationFile, response != nullptr);
  if (sweep.enabled) relateToGenerator(record.levels);

  // The pop-up offers every unit and says which the input cannot read in.
  const std::shared_ptr<ui::Menu>& menu = unitPopup->menu();
  for (int i = 0; i < menu->numberOfItems(); ++i) {
    const std::optional<LevelUnit> itemUnit = unitOfTag(menu->itemAt(i)->tag);
    if (!itemUnit) continue;
    std::string title = dsp::levelUnitName(*itemUnit);
    if (!dsp::isUnitCalibrated(*itemUnit, record.levels)) title += " (uncalibrated)";
    if (menu->itemAt(i)->title != title) menu->setItemTitle(i, title);
  }
  unitPopup->selectItemWithTag(static_cast<int>(unit));

  // The reference level stays what it was in dB, shown in the unit.
  if (referenceLevelField) {
    referenceLevelText_ = fieldText(sharedData.levelScale.fromDb(referenceDb), sharedData.levelScale.logarithmic());
    referenceLevelField->setStringValue(referenceLevelText_);
  }
  if (showLevelUnit) showLevelUnit(dsp::levelUnitName(unit));
  for (PlotView* view : {display, printView})
    if (view) view->measurementsChanged();
}

// --- commands

void AppDelegate::unitChanged() {
  if (!unitPopup || unitPopup->indexOfSelectedItem() < 0) return;
  const std::optional<LevelUnit> unit = unitOfTag(unitPopup->selectedTag());
  const auto refuse = [this](const std::string& why) {
    unitPopup->selectItemWithTag(static_cast<int>(levelUnitInUse()));
    say(why);
  };
  if (!unit) return refuse("That unit is not known.");
  const std::string name = dsp::levelUnitName(*unit);
  if (const char* reason = dsp::uncalibratedReason(*unit, presentCalibration().levels))
    return refuse(name + " cannot be chosen: " + reason + " (Attenuator ▸ Calibrate…).");
  if (calibrationFileFailed_ && *unit != LevelUnit::dB)
    return refuse(name + " cannot be chosen: the calibration file " + appliedRecord_.calibrationFile +
                  " could not be read; load it again or remove it (Attenuator ▸ Calibrate…).");
  chosenUnit_ = *unit;
  applyInputCalibration(true);
}

bool AppDelegate::setPresentCalibrationValue(const std::string& text, std::optional<double> dsp::InputCalibration::*value,
                                             std::optional<double> (*parse)(std::string_view, std::string*),
                                             std::string* error) {
  if (presentInputName().empty()) {
    if (error) *error = "There is no input device to calibrate.";
    return false;
  }
  InputCalibrationRecord record = presentCalibration();
  const std::string given = trimmed(text);
  if (given.empty()) {
    (record.levels.*value).reset();
  } else {
    const std::optional<double> parsed = parse(given, error);
    if (!parsed) return false;
    record.levels.*value = parsed;
  }
  setPresentCalibration(record);
  return true;
}

bool AppDelegate::setFullScaleLevel(const std::string& text, std::string* error) {
  return setPresentCalibrationValue(text, &dsp::InputCalibration::fullScaleVolts, dsp::parseFullScaleVolts, error);
}

bool AppDelegate::setSensitivity(const std::string& text, std::string* error) {
  return setPresentCalibrationValue(text, &dsp::InputCalibration::voltsPerPascal, dsp::parseVoltsPerPascal, error);
}

bool AppDelegate::loadCalibrationFile(const std::string& path, std::string* error) {
  if (presentInputName().empty()) {
    if (error) *error = "There is no input device to calibrate.";
    return false;
  }
  std::string reason;
  if (path.size() > kLongestPath || !readCalibrationFile(path, &reason)) {
    if (error) *error = path.size() > kLongestPath ? "the path is too long" : reason;
    return false;
  }
  InputCalibrationRecord record = presentCalibration();
  record.calibrationFile = path;
  setPresentCalibration(record);
  return true;
}

void AppDelegate::removeCalibrationFile() {
  if (presentInputName().empty()) return;
  InputCalibrationRecord record = presentCalibration();
  record.calibrationFile.clear();
  setPresentCalibration(record);
}

std::optional<AppDelegate::LiveLevel> AppDelegate::measureLiveLevel() {
  TraceData* live = trace->traceData();
  std::lock_guard guard(live->lock);
  const int bins = live->bins;
  const float bph = live->binsPerHertz;
  if (bins <= 1 || !(bph > 0) || !(live->traces > 0)) return std::nullopt;
  // The span's bins, without the DC bin.
  const int first = static_cast<int>(
      std::clamp(std::ceil(static_cast<double>(sharedData.span.startFrequency * bph)), 1.0, bins - 1.0));
  const int last = static_cast<int>(
      std::clamp(std::floor(static_cast<double>(sharedData.span.endFrequency * bph)), 0.0, bins - 1.0));
  if (first > last) return std::nullopt;

  // As the views show it: weighted and with the microphone's response taken
  // out (smoothing would only blur the peak the reading fits).
  const dsp::TraceTreatment treatment =
      dsp::TraceTreatment::of(sharedData.treatment.weighting, 0, sharedData.sensorResponse.get());
  const TraceData* shown = live;
  std::unique_ptr<TraceData> treated;
  if (!treatment.none()) {
    treated = std::make_unique<TraceData>();
    dsp::TraceTreater treater;
    treater.setTreatment(treatment);
    treater.treat(*live, *treated);
    shown = treated.get();
  }

  const double reference = 10 * std::log10(static_cast<double>(sharedData.refScale));
  const WindowResponse* window = sharedData.measure.window;
  const bool fits = window && window->valid() && window->bins() == bins && window->samplingRate() == live->samplingRate;
  if (fits) {
    const PeakReading peak = readPeak(*window, shown->averaged, bins, first, last, bph);
    if (peak.valid && !peak.uncertain && std::isfinite(peak.level))
      return LiveLevel{peak.level + reference, true, peak.frequency};
  }
  // The span's overall level: its power over the noise bandwidth in bins.
  const double noiseBins = fits ? window->noiseBandwidthBins() : static_cast<double>(sharedData.span.bandwidth * bph);
  double power = 0;
  for (int k = first; k <= last; ++k) power += shown->averaged[k];
  const double meanSquare = noiseBins > 0 ? power / (static_cast<double>(bins) * bins) / noiseBins : 0.0;
  return LiveLevel{meanSquare > 0 ? 10 * std::log10(meanSquare) + reference : -INFINITY, false, 0.0};
}

bool AppDelegate::calibrateTo(double level, LevelUnit unit, std::string* error) {
  const auto refuse = [error](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (presentInputName().empty()) return refuse("There is no input device to calibrate.");
  if (!needsVolts(unit))
    return refuse(std::string(dsp::levelUnitName(unit)) + " reads the digital level and needs no calibration.");
  if (sweep.enabled) return refuse("The input cannot be calibrated while the generator tracks.");
  const std::optional<LiveLevel> live = measureLiveLevel();
  if (!live || !std::isfinite(live->dB)) return refuse("There is no signal at the input to calibrate with.");
  const double measured = std::pow(10.0, live->dB / 10);

  InputCalibrationRecord record = presentCalibration();
  // The mean square that would read `level` at a unit factor (1 V full
  // scale, 1 V/Pa); the factor that makes the measured one read it follows
  // from the root of their ratio.
  dsp::InputCalibration unitFactor;
  unitFactor.fullScaleVolts = 1.0;
  if (needsPascals(unit)) {
    if (!dsp::isUnitCalibrated(LevelUnit::dBu, record.levels))
      return refuse("A microphone's sensitivity needs the input's full-scale level: give it first.");
    unitFactor.fullScaleVolts = record.levels.fullScaleVolts;
    unitFactor.voltsPerPascal = 1.0;
  }
  const std::optional<double> target = dsp::meanSquareOfLevel(level, unit, unitFactor);
  if (!target || !(*target > 0) || !std::isfinite(*target))
    return refuse(fieldText(level, dsp::isLogarithmic(unit)) + " is no level in " + dsp::levelUnitName(unit) + ".");
  const double factor = needsPascals(unit) ? std::sqrt(measured / *target) : std::sqrt(*target / measured);
  if (!std::isfinite(factor) || !(factor > 0)) return refuse("That level cannot be reached from the present signal.");
  if (needsPascals(unit))
    record.levels.voltsPerPascal = factor;
  else
    record.levels.fullScaleVolts = factor;
  setPresentCalibration(record);
  if (showStatus)
    showStatus(presentInputName() + " calibrated: the " + (live->peak ? "peak" : "span's level") + " now reads " +
               dsp::formatLevel(level, unit) + ".");
  return true;
}

// --- the generator's output

std::string AppDelegate::presentOutputName() const {
  if (!trackingGenerator) return {};
  const std::string device = trackingGenerator->deviceName();
  const int32_t channel = trackingGenerator->channel();
  if (device.empty() || channel < 1) return {};
  return device + ", channel " + std::to_string(channel);
}

std::optional<double> AppDelegate::presentOutputFullScale() const {
  if (presentOutputName().empty()) return std::nullopt;
  const PropertyDictionary* entry =
      channelEntry(plist, kOutputCalibration, trackingGenerator->deviceName(), trackingGenerator->channel());
  return entry ? positiveNumber(*entry, kFullScaleVolts) : std::nullopt;
}

bool AppDelegate::setOutputFullScaleLevel(const std::string& text, std::string* error) {
  if (presentOutputName().empty()) {
    if (error) *error = "There is no output device to calibrate.";
    return false;
  }
  const std::string given = trimmed(text);
  std::optional<double> volts;
  if (!given.empty() && !(volts = dsp::parseFullScaleVolts(given, error))) return false;
  editChannelEntry(plist, kOutputCalibration, trackingGenerator->deviceName(), trackingGenerator->channel(),
                   [&volts](PropertyDictionary& entry) { putNumber(entry, kFullScaleVolts, volts); });
  applyInputCalibration(true);
  return true;
}

void AppDelegate::outputFullScaleChanged() {
  if (!outputFullScaleField) return;
  std::string error;
  if (!setOutputFullScaleLevel(outputFullScaleField->stringValue(), &error)) say(error);
  showOutputFullScale();
}

void AppDelegate::showOutputFullScale() {
  dsp::InputCalibration output;
  output.fullScaleVolts = presentOutputFullScale();
  const std::optional<double> fullScaleDbu = dsp::levelInUnit(0.5, LevelUnit::dBu, output);
  if (outputFullScaleField)
    outputFullScaleField->setStringValue(fullScaleDbu ? dsp::formatLevel(*fullScaleDbu, LevelUnit::dBu) : "");
  if (generatorLevelField && trackingGenerator) {
    const double dBFS = 20 * std::log10(trackingGenerator->amplitude());
    char text[48];
    std::snprintf(text, sizeof text, "%+.2f dBFS", dBFS);
    generatorLevelField->setStringValue(fullScaleDbu ? dsp::formatLevel(*fullScaleDbu + dBFS, LevelUnit::dBu) : text);
  }
}

bool AppDelegate::setGeneratorLevel(const std::string& text, std::string* error) {
  if (!trackingGenerator) {
    if (error) *error = "There is no generator.";
    return false;
  }
  std::string given = trimmed(text);
  double amplitude = 0;
  // dBFS: a number, with the unit or without.
  std::string number = given;
  if (number.size() >= 4 && dsp::levelUnitFromKeyword(number.substr(number.size() - 4)) == LevelUnit::dBFS)
    number = trimmed(number.substr(0, number.size() - 4));
  if (const std::optional<double> dBFS = option_values::number(number)) {
    amplitude = std::pow(10.0, *dBFS / 20);
  } else if (const std::optional<double> output = presentOutputFullScale()) {
    std::string reason;
    const std::optional<double> volts = dsp::parseFullScaleVolts(given, &reason);
    if (!volts) {
      if (error) *error = "The generator's level is a level in dBFS, dBu, dBV or V: " + reason;
      return false;
    }
    amplitude = *volts / *output;  // RMS over the RMS of a full-scale sine
  } else {
    if (error) *error = "The generator's level is a level in dBFS (volts need the output's full scale).";
    return false;
  }
  if (!std::isfinite(amplitude) || !(amplitude > 0) || amplitude > 1.0 + 1e-9) {
    if (error) *error = "The generator's level must lie above silence and at most at full scale (0 dBFS).";
    return false;
  }
  trackingGenerator->setAmplitude(amplitude);
  // The response reads against the new level.
  if (levelUnitsReady_) applyInputCalibration(true);
  return true;
}

void AppDelegate::generatorLevelChanged() {
  if (!generatorLevelField) return;
  std::string error;
  if (!setGeneratorLevel(generatorLevelField->stringValue(), &error)) say(error);
  showOutputFullScale();
  // A tone playing takes the new level.
  if (tonePlaying() && !playTone(&error)) {
    say(error);
    stopTone();
  }
}

void AppDelegate::relateToGenerator(const dsp::InputCalibration& input) {
  const std::optional<double> output = presentOutputFullScale();
  if (!output || !input.fullScaleVolts) return;
  // A full-scale sine (mean square 0.5) at the input is fullScaleVolts RMS;
  // the generator's sine is its amplitude of its output's full scale.
  const double inputDbV = 20 * std::log10(*input.fullScaleVolts * std::sqrt(2.0));
  const double generatorDbV = 20 * std::log10(*output * trackingGenerator->amplitude());
  sharedData.levelScale = dsp::LevelScale::relative(inputDbV - generatorDbV);
  dsp::InputCalibration outputLevels;
  outputLevels.fullScaleVolts = output;
  std::string text = "gain from the output (0 dBFS = " +
                     dsp::formatLevel(*dsp::levelInUnit(0.5, LevelUnit::dBu, outputLevels), LevelUnit::dBu) +
                     ") to the input (0 dBFS = " +
                     dsp::formatLevel(*dsp::levelInUnit(0.5, LevelUnit::dBu, input), LevelUnit::dBu) + ")";
  if (sharedData.sensorResponse) text += ", response of " + std::filesystem::path(appliedRecord_.calibrationFile).filename().string();
  sharedData.levelsCalibration = text;
}
