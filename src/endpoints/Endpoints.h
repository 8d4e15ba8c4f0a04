#pragma once
// What the controller and its two signal endpoints ask of each other: the
// analyzer input, which delivers the sample blocks, and the tracking
// generator, which plays the swept sine. Either endpoint may be absent; the
// controller then runs without it. Main thread unless a member says otherwise.

#include <cstdint>
#include <string>

struct Sweep;
class AFManager;
namespace dsp {
class LogSweep;
}

// What an endpoint's sound card has lost on the way and how late it runs.
// Counts only grow while the endpoint lives, across device changes.
struct EndpointIoHealth {
  // Stretches lost: the device's drop-outs (an output run dry, a recording
  // the server threw away), our ring overrunning, blocks the main thread
  // had not taken in time, runs of non-finite input samples the engine
  // could not take.
  uint64_t gaps = 0;
  // A gap is in progress (an output that ran dry and has not started again).
  bool gapOngoing = false;
  // Samples lost, where they are counted (frames of the input's channel),
  // non-finite ones included.
  uint64_t lostSamples = 0;
  // The device's latency now, as its server reports it, in frames; only
  // when latencyKnown (negative for the monitor of an output).
  bool latencyKnown = false;
  int64_t latencyFrames = 0;
  // Input captured and not yet analysed, in frames: the card's ring and the
  // blocks queued for the main thread (but the one it is taking now). A gap
  // counted now lies after all of it. Known whether or not the device
  // reports its latency.
  int64_t backlogFrames = 0;
};
namespace platform {
class PropertyDictionary;
}

// The controller as the analyzer input sees it.
class InputController {
 public:
  virtual ~InputController() = default;
  // One block of 512 samples of the selected channel at samplingRate Hz.
  // Main thread; the samples need stay valid only for the call.
  virtual void newDataFromInput(const float* samples, float samplingRate) = 0;
  // Drops the engine's partly gathered input (a new channel or volume).
  // Any thread.
  virtual void clearSpectrum() = 0;
  // Pauses the input, takes its rate, reconfigures the analysis and resumes.
  // Main thread.
  virtual void setupSampling() = 0;
  // The input's device or channel changed (a channel picked, or a new
  // device whose channel menu was rebuilt): what belongs to the input, its
  // calibration, follows. Main thread.
  virtual void inputChanged() {}
};

// Whatever takes the input's blocks beside the controller (a recording,
// SweepRecording.h): each block of 512 samples of the selected channel and,
// when the input was asked for a second channel of its device and that
// device has it, the same 512 samples of that channel (else null), just
// before the controller gets them. Main thread; the samples need stay valid
// only for the call.
class InputTap {
 public:
  virtual ~InputTap() = default;
  virtual void inputBlock(const float* selected, const float* second) = 0;
};

class AnalyzerInput {
 public:
  virtual ~AnalyzerInput() = default;
  // Makes the input card and restores the input's settings; the card stays
  // stopped until the first resume.
  virtual void applicationFinishLaunching(platform::PropertyDictionary& settings, AFManager& manager) = 0;
  // Stores the input's settings (the card is paused).
  virtual void applicationTerminating(platform::PropertyDictionary& settings) = 0;
  // Stops the input card, sets its block length to 512 and returns its
  // sampling rate in Hz (not above 0 when the card has none).
  virtual float pause() = 0;
  // Starts the card again if it is not running.
  virtual void resume() = 0;
  // Frames from the input's connector to its samples, as its device reports
  // them (0 when it does not).
  virtual int32_t latencyFrames() = 0;
  // Gaps and the present latency; main thread, never allocates or blocks.
  virtual EndpointIoHealth ioHealth() { return {}; }
  // The device the input records from, by the name its device pop-up shows
  // (and the settings keep), and the channel analysed, from 1; empty and 0
  // for an input without a device. Main thread.
  virtual std::string deviceName() { return {}; }
  virtual int32_t channel() { return 0; }
  // Whether the device recorded from is a sound file opened as an input,
  // which plays what it holds and never hears the generator. Main thread.
  virtual bool recordsSoundFile() { return false; }
  // Carries channel (from 1; 0 none) of the input's device beside the
  // selected one to the tap, from the next block. Any thread.
  virtual void setSecondChannel(int32_t) {}
  // The tap that hears every block before the controller (not owned; null
  // none). Main thread.
  virtual void setTap(InputTap*) {}
};

