#include "app/cli/measure/LogSweepMeasurement.h"
#include "app/formats/JsonText.h"
#include "app/formats/ReferenceFile.h"
#include "dsp/PlotTrace.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "ui/MainThread.h"

namespace measure {

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

uint64_t gaps(SweepMeasurement& rig) { return rig.input().ioHealth().gaps + rig.generator().ioHealth().gaps; }

}  // namespace

LogSweepMeasurement::LogSweepMeasurement(const Settings& settings, const LogSweepSettings& sweep, bool withImage)
    : rig_(settings, withImage), settings_(settings), options_(sweep) {}

LogSweepMeasurement::~LogSweepMeasurement() {
  rig_.input().setTap(nullptr);
  rig_.input().setSecondChannel(0);
}

bool LogSweepMeasurement::prepare(std::string* cause) {
  if (!rig_.prepare(cause)) return false;
  const int reference = options_.referenceChannel;
  if (reference > 0 && reference == settings_.inputChannel) {
    *cause = "the reference channel " + std::to_string(reference) + " is the measurement's own channel";
    return false;
  }
  if (reference > rig_.inputChannels()) {
    *cause = "the input device '" + rig_.inputName() + "' has " + std::to_string(rig_.inputChannels()) +
             " channels, no reference channel " + std::to_string(reference);
    return false;
  }
  return true;
}

bool LogSweepMeasurement::run(std::string* cause, const std::function<void()>& step) {
  const float outputRate = rig_.generator().samplingRate();
  const float inputRate = rig_.input().currentSamplingRate();
  if (std::fabs(outputRate - inputRate) > 0.5f) {
    *cause = "the output plays at " + printedNumber("%g", outputRate) + " Hz and the input records at " +
             printedNumber("%g", inputRate) + " Hz: a sweep needs one rate on both";
    return false;
  }
  dsp::LogSweepSettings design;
  design.sampleRate = outputRate;
  design.length = options_.length;
  design.lowestHz = options_.lowerHz;
  design.highestHz = options_.upperHz;
  design.peak = settings_.amplitude.value_or(TrackingGenerator::kAmplitude);
  sweep_.emplace(design);
  // The tail holds the loop's delay and the response's decay: an eighth of
  // L at least, and a quarter of a second for a sound server's latency.
  const int64_t tail = std::max<int64_t>(std::llround(sweep_->rateSamples() / 8), std::llround(outputRate / 4));
  const int64_t length = sweep_->length() + tail;
  deconvolution_ = std::make_unique<dsp::SweepDeconvolution>(*sweep_, length);
  recording_ = std::make_unique<SweepRecording>(length, options_.referenceChannel > 0);
  Input& input = rig_.input();
  input.setSecondChannel(options_.referenceChannel);
  input.setTap(recording_.get());

  // A sound server may start an output stream by mixing it into what its
  // sink had mixed ahead (PulseAudio rewinds the sink), and a monitor of
  // that sink then skips the first of what the stream played: the recording
  // would begin inside the sweep. So the output runs, silent, until a
  // quarter of a second of input has come through after it started.
  rig_.generator().playSilence();
  recording_->arm();
  if (!record(std::min<int64_t>(length, std::llround(inputRate / 4)), step, " before the sweep", cause)) {
    rig_.generator().stopSweep();
    return false;
  }
  recording_->disarm();

  const auto start = Clock::now();
  repeated_ = 0;
  for (int done = 0; done < options_.sweeps;) {
    bool clean = false;
    if (!playOnce(cause, step, &clean)) {
      rig_.generator().stopSweep();
      return false;
    }
    if (!clean) {
      if (++repeated_ > kMostRepeats) {
        rig_.generator().stopSweep();
        *cause = "drop-outs met " + std::to_string(repeated_) + " sweeps: no clean recording";
        return false;
      }
      continue;
    }
    if (options_.referenceChannel > 0 && recording_->referenceMissing()) {
      rig_.generator().stopSweep();
      *cause = "the input did not deliver the reference channel " + std::to_string(options_.referenceChannel);
      return false;
    }
    deconvolution_->add(recording_->measured(), recording_->reference());
    ++done;
  }
  rig_.generator().stopSweep();
  input.setTap(nullptr);
  input.setSecondChannel(0);
  const auto analysis = Clock::now();
  deconvolution_->deconvolve();
  dsp::SweepReadingSettings reading;
  reading.lowHz = options_.lowerHz;
  reading.highHz = options_.upperHz;
  reading.pointsPerOctave = options_.pointsPerOctave;
  response_ = deconvolution_->response(reading);
  analysisSeconds_ = secondsSince(analysis);
  seconds_ = secondsSince(start);

  // Nothing came back: the whole response below -100 dB.
  auto loudest = [](const float* ir, int n) {
    float peak = 0;
    for (int i = 0; i < n; ++i) peak = std::max(peak, std::fabs(ir[i]));
    return peak;
  };
  const int n = deconvolution_->transformLength();
  if (!response_.valid || loudest(deconvolution_->impulseResponse(), n) < 1e-5f) {
    *cause = "no signal returned from '" + rig_.inputName() + "': check the connection";
    return false;
  }
  if (const float* reference = deconvolution_->referenceResponse(); reference && loudest(reference, n) < 1e-3f) {
    *cause = "the reference channel " + std::to_string(options_.referenceChannel) +
             " carries no sweep: wire the output to it";
    return false;
  }
  return true;
}

