#pragma once
// A swept-sine measurement of the device under test from the command line:
// the run of endpoints/LogSweepRun.h on SweepMeasurement's rig (the same
// controller, devices and channels, picked the same way; the controller
// analyses on as in its normal mode), driven between looks at the devices
// until it has its response or fails.
//
// Main thread only, as SweepMeasurement; the provider and the main thread
// are the caller's.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/cli/measure/SweepMeasurement.h"
#include "app/formats/LogSweepCsv.h"
#include "dsp/LogSweep.h"
#include "dsp/SweepDeconvolution.h"
#include "endpoints/LogSweepRun.h"
#include "plot/SharedData.h"

namespace measure {

class LogSweepMeasurement {
 public:
  static constexpr int kMostRepeats = LogSweepRun::kMostRepeats;
  // Seconds without a block recorded before the input counts as silent.
  static constexpr double kStalledSeconds = 10;

  // sweep: the run's plan, its amplitude the settings' level (or the
  // generator's own). withImage: a print view is made, for writeImage()
  // (needs a Qt application).
  LogSweepMeasurement(const Settings& settings, const LogSweepPlan& sweep, bool withImage = false);
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

  // After a run that succeeded:
  const dsp::LogSweep& sweep() const { return run_->sweep(); }
  const dsp::SweepResponse& response() const { return run_->response(); }
  // The response with the plan's smoothing (the response itself without).
  dsp::SweepResponse smoothedResponse() const { return run_->smoothedResponse(options_.smoothing); }
  // How its levels read: the settings' unit and sensor, the generator's
  // level, the plan's smoothing.
  LogSweepLevels levels() const;
  const float* impulseResponse() const { return run_->impulseResponse(); }
  int64_t impulseResponseLength() const { return run_->impulseResponseLength(); }
  int repeatedSweeps() const { return run_->repeatedSweeps(); }
  double seconds() const { return run_->seconds(); }
  double analysisSeconds() const { return run_->analysisSeconds(); }
  const std::string& inputName() const { return rig_.inputName(); }
  // The rig, for the reference trace's levels.
  const SweepMeasurement& rig() const { return rig_; }
  // The response as a reference trace file, in the bins of the controller's
  // trace: each bin inside the measured grid the level the tracking sweep
  // would read there at the sweep's level (the grid interpolated in dB over
  // log frequency), the bins outside it empty. The tracking sweep's
  // --reference and the log sweep's read it back as measured.
  platform::PropertyDictionary referenceFile() const;
  // The smoothed response as the controller's trace, with the phase and the
  // harmonics beside it as the window draws a log sweep's: the gain (0 dB
  // for a wire), or in a calibrated unit the input's level at the
  // generator's (as levels() reads it, the controller taking the sensor's
  // response out), drawn as
  // File > Export Image draws the plot and written whole or not at all to path;
  // false with the reason in *error. The controller's live analysis
  // overwrites it at the next look at the devices.
  bool writeImage(const std::string& path, std::string* error, int rightScale = SharedData::SweptResponse::wrappedPhase);

 private:
  // A response into trace, in the bins of the controller's trace, at the
  // level of the gain plus offsetDb.
  void responseAsTrace(const dsp::SweepResponse& response, TraceData& trace, double offsetDb) const;

  SweepMeasurement rig_;
  Settings settings_;
  LogSweepPlan options_;
  std::unique_ptr<LogSweepRun> run_;
};

}  // namespace measure
