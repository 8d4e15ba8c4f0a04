#include "app/formats/DataExport.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "dsp/PlotTrace.h"

namespace {

// Fixed-point text with the given decimals, independent of the locale.
void append(std::string& out, double value, int decimals) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
  out.append(text, result.ptr);
}

// A linear level with six significant digits, whatever its magnitude.
void appendLevelValue(std::string& out, double level) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, level, std::chars_format::general, 6);
  out.append(text, result.ptr);
}

// The level of bin k as a marker reads it, in the unit: power scaled by the
// reference level and normalised by the square of the trace's bin count.
// Empty when the bin holds no power (its level is minus infinity).
void appendLevel(std::string& out, const TraceData& trace, long k, float refScale, const dsp::LevelScale& levels) {
  const double power = trace.averaged[k];
  if (!(power > 0) || trace.bins <= 0) return;
  const double bins = trace.bins;
  const double level = levels.fromDb(10.0 * std::log10(power * refScale / bins / bins));
  if (levels.logarithmic()) {
    append(out, level, 4);
    return;
  }
  appendLevelValue(out, level);
}

// The level of live bin k over the reference's at the same frequency, each
// as mean square, plus the reference level; empty where either has no power.
void appendRelativeLevel(std::string& out, const TraceData& trace, long k, const TraceData& reference,
                         int referenceBins, double frequency, float refScale) {
  const long r = reference.binsPerHertz > 0 ? std::lround(frequency * reference.binsPerHertz) : -1;
  if (r < 0 || r >= referenceBins || trace.bins <= 0) return;
  const double live = trace.averaged[k] / (static_cast<double>(trace.bins) * trace.bins);
  const double stored = reference.averaged[r] / (static_cast<double>(reference.bins) * reference.bins);
  if (!(live > 0) || !(stored > 0)) return;
  append(out, 10.0 * std::log10(live / stored * refScale), 4);
}

}  // namespace

std::string traceCsv(const TraceExportSettings& s, const TraceData& trace, const TraceData* reference) {
  std::string out;
  out += "# SpecAn trace\n# resolution bandwidth (Hz): ";
  append(out, s.resolutionBandwidth, 4);
  out += "\n# window: " + s.window + "\n# detector: " + s.detector;
  if (s.sweep.empty()) {
    out += "\n# averaged traces: ";
    append(out, trace.traces, 0);
  } else {
    out += "\n# sweep: " + s.sweep;
  }
  if (s.averagedSeconds > 0) {
    out += "\n# averaged over (s): ";
    append(out, s.averagedSeconds, 3);
  }
  out += "\n# sampling rate (Hz): ";
  append(out, s.samplingRate, 1);
  out += "\n# span (Hz): ";
  append(out, s.startFrequency, 1);
  out += " to ";
  append(out, s.endFrequency, 1);
  const bool relative = s.normalised && reference;
  const dsp::LevelScale levels = relative ? dsp::LevelScale{} : s.levels;
  const std::string unit = dsp::levelUnitName(levels.unit());
  const std::string column = dsp::levelUnitKeyword(levels.unit());
  if (!levels.isDesigned()) {
    out += "\n# levels in: " + unit;
    if (!s.calibration.empty()) out += " (" + s.calibration + ")";
  }
  out += "\n# reference level (" + unit + "): ";
  const double referenceDb = s.refScale > 0 ? 10.0 * std::log10(static_cast<double>(s.refScale)) : 0.0;
  if (levels.logarithmic()) {
    append(out, levels.fromDb(referenceDb), 2);
  } else {
    appendLevelValue(out, levels.fromDb(referenceDb));
  }
  if (!s.weighting.empty() && s.weighting != "Z") out += "\n# weighting: " + s.weighting + " (levels in dB(" + s.weighting + "))";
  if (s.smoothing > 0) out += "\n# smoothing: 1/" + std::to_string(s.smoothing) + " octave";
  out += "\n# a level left empty: no power in that bin\n";
  if (relative)
    out += "# normalised: the live trace relative to the reference (their ratio in dB, plus the reference level)\n"
           "frequency_hz,relative_db\n";
  else
    out += reference ? "frequency_hz,level_" + column + ",reference_" + column + "\n" : "frequency_hz,level_" + column + "\n";

  const int bins = std::clamp(trace.bins, 0, TraceData::kCapacity);
  const double bph = trace.binsPerHertz;
  if (bins == 0 || !(bph > 0)) return out;
  // The bins whose frequencies lie inside the displayed span.
  const long first = std::max(0L, static_cast<long>(std::ceil(s.startFrequency * bph - 1e-9)));
  const long last = std::min(static_cast<long>(bins) - 1, static_cast<long>(std::floor(s.endFrequency * bph + 1e-9)));
  const int referenceBins = reference ? std::clamp(reference->bins, 0, TraceData::kCapacity) : 0;
  for (long k = first; k <= last; ++k) {
    const double frequency = static_cast<double>(k) / bph;
    append(out, frequency, 3);
    out += ',';
    if (relative) {
      appendRelativeLevel(out, trace, k, *reference, referenceBins, frequency, s.refScale);
      out += '\n';
      continue;
    }
    appendLevel(out, trace, k, s.refScale, levels);
    if (reference) {
      out += ',';
      // The reference's own bin at this frequency, when it has one.
      const long r = reference->binsPerHertz > 0 ? std::lround(frequency * reference->binsPerHertz) : -1;
      if (r >= 0 && r < referenceBins) appendLevel(out, *reference, r, s.refScale, levels);
    }
    out += '\n';
  }
  return out;
}
