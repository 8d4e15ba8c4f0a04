// The distortion readout's commands and settings, its share of the block
// path, and the generator's fixed tone that feeds it. The readout starts switched off; a settings file without its
// keys leaves it off, over 20 Hz – 20 kHz with the noise unweighted, and an
// older build keeps the keys as keys it does not know.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "app/controller/AppDelegate.h"
#include "app/formats/DistortionCsv.h"
#include "platform/AtomicFile.h"
#include "ui/Panels.h"

namespace {

const char* const kReadout = "Distortion Readout";
const char* const kUpperLimit = "Distortion Upper Limit";  // Hz; 0: half the rate
const char* const kNoiseWeighted = "Distortion Noise A-Weighted";
const char* const kToneFrequency = "Generator Tone Frequency";  // Hz
const char* const kIntermodulation = "Intermodulation Standard";  // "SMPTE", "CCIF" or "Off"

// The readout's intermodulation standard by its key's text, and back.
const char* const kStandardNames[] = {"Off", "SMPTE", "CCIF"};

// The readout's band starts at 20 Hz; its upper limit is at least 1 kHz
// (below that no harmonic of an audio fundamental would be in reach).
constexpr double kLowerLimit = 20;
constexpr double kLeastUpperLimit = 1000;

bool validUpperLimit(double hz) { return std::isfinite(hz) && (hz == 0 || hz >= kLeastUpperLimit); }

// "1000", "1000 Hz", "1k", "1 kHz"; none for anything else or a frequency
// not above 0.
std::optional<double> parseFrequency(const std::string& text) {
  const char* begin = text.c_str();
  char* end = nullptr;
  double hz = std::strtod(begin, &end);
  if (end == begin || !std::isfinite(hz)) return std::nullopt;
  while (*end == ' ') ++end;
  std::string unit(end);
  if (unit == "k" || unit == "kHz" || unit == "khz") {
    hz *= 1000;
  } else if (!unit.empty() && unit != "Hz" && unit != "hz") {
    return std::nullopt;
  }
  if (!(hz > 0)) return std::nullopt;
  return hz;
}

}  // namespace

void AppDelegate::loadDistortionSettings() {
  MeasureState& m = sharedData.measure;
  if (const platform::PropertyValue* value = plist.find(kReadout))
    if (std::optional<bool> on = value->boolean()) m.distortion = *on ? 1 : 0;
  if (const platform::PropertyValue* value = plist.find(kUpperLimit))
    if (std::optional<double> hz = value->number(); hz && validUpperLimit(*hz)) m.distortionReadout.upperHz = *hz;
  if (const platform::PropertyValue* value = plist.find(kNoiseWeighted))
    if (std::optional<bool> on = value->boolean()) m.distortionReadout.weightNoise = *on ? 1 : 0;
  if (const platform::PropertyValue* value = plist.find(kIntermodulation))
    if (const std::string* name = value->string())
      for (int i = 0; i < 3; ++i)
        if (*name == kStandardNames[i]) m.distortionReadout.intermodulation = static_cast<uint8_t>(i);
  if (const platform::PropertyValue* value = plist.find(kToneFrequency))
    if (std::optional<double> hz = value->number(); hz && *hz > 0 && std::isfinite(*hz) && toneFrequencyField) {
      char text[32];
      std::snprintf(text, sizeof text, "%g", *hz);
      toneFrequencyField->setStringValue(text);
    }
}

void AppDelegate::storeDistortionSettings() {
  const MeasureState& m = sharedData.measure;
  plist.set(kReadout, m.distortion != 0);
  plist.set(kUpperLimit, m.distortionReadout.upperHz);
  plist.set(kNoiseWeighted, m.distortionReadout.weightNoise != 0);
  plist.set(kIntermodulation, std::string(kStandardNames[std::min<int>(m.distortionReadout.intermodulation, 2)]));
  if (toneFrequencyField)
    if (std::optional<double> hz = parseFrequency(toneFrequencyField->stringValue())) plist.set(kToneFrequency, *hz);
}

