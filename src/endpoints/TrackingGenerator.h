#pragma once
// The analyzer's end of the output sound card: in tracking-generator mode it
// plays a continuous-phase sine at 0.25 of full scale on one channel of the
// output card (silence on the others) whose frequency follows the
// controller's sweep. start() tunes it to the sweep's first bin and sets the
// sweep speed, each updateFrequency() retunes it to the current bin, and
// between retunes the frequency rises linearly at the sweep speed (holds
// while suspended). Like the analyzer input it makes its card through the
// audio device manager, restores the card's settings at launch and stores
// them at shutdown.
//
// Tuning: the bin k of a sweep of N bins at fa Hz is played at
//   f(k) = (k + N/1024 − 2) × (fa / 2) / N   Hz   (N/1024 truncated),
// as a phase increment dt = 2π f(k) / fg radians per sample at the output
// card's rate fg, rising by d2t = hertzPerSecond × 2π / fa / fg radians per
// sample² while not suspended.
//
// A fixed tone (playTone) plays instead of the sweep's until stopTone() or
// the next start(): one sine, or two for intermodulation, each at the
// amplitude asked for, at frequencies in hertz of the output (recomputed
// for the card's rate at every block, so a rate change keeps them). The
// first sine takes over the running phase, and each tone's phase runs on
// across retunes, so a tone changed in frequency or level stays continuous.
// Suspension does not hold a tone. The sweep's own tuning is kept beneath
// and untouched.
//
// A log sweep (playSweep, dsp/LogSweep.h) plays instead of either from its
// first sample, on the next block the card renders, at the sweep's own
// amplitude (not the generator's level), and silence once it has ended,
// until stopSweep() or the next start(), playTone() or playSweep(). Its
// progress is sweepPlayback(): which sweep (each playSweep counts one) and
// how many of its samples the render thread has written.
//
// Threads
//   - Main thread: launch, termination, start, stop, setSuspend,
//     playTone, stopTone, playSweep, stopSweep,
//     updateFrequency, the channel action and the channel-menu rebuild (a
//     device change reported on another thread is carried over to the main
//     thread first).
//   - The card's render thread: outputNeededBySoundcard. It owns the running
//     phase and increment. The main thread never writes them: each tuning
//     operation publishes a complete record, which the render thread takes
//     once at the start of a block, so a retune is never lost and takes effect
//     no later than the next block. The hand-over is a three-slot exchange on
//     one atomic index: no lock, no allocation, no wait on either side.
//   - soundcardSamplingRateChangedTo may come on any thread; the new rate is
//     used from the next start or updateFrequency.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "audio/AFSoundcard.h"
#include "dsp/LogSweep.h"
#include "endpoints/Endpoints.h"
#include "endpoints/GapTally.h"

class AFManager;
struct Sweep;
namespace platform {
class PropertyDictionary;
}
namespace ui {
class Control;
class PopUpButton;
class Slider;
}  // namespace ui


class TrackingGenerator final : public AFSoundcardDelegate, public TrackingGeneratorEndpoint {
 public:
  static constexpr double kTwoPi = 6.28318530717958;
  static constexpr float kAmplitude = 0.25f;
  static constexpr float kDefaultSamplingRate = 48000.0f;

  // The settings keys of the generator.
  static constexpr const char* kSoundCardKey = "Generator Sound Card";
  static constexpr const char* kDestinationKey = "Generator destination";
  static constexpr const char* kSamplingRateKey = "Generator Sampling Rate";
  static constexpr const char* kChannelKey = "Generator channel";
  static constexpr const char* kSliderKey = "Generator slider";
  // The sine's level in dBFS (its amplitude re full scale, peak); none: kAmplitude.
  static constexpr const char* kLevelKey = "Generator Level";

  TrackingGenerator() = default;
  // Stops the card. Main thread.
  ~TrackingGenerator() override;
  TrackingGenerator(const TrackingGenerator&) = delete;
  TrackingGenerator& operator=(const TrackingGenerator&) = delete;

