#pragma once
// The analyzer's end of the input sound card. It makes the card through the
// audio device manager, restores the card's device, source, rate, channel and
// volume from the settings, keeps the channel menu in step with the device,
// and from every block the card delivers picks the selected channel and hands
// it to the controller on the main thread, always in blocks of 512 samples.
//
// Threads
//   - Main thread: launch, termination, pause, resume, the channel action,
//     the channel-menu rebuild (a device change reported on another thread is
//     carried over to the main thread first) and every call to the controller
//     but clearSpectrum.
//   - The card's delivery thread: inputReceivedFromSoundcard. It copies the
//     selected channel into a block of a fixed pool and queues the block for
//     the main thread; it never allocates, never blocks on the main thread
//     and never hands over memory the card may still write. When the main
//     thread falls so far behind that the pool is used up, new samples are
//     dropped (and counted) rather than queued without bound. Samples the
//     engine cannot take (NaN, infinite: a device or a plug-in before it
//     that blew up) are taken out on the way and counted as lost input
//     (FiniteSamples.h).
//   - A volume change of the selected channel clears the engine's partial
//     input on whatever thread reports it; the engine locks its own buffer.
//
// Beside the selected channel the input can carry a second channel of the
// same device (setSecondChannel), copied into the same block at the same
// offsets, so the two stay sample-aligned; a tap (setTap) hears both
// before the controller hears the first.
//
// Blocks queued before a pause are dropped when the main thread reaches
// them: they belong to the configuration the pause ended.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "audio/AFSoundcard.h"
#include "endpoints/Endpoints.h"
#include "endpoints/GapTally.h"
#include "platform/BlockLength.h"

class AFInputSoundcard;
class AFManager;
class PlotTrace;
namespace platform {
class PropertyDictionary;
}
namespace ui {
class Control;
class PopUpButton;
class Slider;
}  // namespace ui

class Input final : public AFSoundcardDelegate, public AnalyzerInput {
 public:
  static constexpr int32_t kBlockLength = platform::kBlockLength;
  // Blocks in flight to the main thread at most: about 0.7 s at 48 kHz.
  static constexpr int32_t kPoolBlocks = 64;
  // The main thread is woken for a block once at least this much audio has
  // arrived since the last wake-up: at 48 and 96 kHz for every block, at
  // 192 kHz for every second one (which then waits one block period more).
  static constexpr double kWakeInterval = 0.004;  // seconds

  // The settings keys of the input.
  static constexpr const char* kSoundCardKey = "Sound card";
  static constexpr const char* kSourceKey = "Sound card source";
  static constexpr const char* kSamplingRateKey = "Sampling Rate";
  static constexpr const char* kChannelKey = "Sound card channel";
  static constexpr const char* kSliderKey = "Sound card slider";

  explicit Input(InputController* controller);
  // Stops the card and drops the blocks still queued. Main thread.
  ~Input() override;
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;

  // --- Set by the interface before launch (not owned; any may be null) ---
  PlotTrace* trace = nullptr;
  ui::PopUpButton* devicePopup = nullptr;
  ui::PopUpButton* sourcePopup = nullptr;
  ui::PopUpButton* channelPopup = nullptr;
  ui::Slider* inputSlider = nullptr;
  ui::PopUpButton* samplingRatePopup = nullptr;

  // Makes the card and restores its settings; the card stays stopped until
  // the controller resumes it. Main thread.
  void applicationFinishLaunching(platform::PropertyDictionary& settings, AFManager& manager) override;
  // Stores the input's keys. Main thread, with the card paused.
  void applicationTerminating(platform::PropertyDictionary& settings) override;

  // Stops the card, sets its block length to 512 and returns its rate (0
  // without a card). Main thread.
  float pause() override;
  // Starts the card when it is not running. Main thread.
  void resume() override;
  // The card's device latency in frames. Main thread.
  int32_t latencyFrames() override;
  // The device's drop-outs, the ring's overruns, the blocks dropped for
  // want of a free one and the non-finite samples taken out, with the
  // device's present latency.
  EndpointIoHealth ioHealth() override;
  // The card's device by the title the device pop-up gives it, and the
  // selected channel.
  std::string deviceName() override;
  int32_t channel() override { return selectedChannel(); }
  bool recordsSoundFile() override;

