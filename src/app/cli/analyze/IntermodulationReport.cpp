#include "app/cli/analyze/IntermodulationReport.h"

#include <cmath>
#include <cstdio>

#include "app/cli/analyze/DistortionReport.h"
#include "app/formats/JsonText.h"

namespace analyze {

namespace {

std::optional<double> finite(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  return value;
}

}  // namespace

std::optional<dsp::IntermodulationReading> readIntermodulation(const Options& options, const std::string& path,
                                                               std::string* cause) {
  dsp::IntermodulationReading reading;
  reading.standard = options.imd.value_or(dsp::IntermodulationStandard::Smpte);
  auto read = [&](const WindowResponse& response, const TraceData& trace) {
    dsp::IntermodulationSettings settings;
    settings.standard = reading.standard;
    settings.f1Hz = options.lowTone;
    settings.f2Hz = options.highTone;
    dsp::IntermodulationAnalysis analysis;
    if (analysis.configure(response, settings)) reading = analysis.analyse(trace);
  };
  if (!analyseForReadout(options, path, cause, read)) return std::nullopt;
  return reading;
}

std::string intermodulationSummary(const dsp::IntermodulationReading& r) {
  const std::string name = dsp::intermodulationStandardName(r.standard);
  if (!r.valid) return ", no tones resolved for the IMD (" + name + ") readout";
  if (r.ordersInBand == 0 || !std::isfinite(r.imdDb)) return ", IMD (" + name + ") none";
  char text[64];
  std::snprintf(text, sizeof text, "%.2f dB", r.imdDb);
  return ", IMD (" + name + ") " + text;
}

std::string intermodulationJson(const dsp::IntermodulationReading& r) {
  if (!r.valid) return "\"intermodulation\":null";
  const bool any = r.ordersInBand > 0;
  std::string out = "\"intermodulation\":{\"standard\":" + jsonString(dsp::intermodulationStandardName(r.standard));
  out += ",\"f1_hz\":" + jsonNumber(r.f1Hz, "%.3f") + ",\"f2_hz\":" + jsonNumber(r.f2Hz, "%.3f");
  out += ",\"imd_db\":" + jsonNumber(any ? finite(r.imdDb) : std::nullopt, "%.2f");
  out += ",\"imd_percent\":" + jsonNumber(any ? finite(r.imdPercent) : std::nullopt, "%.6g");
  out += ",\"products\":[";
  for (int i = 0; i < r.productCount; ++i) {
    const dsp::IntermodulationProduct& p = r.products[static_cast<size_t>(i)];
    if (i > 0) out += ",";
    out += "{\"order\":" + std::to_string(p.order) + ",\"frequency_hz\":" + jsonNumber(p.frequency, "%.3f") +
           ",\"level_db\":" + jsonNumber(p.inBand ? finite(p.levelDb) : std::nullopt, "%.2f") +
           ",\"in_band\":" + (p.inBand ? "true" : "false") + "}";
  }
  out += "],\"orders\":[";
  for (int i = 0; i < r.orderCount; ++i) {
    const dsp::IntermodulationOrder& o = r.orders[static_cast<size_t>(i)];
    if (i > 0) out += ",";
    out += "{\"order\":" + std::to_string(o.order) +
           ",\"level_db\":" + jsonNumber(o.inBand ? finite(o.levelDb) : std::nullopt, "%.2f") +
           ",\"percent\":" + jsonNumber(o.inBand ? finite(o.percent) : std::nullopt, "%.6g") +
           ",\"in_band\":" + (o.inBand ? "true" : "false") + "}";
  }
  return out + "]}";
}

}  // namespace analyze
