#include "endpoints/LogSweepRun.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "dsp/PlotTrace.h"

namespace {

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string hertz(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

float loudest(const float* samples, int n) {
  float peak = 0;
  for (int i = 0; i < n; ++i) peak = std::max(peak, std::fabs(samples[i]));
  return peak;
}

}  // namespace

LogSweepRun::LogSweepRun(AnalyzerInput& input, TrackingGeneratorEndpoint& generator)
    : input_(input), generator_(generator) {}

LogSweepRun::~LogSweepRun() { cancel(); }

bool LogSweepRun::start(const LogSweepPlan& plan, double outputRate, double inputRate, std::string* cause) {
  cancel();
  if (std::fabs(outputRate - inputRate) > 0.5) {
    *cause = "the output plays at " + hertz(outputRate) + " Hz and the input records at " + hertz(inputRate) +
             " Hz: a sweep needs one rate on both";
    return false;
  }
  if (!(outputRate > 0)) {
    *cause = "the output has no sampling rate";
    return false;
  }
  plan_ = plan;
  plan_.sweeps = std::max(1, plan_.sweeps);
  dsp::LogSweepSettings design;
  design.sampleRate = outputRate;
  design.length = plan_.length;
  design.lowestHz = plan_.lowerHz;
  design.highestHz = plan_.upperHz;
  design.peak = plan_.peak;
  sweep_.emplace(design);
  // The tail holds the loop's delay and the response's decay: an eighth of
  // L at least, and a quarter of a second for a sound server's latency.
  const int64_t tail = std::max<int64_t>(std::llround(sweep_->rateSamples() / 8), std::llround(outputRate / 4));
  const int64_t length = sweep_->length() + tail;
  deconvolution_ = std::make_unique<dsp::SweepDeconvolution>(*sweep_, length);
  recording_ = std::make_unique<SweepRecording>(length, plan_.referenceChannel > 0);
  response_ = smoothed_ = {};
  failure_.clear();
  done_ = repeated_ = 0;
  seconds_ = analysisSeconds_ = 0;
  started_ = -1;  // set when the first sweep begins to play
  analysed_ = false;
  input_.setSecondChannel(plan_.referenceChannel);
  input_.setTap(recording_.get());
  generator_.playSilence();
  waitSamples_ = std::min<int64_t>(length, std::llround(inputRate / 4));
  recording_->arm();
  phase_ = Phase::waiting;
  return true;
}

void LogSweepRun::playNext() {
  gapsBefore_ = input_.ioHealth().gaps + generator_.ioHealth().gaps;
  recording_->arm();
  if (!generator_.playSweep(*sweep_)) {
    fail("the output's rate changed: the sweep was made for " + hertz(sweep_->sampleRate()) + " Hz");
    return;
  }
  phase_ = Phase::sweeping;
}

LogSweepRun::Phase LogSweepRun::advance() {
  switch (phase_) {
    case Phase::waiting:
      if (recording_->recorded() < waitSamples_) break;
      recording_->disarm();
      if (started_ < 0) started_ = now();
      playNext();
      break;
    case Phase::sweeping: {
      if (!recording_->complete()) break;
      recording_->disarm();
      if (input_.ioHealth().gaps + generator_.ioHealth().gaps != gapsBefore_) {
        if (++repeated_ > kMostRepeats) {
          fail("drop-outs met " + std::to_string(repeated_) + " sweeps: no clean recording");
          break;
        }
        // As before the first sweep, the output runs silent until a quarter
        // of a second of input has come through: a stream the drop-out
        // stopped runs again before the sweep starts, so that no part of
        // its start goes to a server starting the stream.
        generator_.playSilence();
        recording_->arm();
        phase_ = Phase::waiting;
        break;
      }
      if (plan_.referenceChannel > 0 && recording_->referenceMissing()) {
        fail("the input did not deliver the reference channel " + std::to_string(plan_.referenceChannel));
        break;
      }
      deconvolution_->add(recording_->measured(), recording_->reference());
      if (++done_ < plan_.sweeps) {
        playNext();
        break;
      }
      generator_.stopSweep();
      input_.setTap(nullptr);
      input_.setSecondChannel(0);
      phase_ = Phase::analysing;
      analysisStarted_ = now();
      analysed_ = false;
      analysis_ = std::thread([this] {
        deconvolution_->deconvolve();
        response_ = deconvolution_->response(readingSettings(0));
        if (plan_.smoothing > 0) smoothed_ = deconvolution_->response(readingSettings(plan_.smoothing));
        analysed_.store(true, std::memory_order_release);
      });
      break;
    }
    case Phase::analysing:
      if (analysed_.load(std::memory_order_acquire)) finishAnalysis();
      break;
    default:
      break;
  }
  return phase_;
}

dsp::SweepReadingSettings LogSweepRun::readingSettings(int smoothing) const {
  dsp::SweepReadingSettings reading;
  reading.lowHz = plan_.lowerHz;
  reading.highHz = plan_.upperHz;
  reading.pointsPerOctave = plan_.pointsPerOctave;
  reading.smoothing = smoothing;
  return reading;
}

dsp::SweepResponse LogSweepRun::smoothedResponse(int smoothing) const {
  if (phase_ != Phase::done || smoothing <= 0) return response_;
  if (smoothing == plan_.smoothing) return smoothed_;
  return deconvolution_->response(readingSettings(smoothing));
}

void LogSweepRun::finishAnalysis() {
  analysis_.join();
  const double end = now();
  analysisSeconds_ = end - analysisStarted_;
  seconds_ = end - started_;
  phase_ = Phase::done;
  // Nothing came back: the whole response below -100 dB.
  const int n = deconvolution_->transformLength();
  if (!response_.valid || loudest(deconvolution_->impulseResponse(), n) < 1e-5f) {
    failure_ = "no signal returned from '" + input_.deviceName() + "': check the connection";
    phase_ = Phase::failed;
  } else if (const float* reference = deconvolution_->referenceResponse(); reference && loudest(reference, n) < 1e-3f) {
    failure_ = "the reference channel " + std::to_string(plan_.referenceChannel) + " carries no sweep: wire the output to it";
    phase_ = Phase::failed;
  }
}

void LogSweepRun::release() {
  if (analysis_.joinable()) analysis_.join();
  if (phase_ == Phase::waiting || phase_ == Phase::sweeping) generator_.stopSweep();
  if (recording_) {
    recording_->disarm();
    input_.setTap(nullptr);
    input_.setSecondChannel(0);
  }
}

void LogSweepRun::cancel() {
  if (!running()) return;
  release();
  phase_ = Phase::idle;
}

void LogSweepRun::fail(const std::string& cause) {
  release();
  failure_ = cause;
  phase_ = Phase::failed;
}

double LogSweepRun::progress() const {
  switch (phase_) {
    case Phase::sweeping: {
      const double planned = plan_.sweeps + repeated_;
      const double part = recording_ ? static_cast<double>(recording_->recorded()) / recording_->length() : 0;
      return std::clamp((done_ + repeated_ + part) / planned, 0.0, 1.0);
    }
    case Phase::analysing:
    case Phase::done:
      return 1;
    default:
      return 0;
  }
}

void LogSweepRun::responseAsTrace(const dsp::SweepResponse& response, TraceData& trace, double refScale,
                                  double offsetDb) const {
  trace.traces = 1;
  // As the plot and the reference check read a bin: power · refScale / bins²
  // is the level.
  const double bins = trace.bins;
  const double toPower = bins * bins / refScale;
  const dsp::SweepResponse& r = response;
  // The span's edge bins, which a tracking sweep of the span measures, lie
  // up to a grid step beyond the grid: the end step's slope reaches them.
  const double binHz = 1 / static_cast<double>(trace.binsPerHertz);
  const double from = std::min(plan_.lowerHz - binHz, r.frequencyHz.empty() ? 0.0 : r.frequencyHz.front());
  const double to = std::max(plan_.upperHz + binHz, r.frequencyHz.empty() ? 0.0 : r.frequencyHz.back());
  const size_t points = r.frequencyHz.size();
  size_t i = 0;
  for (int k = 0; k < trace.bins; ++k) {
    trace.averaged[k] = 0;
    const double f = k * binHz;
    if (points == 0 || f < from || f > to || !(f > 0)) continue;
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
