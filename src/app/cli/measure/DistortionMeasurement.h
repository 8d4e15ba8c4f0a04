#pragma once
// A distortion reading of the device under test: the generator plays a
// fixed tone on the output (TrackingGenerator::playTone) and the analyzer's
// own controller, in normal analysis rather than tracking, measures what
// comes back at the input with the seven-term Blackman–Harris window at an
// RBW of at most 3.16 Hz, or of at most a fiftieth of the lowest tone where
// that is coarser (bandwidthTagFor), read as `specan analyze --distortion` reads a
// file (DistortionReport.h, dsp/DistortionAnalysis.h). The rig is
// SweepMeasurement's: the same controller, devices and channels, picked the
// same way.
//
// A two-tone signal (GeneratorTone's second sine) is read the same way for
// its intermodulation (dsp/Intermodulation.h), as `specan analyze --imd`
// reads a file (IntermodulationReport.h); it has settled when both tones'
// levels and the IMD agree as the fundamental and THD+N do.
//
// A tone is read once the input holds it alone. A spectrum is left out
// while its window may begin before the tone came round the loop: the
// window's oldest sample must come after the tone's start (the engine's
// count of samples then, against AppDelegate::lastSpectrumEnd) by the
// loop's latency as the devices report it, plus one hop (half the FFT) for
// what they leave out: the input's backlog, a server's queue, a loop that
// reports nothing (the simulated devices). A spectrum that came in the
// same look as one left out is left out too, the mean holding both. From
// the next one on the trace's mean takes every spectrum (up to kAverages,
// then an exponential average over as many), and each spectrum's mean is
// a reading; the tone has settled when two readings in succession agree
// within kSettledDb in the fundamental's level, THD and THD+N (or are both
// below kResidualDb, where only the arithmetic's own residue moves them,
// from one spectrum to the next by more than that). After
// kMostSpectra readings the last is taken, marked not settled.
//
// Main thread only, as SweepMeasurement; the provider and the main thread
// are the caller's.

#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "app/cli/measure/SweepMeasurement.h"
#include "dsp/DistortionAnalysis.h"
#include "dsp/Intermodulation.h"
#include "endpoints/TrackingGenerator.h"

namespace measure {

// One tone measured.
struct DistortionPoint {
  GeneratorTone tone;
  dsp::DistortionReading reading;
  int spectra = 0;       // readings taken, the last the one reported
  bool settled = false;  // two readings in succession agreed
};

// One two-tone signal measured.
struct IntermodulationPoint {
  GeneratorTone tone;
  dsp::IntermodulationReading reading;
  int spectra = 0;       // readings taken, the last the one reported
  bool settled = false;  // two readings in succession agreed
};

class DistortionMeasurement {
 public:
  static constexpr int kAverages = 4;
  static constexpr double kSettledDb = 0.1;
  static constexpr double kResidualDb = -130;
  static constexpr int kMostSpectra = 16;
  // The readout's coarsest RBW whatever the tone, a tag of the RBW menu
  // (3.16 Hz): the window's lobe (about ±3 RBW) then stays clear of a 20 Hz
  // fundamental's second harmonic and of 0 Hz.
  static constexpr int kCoarsestBandwidthTag = 5;
  // A tone at least this many RBWs high allows a coarser one: its lobe and
  // its harmonics' lie far apart, and each spectrum takes a shorter window.
  static constexpr double kTonePerBandwidth = 50;

  // The RBW menu's tag the readout takes when asked for `asked` with tones
  // from lowestHz up (0: unknown): asked, or the coarsest of 3.16 Hz and the
  // menu's RBWs at most lowestHz / kTonePerBandwidth when asked is coarser.
  static int bandwidthTagFor(int asked, double lowestHz);

  // The devices, channels and volume of settings; its RBW as
  // bandwidthTagFor says for the tones from lowestHz up, its window the
  // seven-term Blackman–Harris whatever it says. band: the measurement band
  // and the noise's weighting (the fundamental is each tone's own).
  DistortionMeasurement(const Settings& settings, const dsp::DistortionSettings& band, double lowestHz = 0);
  // The RBW the readout takes, in Hz (once prepared).
  double resolutionBandwidth() const;

  // Launches the controller on the devices; false with the cause, as
  // SweepMeasurement::prepare.
  bool prepare(std::string* cause);
  // Plays the tone (its phase running on from the previous one) and reads
  // it once settled. step: as SweepMeasurement::run's. None with the cause
  // when the tone cannot be played at the output's rate, a device vanished
  // or no spectrum came for ten seconds.
  std::optional<DistortionPoint> measure(const GeneratorTone& tone, std::string* cause,
                                         const std::function<void()>& step = {});
  // Plays the two-tone signal tone (its second sine given) and reads the
  // intermodulation of its tones as settings place them, once settled;
  // none with the cause, as measure().
  std::optional<IntermodulationPoint> measureIntermodulation(const GeneratorTone& tone,
                                                             const dsp::IntermodulationSettings& settings,
                                                             std::string* cause,
                                                             const std::function<void()>& step = {});
  // Hears every reading measure() takes, the point so far, as it is taken
  // (on the main thread, in measure()); for progress and timing.
  void observeReadings(std::function<void(const DistortionPoint&)> observer) { observer_ = std::move(observer); }
  // Ends the tone.
  void stop();

  const std::string& inputName() const { return rig_.inputName(); }

 private:
  // Plays the tone and calls take once for each spectrum after the stale
  // ones, each with the trace's mean up to it, until take answers that
  // the reading settled or kMostSpectra were taken. The spectra taken, or
  // none with the cause.
  std::optional<int> follow(const GeneratorTone& tone, std::string* cause, const std::function<void()>& step,
                            const std::function<bool()>& take);
  // The samples after a change of the tone before which no window may begin
  // (see the header): one hop and the latency the devices report.
  int64_t staleSamples();
  // The readings of the trace as it is now, the fundamental the tone's.
  dsp::DistortionReading read(double fundamentalHz);
  dsp::IntermodulationReading read(const dsp::IntermodulationAnalysis& analysis);

  SweepMeasurement rig_;
  dsp::DistortionSettings band_;
  std::function<void(const DistortionPoint&)> observer_;
};

}  // namespace measure