// How far the generator has played its log sweep.
struct SweepPlayback {
  uint32_t sweep = 0;   // the playSweep() it belongs to, from 1; 0: none played
  int64_t played = 0;   // samples of it rendered so far
  bool ended = false;   // played its whole length
};

// A fixed tone of the generator: one sine, or with a second frequency two.
struct GeneratorTone {
  double frequencyHz = 1000;
  double amplitude = 0.25;       // peak, a fraction of full scale
  double secondFrequencyHz = 0;  // 0: a single sine
  double secondRatio = 0;        // the second sine's amplitude over the first's

  // True for a tone the generator can play at an output rate of rate Hz:
  // frequencies above 0 and below half the rate, amplitudes above 0 whose
  // sum stays within full scale.
  bool playableAt(double rate) const;
};

class TrackingGeneratorEndpoint {
 public:
  virtual ~TrackingGeneratorEndpoint() = default;
  // Makes the output card and restores the generator's settings; the card
  // stays stopped until the first start.
  virtual void applicationFinishLaunching(platform::PropertyDictionary& settings, AFManager& manager) = 0;
  // Stores the generator's settings.
  virtual void applicationTerminating(platform::PropertyDictionary& settings) = 0;
  // Tunes to sweep->startBin at sweep->hertzPerSecond and starts the output.
  virtual void start(Sweep* sweep) = 0;
  // Stops the output and clears a suspension.
  virtual void stop() = 0;
  // While suspended the tone holds its frequency.
  virtual void setSuspend(bool suspend) = 0;
  // Retunes to sweep->currentBin.
  virtual void updateFrequency(Sweep* sweep) = 0;
  // Frames from a sample the generator writes to the output's connector, as
  // its device reports them, plus the block the card renders ahead.
  virtual int32_t latencyFrames() = 0;
  // Gaps and the present latency; main thread, never allocates or blocks.
  virtual EndpointIoHealth ioHealth() { return {}; }  // The device the generator plays on, by the name its device pop-up shows,
  // and the channel it plays on, from 1; empty and 0 without a device. Main
  // thread.
  virtual std::string deviceName() { return {}; }
  virtual int32_t channel() { return 0; }
  // Whether the device recorded from is a sound file opened as an input,
  // which plays what it holds and never hears the generator. Main thread.
  virtual bool recordsSoundFile() { return false; }
  // The sine's amplitude as a fraction of full scale (its peak; 0.25 is
  // -12.04 dBFS): what it plays from the next cycle on. Any value is taken
  // into (0, 1]. Main thread.
  virtual double amplitude() const { return 0.25; }
  // The rate the output plays at in Hz (0 without a device). Any thread.
  virtual float samplingRate() const { return 0.0f; }
  virtual void setAmplitude(double) {}
  // Plays a fixed tone instead of the sweep's and starts the output; false,
  // with nothing changed, for a tone it cannot play. stopTone() ends it and
  // stops the output. Main thread.
  virtual bool playTone(const GeneratorTone&) { return false; }
  virtual void stopTone() {}
  // Plays a log sweep instead of either from its first sample and starts
  // the output; false, with nothing changed, for a sweep made for another
  // rate than the output's. stopSweep() ends it and stops the output;
  // sweepPlayback() tells how far it played (any thread). Main thread.
  virtual bool playSweep(const dsp::LogSweep&) { return false; }
  virtual void stopSweep() {}
  // Plays silence in place of everything and starts the output, so that an
  // output stream runs before what it is to play; stopSweep() ends it.
  // Main thread.
  virtual void playSilence() {}
  virtual SweepPlayback sweepPlayback() const noexcept { return {}; }
};