  // Carries channel (1-based; 0 none) of the device beside the selected one
  // to the tap, from the next block begun. Any thread.
  void setSecondChannel(int32_t channel) override { secondChannel_.store(channel, std::memory_order_relaxed); }
  int32_t secondChannel() const { return secondChannel_.load(std::memory_order_relaxed); }
  // The tap that hears every block before the controller (not owned; null
  // none). Main thread.
  void setTap(InputTap* tap) override { tap_ = tap; }

  // Action of the channel pop-up. Main thread.
  void channelChanged();
  // Selects the device with that ID as the user's pick in the device pop-up
  // would (the card then no longer follows the default device). A device
  // the platform has just added reaches the card's list on its notification
  // thread and the pop-up on the main thread: until the pop-up offers it this
  // returns false and changes nothing. Main thread.
  bool pickDevice(uint32_t deviceID);
  // Makes the input the control's target with that action. Main thread.
  void setInterface(ui::Control* control, void (Input::*action)());

  // --- The card's delegate ---
  uint32_t implementedMethods() const override;
  void inputReceivedFromSoundcard(AFSoundcard* card, float** buffers, int32_t numberOfBuffers,
                                  int32_t samples) override;
  void soundcardDeviceChangedTo(AFSoundcard* card, const std::shared_ptr<AFDevice>& device) override;
  void soundcardSamplingRateChangedTo(AFSoundcard* card, float rate) override;
  void soundcardVolumeChangedToChannel(AFSoundcard* card, float volume, int32_t channel) override;

  AFSoundcard* soundcard() const;
  int32_t selectedChannel() const { return selectedChannel_.load(std::memory_order_relaxed); }
  float currentSamplingRate() const { return currentSamplingRate_.load(std::memory_order_relaxed); }
  // Samples dropped because the main thread had not taken the blocks before
  // them. Any thread.
  uint64_t droppedSamples() const { return droppedSamples_.load(std::memory_order_relaxed); }
  // Samples the card's ring lost because its delivery fell behind the
  // device. Any thread.
  uint64_t overrunSamples() const;
  // Non-finite samples of the selected channel taken out before the engine
  // (FiniteSamples.h), and the runs of them. Any thread.
  uint64_t nonFiniteSamples() const { return nonFiniteSamples_.load(std::memory_order_relaxed); }
  uint64_t nonFiniteStretches() const { return nonFiniteStretches_.load(std::memory_order_relaxed); }

 private:
  struct Block {
    Input* owner = nullptr;
    uint32_t generation = 0;
    std::atomic<bool> busy{false};
    bool hasSecond = false;  // every part of it came with the second channel
    float samples[kBlockLength] = {};
    float second[kBlockLength] = {};
  };

  static void deliverBlock(void* context);
  static void runSetupSampling(void* context);
  // Rebuilds the channel menu for the card's format and runs channelChanged.
  // Main thread.
  void rebuildChannelMenu();
  // Delivery thread.
  Block* takeFreeBlock();

  InputController* const controller_;
  AFSoundcardPtr<AFInputSoundcard> soundcard_;
  // The card, for the notices to recognise it on the threads they come
  // from; cleared before the card goes.
  std::atomic<AFSoundcard*> card_{nullptr};
  std::atomic<int32_t> selectedChannel_{1};
  std::atomic<int32_t> secondChannel_{0};
  std::atomic<float> currentSamplingRate_{0.0f};
  InputTap* tap_ = nullptr;  // main thread

  std::array<Block, kPoolBlocks> pool_;
  // Delivery thread: the block being filled, how far, and how many of its
  // samples were non-finite; whether the last sample taken was.
  Block* filling_ = nullptr;
  int32_t filled_ = 0;
  int32_t filledNonFinite_ = 0;
  bool inNonFinite_ = false;
  bool secondInNonFinite_ = false;
  int32_t nextFree_ = 0;
  int32_t blocksSinceWake_ = 0;
  bool discarding_ = false;
  // Bumped by every pause; blocks of older generations are dropped.
  std::atomic<uint32_t> generation_{0};
  // Tasks queued on the main thread that point at this object.
  std::atomic<int32_t> tasksInFlight_{0};
  std::atomic<bool> closing_{false};
  std::atomic<uint64_t> droppedSamples_{0};
  std::atomic<uint64_t> droppedStretches_{0};
  std::atomic<uint64_t> nonFiniteSamples_{0};
  std::atomic<uint64_t> nonFiniteStretches_{0};
  GapTally deviceGaps_;  // main thread
};
