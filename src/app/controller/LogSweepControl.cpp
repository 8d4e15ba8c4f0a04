// The generator's log sweep mode: Start plays exponential sweeps of the
// span through the run of endpoints/LogSweepRun.h, the run moves on with
// every input block, and its response replaces the trace when the analysis
// ends. The settings keep the run's length, sweeps and reference channel.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>

#include "app/controller/AppDelegate.h"
#include "app/controller/ImpulseResponseFile.h"
#include "app/formats/LogSweepCsv.h"
#include "dsp/OctaveSmoothing.h"
#include "endpoints/LogSweepRun.h"
#include "plot/ResponseScale.h"
#include "ui/Panels.h"

namespace {

constexpr int kShortestLog2 = 16, kLongestLog2 = 20, kDefaultLog2 = 18;
constexpr int kMostSweeps = 64;
// The lowest frequency a sweep of the window measures: a span from 0 Hz
// starts here.
constexpr double kLowestHz = 10;

// A whole number in first … last from a field's text; none for anything else.
std::optional<int> wholeNumberIn(const std::string& text, int first, int last) {
  const char* begin = text.c_str();
  char* end = nullptr;
  const long n = std::strtol(begin, &end, 10);
  while (end && *end == ' ') ++end;
  if (end == begin || (end && *end) || n < first || n > last) return std::nullopt;
  return static_cast<int>(n);
}

}  // namespace

double AppDelegate::steadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void AppDelegate::startLogSweep() {
  auto refuse = [this](const std::string& line) { endLogSweep("Log sweep: " + line); };
  if (!input || !trackingGenerator || !spectrum) return refuse("there is no input or no output to sweep");
  // A file would be recorded as the response to a sweep it never heard.
  if (input->recordsSoundFile())
    return refuse("the input is a sound file; choose the device that hears the generator");
  LogSweepPlan plan;
  int log2 = logSweepLengthPopup && logSweepLengthPopup->indexOfSelectedItem() >= 0 ? logSweepLengthPopup->selectedTag()
                                                                                     : kDefaultLog2;
  log2 = std::clamp(log2, kShortestLog2, kLongestLog2);
  plan.length = int64_t{1} << log2;
  if (logSweepsField && !logSweepsField->stringValue().empty()) {
    const std::optional<int> n = wholeNumberIn(logSweepsField->stringValue(), 1, kMostSweeps);
    if (!n) return refuse("the sweeps are a number from 1 to " + std::to_string(kMostSweeps));
    plan.sweeps = *n;
  }
  if (logSweepReferenceField && !logSweepReferenceField->stringValue().empty()) {
    const std::optional<int> n = wholeNumberIn(logSweepReferenceField->stringValue(), 0, 64);
    if (!n) return refuse("the reference channel is a channel of the input device, or empty for none");
    if (*n > 0 && *n == input->channel()) return refuse("the reference channel is the measured channel");
    plan.referenceChannel = *n;
  }
  plan.lowerHz = std::max<double>(sharedData.span.startFrequency, kLowestHz);
  plan.upperHz = sharedData.span.endFrequency;
  if (!(plan.upperHz > plan.lowerHz)) return refuse("the span lies below " + std::to_string(int(kLowestHz)) + " Hz");
  plan.pointsPerOctave = 48;
  plan.peak = trackingGenerator->amplitude();
  plan.smoothing = logSweepSmoothing();
  // A run of its own for each Start: the input and the generator may have
  // changed since the last.
  if (logSweep_) logSweep_->cancel();
  logSweep_ = std::make_unique<LogSweepRun>(*input, *trackingGenerator);
  std::string cause;
  if (!logSweep_->start(plan, trackingGenerator->samplingRate(), spectrum->samplingRate(), &cause)) return refuse(cause);
  // The plot waits for the response.
  sharedData.sweptResponse.shown = 0;
  trace->clearTrace();
  if (display) display->clearPlot();
  logSweepShownPercent_ = -1;
  logSweepRecorded_ = 0;
  logSweepMoved_ = logSweepClock();
  if (showStatus) showStatus("Log sweep: waiting for the output");
}

void AppDelegate::cancelLogSweep() {
  if (logSweep_ && logSweep_->running()) {
    logSweep_->cancel();
    endLogSweep("Log sweep cancelled");
  }
}

