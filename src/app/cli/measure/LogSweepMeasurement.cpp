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

}  // namespace

LogSweepMeasurement::LogSweepMeasurement(const Settings& settings, const LogSweepPlan& sweep, bool withImage)
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
  LogSweepPlan plan = options_;
  plan.peak = settings_.amplitude.value_or(TrackingGenerator::kAmplitude);
  run_ = std::make_unique<LogSweepRun>(rig_.input(), rig_.generator());
  if (!run_->start(plan, rig_.generator().samplingRate(), rig_.input().currentSamplingRate(), cause)) return false;
  auto lastMove = Clock::now();
  int64_t lastRecorded = run_->recorded();
  for (;;) {
    const LogSweepRun::Phase before = run_->phase();
    rig_.look(step);
    if (std::optional<std::string> gone = rig_.vanished()) {
      run_->fail(*gone + (before == LogSweepRun::Phase::waiting ? " before the sweep" : " during the sweep"));
      break;
    }
    const LogSweepRun::Phase phase = run_->advance();
    if (phase == LogSweepRun::Phase::done || phase == LogSweepRun::Phase::failed) break;
    // The recording stands still while the run analyses.
    if (run_->recorded() != lastRecorded || phase == LogSweepRun::Phase::analysing) {
      lastRecorded = run_->recorded();
      lastMove = Clock::now();
    } else if (secondsSince(lastMove) > kStalledSeconds) {
      run_->fail("the sweep stalled: no input from '" + rig_.inputName() + "'");
      break;
    }
  }
  if (run_->phase() == LogSweepRun::Phase::failed) {
    *cause = run_->failure();
    return false;
  }
  return true;
}

void LogSweepMeasurement::responseAsTrace(const dsp::SweepResponse& response, TraceData& trace,
                                          double offsetDb) const {
  const TraceData& live = *rig_.controller().trace->traceData();
  trace.bins = std::clamp(live.bins, 0, TraceData::kCapacity);
  trace.samplingRate = live.samplingRate;
  trace.binsPerHertz = live.binsPerHertz;
  run_->responseAsTrace(response, trace, rig_.controller().sharedData.refScale, offsetDb);
}

LogSweepLevels LogSweepMeasurement::levels() const {
  return LogSweepLevels::of(settings_.levels.scale, settings_.levels.response.get(), settings_.levels.description,
                            sweep(), options_.smoothing);
}

platform::PropertyDictionary LogSweepMeasurement::referenceFile() const {
  // At the generator's level, as the tracking sweep reads the device.
  auto trace = std::make_unique<TraceData>();
  responseAsTrace(response(), *trace, sweep().toneLevelDb());
  return referenceDictionary(*trace, printedNumber("%g", options_.lowerHz), printedNumber("%g", options_.upperHz));
}

bool LogSweepMeasurement::writeImage(const std::string& path, std::string* error, int rightScale) {
  const dsp::SweepResponse shown = smoothedResponse();
  const LogSweepLevels read = levels();
  TraceData& live = *rig_.controller().trace->traceData();
  {
    std::lock_guard<std::mutex> lock(live.lock);
    responseAsTrace(shown, live, read.scale.isDesigned() ? 0 : read.generatorDb);
  }
  // The phase and the harmonics beside the gain, as the window draws them.
  rig_.controller().showSweptResponse(shown);
  rig_.controller().showLogSweepScale(rightScale);
  return rig_.writeImage(path, error);
}

}  // namespace measure
