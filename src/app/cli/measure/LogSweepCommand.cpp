#include "app/cli/measure/CsvOutput.h"
#include "app/cli/measure/LogSweepCommand.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "app/controller/ImpulseResponseFile.h"
#include "app/controller/OptionValues.h"
#include "app/formats/JsonText.h"
#include "app/formats/LogSweepCsv.h"
#include "app/formats/ReferenceFile.h"
#include "platform/AtomicFile.h"

namespace measure {

namespace {

// The response's gain against a reference trace measured with the tracking
// generator at the sweep's level: the trace's level less that level, read
// at each point of the grid inside the trace between the two bins around it
// (in dB; an empty bin beside one with power gives way to it). The largest
// difference and where; none with the cause when the trace has no bin
// there.
std::optional<Reading> worstDeviation(const LogSweepMeasurement& m, const ReferenceFile& reference, std::string* cause) {
  const dsp::SweepResponse& r = m.response();
  const double bins = reference.bins;
  const double rate = reference.samplingRate.value_or(static_cast<float>(m.sweep().sampleRate()));
  const double perHertz = reference.binsPerHertz.value_or(static_cast<float>(bins / (rate / 2)));
  const double refScale = m.rig().controller().sharedData.refScale;
  const double generatorDb = m.sweep().toneLevelDb();
  std::optional<Reading> worst;
  const double floor = 1e-30 * bins * bins;
  auto levelOf = [&](long k) {
    return 10 * std::log10(std::max(static_cast<double>((*reference.data)[static_cast<size_t>(k)]), floor) * refScale /
                           (bins * bins));
  };
  for (size_t i = 0; i < r.frequencyHz.size() && reference.data; ++i) {
    const double at = r.frequencyHz[i] * perHertz;
    const long k = static_cast<long>(std::floor(at));
    if (k < 1 || k + 1 >= reference.bins || !std::isfinite(r.magnitudeDb[i])) continue;
    const bool lowEmpty = !((*reference.data)[static_cast<size_t>(k)] > 0);
    const bool highEmpty = !((*reference.data)[static_cast<size_t>(k + 1)] > 0);
    const double t = lowEmpty == highEmpty ? at - k : highEmpty ? 0.0 : 1.0;
    const double expected = (1 - t) * levelOf(k) + t * levelOf(k + 1) - generatorDb;
    const double deviation = r.magnitudeDb[i] - expected;
    if (!worst || std::fabs(deviation) > std::fabs(worst->level)) worst = Reading{deviation, r.frequencyHz[i]};
  }
  if (!worst) *cause = "the reference holds no bin of the measured span";
  return worst;
}

}  // namespace

std::optional<std::string> LogSweepOptions::take(const std::string& a) {
  using option_values::valueOf;
  using option_values::wholeNumber;
  if (auto v = valueOf(a, "--method")) {
    if (*v == "logsweep") on = true;
    else if (*v == "tracking") on = false;
    else return std::string("the method is tracking (the default) or logsweep");
    return std::string();
  }
  if (auto v = valueOf(a, "--length")) {
    const std::optional<int> n = wholeNumber(*v);
    if (!n || *n < (1 << 16) || *n > (1 << 20))
      return std::string("the sweep's length is a number of samples from 65536 to 1048576");
    sweep.length = *n;
    lengthGiven = true;
    return std::string();
  }
  if (auto v = valueOf(a, "--sweeps")) {
    const std::optional<int> n = wholeNumber(*v);
    if (!n || *n < 1 || *n > 64) return std::string("the sweeps are a number from 1 to 64");
    sweep.sweeps = *n;
    sweepsGiven = true;
    return std::string();
  }
  if (auto v = valueOf(a, "--reference-channel")) {
    const std::optional<int> n = wholeNumber(*v);
    if (!n || *n < 1 || *n > 64) return std::string("the reference channel is a number from 1 to 64");
    sweep.referenceChannel = *n;
    return std::string();
  }
  if (auto v = valueOf(a, "--right-scale")) {
    if (*v == "phase") rightScale = SharedData::SweptResponse::wrappedPhase;
    else if (*v == "unwrapped") rightScale = SharedData::SweptResponse::unwrappedPhase;
    else if (*v == "delay") rightScale = SharedData::SweptResponse::groupDelay;
    else return std::string("the right scale is phase, unwrapped or delay");
    rightScaleGiven = true;
    return std::string();
  }
  if (auto v = valueOf(a, "--ir")) {
    if (v->empty() || *v == "-") return std::string("--ir needs a file name");
    ir = *v;
    return std::string();
  }
  return std::nullopt;
}

std::optional<std::pair<std::string, std::string>> LogSweepOptions::check() const {
  if (on) return std::nullopt;
  const std::pair<bool, const char*> own[] = {{lengthGiven, "--length"},
                                              {sweepsGiven, "--sweeps"},
                                              {sweep.referenceChannel > 0, "--reference-channel"},
                                              {!ir.empty(), "--ir"},
                                              {rightScaleGiven, "--right-scale"}};
  for (const auto& [given, name] : own)
    if (given) return std::pair<std::string, std::string>(name, "belongs to the log sweep: give --method=logsweep");
  return std::nullopt;
}

int runLogSweepMeasurement(const LogSweepOptions& options, const Settings& settings, const std::string& csv,
                           const std::string& saveReference, const std::string& png, bool json,
                           const std::optional<ReferenceFile>& reference, const std::string& referencePath,
                           std::optional<double> tolerance, const MeasureHooks& hooks) {
  auto say = [&hooks](const std::string& line) {
    std::fprintf(hooks.err, "specan: %s\n", line.c_str());
    std::fflush(hooks.err);
  };
  LogSweepPlan sweep = options.sweep;
  sweep.lowerHz = settings.lowerSpan.value_or(20);
  sweep.upperHz = settings.upperSpan.value_or(20000);
  sweep.pointsPerOctave = settings.pointsPerOctave.value_or(48);
  sweep.smoothing = settings.smoothing;
  // The controller's span is the sweep's, for the image; the response is
  // smoothed where it is read, not again as the controller's trace.
  Settings rig = settings;
  rig.lowerSpan = sweep.lowerHz;
  rig.upperSpan = sweep.upperHz;
  rig.smoothing = 0;
  LogSweepMeasurement measurement(rig, sweep, !png.empty());
  std::string cause;
  if (!measurement.prepare(&cause) || !measurement.run(&cause, hooks.step)) {
    say(cause);
    return 1;
  }
  // The summary and the reference check read the response as measured; the
  // CSV and the image read it smoothed.
  const dsp::SweepResponse& r = measurement.response();
  const double rate = measurement.sweep().sampleRate();
  const std::string origin = logSweepOrigin(r);
  const std::string delayText = logSweepDelay(r, rate);
  const LogSweepLevels levels = measurement.levels();

  int status = 0;
  std::string error;
  if (!csv.empty()) {
    const std::string text = logSweepCsv(measurement.smoothedResponse(), rate, levels);
    if (const std::string problem = writeCsvOutput(csv, text, hooks.out); !problem.empty()) {
      say(problem);
      status = 1;
    }
  }
  if (!options.ir.empty() && !writeImpulseResponseWav(options.ir, measurement.impulseResponse(),
                                                      measurement.impulseResponseLength(), rate, &error)) {
    say(options.ir + ": the impulse response was not written: " + error);
    status = 1;
  }
  if (!saveReference.empty() &&
      !platform::writePropertyList(platform::PropertyValue(measurement.referenceFile()), saveReference, &error)) {
    say(saveReference + ": the reference trace was not written: " + error);
    status = 1;
  }
  if (!png.empty() && !measurement.writeImage(png, &error, options.rightScale)) {
    say(png + ": the image was not written: " + error);
    status = 1;
  }
  // The loudest and quietest points of the grid, the sensor's response
  // taken out.
  size_t high = 0, low = 0;
  for (size_t i = 0; i < r.magnitudeDb.size(); ++i) {
    if (levels.gainDb(r, i) > levels.gainDb(r, high)) high = i;
    if (levels.gainDb(r, i) < levels.gainDb(r, low)) low = i;
  }
  std::optional<Reading> worst;
  bool within = true;
  if (reference) {
    worst = worstDeviation(measurement, *reference, &cause);
    if (!worst) {
      say(referencePath + ": " + cause);
      return 1;
    }
    within = !tolerance || std::fabs(worst->level) <= *tolerance;
    if (!within && status == 0) status = 3;
  }
  if (json) {
    auto point = [&](size_t i) {
      const std::string level =
          levels.scale.isDesigned()
              ? std::string()
              : ",\"level\":" + printedNumber(levels.scale.logarithmic() ? "%.3f" : "%.6g", levels.levelAt(r, i));
      return "{\"level_db\":" + printedNumber("%.3f", levels.gainDb(r, i)) + level + ",\"frequency_hz\":" +
             printedNumber("%.3f", r.frequencyHz[i]) + "}";
    };
    std::string line = "{\"method\":\"logsweep\",\"lower_hz\":" + printedNumber("%g", sweep.lowerHz) +
                       ",\"upper_hz\":" + printedNumber("%g", sweep.upperHz) +
                       ",\"length\":" + std::to_string(measurement.sweep().length()) +
                       ",\"sweeps\":" + std::to_string(r.recordings) +
                       ",\"repeated_sweeps\":" + std::to_string(measurement.repeatedSweeps()) +
                       ",\"seconds\":" + printedNumber("%.3f", measurement.seconds()) +
                       ",\"analysis_seconds\":" + printedNumber("%.3f", measurement.analysisSeconds()) +
                       ",\"delay_samples\":" + printedNumber("%.3f", r.delaySamples) +
                       ",\"delay_ms\":" + printedNumber("%.4f", 1000 * r.delaySamples / rate) +
                       ",\"origin\":" + (r.absolutePhase ? "\"reference\"" : "\"peak\"") +
                       ",\"max\":" + point(high) + ",\"min\":" + point(low) +
                       ",\"units\":" + jsonString(dsp::levelUnitName(levels.scale.unit()));
    if (levels.smoothing > 0) line += ",\"smoothing\":" + std::to_string(levels.smoothing);
    if (worst)
      line += ",\"reference\":{\"file\":" + jsonString(referencePath) + ",\"worst_db\":" +
              printedNumber("%.3f", worst->level) + ",\"frequency_hz\":" + printedNumber("%.3f", worst->frequency) +
              ",\"within\":" + (within ? "true" : "false") + "}";
    std::fputs((line + "}\n").c_str(), hooks.out);
  } else {
    std::FILE* summary = csv == "-" ? hooks.err : hooks.out;
    std::fprintf(summary,
                 "logsweep %g-%g Hz, %lld samples x %d, %.1f s (analysis %.2f s), %s, delay %s, max %s at "
                 "%.2f Hz, min %s at %.2f Hz%s\n",
                 sweep.lowerHz, sweep.upperHz, static_cast<long long>(measurement.sweep().length()), r.recordings,
                 measurement.seconds(), measurement.analysisSeconds(), origin.c_str(), delayText.c_str(),
                 levels.summaryAt(r, high).c_str(), r.frequencyHz[high], levels.summaryAt(r, low).c_str(),
                 r.frequencyHz[low],
                 measurement.repeatedSweeps() > 0
                     ? (", " + std::to_string(measurement.repeatedSweeps()) + " sweeps repeated after drop-outs").c_str()
                     : "");
    if (worst)
      std::fprintf(summary, "reference %s: worst deviation %+.3f dB at %.2f Hz%s\n", referencePath.c_str(),
                   worst->level, worst->frequency,
                   tolerance ? (within ? ", within the tolerance" : ", outside the tolerance") : "");
  }
  std::fflush(hooks.out);
  return status;
}

}  // namespace measure