  // --- Set by the interface before launch (not owned; any may be null) ---
  ui::PopUpButton* devicePopup = nullptr;
  ui::PopUpButton* sourcePopup = nullptr;
  ui::PopUpButton* channelPopup = nullptr;
  ui::Slider* outputSlider = nullptr;
  ui::PopUpButton* samplingRatePopup = nullptr;

  // Makes the output card and restores its settings; the card stays stopped
  // until start(). Main thread.
  void applicationFinishLaunching(platform::PropertyDictionary& settings, AFManager& manager) override;
  // Stores the generator's keys. Main thread.
  void applicationTerminating(platform::PropertyDictionary& settings) override;

  // Tunes to sweep->startBin with the sweep's speed, from phase 0, ends a
  // suspension and starts the card. Main thread.
  void start(Sweep* sweep) override;
  // Retunes to sweep->currentBin at the sweep's present speed (a sweep of
  // the logarithmic axis changes it as its steps grow, and holds the tone
  // still on a point it jumped to) and ends a suspension; the phase runs on.
  // Main thread.
  void updateFrequency(Sweep* sweep) override;
  // While suspended the tone holds its current frequency. Main thread.
  void setSuspend(bool suspend) override;
  // Stops the card and ends a suspension. Main thread.
  void stop() override;
  // Plays the tone instead of the sweep's and starts the card; a tone
  // already playing changes to it, its phases running on. False, with
  // nothing changed, for a tone not playable at the card's rate. Main
  // thread.
  bool playTone(const GeneratorTone& tone) override;
  // Ends the tone and stops the card; the next start() sweeps as before.
  // Main thread.
  void stopTone() override;
  // Plays the sweep from its first sample on the next block rendered and
  // starts the card; what played before (a sweep, a tone) ends there. False,
  // with nothing changed, when the sweep was made for another rate than
  // the card's (the card's rate is samplingRate()). Main thread.
  bool playSweep(const dsp::LogSweep& sweep) override;
  // Ends the log sweep and stops the card. Main thread.
  void stopSweep() override;
  // Plays silence in place of everything and starts the card, so that an
  // output stream runs before what it is to play. Main thread.
  void playSilence() override;
  // The progress of the last sweep as the render thread left it after its
  // latest block; sweep is behind the last playSweep() until the render
  // thread took it. Any thread.
  SweepPlayback sweepPlayback() const noexcept override;
  // The output card's device latency in frames. Main thread.
  int32_t latencyFrames() override;
  // The output device's drop-outs (its playback run dry) with its present
  // latency plus the block the card renders ahead.
  EndpointIoHealth ioHealth() override;

  // Action of the channel pop-up. Main thread.
  void channelChanged();
  // Makes the generator the control's target with that action. Main thread.
  void setInterface(ui::Control* control, void (TrackingGenerator::*action)());

  // --- The card's delegate ---
  uint32_t implementedMethods() const override;
  // Fills buffer selectedChannel − 1 with the sine (or the tone) and every other buffer
  // with zeros; false (nothing written) when the card offers fewer buffers
  // than selectedChannel. Render thread: allocates nothing, takes no lock,
  // calls no other object.
  bool outputNeededBySoundcard(AFSoundcard* card, float** buffers, int32_t numberOfBuffers,
                               int32_t samples) noexcept override;
  // Rebuilds the channel menu (on the main thread) and selects the first
  // channel. Any thread.
  void soundcardDeviceChangedTo(AFSoundcard* card, const std::shared_ptr<AFDevice>& device) override;
  void soundcardSamplingRateChangedTo(AFSoundcard* card, float rate) override;

