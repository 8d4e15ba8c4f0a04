#include "app/cli/measure/CsvOutput.h"
#include "app/cli/measure/IntermodulationCommand.h"

#include <cmath>
#include <cstdio>

#include "app/cli/analyze/IntermodulationReport.h"
#include "app/cli/measure/DistortionMeasurement.h"
#include "app/controller/OptionValues.h"
#include "app/formats/JsonText.h"
#include "platform/AtomicFile.h"

namespace measure {

namespace {

using option_values::number;
using option_values::valueOf;

// The high tone's amplitude over the low one's: SMPTE's 1:4, CCIF's 1:1.
double highOverLow(dsp::IntermodulationStandard standard) {
  return standard == dsp::IntermodulationStandard::Ccif ? 1.0 : 0.25;
}

std::string cell(double value, const char* format, bool present) {
  return present && std::isfinite(value) ? printedNumber(format, value) : std::string();
}

double levelDbfs(const GeneratorTone& tone) { return 20 * std::log10(tone.amplitude * (1 + tone.secondRatio)); }

// One row; the orders' columns are the standard's (2 … 5 for SMPTE, 2 and
// 3 for CCIF).
std::string csv(const IntermodulationPoint& p) {
  const dsp::IntermodulationReading& r = p.reading;
  const bool any = r.ordersInBand > 0;
  std::string header = "standard,f1_hz,f2_hz,imd_db,imd_percent";
  std::string row = std::string(dsp::intermodulationStandardName(r.standard)) + "," + printedNumber("%.3f", r.f1Hz) + "," +
                    printedNumber("%.3f", r.f2Hz) + "," + cell(r.imdDb, "%.2f", any) + "," +
                    cell(r.imdPercent, "%.6g", any);
  for (int i = 0; i < r.orderCount; ++i) {
    const dsp::IntermodulationOrder& o = r.orders[static_cast<std::size_t>(i)];
    header += ",order" + std::to_string(o.order) + "_db";
    row += "," + cell(o.levelDb, "%.2f", o.inBand);
  }
  return header + "\n" + row + "\n";
}

std::string describedTones(const dsp::IntermodulationSettings& s) {
  return printedNumber("%g Hz", s.f1Hz) + printedNumber(" + %g Hz", s.f2Hz);
}

}  // namespace

std::optional<std::string> IntermodulationOptions::take(const std::string& a) {
  if (auto v = valueOf(a, "--imd")) {
    if (*v == "smpte") standard = dsp::IntermodulationStandard::Smpte;
    else if (*v == "ccif") standard = dsp::IntermodulationStandard::Ccif;
    else return "the intermodulation standard is smpte or ccif";
    return "";
  }
  if (auto v = valueOf(a, "--tones")) {
    std::string cause;
    const std::optional<option_values::Span> tones = option_values::span(*v, &cause);
    if (!tones || !tones->lower || !tones->upper || !(*tones->lower > 0) || !(*tones->upper > *tones->lower))
      return "the tones are F1:F2 in Hz, F1 above 0 and below F2";
    lowTone = *tones->lower;
    highTone = *tones->upper;
    return "";
  }
  if (auto v = valueOf(a, "--limit-imd")) {
    limitImd = number(*v);
    if (!limitImd) return "the limit is an IMD in dB (as -60)";
    return "";
  }
  return std::nullopt;
}

std::optional<std::pair<std::string, std::string>> IntermodulationOptions::check() const {
  if (on()) return std::nullopt;
  if (lowTone > 0)
    return std::pair(std::string("--tones"), std::string("the tones are the intermodulation reading's: give --imd"));
  if (limitImd)
    return std::pair(std::string("--limit-imd"), std::string("it belongs to an intermodulation reading: give --imd"));
  return std::nullopt;
}

dsp::IntermodulationSettings IntermodulationOptions::readout() const {
  dsp::IntermodulationSettings settings;
  settings.standard = standard.value_or(dsp::IntermodulationStandard::Smpte);
  settings.f1Hz = lowTone > 0 ? lowTone : dsp::standardLowTone(settings.standard);
  settings.f2Hz = highTone > 0 ? highTone : dsp::standardHighTone(settings.standard);
  return settings;
}

GeneratorTone IntermodulationOptions::tone(double amplitude) const {
  const dsp::IntermodulationSettings s = readout();
  const double ratio = highOverLow(s.standard);
  GeneratorTone tone;
  tone.frequencyHz = s.f1Hz;
  tone.amplitude = amplitude / (1 + ratio);
  tone.secondFrequencyHz = s.f2Hz;
  tone.secondRatio = ratio;
  return tone;
}

int runIntermodulationMeasurement(const IntermodulationOptions& options, const Settings& settings,
                                  double amplitude, const std::string& csvPath, bool json,
                                  const MeasureHooks& hooks) {
  auto say = [&hooks](const std::string& line) {
    std::fprintf(hooks.err, "specan: %s\n", line.c_str());
    std::fflush(hooks.err);
  };
  DistortionMeasurement measurement(settings, dsp::DistortionSettings{});
  std::string cause;
  if (!measurement.prepare(&cause)) {
    say(cause);
    return 1;
  }
  const dsp::IntermodulationSettings readout = options.readout();
  const std::optional<IntermodulationPoint> point =
      measurement.measureIntermodulation(options.tone(amplitude), readout, &cause, hooks.step);
  measurement.stop();
  if (!point) {
    say(cause);
    return 1;
  }
  const dsp::IntermodulationReading& r = point->reading;
  if (!r.valid) {
    say("the tones " + describedTones(readout) + " did not come back apart from '" + measurement.inputName() +
        "': check the connection");
    return 1;
  }
  if (!point->settled)
    say(describedTones(readout) + ": the reading had not settled after " + std::to_string(point->spectra) +
        " spectra; the last is reported");

  int status = 0;
  if (!csvPath.empty()) {
    if (const std::string problem = writeCsvOutput(csvPath, csv(*point), hooks.out); !problem.empty()) {
      say(problem);
      status = 1;
    }
  }
  // No order in reach reads no IMD, which no limit fails.
  const bool above = options.limitImd && r.ordersInBand > 0 && !(r.imdDb <= *options.limitImd);
  const double level = levelDbfs(point->tone);
  if (json) {
    std::string line = "{\"level_dbfs\":" + printedNumber("%.2f", level) + ",\"spectra\":" +
                       std::to_string(point->spectra) + ",\"settled\":" + (point->settled ? "true" : "false") + "," +
                       analyze::intermodulationJson(r);
    if (options.limitImd)
      line += ",\"limit\":{\"imd_db\":" + printedNumber("%.2f", *options.limitImd) +
              ",\"within\":" + (above ? "false" : "true") + "}";
    std::fputs((line + "}\n").c_str(), hooks.out);
  } else if (csvPath != "-") {
    std::fprintf(hooks.out, "intermodulation %s at %.2f dBFS%s\n", describedTones(readout).c_str(), level,
                 analyze::intermodulationSummary(r).c_str());
  }
  if (options.limitImd && !json)
    std::fprintf(csvPath == "-" ? hooks.err : hooks.out, "IMD limit %.2f dB: %s\n", *options.limitImd,
                 above ? "above it" : "within it");
  std::fflush(hooks.out);
  if (above && status == 0) status = 3;
  return status;
}

}  // namespace measure
