#include "app/formats/LogSweepCsv.h"

#include <cmath>
#include <limits>
#include <utility>

#include "app/formats/JsonText.h"

namespace {

// A reading of the CSV: empty where there is none (a harmonic out of reach).
std::string field(double value, const char* format = "%.4f") {
  return std::isfinite(value) ? printedNumber(format, value) : std::string();
}

}  // namespace

LogSweepLevels LogSweepLevels::of(const dsp::LevelScale& scale, const dsp::SensorResponse* sensor,
                                  std::string description, const dsp::LogSweep& sweep, int smoothing) {
  LogSweepLevels levels;
  levels.scale = scale;
  levels.sensor = sensor;
  levels.description = std::move(description);
  levels.generatorDb = sweep.toneLevelDb();
  levels.smoothing = smoothing;
  return levels;
}

double LogSweepLevels::gainDb(const dsp::SweepResponse& r, std::size_t i) const {
  const double db = r.magnitudeDb[i];
  return sensor ? db - (sensor->responseDb(r.frequencyHz[i]) + sensor->sensitivityDb().value_or(0)) : db;
}

double LogSweepLevels::levelAt(const dsp::SweepResponse& r, std::size_t i) const {
  const double db = gainDb(r, i);
  if (scale.isDesigned()) return db;
  return std::isfinite(db) ? scale.fromDb(db + generatorDb) : std::numeric_limits<double>::quiet_NaN();
}

double LogSweepLevels::harmonicAt(const dsp::SweepResponse& r, int order, std::size_t i) const {
  const double db = r.harmonicDb[static_cast<std::size_t>(order - 2)][i];
  if (!sensor) return db;
  const double f = r.frequencyHz[i];
  return db - (sensor->responseDb(order * f) - sensor->responseDb(f));
}

std::string LogSweepLevels::summaryAt(const dsp::SweepResponse& r, std::size_t i) const {
  if (scale.isDesigned()) return printedNumber("%.2f", gainDb(r, i)) + " dB";
  char text[64];
  return scale.format(text, sizeof text, gainDb(r, i) + generatorDb, 2);
}

std::string logSweepOrigin(const dsp::SweepResponse& r) {
  return r.absolutePhase ? "absolute phase from the reference channel" : "phase relative to the impulse response's peak";
}

std::string logSweepDelay(const dsp::SweepResponse& r, double rate) {
  return printedNumber("%.2f", r.delaySamples) + " samples (" + printedNumber("%.3f", 1000 * r.delaySamples / rate) +
         " ms) " + (r.absolutePhase ? "after the reference" : "from the recording's start");
}

std::string logSweepCsv(const dsp::SweepResponse& r, double rate, const LogSweepLevels& levels) {
  const char* format = levels.scale.logarithmic() ? "%.4f" : "%.6g";
  std::string text = std::string("frequency_hz,level_") + dsp::levelUnitKeyword(levels.scale.unit()) +
                     ",phase_deg,group_delay_ms,h2_db,h3_db,h4_db,h5_db\n";
  for (size_t i = 0; i < r.frequencyHz.size(); ++i) {
    text += printedNumber("%.4f", r.frequencyHz[i]) + "," + field(levels.levelAt(r, i), format) + "," +
            field(r.phaseDeg[i], "%.3f") + "," + field(r.groupDelayMs[i], "%.5f");
    for (int order = 2; order < 2 + static_cast<int>(r.harmonicDb.size()); ++order)
      text += "," + field(levels.harmonicAt(r, order, i), "%.3f");
    text += "\n";
  }
  text += "# " + logSweepOrigin(r) + "; delay " + logSweepDelay(r, rate) + "\n";
  if (levels.smoothing > 0) text += "# smoothing: 1/" + std::to_string(levels.smoothing) + " octave\n";
  if (levels.calibrated()) {
    text += "# levels in: " + std::string(dsp::levelUnitName(levels.scale.unit()));
    // A relative dB (the output's full scale known too) is the gain in volts.
    if (levels.scale.isDesigned()) text += " (the gain)";
    else if (levels.scale.unit() == dsp::LevelUnit::dB) text += " (the gain in volts from the output to the input)";
    else
      text += " (the input's level while the generator played " +
              printedNumber("%.2f", levels.generatorDb + 10 * std::log10(2.0)) + " dBFS)";
    if (!levels.description.empty()) text += "; " + levels.description;
    text += "\n";
  }
  return text;
}
