#include "app/formats/DistortionCsv.h"

#include <cmath>

#include "app/formats/JsonText.h"

namespace {

// The cell of a level: empty without one.
std::string cell(double value, const char* format, bool present = true) {
  return present && std::isfinite(value) ? printedNumber(format, value) : std::string();
}

}  // namespace

std::string distortionCsvHeader() {
  std::string line = "frequency_hz,level_dbfs,thd_db,thd_percent,thd_n_db,thd_n_percent,sinad_db,snr_db,noise_db";
  for (int order = 2; order <= dsp::DistortionReading::kHighestOrder; ++order)
    line += ",h" + std::to_string(order) + "_db";
  return line + "\n";
}

std::string distortionCsvRow(double frequencyHz, double levelDbfs, const dsp::DistortionReading& r) {
  const bool thd = r.valid && r.harmonicsInBand > 0;
  std::string line = printedNumber("%.3f", frequencyHz) + "," + printedNumber("%.2f", levelDbfs);
  line += "," + cell(r.thdDb, "%.2f", thd) + "," + cell(r.thdPercent, "%.6g", thd);
  line += "," + cell(r.thdnDb, "%.2f", r.valid) + "," + cell(r.thdnPercent, "%.6g", r.valid);
  line += "," + cell(r.sinadDb, "%.2f", r.valid) + "," + cell(r.snrDb, "%.2f", r.valid);
  line += "," + cell(r.noiseDb, "%.2f", r.valid);
  for (const dsp::HarmonicReading& h : r.harmonics) line += "," + cell(h.levelDb, "%.2f", r.valid && h.inBand);
  return line + "\n";
}