void AppDelegate::endLogSweep(const std::string& line) {
  if (trackingGeneratorButton) {
    trackingGeneratorButton->setState(0);
    trackingGeneratorButton->setTitle("Start");
  }
  if (!line.empty()) say(line);
}

void AppDelegate::advanceLogSweep() {
  const LogSweepRun::Phase phase = logSweep_->advance();
  if (phase == LogSweepRun::Phase::done) return showLogSweepResponse();
  if (phase == LogSweepRun::Phase::failed) return endLogSweep("Log sweep failed: " + logSweep_->failure());
  if (logSweep_->recorded() != logSweepRecorded_ || phase == LogSweepRun::Phase::analysing) {
    logSweepRecorded_ = logSweep_->recorded();
    logSweepMoved_ = logSweepClock();
  }
}

void AppDelegate::logSweepTick() {
  if (!logSweep_ || !logSweep_->running()) return;
  const LogSweepRun::Phase phase = logSweep_->phase();
  if (phase != LogSweepRun::Phase::analysing && logSweepClock() - logSweepMoved_ >= kLogSweepStallSeconds) {
    logSweep_->fail("the sweep stalled: no input from '" + presentInputName() + "'");
    return endLogSweep("Log sweep failed: " + logSweep_->failure());
  }
  if (phase != LogSweepRun::Phase::sweeping && phase != LogSweepRun::Phase::analysing) return;
  // The status line changes with each whole percent.
  const int percent = phase == LogSweepRun::Phase::analysing ? 100 : static_cast<int>(logSweep_->progress() * 100);
  if (percent == logSweepShownPercent_ || !showStatus) return;
  logSweepShownPercent_ = percent;
  char line[96];
  if (phase == LogSweepRun::Phase::analysing)
    std::snprintf(line, sizeof line, "Log sweep: analysing");
  else if (logSweep_->sweepsPlanned() > 1)
    std::snprintf(line, sizeof line, "Log sweep %d of %d: %d %%", std::min(logSweep_->sweepNumber(), logSweep_->sweepsPlanned()),
                  logSweep_->sweepsPlanned(), percent);
  else
    std::snprintf(line, sizeof line, "Log sweep: %d %%", percent);
  showStatus(line);
}

void AppDelegate::showLogSweepResponse() {
  const LogSweepRun& run = *logSweep_;
  TraceData& live = *trace->traceData();
  const int bins = spectrum->bins();
  int lowest = -1, highest = -1;
  {
    std::lock_guard<std::mutex> hold(live.lock);
    live.bins = std::clamp(bins, 0, TraceData::kCapacity);
    live.samplingRate = spectrum->samplingRate();
    live.binsPerHertz = PlotTrace::binsPerHertz(live.bins, live.samplingRate);
    // At the generator's level, as the tracking sweep reads the device.
    run.responseAsTrace(live, sharedData.refScale, run.sweep().toneLevelDb());
    for (int k = 0; k < live.bins; ++k)
      if (live.averaged[k] > 0) {
        if (lowest < 0) lowest = k;
        highest = k;
      }
  }
  // The phase and the harmonics beside it, smoothed as the views smooth the
  // trace.
  if (lowest >= 0) showSweptResponse(run.smoothedResponse(logSweepSmoothing()));
  if (display && lowest >= 0) display->addSweptTrace(&live, lowest, highest);
  if (printView && lowest >= 0) printView->addSweptTrace(&live, lowest, highest);
  const dsp::SweepResponse& r = run.response();
  const double rate = run.sweep().sampleRate();
  char line[200];
  std::snprintf(line, sizeof line, "Log sweep: %d %s in %.1f s, delay %.2f ms (%s)%s", r.recordings,
                r.recordings == 1 ? "sweep" : "sweeps", run.seconds(), 1000 * r.delaySamples / rate,
                r.absolutePhase ? "after the reference" : "to the impulse response's peak",
                run.repeatedSweeps() > 0 ? ", repeated after drop-outs" : "");
  endLogSweep(line);
}

