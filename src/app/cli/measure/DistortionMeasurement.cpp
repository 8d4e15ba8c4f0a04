#include "app/cli/measure/DistortionMeasurement.h"
#include "app/formats/JsonText.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>

#include "dsp/WindowShape.h"

namespace measure {

namespace {

using Clock = std::chrono::steady_clock;

Settings readoutSettings(Settings settings, double lowestHz) {
  settings.windowTag = static_cast<int>(WindowShape::BlackmanHarris7);
  settings.bandwidthTag = DistortionMeasurement::bandwidthTagFor(settings.bandwidthTag, lowestHz);
  return settings;
}

// Two levels in dB agree: within the tolerance of each other, both below
// the readout's own residual, or both without a level (no harmonic in
// reach, no power).
bool agree(double a, double b) {
  if (!std::isfinite(a) || !std::isfinite(b)) return std::isfinite(a) == std::isfinite(b);
  const double residual = DistortionMeasurement::kResidualDb;
  return std::fabs(a - b) <= DistortionMeasurement::kSettledDb || (a < residual && b < residual);
}

bool agree(const dsp::DistortionReading& a, const dsp::DistortionReading& b) {
  return a.valid && b.valid && agree(a.fundamentalDb, b.fundamentalDb) && agree(a.thdDb, b.thdDb) &&
         agree(a.thdnDb, b.thdnDb);
}

bool agree(const dsp::IntermodulationReading& a, const dsp::IntermodulationReading& b) {
  return a.valid && b.valid && agree(a.f1Db, b.f1Db) && agree(a.f2Db, b.f2Db) && agree(a.imdDb, b.imdDb);
}

// "1000 Hz", or "60 Hz + 7000 Hz" for two sines.
std::string described(const GeneratorTone& tone) {
  std::string text = printedNumber("%g Hz", tone.frequencyHz);
  if (tone.secondFrequencyHz > 0) text += printedNumber(" + %g Hz", tone.secondFrequencyHz);
  return text;
}

}  // namespace

int DistortionMeasurement::bandwidthTagFor(int asked, double lowestHz) {
  // The menu's tags are 10·log10 of the RBW in Hz, in steps of 5.
  int coarsest = kCoarsestBandwidthTag;
  if (lowestHz > 0) {
    const double allowed = 10 * std::log10(lowestHz / kTonePerBandwidth);
    coarsest = std::max(coarsest, 5 * static_cast<int>(std::floor(allowed / 5 + 1e-9)));
  }
  return std::min(asked, coarsest);
}

DistortionMeasurement::DistortionMeasurement(const Settings& settings, const dsp::DistortionSettings& band,
                                             double lowestHz)
    : rig_(readoutSettings(settings, lowestHz), false), band_(band) {}

double DistortionMeasurement::resolutionBandwidth() const { return rig_.controller().sharedData.span.bandwidth; }

bool DistortionMeasurement::prepare(std::string* cause) {
  if (!rig_.prepare(cause)) return false;
  rig_.controller().trace->setTraceAverages(kAverages);
  return true;
}

std::optional<DistortionPoint> DistortionMeasurement::measure(const GeneratorTone& tone, std::string* cause,
                                                              const std::function<void()>& step) {
  DistortionPoint point;
  point.tone = tone;
  const std::optional<int> spectra = follow(tone, cause, step, [&] {
    const dsp::DistortionReading reading = read(tone.frequencyHz);
    point.settled = point.spectra > 0 && agree(point.reading, reading);
    point.reading = reading;
    ++point.spectra;
    if (observer_) observer_(point);
    return point.settled;
  });
  if (!spectra) return std::nullopt;
  return point;
}

std::optional<IntermodulationPoint> DistortionMeasurement::measureIntermodulation(
    const GeneratorTone& tone, const dsp::IntermodulationSettings& settings, std::string* cause,
    const std::function<void()>& step) {
  IntermodulationPoint point;
  point.tone = tone;
  dsp::IntermodulationAnalysis analysis;
  std::optional<int> spectra;
  bool configured = true;
  spectra = follow(tone, cause, step, [&] {
    // The window's response is the controller's once it runs.
    if (!analysis.configured() && !analysis.configure(rig_.controller().windowResponse, settings)) {
      configured = false;
      return true;
    }
    const dsp::IntermodulationReading reading = read(analysis);
    point.settled = point.spectra > 0 && agree(point.reading, reading);
    point.reading = reading;
    ++point.spectra;
    return point.settled;
  });
  if (!spectra) return std::nullopt;
  if (!configured) {
    *cause = "the input's spectrum has no bins for the intermodulation of " + described(tone);
    return std::nullopt;
  }
  return point;
}

std::optional<int> DistortionMeasurement::follow(const GeneratorTone& tone, std::string* cause,
                                                 const std::function<void()>& step,
                                                 const std::function<bool()>& take) {
  TrackingGenerator& generator = rig_.generator();
  if (!generator.playTone(tone)) {
    *cause = "the output device '" + rig_.outputName() + "' cannot play " + described(tone) + " at " +
             printedNumber("%g Hz", generator.samplingRate()) + " (below half its rate, at most full scale)";
    return std::nullopt;
  }
  AppDelegate& app = rig_.controller();
  app.trace->resetTraceAverages();
  // No block reaches the engine between the tone's start and this count.
  const int64_t change = app.spectrum ? app.spectrum->samplesSinceClear() : 0;
  int64_t seen = rig_.view().tracesReceived();
  bool meanIsClean = false;  // the trace's mean holds no spectrum left out
  auto lastSpectrum = Clock::now();
  for (int taken = 0;;) {
    rig_.look(step);
    if (std::optional<std::string> gone = rig_.vanished()) {
      *cause = *gone + " during the measurement";
      return std::nullopt;
    }
    const int64_t received = rig_.view().tracesReceived();
    if (received == seen) {
      if (Clock::now() - lastSpectrum > std::chrono::seconds(10)) {
        *cause = "no input from '" + rig_.inputName() + "' at " + described(tone);
        return std::nullopt;
      }
      continue;
    }
    const bool alone = received - seen == 1;
    seen = received;
    lastSpectrum = Clock::now();
    // The spectra left out leave the mean as they came: it starts again
    // after the last of them. The latencies are known once the devices run.
    const int64_t windowStart = app.lastSpectrumEnd() - (app.spectrum ? app.spectrum->windowedBins() : 0);
    if (windowStart < change + staleSamples()) {
      app.trace->resetTraceAverages();
      meanIsClean = false;
      continue;
    }
    if (!meanIsClean && !alone) {
      // One left out may have come in the same look; every later window
      // begins later still.
      app.trace->resetTraceAverages();
      meanIsClean = true;
      continue;
    }
    meanIsClean = true;
    ++taken;
    if (take() || taken >= kMostSpectra) return taken;
  }
}

int64_t DistortionMeasurement::staleSamples() {
  AppDelegate& app = rig_.controller();
  // Spectra come a hop apart once the ring (two hops) is full.
  const int64_t hop = app.spectrum ? app.spectrum->bins() : 0;
  // A device that says nothing of its latency is taken to have less than a
  // hop, as the hop allows for.
  auto latencyOf = [](const EndpointIoHealth& health) {
    return health.latencyKnown ? std::max<int64_t>(0, health.latencyFrames) : int64_t{0};
  };
  return hop + latencyOf(rig_.input().ioHealth()) + latencyOf(rig_.generator().ioHealth());
}

void DistortionMeasurement::stop() { rig_.generator().stopTone(); }

dsp::DistortionReading DistortionMeasurement::read(double fundamentalHz) {
  AppDelegate& app = rig_.controller();
  dsp::DistortionSettings settings = band_;
  settings.fundamentalHz = fundamentalHz;
  dsp::DistortionAnalysis analysis;
  if (!analysis.configure(app.windowResponse, settings)) return {};
  TraceData* trace = app.trace->traceData();
  std::lock_guard guard(trace->lock);
  return analysis.analyse(*trace);
}

dsp::IntermodulationReading DistortionMeasurement::read(const dsp::IntermodulationAnalysis& analysis) {
  TraceData* trace = rig_.controller().trace->traceData();
  std::lock_guard guard(trace->lock);
  return analysis.analyse(*trace);
}

}  // namespace measure
