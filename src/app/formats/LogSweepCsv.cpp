#include "app/formats/LogSweepCsv.h"

#include <cmath>

#include "app/formats/JsonText.h"

namespace {

// A reading of the CSV: empty where there is none (a harmonic out of reach).
std::string field(double value, const char* format = "%.4f") {
  return std::isfinite(value) ? printedNumber(format, value) : std::string();
}

}  // namespace

std::string logSweepOrigin(const dsp::SweepResponse& r) {
  return r.absolutePhase ? "absolute phase from the reference channel" : "phase relative to the impulse response's peak";
}

std::string logSweepDelay(const dsp::SweepResponse& r, double rate) {
  return printedNumber("%.2f", r.delaySamples) + " samples (" + printedNumber("%.3f", 1000 * r.delaySamples / rate) +
         " ms) " + (r.absolutePhase ? "after the reference" : "from the recording's start");
}

std::string logSweepCsv(const dsp::SweepResponse& r, double rate) {
  std::string text = "frequency_hz,level_db,phase_deg,group_delay_ms,h2_db,h3_db,h4_db,h5_db\n";
  for (size_t i = 0; i < r.frequencyHz.size(); ++i) {
    text += printedNumber("%.4f", r.frequencyHz[i]) + "," + field(r.magnitudeDb[i]) + "," + field(r.phaseDeg[i], "%.3f") +
            "," + field(r.groupDelayMs[i], "%.5f");
    for (const std::vector<double>& h : r.harmonicDb) text += "," + field(h[i], "%.3f");
    text += "\n";
  }
  return text + "# " + logSweepOrigin(r) + "; delay " + logSweepDelay(r, rate) + "\n";
}
