#include "app/cli/analyze/LevelReport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "app/formats/JsonText.h"
#include "dsp/PlotTrace.h"

namespace analyze {

namespace {

// A level in the unit: two decimals for a dB-like unit, six significant
// digits for a linear one.
std::string inUnit(const dsp::LevelScale& scale, double dB) {
  return printedNumber(scale.logarithmic() ? "%.2f" : "%.6g", scale.fromDb(dB));
}

}  // namespace

LevelReport measureLevels(const TraceData& trace, double lower, double upper, double rbw, int fraction,
                          dsp::Weighting weighting) {
  LevelReport report;
  report.weighting = weighting;
  if (trace.bins <= 0 || !(trace.binsPerHertz > 0) || !(rbw > 0)) return report;
  dsp::BandAnalysis analysis;
  // Bands from the first bin above 0 Hz (those narrower than the RBW allows
  // are marked unresolved); the overall level needs no bands, and a
  // configuration of octaves serves it.
  const double lowest = std::max(lower, 1.0 / static_cast<double>(trace.binsPerHertz));
  analysis.configure(fraction > 0 ? fraction : 1, lowest, upper, trace.binsPerHertz, trace.bins, rbw);
  report.overallPower = analysis.overallPower(trace.averaged, trace.bins, lower, upper, nullptr);
  if (fraction <= 0) return report;
  std::vector<double> levels(analysis.bands().size());
  analysis.measure(trace.averaged, trace.bins, nullptr, levels.data());
  for (size_t i = 0; i < levels.size(); ++i)
    report.bands.push_back({analysis.bands()[i], levels[i], analysis.resolved(static_cast<int>(i))});
  return report;
}

std::optional<double> decibels(double power) {
  if (!(power > 0) || !std::isfinite(power)) return std::nullopt;
  return 10 * std::log10(power);
}

std::string bandsCsv(const LevelReport& report, const dsp::LevelScale& scale) {
  std::string out =
      std::string("nominal_hz,center_hz,lower_hz,upper_hz,level_") + dsp::levelUnitKeyword(scale.unit()) + ",resolved\n";
  for (const LevelReport::Band& b : report.bands) {
    const std::optional<double> level = decibels(b.power);
    out += printedNumber("%g", b.band.nominal) + "," + printedNumber("%.10g", b.band.center) + "," + printedNumber("%.10g", b.band.lower) +
           "," + printedNumber("%.10g", b.band.upper) + "," + (level ? inUnit(scale, *level) : std::string()) + "," +
           (b.resolved ? "true" : "false") + "\n";
  }
  return out;
}

std::string jsonLine(const FileFacts& f, const LevelReport& report, bool withBands, const dsp::LevelScale& scale,
                     const std::string& moreMembers) {
  const bool unit = !scale.isDesigned();
  // ',"level":…' in the unit beside a level in dB; null without power.
  auto level = [&](std::optional<double> dB) {
    if (!unit) return std::string();
    return ",\"level\":" + (dB && std::isfinite(*dB) ? inUnit(scale, *dB) : std::string("null"));
  };
  std::string out = "{\"file\":" + jsonString(f.file);
  out += ",\"sampling_rate_hz\":" + printedNumber("%g", f.samplingRate);
  out += ",\"seconds\":" + printedNumber("%.3f", f.seconds);
  out += ",\"channels\":" + std::to_string(f.channels);
  if (f.peakFrequency && f.peakLevel)
    out += ",\"peak\":{\"frequency_hz\":" + jsonNumber(f.peakFrequency, "%.3f") +
           ",\"level_db\":" + jsonNumber(f.peakLevel, "%.2f") + level(f.peakLevel) + "}";
  else
    out += ",\"peak\":null";
  out += ",\"overall_level_db\":" + jsonNumber(decibels(report.overallPower), "%.2f");
  if (unit) {
    const std::optional<double> overall = decibels(report.overallPower);
    out += ",\"overall_level\":" + (overall ? inUnit(scale, *overall) : std::string("null"));
  }
  out += ",\"units\":" + jsonString(dsp::levelUnitName(scale.unit()));
  out += ",\"weighting\":" + jsonString(dsp::weightingName(report.weighting));
  if (f.averagedSeconds > 0) out += ",\"averaged_seconds\":" + printedNumber("%.3f", f.averagedSeconds);
  if (withBands) {
    out += ",\"bands\":[";
    for (size_t i = 0; i < report.bands.size(); ++i) {
      const LevelReport::Band& b = report.bands[i];
      if (i > 0) out += ",";
      out += "{\"center_hz\":" + printedNumber("%.10g", b.band.center) + ",\"nominal_hz\":" + printedNumber("%g", b.band.nominal) +
             ",\"lower_hz\":" + printedNumber("%.10g", b.band.lower) + ",\"upper_hz\":" + printedNumber("%.10g", b.band.upper) +
             ",\"level_db\":" + jsonNumber(decibels(b.power), "%.2f") + level(decibels(b.power)) +
             ",\"resolved\":" + (b.resolved ? "true" : "false") + "}";
    }
    out += "]";
  }
  if (!moreMembers.empty()) out += "," + moreMembers;
  return out + "}";
}

}  // namespace analyze