bool LogSweepMeasurement::playOnce(std::string* cause, const std::function<void()>& step, bool* clean) {
  const uint64_t gapsBefore = gaps(rig_);
  recording_->arm();
  if (!rig_.generator().playSweep(*sweep_)) {
    *cause = "the output's rate changed: the sweep was made for " + printedNumber("%g", sweep_->sampleRate()) + " Hz";
    return false;
  }
  if (!record(recording_->length(), step, " during the sweep", cause)) return false;
  recording_->disarm();
  *clean = gaps(rig_) == gapsBefore;
  return true;
}

bool LogSweepMeasurement::record(int64_t samples, const std::function<void()>& step, const char* when,
                                 std::string* cause) {
  auto lastMove = Clock::now();
  int64_t lastRecorded = recording_->recorded();
  while (recording_->recorded() < samples) {
    rig_.look(step);
    if (std::optional<std::string> gone = rig_.vanished()) {
      *cause = *gone + when;
      return false;
    }
    if (recording_->recorded() != lastRecorded) {
      lastRecorded = recording_->recorded();
      lastMove = Clock::now();
    } else if (secondsSince(lastMove) > kStalledSeconds) {
      *cause = "the sweep stalled: no input from '" + rig_.inputName() + "'";
      return false;
    }
  }
  return true;
}

void LogSweepMeasurement::responseAsTrace(TraceData& trace, double offsetDb) const {
  const TraceData& live = *rig_.controller().trace->traceData();
  trace.bins = std::clamp(live.bins, 0, TraceData::kCapacity);
  trace.samplingRate = live.samplingRate;
  trace.binsPerHertz = live.binsPerHertz;
  trace.traces = 1;
  // As the plot and the reference check read a bin: power · refScale / bins²
  // is the level.
  const double bins = trace.bins;
  const double toPower = bins * bins / rig_.controller().sharedData.refScale;
  const dsp::SweepResponse& r = response_;
  // The span's edge bins, which a tracking sweep of the span measures, lie
  // up to a grid step beyond the grid: the end step's slope reaches them.
  const double binHz = 1 / static_cast<double>(trace.binsPerHertz);
  const double from = std::min(options_.lowerHz - binHz, r.frequencyHz.empty() ? 0.0 : r.frequencyHz.front());
  const double to = std::max(options_.upperHz + binHz, r.frequencyHz.empty() ? 0.0 : r.frequencyHz.back());
  const size_t points = r.frequencyHz.size();
  size_t i = 0;
  for (int k = 0; k < trace.bins; ++k) {
    trace.averaged[k] = 0;
    const double f = k * binHz;
    if (points == 0 || f < from || f > to) continue;
    // The step that holds f, or the end step nearest it.
    while (i + 2 < points && r.frequencyHz[i + 1] < f) ++i;
    const size_t j = std::min(i + 1, points - 1);
    const double a = r.magnitudeDb[i], b = r.magnitudeDb[j];
    double db;
    if (std::isfinite(a) && std::isfinite(b) && j > i)
      db = a + (b - a) * std::log(f / r.frequencyHz[i]) / std::log(r.frequencyHz[j] / r.frequencyHz[i]);
    else if (std::isfinite(a))
      db = a;
    else if (std::isfinite(b))
      db = b;
    else
      continue;
    if (std::isnan(db)) continue;
    trace.averaged[k] = static_cast<float>(toPower * std::pow(10.0, (db + offsetDb) / 10));
  }
}

platform::PropertyDictionary LogSweepMeasurement::referenceFile() const {
  // At the generator's level, as the tracking sweep reads the device.
  auto trace = std::make_unique<TraceData>();
  responseAsTrace(*trace, 10 * std::log10(sweep_->peak() * sweep_->peak() / 2));
  return referenceDictionary(*trace, printedNumber("%g", options_.lowerHz), printedNumber("%g", options_.upperHz));
}

bool LogSweepMeasurement::writeImage(const std::string& path, std::string* error) {
  TraceData& live = *rig_.controller().trace->traceData();
  {
    std::lock_guard<std::mutex> lock(live.lock);
    responseAsTrace(live, 0);
  }
  return rig_.writeImage(path, error);
}

}  // namespace measure
