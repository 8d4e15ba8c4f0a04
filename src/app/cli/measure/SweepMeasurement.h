#pragma once
// One frequency-response sweep made by the analyzer's own controller without
// a window: the controller in tracking mode on plain controls, the real
// analyzer input and tracking generator on the chosen devices (selected as a
// stored setting selects them), a headless view in place of the display and,
// for an image, the print view. The response is the controller's trace, read
// as the markers and File > Export Data read it.
//
// No settings file is read or written. Main thread only; the audio provider,
// the main thread and, for an image, the Qt application are the caller's.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/controller/AppDelegate.h"
#include "app/controller/HeadlessControls.h"
#include "app/controller/LevelOptions.h"
#include "app/headless/HeadlessView.h"
#include "endpoints/Input.h"
#include "endpoints/TrackingGenerator.h"
#include "platform/PropertyList.h"

class PrintView;
struct ReferenceFile;

namespace measure {

struct Settings {
  std::string input, output;  // device names as the device pop-ups show them; "" the default device
  int inputChannel = 1, outputChannel = 1;  // 1-based
  std::optional<double> lowerSpan, upperSpan;  // Hz; none: the analyzer's defaults
  int bandwidthTag = 10;                       // the RBW menu's tag
  int windowTag = 1;                           // the window menu's tag
  std::optional<double> volume;                // 0…1, the output's volume slider
  std::optional<int> width, height;            // the exported page, points
  int smoothing = 0;                           // 1/N-octave smoothing of the CSV and the image; 0 none
  display::AxisScale axis = display::AxisScale::linear;  // the sweep's points and the image's axis
  std::optional<double> pointsPerOctave;                 // on the logarithmic axis; none: the controller's default
  // The unit the CSV and the image read in, and the sensor's response taken
  // out of the response (the readings' too).
  option_values::Levels levels;
  // The generator's amplitude, a fraction of full scale; none: the designed
  // quarter (-12.04 dBFS).
  std::optional<double> amplitude;
};

// A level and where it is.
struct Reading {
  double level = 0;      // dB, the sensor's response taken out
  double frequency = 0;  // Hz
};

class SweepMeasurement {
 public:
  SweepMeasurement(const Settings& settings, bool withImage);
  ~SweepMeasurement();
  SweepMeasurement(const SweepMeasurement&) = delete;
  SweepMeasurement& operator=(const SweepMeasurement&) = delete;

  // Launches the controller on the chosen devices and channels; false with
  // the cause ("unknown input device 'X' (devices: …)").
  bool prepare(std::string* cause);
  // Sweeps the span once and stops. Between looks at the sweep it calls
  // step (a stepped provider advances its devices there) or, without one,
  // sleeps a millisecond while the devices run by themselves; progress, when
  // given, hears (bins done, bins in all, seconds so far) about ten times a
  // second. False with the cause when a device vanished, the sweep stalled,
  // or nothing came back (the whole response below -100 dB).
  bool run(std::string* cause, const std::function<void()>& step = {},
           const std::function<void(int, int, double)>& progress = {});

  // After run: the measured bins lie inside (leftBin, rightBin).
  int firstBin() const;
  int lastBin() const;
  int bins() const { return lastBin() - firstBin() + 1; }
  double seconds() const { return seconds_; }
  // Bins measured again because a drop-out met their spectrum.
  int remeasuredBins() const { return app_.sweep.remeasuredBins; }
  // Spectra the sweep took, those thrown away while it settled included.
  int64_t spectra() const { return app_.sweep.spectra; }
  // The gaps each side had during the sweep.
  uint64_t inputGaps() const { return inputGaps_; }
  uint64_t outputGaps() const { return outputGaps_; }
  double level(int bin) const;
  double frequency(int bin) const;
  Reading maximum() const;
  Reading minimum() const;
  double lowerFrequency() const { return app_.sharedData.span.startFrequency; }
  double upperFrequency() const { return app_.sharedData.span.endFrequency; }

  // The largest difference |measured - reference| over the measured bins, and
  // where; empty with the cause when the reference does not fit the
  // measurement (another bin grid or sampling rate).
  std::optional<Reading> worstDeviation(const ReferenceFile& reference, std::string* cause) const;
  // The measured response as a reference file, as Save Reference writes it.
  platform::PropertyDictionary referenceFile() const;

  // One look at the devices, as run() takes them between looks at the
  // sweep: steps the provider (and lets the input's consumer take what the
  // step delivered) or sleeps a millisecond, then serves the main thread.
  void look(const std::function<void()>& step);

  // The rig itself, for a measurement of another kind on the same launched
  // controller and devices (DistortionMeasurement.h). After prepare.
  AppDelegate& controller() { return app_; }
  TrackingGenerator& generator() { return *generator_; }
  Input& input() { return *input_; }
  // The channels the chosen input device offers.
  int inputChannels() const { return inputChannel_.numberOfItems(); }
  const HeadlessView& view() const { return view_; }
  const std::string& inputName() const { return inputName_; }
  const std::string& outputName() const { return outputName_; }
  // The input or the output device no longer the one chosen: the cause.
  std::optional<std::string> vanished() const;

  std::string csv() { return app_.traceExportCsv(); }
  bool writeImage(const std::string& path, std::string* error) { return app_.exportImage(path, error); }
  const AppDelegate& controller() const { return app_; }

 private:
  Settings settings_;
  HeadlessControls controls_;
  ui::PlainPopUpButton inputDevice_, inputSource_, inputChannel_, inputRate_;
  ui::PlainSlider inputSlider_;
  ui::PlainPopUpButton outputDevice_, outputDestination_, outputChannel_, outputRate_;
  ui::PlainSlider outputSlider_;
  HeadlessView view_;
  std::unique_ptr<PrintView> printView_;
  AppDelegate app_;
  std::unique_ptr<Input> input_;
  std::unique_ptr<TrackingGenerator> generator_;
  std::string inputName_, outputName_;
  double seconds_ = 0;
  uint64_t inputGaps_ = 0, outputGaps_ = 0;
  bool launched_ = false;
};

}  // namespace measure