void AppDelegate::configureDistortionMeter() {
  MeasureState& m = sharedData.measure;
  m.distortionReadout.reading = {};
  if (!m.distortion || !spectrum) return;
  dsp::DistortionSettings settings;
  settings.lowerHz = kLowerLimit;
  const double half = 0.5 * static_cast<double>(spectrum->samplingRate());
  settings.upperHz = m.distortionReadout.upperHz > 0 ? std::min(m.distortionReadout.upperHz, half) : half;
  settings.noiseWeighting = m.distortionReadout.weightNoise ? dsp::Weighting::A : dsp::Weighting::Z;
  distortionMeter.configure(spectrum->samplingRate(), sharedData.span.bandwidth, settings);
  m.distortionReadout.imd = {};
  if (m.distortionReadout.intermodulation) {
    dsp::IntermodulationSettings imd;
    imd.standard = m.distortionReadout.intermodulation == 2 ? dsp::IntermodulationStandard::Ccif
                                                            : dsp::IntermodulationStandard::Smpte;
    distortionMeter.configureIntermodulation(&imd);
  } else {
    distortionMeter.configureIntermodulation(nullptr);
  }
  distortionMeter.clear();
}

void AppDelegate::distortionFromInput(const float* samples) noexcept {
  dsp::DistortionReading reading;
  MeasureState::Distortion& d = sharedData.measure.distortionReadout;
  if (!distortionMeter.take(samples, kBlockLength, &reading, &d.imd)) return;
  d.reading = reading;
  if (sharedData.measure.distortionReadout.sweeping) distortionSweepReading(reading);
}

namespace {

// Two readings of one point agree: fundamental and THD+N within the
// agreement, or both so far down that the arithmetic's own jitter is all
// that differs.
bool readingsAgree(const dsp::DistortionReading& a, const dsp::DistortionReading& b, double within) {
  constexpr double kResidualDb = -130;
  auto close = [within](double x, double y) {
    return (x < kResidualDb && y < kResidualDb) || std::fabs(x - y) <= within;
  };
  return a.valid && b.valid && std::fabs(a.fundamentalDb - b.fundamentalDb) <= within && close(a.thdnDb, b.thdnDb);
}

}  // namespace

bool AppDelegate::distortionSweepMayStart(std::string* error) {
  stopTone();
  // The sweep steps one tone: what it reads is harmonic distortion.
  if (sharedData.measure.distortionReadout.intermodulation) setIntermodulationReadout(0);
  if (!trackingGenerator) {
    *error = "The sweep needs an output device.";
    return false;
  }
  if (sweep.enabled) {
    *error = "The distortion sweep plays in the normal mode; the tracking mode sweeps the generator.";
    return false;
  }
  return true;
}

bool AppDelegate::startDistortionSweep(double lowHz, double highHz, int pointsPerOctave, std::string* error) {
  if (!distortionSweepMayStart(error)) return false;
  if (!(lowHz > 0) || !(highHz >= lowHz) || pointsPerOctave < 1 || !std::isfinite(highHz)) {
    *error = "The sweep needs a lower edge above 0 Hz, an upper edge above it and a point per octave or more.";
    return false;
  }
  // Equal ratios, both edges included.
  const int steps = std::max(0, static_cast<int>(std::ceil(std::log2(highHz / lowHz) * pointsPerOctave - 1e-9)));
  distortionSweepPlan_.clear();
  for (int i = 0; i <= steps; ++i)
    distortionSweepPlan_.push_back(steps == 0 ? lowHz : lowHz * std::pow(highHz / lowHz, double(i) / steps));
  GeneratorTone tone;
  tone.frequencyHz = distortionSweepPlan_.front();
  tone.amplitude = trackingGenerator->amplitude();
  GeneratorTone last = tone;
  last.frequencyHz = distortionSweepPlan_.back();
  if (!trackingGenerator->playTone(tone) || !last.playableAt(spectrum ? spectrum->samplingRate() : 48000)) {
    trackingGenerator->stopTone();
    *error = "The output cannot play the sweep's edges: they must lie below half its rate.";
    return false;
  }
  tonePlaying_ = true;
  beginDistortionSweep(false);
  return true;
}

bool AppDelegate::startDistortionLevelSweep(double hz, double fromDb, double toDb, double stepDb, std::string* error) {
  if (!distortionSweepMayStart(error)) return false;
  if (!std::isfinite(fromDb) || !std::isfinite(toDb) || !(stepDb > 0) || toDb < fromDb || toDb > 0 ||
      (toDb - fromDb) / stepDb > 1000) {
    *error = "The level sweep needs levels up to 0 dBFS, the higher after the lower, and a step above 0 dB.";
    return false;
  }
  distortionSweepPlan_.clear();
  for (double dB = fromDb; dB <= toDb + 1e-9; dB += stepDb) distortionSweepPlan_.push_back(std::min(dB, toDb));
  GeneratorTone tone;
  tone.frequencyHz = hz;
  tone.amplitude = std::pow(10.0, distortionSweepPlan_.back() / 20);
  if (!tone.playableAt(spectrum ? spectrum->samplingRate() : 48000) || !trackingGenerator->playTone(tone)) {
    trackingGenerator->stopTone();
    *error = "The output cannot play the sweep's tone: it must lie below half its rate.";
    return false;
  }
  tone.amplitude = std::pow(10.0, distortionSweepPlan_.front() / 20);
  trackingGenerator->playTone(tone);
  tonePlaying_ = true;
  distortionSweepHz_ = hz;
  beginDistortionSweep(true);
  return true;
}