  AFSoundcard* soundcard() const;
  std::string deviceName() override;
  int32_t channel() override { return selectedChannel(); }
  double amplitude() const override { return amplitude_.load(std::memory_order_relaxed); }
  void setAmplitude(double amplitude) override;
  // 1-based output channel that carries the sine. Any thread.
  int32_t selectedChannel() const { return selectedChannel_.load(std::memory_order_relaxed); }
  // The output card's rate fg in Hz. Any thread.
  float samplingRate() const override { return samplingRate_.load(std::memory_order_relaxed); }
  // The phase of the next sample and the increment of the next step, as the
  // last rendered block left them (radians, radians per sample). Any thread.
  double phase() const { return phase_.load(std::memory_order_relaxed); }
  double phaseIncrement() const { return increment_.load(std::memory_order_relaxed); }

  // The increment, in radians per sample at fg, of bin k of a sweep.
  static double binIncrement(const Sweep& sweep, int32_t bin, float fg);
  // The sweep speed in radians per sample² at fg.
  static double sweepAcceleration(const Sweep& sweep, float fg);

 private:
  // What the main thread asks of the render thread. A record is complete:
  // the render thread may skip records and still end up where the last one
  // says. The increment applies when `retune` differs from the one last
  // taken, the phase restarts at 0 when `restart` does.
  struct Tuning {
    double increment = 0.0;     // radians per sample, from the latest retune
    double acceleration = 0.0;  // radians per sample²
    bool suspended = false;
    uint32_t retune = 0;
    uint32_t restart = 0;
    // A fixed tone in place of the sweep's: its frequencies in Hz, made
    // into increments at the card's present rate.
    bool tone = false;
    double toneHz = 0, toneAmplitude = 0;
    double secondHz = 0, secondAmplitude = 0;
    // A log sweep in place of both, restarted from its first sample when
    // `sweepRun` differs from the one last taken (a copy: the sweep is a
    // few numbers, rendered without allocation).
    bool logSweep = false;
    uint32_t sweepRun = 0;
    // Silence in place of all of them.
    bool silent = false;
    dsp::LogSweep sweep = dsp::LogSweep();
  };
  static constexpr uint32_t kSlotMask = 3u;
  static constexpr uint32_t kFresh = 4u;

  // Main thread: hands pending_ to the render thread.
  void publish();
  // Render thread: the latest record.
  const Tuning& takeTuning() noexcept;
  // Render thread: a block of the tuning's fixed tone into out.
  void renderTone(const Tuning& tuning, float* out, int32_t samples) noexcept;
  // Rebuilds the channel menu for the card's format, selects the first
  // channel and runs channelChanged. Main thread.
  void rebuildChannelMenu();

  AFSoundcardPtr<AFSoundcard> soundcard_;
  // The card as the notification threads compare it.
  std::atomic<AFSoundcard*> card_{nullptr};
  std::atomic<int32_t> selectedChannel_{1};
  std::atomic<float> amplitude_{kAmplitude};  // read by every render
  std::atomic<float> samplingRate_{kDefaultSamplingRate};
  GapTally deviceGaps_;  // main thread

  // Main thread side of the tuning hand-over (serialised by publishLock_,
  // which the render thread never takes).
  std::mutex publishLock_;
  Tuning pending_;
  uint32_t writeSlot_ = 1;
  // Three slots: one the writer fills, one the reader reads, one in between
  // (its index in handOver_, with kFresh when it is newer than the reader's).
  std::array<Tuning, 3> slots_{};
  std::atomic<uint32_t> handOver_{2};

  // Render thread only.
  uint32_t readSlot_ = 0;
  uint32_t retuneTaken_ = 0;
  uint32_t restartTaken_ = 0;
  double runningPhase_ = 0.0;
  double runningIncrement_ = 0.0;
  double secondPhase_ = 0.0;  // the second sine of a tone
  uint32_t sweepRunTaken_ = 0;
  int64_t sweepPosition_ = 0;
  // The sweep's progress for other threads in one word, so that a run and
  // a position are always read together: the run in the upper 32 bits, bit
  // 31 set once it ended, the samples played (at most its length, 2^22) below.
  std::atomic<uint64_t> played_{0};
  // Copies of the running values for other threads, once per block.
  std::atomic<double> phase_{0.0};
  std::atomic<double> increment_{0.0};
};
