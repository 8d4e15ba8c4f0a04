#pragma once
// A swept-sine measurement of the device under test: the generator plays a
// synchronized exponential sweep (dsp/LogSweep.h) on the output
// (TrackingGenerator::playSweep), the input records what comes back
// (SweepRecording.h) and, with a reference channel, the sweep looped back
// beside the device; the recordings are averaged and deconvolved into the
// impulse responses and read on a log grid (dsp/SweepDeconvolution.h). The
// rig is SweepMeasurement's: the same controller, devices and channels,
// picked the same way; the controller analyses on as in its normal mode.
//
// A sweep that any drop-out met (a gap counted by the input's or the
// output's ioHealth between arming its recording and its end) is thrown
// away and played again, never averaged in; after kMostRepeats repeats in
// all the measurement fails.
//
// Main thread only, as SweepMeasurement; the provider and the main thread
// are the caller's.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/cli/measure/SweepMeasurement.h"
#include "dsp/LogSweep.h"
#include "dsp/SweepDeconvolution.h"
#include "endpoints/SweepRecording.h"

namespace measure {

struct LogSweepSettings {
  int64_t length = int64_t{1} << 18;  // samples of the sweep
  int sweeps = 1;                     // averaged
  int referenceChannel = 0;           // 1-based channel of the input device; 0 none
  double lowerHz = 20, upperHz = 20000;
  double pointsPerOctave = 48;
};

class LogSweepMeasurement {
 public:
  static constexpr int kMostRepeats = 4;
  // Seconds without a block recorded before the input counts as silent.
  static constexpr double kStalledSeconds = 10;

  // withImage: a print view is made, for writeImage() (needs a Qt
  // application).
  LogSweepMeasurement(const Settings& settings, const LogSweepSettings& sweep, bool withImage = false);
  ~LogSweepMeasurement();

  // Launches the controller on the devices; false with the cause, as
  // SweepMeasurement::prepare, or when the reference channel is the
  // measurement's or one the input device does not have.
  bool prepare(std::string* cause);
  // Plays and records the sweeps, then analyses them. step: as
  // SweepMeasurement::run's. False with the cause when the devices' rates
  // differ, a device vanished, the input stalled, drop-outs kept repeating,
  // nothing came back or the reference carried no sweep.
  bool run(std::string* cause, const std::function<void()>& step = {});

  const dsp::LogSweep& sweep() const { return *sweep_; }
  const dsp::SweepResponse& response() const { return response_; }
  // The linear impulse response from the recording's first sample over the
  // recording's tail (where it lives; the harmonics' come before it, wrapped
  // to the transform's end), at the sweep's rate, in the system's gain.
  const float* impulseResponse() const { return deconvolution_->impulseResponse(); }
  int64_t impulseResponseLength() const { return deconvolution_->recordingLength() - sweep_->length(); }
  // Sweeps played again after drop-outs met them.
  int repeatedSweeps() const { return repeated_; }
  // From the first sweep's start to the response, and of that the analysis
  // after the last sweep ended.
  double seconds() const { return seconds_; }
  double analysisSeconds() const { return analysisSeconds_; }
  const std::string& inputName() const { return rig_.inputName(); }
  // The rig, for the reference trace's levels.
  const SweepMeasurement& rig() const { return rig_; }
  // The response as a reference trace file, in the bins of the controller's
  // trace: each bin inside the measured grid the level the tracking sweep
  // would read there at the sweep's level (the grid interpolated in dB over
  // log frequency), the bins outside it empty. The tracking sweep's
  // --reference and the log sweep's read it back as measured.
  platform::PropertyDictionary referenceFile() const;
  // The gain (0 dB for a wire) as the controller's trace, drawn as File >
  // Export Image draws the plot and written whole or not at all to path;
  // false with the reason in *error. The controller's live analysis
  // overwrites it at the next look at the devices.
  bool writeImage(const std::string& path, std::string* error);

 private:
  // Plays one sweep and records it; false with the cause on a failure that
  // ends the measurement, *clean false when a drop-out met it.
  bool playOnce(std::string* cause, const std::function<void()>& step, bool* clean);
  // Looks at the devices until the armed recording holds samples; false
  // with the cause when a device vanished (its name and `when`) or the input
  // stalled.
  bool record(int64_t samples, const std::function<void()>& step, const char* when, std::string* cause);
  // The response into trace, in the bins of the controller's trace: each bin
  // in the grid (and the span's edge bins up to a grid step beyond it) at
  // the level of the gain plus offsetDb, as the trace's power reads a level;
  // the bins outside it empty.
  void responseAsTrace(TraceData& trace, double offsetDb) const;

  SweepMeasurement rig_;
  Settings settings_;
  LogSweepSettings options_;
  std::optional<dsp::LogSweep> sweep_;
  std::unique_ptr<dsp::SweepDeconvolution> deconvolution_;
  std::unique_ptr<SweepRecording> recording_;
  dsp::SweepResponse response_;
  int repeated_ = 0;
  double seconds_ = 0, analysisSeconds_ = 0;
};

}  // namespace measure