void AppDelegate::beginDistortionSweep(bool overLevel) {
  if (!sharedData.measure.distortion) setDistortionReadout(true);
  MeasureState::Distortion& d = sharedData.measure.distortionReadout;
  d.sweep.clear();
  d.sweep.reserve(distortionSweepPlan_.size());  // the block path only appends
  d.sweeping = 1;
  d.overLevel = overLevel ? 1 : 0;
  distortionSweepNext_ = 0;
  distortionSweepReadings_ = 0;
  distortionMeter.clear();
}

void AppDelegate::distortionSweepReading(const dsp::DistortionReading& reading) noexcept {
  MeasureState::Distortion& d = sharedData.measure.distortionReadout;
  // The first spectrum after a change of tone straddles it: left out.
  if (++distortionSweepReadings_ == 1) {
    distortionMeter.restartMean();
    return;
  }
  // Two readings in a row that differ: the signal was still changing (the
  // tone on its way round the loop), and the mean starts again from the
  // next spectrum, so that it only ever holds spectra of the settled tone.
  const bool settled = distortionSweepReadings_ > 2 && readingsAgree(reading, distortionSweepLast_, kSweepPointAgreement);
  distortionSweepLast_ = reading;
  if (!settled && distortionSweepReadings_ < kSweepPointReadings) {
    if (distortionSweepReadings_ > 2) distortionMeter.restartMean();
    return;
  }
  const double planned = distortionSweepPlan_[distortionSweepNext_];
  if (d.sweep.size() < d.sweep.capacity())
    d.sweep.push_back({d.overLevel ? distortionSweepHz_ : planned, reading.valid ? reading.thdDb : 0.0,
                       reading.valid ? reading.thdnDb : 0.0,
                       d.overLevel ? planned : 20 * std::log10(trackingGenerator->amplitude()), reading});
  if (++distortionSweepNext_ >= distortionSweepPlan_.size()) {
    stopDistortionSweep();
    return;
  }
  GeneratorTone tone;
  tone.frequencyHz = d.overLevel ? distortionSweepHz_ : distortionSweepPlan_[distortionSweepNext_];
  tone.amplitude = d.overLevel ? std::pow(10.0, distortionSweepPlan_[distortionSweepNext_] / 20)
                               : trackingGenerator->amplitude();
  trackingGenerator->playTone(tone);
  distortionSweepReadings_ = 0;
  distortionMeter.clear();
  if (display) display->setNeedsDisplay();
}

void AppDelegate::stopDistortionSweep() {
  if (!sharedData.measure.distortionReadout.sweeping) return;
  sharedData.measure.distortionReadout.sweeping = 0;
  stopTone();
}

void AppDelegate::setDistortionReadout(bool on) {
  sharedData.measure.distortion = on ? 1 : 0;
  configureDistortionMeter();
  for (PlotView* view : {display, printView})
    if (view) view->measurementsChanged();
}

void AppDelegate::setIntermodulationReadout(int standard) {
  if (standard < 0 || standard > 2) return;
  MeasureState::Distortion& d = sharedData.measure.distortionReadout;
  if (standard && d.sweeping) stopDistortionSweep();
  d.intermodulation = static_cast<uint8_t>(standard);
  if (standard && !sharedData.measure.distortion) {
    setDistortionReadout(true);
  } else {
    configureDistortionMeter();
    if (display) display->setNeedsDisplay();
  }
  // A tone playing becomes what the readout reads.
  if (tonePlaying_) {
    std::string error;
    if (!playTone(&error)) {
      say(error);
      stopTone();
    }
  }
}

void AppDelegate::setDistortionUpperLimit(double hz) {
  if (!validUpperLimit(hz)) return;
  sharedData.measure.distortionReadout.upperHz = hz;
  configureDistortionMeter();
  if (display) display->setNeedsDisplay();
}

void AppDelegate::setDistortionNoiseWeighted(bool on) {
  sharedData.measure.distortionReadout.weightNoise = on ? 1 : 0;
  configureDistortionMeter();
  if (display) display->setNeedsDisplay();
}

