#include "app/cli/measure/DistortionMeasurement.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>

#include "dsp/WindowShape.h"

namespace measure {

namespace {

using Clock = std::chrono::steady_clock;

Settings readoutSettings(Settings settings) {
  settings.windowTag = static_cast<int>(WindowShape::BlackmanHarris7);
  settings.bandwidthTag = std::min(settings.bandwidthTag, DistortionMeasurement::kCoarsestBandwidthTag);
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

std::string printed(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

DistortionMeasurement::DistortionMeasurement(const Settings& settings, const dsp::DistortionSettings& band)
    : rig_(readoutSettings(settings), false), band_(band) {}

bool DistortionMeasurement::prepare(std::string* cause) {
  if (!rig_.prepare(cause)) return false;
  rig_.controller().trace->setTraceAverages(kAverages);
  return true;
}

std::optional<DistortionPoint> DistortionMeasurement::measure(const GeneratorTone& tone, std::string* cause,
                                                              const std::function<void()>& step) {
  TrackingGenerator& generator = rig_.generator();
  if (!generator.playTone(tone)) {
    *cause = "the output device '" + rig_.outputName() + "' cannot play " + printed("%g Hz", tone.frequencyHz) +
             " at " + printed("%g Hz", generator.samplingRate()) + " (below half its rate, at most full scale)";
    return std::nullopt;
  }
  AppDelegate& app = rig_.controller();
  app.trace->resetTraceAverages();
  const int64_t first = rig_.view().tracesReceived();
  int64_t seen = first;
  auto lastSpectrum = Clock::now();
  DistortionPoint point;
  point.tone = tone;
  for (;;) {
    rig_.look(step);
    if (std::optional<std::string> gone = rig_.vanished()) {
      *cause = *gone + " during the measurement";
      return std::nullopt;
    }
    const int64_t received = rig_.view().tracesReceived();
    if (received == seen) {
      if (Clock::now() - lastSpectrum > std::chrono::seconds(10)) {
        *cause = "no input from '" + rig_.inputName() + "' at " + printed("%g Hz", tone.frequencyHz);
        return std::nullopt;
      }
      continue;
    }
    seen = received;
    lastSpectrum = Clock::now();
    // The stale spectra leave the mean as they came: it starts again after
    // the last of them.
    if (received - first <= kStaleSpectra) {
      app.trace->resetTraceAverages();
      continue;
    }
    const dsp::DistortionReading reading = read(tone.frequencyHz);
    ++point.spectra;
    const bool settled = point.spectra > 1 && agree(point.reading, reading);
    point.reading = reading;
    if (settled || point.spectra >= kMostSpectra) {
      point.settled = settled;
      return point;
    }
  }
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

}  // namespace measure
