#include "app/cli/analyze/DistortionReport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "app/cli/analyze/FileAnalysis.h"
#include "app/formats/JsonText.h"
#include "dsp/PeakReading.h"
#include "dsp/WindowShape.h"

namespace analyze {

namespace {

// The readout's coarsest RBW: 3.16 Hz, a tag of the RBW menu.
constexpr int kCoarsestTag = 5;

std::optional<double> finite(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  return value;
}

}  // namespace

int distortionBandwidthTag(const Options& options) { return std::min(options.bandwidthTag, kCoarsestTag); }

bool analyseForReadout(const Options& options, const std::string& path, std::string* cause,
                       const std::function<void(const WindowResponse&, const TraceData&)>& read) {
  // The trace as the engine makes it: the whole band, the readout's window
  // and RBW, nothing weighted, smoothed or drawn, levels in the designed dB.
  Options readout;
  readout.bandwidthTag = distortionBandwidthTag(options);
  readout.windowTag = static_cast<int>(WindowShape::BlackmanHarris7);
  readout.channel = options.channel;
  readout.averages = options.averages;
  readout.from = options.from;
  readout.to = options.to;
  FileAnalysis analysis(readout, false);
  if (!analysis.run(path, cause)) return false;
  const Spectrum* engine = analysis.engine();
  const TraceData* trace = analysis.trace();
  if (!engine || !trace) {
    *cause = "no trace";
    return false;
  }
  WindowResponse response;
  response.prepare(*engine);
  read(response, *trace);
  return true;
}

std::optional<dsp::DistortionReading> readDistortion(const Options& options, const std::string& path,
                                                     std::string* cause) {
  dsp::DistortionReading reading;
  auto read = [&](const WindowResponse& response, const TraceData& trace) {
    dsp::DistortionSettings settings;
    settings.lowerHz = options.bandLower;
    settings.upperHz = options.bandUpper;
    settings.fundamentalHz = options.fundamental;
    settings.noiseWeighting = options.weighting;
    dsp::DistortionAnalysis distortion;
    if (distortion.configure(response, settings)) reading = distortion.analyse(trace);
  };
  if (!analyseForReadout(options, path, cause, read)) return std::nullopt;
  return reading;
}

std::string distortionSummary(const dsp::DistortionReading& r) {
  if (!r.valid) return ", no fundamental resolved for the distortion readout";
  std::string line = ", THD ";
  line += r.harmonicsInBand > 0 && std::isfinite(r.thdDb) ? printedNumber("%.2f dB", r.thdDb) : std::string("none");
  line += ", THD+N ";
  line += std::isfinite(r.thdnDb) ? printedNumber("%.2f dB", r.thdnDb) : std::string("none");
  return line;
}

std::string distortionJson(const dsp::DistortionReading& r) {
  if (!r.valid) return "\"distortion\":null";
  const bool thd = r.harmonicsInBand > 0;
  std::string out = "\"distortion\":{\"fundamental_hz\":" + jsonNumber(r.fundamentalHz, "%.3f");
  out += ",\"fundamental_db\":" + jsonNumber(finite(r.fundamentalDb), "%.2f");
  out += ",\"thd_db\":" + jsonNumber(thd ? finite(r.thdDb) : std::nullopt, "%.2f");
  out += ",\"thd_percent\":" + jsonNumber(thd ? finite(r.thdPercent) : std::nullopt, "%.6g");
  out += ",\"thd_n_db\":" + jsonNumber(finite(r.thdnDb), "%.2f");
  out += ",\"thd_n_percent\":" + jsonNumber(finite(r.thdnPercent), "%.6g");
  out += ",\"sinad_db\":" + jsonNumber(finite(r.sinadDb), "%.2f");
  out += ",\"snr_db\":" + jsonNumber(finite(r.snrDb), "%.2f");
  out += ",\"noise_db\":" + jsonNumber(finite(r.noiseDb), "%.2f");
  out += ",\"harmonics\":[";
  for (size_t i = 0; i < r.harmonics.size(); ++i) {
    const dsp::HarmonicReading& h = r.harmonics[i];
    if (i > 0) out += ",";
    out += "{\"order\":" + std::to_string(h.order) + ",\"frequency_hz\":" + jsonNumber(h.frequency, "%.3f") +
           ",\"level_db\":" + jsonNumber(h.inBand ? finite(h.levelDb) : std::nullopt, "%.2f") +
           ",\"in_band\":" + (h.inBand ? "true" : "false") + "}";
  }
  return out + "]}";
}

}  // namespace analyze