bool AppDelegate::playTone(std::string* error) {
  if (!trackingGenerator) {
    *error = "The tone needs an output device.";
    return false;
  }
  if (sweep.enabled) {
    *error = "The tone plays in the normal mode; the tracking mode sweeps the generator.";
    return false;
  }
  const std::string text = toneFrequencyField ? toneFrequencyField->stringValue() : std::string("1000");
  const std::optional<double> hz = parseFrequency(text.empty() ? std::string("1000") : text);
  if (!hz) {
    *error = "\"" + text + "\" is no frequency: give it in Hz (1000, 1 kHz).";
    return false;
  }
  GeneratorTone tone;
  tone.frequencyHz = *hz;
  tone.amplitude = trackingGenerator->amplitude();
  if (const uint8_t standard = sharedData.measure.distortionReadout.intermodulation) {
    // The standard's pair, the low tone first; the amplitudes sum to the
    // generator's, so the pair's peak is a sine's at its level.
    const auto s = standard == 2 ? dsp::IntermodulationStandard::Ccif : dsp::IntermodulationStandard::Smpte;
    tone.frequencyHz = dsp::standardLowTone(s);
    tone.secondFrequencyHz = dsp::standardHighTone(s);
    tone.secondRatio = s == dsp::IntermodulationStandard::Ccif ? 1.0 : 0.25;
    tone.amplitude = trackingGenerator->amplitude() / (1 + tone.secondRatio);
  }
  if (!trackingGenerator->playTone(tone)) {
    *error = tone.secondFrequencyHz > 0
                 ? "The output cannot play the standard's tones: they must lie below half its rate."
                 : "The output cannot play " + text + ": the tone must lie below half its rate.";
    return false;
  }
  tonePlaying_ = true;
  if (!sharedData.measure.distortion) setDistortionReadout(true);
  return true;
}

void AppDelegate::stopTone() {
  if (tonePlaying_ && trackingGenerator) trackingGenerator->stopTone();
  tonePlaying_ = false;
  sharedData.measure.distortionReadout.sweeping = 0;
  if (toneButton) {
    toneButton->setState(0);
    toneButton->setTitle("Play Tone");
  }
}

void AppDelegate::toneButtonChanged() {
  if (!toneButton || toneButton->state() != 1) {
    stopTone();
    return;
  }
  std::string error;
  if (!playTone(&error)) {
    say(error);
    stopTone();
    return;
  }
  toneButton->setTitle("Stop Tone");
}

std::string AppDelegate::distortionSweepCsv() const {
  std::string text = distortionCsvHeader();
  for (const MeasureState::Distortion::SweepPoint& p : sharedData.measure.distortionReadout.sweep)
    text += distortionCsvRow(p.hz, p.levelDbfs, p.reading);
  return text;
}

void AppDelegate::exportDistortionSweep() {
  if (sharedData.measure.distortionReadout.sweep.empty()) {
    say("There is no distortion sweep to export: Measure ▸ Distortion Band ▸ Sweep measures one.");
    return;
  }
  ui::Panels* panels = ui::Panels::instance();
  const std::optional<std::string> path =
      panels ? panels->runSavePanel("Export Distortion Sweep", "distortion.csv", "CSV files (*.csv);;All files (*)")
             : std::nullopt;
  if (!path) return;
  std::string error;
  if (!platform::writeFileAtomically(*path, distortionSweepCsv(), &error))
    alertFailure("The distortion sweep could not be exported to " + *path, error);
  else if (showStatus)
    showStatus("Distortion sweep exported to " + *path);
}

void AppDelegate::setDistortionSweep(bool on) {
  if (!on) {
    stopDistortionSweep();
    return;
  }
  const double upper = sharedData.measure.distortionReadout.upperHz;
  std::string error;
  if (!startDistortionSweep(kLowerLimit, upper > 0 ? std::min(upper, 20000.0) : 20000.0, 3, &error)) say(error);
}

void AppDelegate::setDistortionLevelSweep(bool on) {
  if (!on) {
    stopDistortionSweep();
    return;
  }
  const std::string text = toneFrequencyField ? toneFrequencyField->stringValue() : std::string("1000");
  const std::optional<double> hz = parseFrequency(text.empty() ? std::string("1000") : text);
  std::string error;
  if (!hz)
    say("\"" + text + "\" is no frequency: give it in Hz (1000, 1 kHz).");
  else if (!startDistortionLevelSweep(*hz, -60, 0, 3, &error))
    say(error);
}