void AppDelegate::showSweptResponse(const dsp::SweepResponse& response) {
  SharedData::SweptResponse& curves = sharedData.sweptResponse;
  const std::vector<double> none(response.frequencyHz.size(), std::nan(""));
  curves.frequencyHz = response.frequencyHz;
  curves.phaseDeg = response.phaseDeg;
  curves.unwrappedPhaseDeg = response.unwrappedPhaseDeg;
  curves.groupDelayMs = response.groupDelayMs;
  curves.h2Db = response.harmonicDb.size() > 0 ? response.harmonicDb[0] : none;
  curves.h3Db = response.harmonicDb.size() > 1 ? response.harmonicDb[1] : none;
  // A sensor's response out of each harmonic at its own frequency, as the
  // trace has it out of the fundamental.
  if (sharedData.sensorResponse && response.harmonicDb.size() > 1) {
    LogSweepLevels levels;
    levels.sensor = sharedData.sensorResponse.get();
    for (size_t i = 0; i < response.frequencyHz.size(); ++i) {
      curves.h2Db[i] = levels.harmonicAt(response, 2, i);
      curves.h3Db[i] = levels.harmonicAt(response, 3, i);
    }
  }
  curves.absolutePhase = response.absolutePhase ? 1 : 0;
  curves.shown = 1;
  logSweepScaleChanged();
}

void AppDelegate::logSweepScaleChanged() {
  const int tag = logSweepScalePopup && logSweepScalePopup->indexOfSelectedItem() >= 0 ? logSweepScalePopup->selectedTag()
                                                                                     : sharedData.sweptResponse.rightScale;
  showLogSweepScale(tag);
}

void AppDelegate::showLogSweepScale(int rightScale) {
  using Curves = SharedData::SweptResponse;
  Curves& curves = sharedData.sweptResponse;
  curves.rightScale = static_cast<uint8_t>(std::clamp(rightScale, 0, 2));
  display::ResponseScale scale{-180, 180, 90};
  // At least 10° or 0.1 ms from the bottom of the scale to its top.
  if (curves.rightScale == Curves::unwrappedPhase) scale = display::responseScale(curves.unwrappedPhaseDeg, 10);
  if (curves.rightScale == Curves::groupDelay) scale = display::responseScale(curves.groupDelayMs, 0.1);
  if (!scale.valid()) scale = {-1, 1, 0.5};
  curves.scaleLow = scale.low;
  curves.scaleHigh = scale.high;
  curves.scaleStep = scale.step;
  if (display) display->setNeedsDisplay();
  if (printView) printView->setNeedsDisplay();
}

bool AppDelegate::showsLogSweepResponse() const {
  return logSweepMode_ && sharedData.sweptResponse.shown && logSweep_ && logSweep_->phase() == LogSweepRun::Phase::done;
}

void AppDelegate::exportImpulseResponse() {
  if (!showsLogSweepResponse()) return;
  ui::Panels* panels = ui::Panels::instance();
  const std::optional<std::string> path =
      panels ? panels->runSavePanel("Export Impulse Response", "impulse-response.wav", "WAV files (*.wav);;All files (*)")
             : std::nullopt;
  if (!path) return;
  std::string error;
  if (!writeImpulseResponseWav(*path, logSweep_->impulseResponse(), logSweep_->impulseResponseLength(),
                               logSweep_->sweep().sampleRate(), &error))
    alertFailure("The impulse response could not be exported to " + *path, error);
  else if (showStatus)
    showStatus("Impulse response exported to " + *path);
}

std::optional<std::string> AppDelegate::logSweepCsv() const {
  if (!showsLogSweepResponse()) return std::nullopt;
  const LogSweepLevels levels = LogSweepLevels::of(sharedData.levelScale, sharedData.sensorResponse.get(),
                                                   sharedData.levelsCalibration, logSweep_->sweep(), logSweepSmoothing());
  return ::logSweepCsv(logSweep_->smoothedResponse(levels.smoothing), logSweep_->sweep().sampleRate(), levels);
}

int AppDelegate::logSweepSmoothing() const {
  const int n = sharedData.treatment.smoothing;
  return dsp::isSmoothingFraction(n) ? n : 0;
}

void AppDelegate::resmoothLogSweep() {
  if (!showsLogSweepResponse()) return;
  showSweptResponse(logSweep_->smoothedResponse(logSweepSmoothing()));
}

bool AppDelegate::logSweepRunning() const { return logSweep_ && logSweep_->running(); }

void AppDelegate::releaseLogSweep() {
  cancelLogSweep();
  logSweep_.reset();
}
