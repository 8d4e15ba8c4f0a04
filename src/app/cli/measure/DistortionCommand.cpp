#include "app/cli/measure/CsvOutput.h"
#include "app/cli/measure/DistortionCommand.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "app/cli/analyze/DistortionReport.h"
#include "app/cli/measure/DistortionMeasurement.h"
#include "app/controller/OptionValues.h"
#include "app/formats/DistortionCsv.h"
#include "app/formats/JsonText.h"
#include "platform/AtomicFile.h"

namespace measure {

namespace {

using option_values::number;
using option_values::valueOf;

// The most tones one command measures.
constexpr int kMostTones = 1000;

// "LOW:HIGH" with both given, LOW below HIGH and both above 0.
std::optional<std::pair<double, double>> range(const std::string& text) {
  std::string cause;
  const std::optional<option_values::Span> span = option_values::span(text, &cause);
  if (!span || !span->lower || !span->upper || !(*span->lower > 0) || !(*span->upper > *span->lower))
    return std::nullopt;
  return std::pair(*span->lower, *span->upper);
}

double levelDbfs(double amplitude) { return 20 * std::log10(amplitude); }

std::string csvRow(const DistortionPoint& p) {
  return distortionCsvRow(p.tone.frequencyHz, levelDbfs(p.tone.amplitude), p.reading);
}

std::string jsonPoint(const DistortionPoint& p) {
  return "{\"frequency_hz\":" + printedNumber("%.3f", p.tone.frequencyHz) +
         ",\"level_dbfs\":" + printedNumber("%.2f", levelDbfs(p.tone.amplitude)) +
         ",\"spectra\":" + std::to_string(p.spectra) + ",\"settled\":" + (p.settled ? "true" : "false") + "," +
         analyze::distortionJson(p.reading) + "}";
}

bool aboveLimit(const DistortionPoint& p, const std::optional<double>& limit) {
  return limit && p.reading.valid && !(p.reading.thdnDb <= *limit);
}

}  // namespace

std::optional<std::string> DistortionOptions::take(const std::string& a) {
  if (a == "--distortion") {
    on = true;
    return "";
  }
  if (auto v = valueOf(a, "--frequency")) {
    frequency = number(*v);
    if (!frequency || !(*frequency > 0)) return "the frequency is a number of Hz above 0";
    return "";
  }
  if (auto v = valueOf(a, "--band")) {
    const auto band = range(*v);
    if (!band) return "the band is LOW:HIGH in Hz, LOW above 0 and below HIGH";
    lowerHz = band->first;
    upperHz = band->second;
    return "";
  }
  if (auto v = valueOf(a, "--limit-thd-n")) {
    limitThdN = number(*v);
    if (!limitThdN) return "the limit is a THD+N in dB (as -90)";
    return "";
  }
  if (auto v = valueOf(a, "--sweep-frequency")) {
    const auto sweep = range(*v);
    if (!sweep) return "the sweep is LOW:HIGH in Hz, LOW above 0 and below HIGH";
    sweepLow = sweep->first;
    sweepHigh = sweep->second;
    return "";
  }
  if (auto v = valueOf(a, "--sweep-level")) {
    const std::size_t first = v->find(':'), second = first == std::string::npos ? first : v->find(':', first + 1);
    if (second != std::string::npos) {
      levelFrom = number(v->substr(0, first));
      levelTo = number(v->substr(first + 1, second - first - 1));
      levelStep = number(v->substr(second + 1));
    }
    if (second == std::string::npos || !levelFrom || !levelTo || !levelStep)
      return "the levels are FROM:TO:STEP in dBFS and dB (as -60:0:3)";
    if (*levelFrom > 0 || *levelTo > 0) return "the generator plays at most at full scale (0 dBFS)";
    if (*levelStep == 0 || (*levelTo - *levelFrom) * *levelStep < 0)
      return "the step goes from FROM towards TO";
    if (std::floor((*levelTo - *levelFrom) / *levelStep + 1e-9) + 1 > kMostTones)
      return "at most " + std::to_string(kMostTones) + " levels";
    return "";
  }
  return std::nullopt;
}

std::optional<std::pair<std::string, std::string>> DistortionOptions::check(std::optional<double> perOctave) {
  if (!on) {
    for (const auto& [given, name] : {std::pair(frequency.has_value(), "--frequency"),
                                      std::pair(limitThdN.has_value(), "--limit-thd-n"),
                                      std::pair(sweepLow.has_value(), "--sweep-frequency"),
                                      std::pair(levelFrom.has_value(), "--sweep-level")})
      if (given) return std::pair(std::string(name), std::string("it belongs to a distortion measurement: give --distortion"));
    if (lowerHz != 20 || upperHz != 20000)
      return std::pair(std::string("--band"), std::string("it belongs to a distortion measurement: give --distortion"));
    return std::nullopt;
  }
  if (sweepLow && levelFrom)
    return std::pair(std::string("--sweep-level"), std::string("one sweep at a time: the frequency's or the level's"));
  if (sweepLow && frequency)
    return std::pair(std::string("--frequency"), std::string("the sweep gives the frequencies"));
  if (perOctave && !sweepLow)
    return std::pair(std::string("--points-per-octave"), std::string("the points are those of --sweep-frequency"));
  pointsPerOctave = perOctave;
  if (sweepLow && std::ceil(std::log2(*sweepHigh / *sweepLow) * pointsPerOctave.value_or(3) - 1e-9) + 1 > kMostTones)
    return std::pair(std::string("--sweep-frequency"), "at most " + std::to_string(kMostTones) + " points");
  return std::nullopt;
}

std::vector<GeneratorTone> DistortionOptions::tones(double amplitude) const {
  std::vector<GeneratorTone> result;
  const double f = frequency.value_or(1000);
  if (sweepLow) {
    // Steps of equal ratio, as many as the octaves need at the density asked
    // for, so that both ends are points.
    const double octaves = std::log2(*sweepHigh / *sweepLow);
    const int steps = std::max(1, static_cast<int>(std::ceil(octaves * pointsPerOctave.value_or(3) - 1e-9)));
    for (int k = 0; k <= steps; ++k)
      result.push_back({k == steps ? *sweepHigh : *sweepLow * std::pow(*sweepHigh / *sweepLow, double(k) / steps),
                        amplitude});
  } else if (levelFrom) {
    const int steps = static_cast<int>(std::floor((*levelTo - *levelFrom) / *levelStep + 1e-9));
    for (int k = 0; k <= steps; ++k)
      result.push_back({f, std::min(1.0, std::pow(10.0, (*levelFrom + k * *levelStep) / 20))});
  } else {
    result.push_back({f, amplitude});
  }
  return result;
}

int runDistortionMeasurement(const DistortionOptions& options, const Settings& settings, double amplitude,
                             const std::string& csv, bool json, const MeasureHooks& hooks) {
  auto say = [&hooks](const std::string& line) {
    std::fprintf(hooks.err, "specan: %s\n", line.c_str());
    std::fflush(hooks.err);
  };
  dsp::DistortionSettings band;
  band.lowerHz = options.lowerHz;
  band.upperHz = options.upperHz;
  const std::vector<GeneratorTone> tones = options.tones(amplitude);
  double lowest = tones.empty() ? 0.0 : tones.front().frequencyHz;
  for (const GeneratorTone& tone : tones) lowest = std::min(lowest, tone.frequencyHz);
  DistortionMeasurement measurement(settings, band, lowest);
  std::string cause;
  if (!measurement.prepare(&cause)) {
    say(cause);
    return 1;
  }
  std::vector<DistortionPoint> points;
  for (const GeneratorTone& tone : tones) {
    std::optional<DistortionPoint> point = measurement.measure(tone, &cause, hooks.step);
    if (!point) {
      measurement.stop();
      say(cause);
      return 1;
    }
    if (!point->reading.valid) {
      measurement.stop();
      say("no fundamental at " + printedNumber("%g Hz", tone.frequencyHz) + " came back from '" +
          measurement.inputName() + "': check the connection");
      return 1;
    }
    if (!point->settled)
      say(printedNumber("%g Hz", tone.frequencyHz) + ": the reading had not settled after " +
          std::to_string(point->spectra) + " spectra; the last is reported");
    points.push_back(*point);
  }
  measurement.stop();

  int status = 0;
  if (!csv.empty()) {
    std::string text = distortionCsvHeader();
    for (const DistortionPoint& p : points) text += csvRow(p);
    if (const std::string problem = writeCsvOutput(csv, text, hooks.out); !problem.empty()) {
      say(problem);
      status = 1;
    }
  }
  const int exceeded = static_cast<int>(
      std::count_if(points.begin(), points.end(), [&](const DistortionPoint& p) { return aboveLimit(p, options.limitThdN); }));
  if (json) {
    std::string line = "{";
    if (points.size() == 1) {
      line += jsonPoint(points.front()).substr(1);
      line.pop_back();
    } else {
      line += "\"points\":[";
      for (std::size_t i = 0; i < points.size(); ++i) line += (i ? "," : "") + jsonPoint(points[i]);
      line += "]";
    }
    line += ",\"rbw_hz\":" + printedNumber("%.3g", measurement.resolutionBandwidth());
    if (options.limitThdN)
      line += ",\"limit\":{\"thd_n_db\":" + printedNumber("%.2f", *options.limitThdN) +
              ",\"exceeded\":" + std::to_string(exceeded) + ",\"within\":" + (exceeded ? "false" : "true") + "}";
    std::fputs((line + "}\n").c_str(), hooks.out);
  } else if (csv != "-") {
    for (const DistortionPoint& p : points)
      std::fprintf(hooks.out, "distortion %g Hz at %.2f dBFS%s\n", p.tone.frequencyHz, levelDbfs(p.tone.amplitude),
                   analyze::distortionSummary(p.reading).c_str());
  }
  if (options.limitThdN && !json)
    std::fprintf(csv == "-" ? hooks.err : hooks.out, "THD+N limit %.2f dB: %s\n", *options.limitThdN,
                 exceeded ? ("above it at " + std::to_string(exceeded) + " of " + std::to_string(points.size()) +
                             (points.size() == 1 ? " tone" : " tones"))
                                .c_str()
                          : "within it");
  std::fflush(hooks.out);
  if (exceeded && status == 0) status = 3;
  return status;
}

}  // namespace measure
