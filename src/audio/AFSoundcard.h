#pragma once
// The common base of the input and output sound cards: everything about a
// card that is not the audio stream. It chooses a device from a shared device
// list (explicitly, by a stored title, or by following the platform's default
// device), changes format, sampling rate, data source and volume on it, keeps
// the pop-up buttons and sliders handed to it (its managed controls) in step
// with the device, listens to the platform's notifications, and tells its
// delegate what changed. The stream operations (start, stop, isRunning, ...)
// are inert here and made real by the subclasses.
//
// Threads
//   - The main thread: the managed controls' actions, the client's set-up,
//     quit. The platform's notification thread: the listeners, which select
//     devices, rebuild managed controls and send notices from there. The
//     subclasses' audio threads read the delegate, its flags, bufferLength
//     and justStarted (all atomic).
//   - Every step that reads or changes a control runs on the main thread
//     through ui::MainThread::runSync (inline when already there), so a
//     handler on the notification thread waits for the main thread but the
//     main thread never deadlocks on itself.
//   - Delegate notices are sent on the thread that noticed the change.
//   - The selection and the fields both threads touch are guarded by a short
//     lock that is never held across a call; devices are shared pointers, so
//     a device in use stays alive when the list or the selection moves on.
//   - A listener call in progress may be waiting for the main thread; when
//     the main thread removes that listener (a device pick, teardown) it runs
//     the queued main-thread work while it waits, so neither side deadlocks.
//
// Lifetime: make cards with AFSoundcard::create<Card>(list, ...), which
// registers the card's platform listeners once every constructor has run and
// whose deleter removes them before any destructor runs. The delegate and
// the managed controls are not owned: they must outlive the card, or be
// cleared first. The card clears its managed controls' targets when it goes.

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "audio/AFDevice.h"
#include "audio/AFFormat.h"
#include "audio/AFList.h"
#include "audio/AFResampling.h"
#include "platform/audio/AudioTypes.h"
#include "platform/audio/AudioUnits.h"
#include "platform/audio/Provider.h"

namespace ui {
class Control;
class PopUpButton;
class Slider;
}  // namespace ui

class AFSoundcard;

// The client of a sound card. Every method is optional: a delegate says in
// implementedMethods() which ones it implements, and the card sends only
// those. The card asks once, when the delegate is set.
class AFSoundcardDelegate {
 public:
  enum Method : uint32_t {
    kVolumeChange = 1u << 0,
    kFormatChange = 1u << 1,
    kDeviceChange = 1u << 2,
    kSourceChange = 1u << 3,
    kSamplingRateChange = 1u << 4,
    kHardwareChange = 1u << 5,
    kDeviceRemoval = 1u << 6,
    kInputReceived = 1u << 7,
    kOutputNeeded = 1u << 8,
  };

  virtual ~AFSoundcardDelegate() = default;
  // The Method bits of the notices this delegate takes.
  virtual uint32_t implementedMethods() const = 0;

  // A volume was set through the card or seen changed on the device.
  virtual void soundcardVolumeChangedToChannel(AFSoundcard*, float /*volume*/, int32_t /*channel*/) {}
  // The format pop-up was rebuilt, or the device's channels or bits changed.
  virtual void soundcardFormatChangedToChannelsBits(AFSoundcard*, int32_t /*channels*/, int32_t /*bits*/) {}
  // selectDevice put a device in place (controls updated, card restarted).
  virtual void soundcardDeviceChangedTo(AFSoundcard*, const std::shared_ptr<AFDevice>& /*device*/) {}
  // The selected device's data source changed ("" with a single source).
  virtual void soundcardSoundSourceChangedTo(AFSoundcard*, const std::string& /*source*/) {}
  // The selected device's physical format reports a new rate.
  virtual void soundcardSamplingRateChangedTo(AFSoundcard*, float /*rate*/) {}
  // The platform's device list ('dev#', before the refresh) or default device
  // (the card's default-device selector, after following it) changed.
  virtual void soundcardHardwareChanged(AFSoundcard*, uint32_t /*selector*/) {}
  // The selected device is gone from the device pop-up; the card is stopped
  // and has no selection. The ID is that of the device that was selected.
  virtual void soundcardSelectedSoundcardRemoved(AFSoundcard*, uint32_t /*deviceID*/) {}
  // A block of input, one buffer per channel (input card's consumer thread).
  virtual void inputReceivedFromSoundcard(AFSoundcard*, float** /*buffers*/, int32_t /*numberOfBuffers*/,
                                          int32_t /*samples*/) {}
  // Fill the blocks for output; true when filled (output card's render thread).
  virtual bool outputNeededBySoundcard(AFSoundcard*, float** /*buffers*/, int32_t /*numberOfBuffers*/,
                                       int32_t /*samples*/) {
    return false;
  }
};

// The record of a card's platform audio unit, filled by the subclasses.
struct AudioUnitInfo {
  int32_t node = 0;
  platform::audio::AudioUnit audioUnit = nullptr;
  uint32_t deviceID = 0;
  platform::audio::AudioStreamBasicDescription outputUnitASBD{};
  uint32_t framesPerBuffer = 0;
};

struct AFSoundcardDeleter {
  void operator()(AFSoundcard* card) const;
};
template <class Card>
using AFSoundcardPtr = std::unique_ptr<Card, AFSoundcardDeleter>;

class AFSoundcard : public AFResampling {
 public:
  using AudioStreamBasicDescription = platform::audio::AudioStreamBasicDescription;
  using AudioObjectPropertyAddress = platform::audio::AudioObjectPropertyAddress;
  static constexpr int32_t kVolumeChannels = 65;  // 0 = the device's main control, 1..64 channels
  static constexpr int32_t kMaxSamplingRates = 64;

  // Makes a card of class Card on list and starts its platform listeners.
  // Without a list: logs "AFSoundcard has to be initialized with an AFList"
  // and returns null.
  template <class Card, class... Args>
  static AFSoundcardPtr<Card> create(std::shared_ptr<AFList> list, Args&&... args) {
    if (!list) {
      logMissingList();
      return nullptr;
    }
    AFSoundcardPtr<Card> card(new Card(std::move(list), std::forward<Args>(args)...));
    card->startListening();
    return card;
  }

  ~AFSoundcard() override;
  AFSoundcard(const AFSoundcard&) = delete;
  AFSoundcard& operator=(const AFSoundcard&) = delete;

  // ---------------------------------------------------------------- delegate
  void setDelegate(AFSoundcardDelegate* delegate);
  AFSoundcardDelegate* delegate() const { return delegate_.load(std::memory_order_acquire); }
  bool delegateRespondsToVolumeChange() const { return responds(AFSoundcardDelegate::kVolumeChange); }
  bool delegateRespondsToFormatChange() const { return responds(AFSoundcardDelegate::kFormatChange); }
  bool delegateRespondsToDeviceChange() const { return responds(AFSoundcardDelegate::kDeviceChange); }
  bool delegateRespondsToSourceChange() const { return responds(AFSoundcardDelegate::kSourceChange); }
  bool delegateRespondsToSamplingRateChange() const { return responds(AFSoundcardDelegate::kSamplingRateChange); }
  bool delegateRespondsToHardwareChange() const { return responds(AFSoundcardDelegate::kHardwareChange); }
  bool delegateRespondsToDeviceRemoval() const { return responds(AFSoundcardDelegate::kDeviceRemoval); }
  bool delegateRespondsToInputReceived() const { return responds(AFSoundcardDelegate::kInputReceived); }
  bool delegateRespondsToOutputNeeded() const { return responds(AFSoundcardDelegate::kOutputNeeded); }

  const std::shared_ptr<AFList>& deviceList() const { return deviceList_; }
  AFList::DeviceArray devices() const;

  // ---------------------------------------------------------------- device
  // Puts device in place: stops a running card, moves the listener, copies
  // the device's formats, refreshes the managed controls, restarts and sends
  // soundcardDeviceChangedTo. Selecting the selected device does nothing.
  std::shared_ptr<AFDevice> selectDevice(std::shared_ptr<AFDevice> device);
  // Selects the device with that pop-up title (unique name or name), else the
  // list's default device, and reselects the device pop-up. Neither stops
  // nor restarts the card and sends no notice.
  std::shared_ptr<AFDevice> selectDeviceName(const std::optional<std::string>& title);
  std::shared_ptr<AFDevice> selectedDevice() const;
  // The selected device by the device list's title for it, as the pop-up
  // shows it ("NAME (2)" for the second of two alike) and the settings keep
  // it; empty without a device. The pop-up itself catches up with a device
  // the card followed on its own only after the card has said so. Main
  // thread.
  std::string selectedDeviceTitle() const;
  // Finds the selected device in popUp (by name, then unique name); when it
  // is not there the card is stopped, its selection cleared and the delegate
  // told. Then refreshes the managed controls.
  bool reselectDeviceMenu(ui::PopUpButton* popUp);
  bool reselectDeviceMenuInner(ui::PopUpButton* popUp);
  // The device the audio unit is bound to.
  uint32_t deviceID() const { return audioHALUnit_.deviceID; }
  bool useDefaultDevice() const { return useDefaultDevice_.load(); }
  uint32_t defaultDeviceID() const { return defaultDeviceID_.load(); }
  std::string currentDeviceName() const;

  // ---------------------------------------------------------------- stream (subclasses)
  virtual bool isInput() const { return isInput_; }
  virtual bool isRunning() { return false; }
  virtual bool start() { return false; }
  virtual void stop() {}
  virtual void changeSamplingRate() {}
  virtual void setBufferLength(int32_t length) { bufferLength_.exchange(length); }
  int32_t bufferLength() const { return bufferLength_.load(std::memory_order_acquire); }
  virtual double rateScalar() { return 1.0; }
  // Sleeps, then start(); stop(), then sleeps.
  bool startAfterPause(float seconds);
  void stopWithPause(float seconds);

  // ---------------------------------------------------------------- format, rate, source
  void setFormat(const AFFormat& format);
  std::optional<AFFormat> format();
  bool selectStreamDescription(const AudioStreamBasicDescription* description);
  // Changes the device's rate; a running card is stopped and restarted
  // around the change with short pauses.
  void setSamplingRate(float rate);
  // The device's nominal rate; 0 without a device or when the read fails.
  float samplingRate();
  // Configuring thread. The rate of the samples the card's client takes or
  // makes: the resampling rate when one is set, else the device's rate (0
  // without a device).
  float clientSamplingRate();
  // Frames the device reports between its connectors and the samples in the
  // card's direction (latency plus safety offset); 0 without a device or
  // where it reports none.
  int32_t deviceLatency();
  // Any thread; never blocks or allocates. The drop-outs and latency of the
  // device the card's unit is bound to, as its provider reports them; false
  // (status untouched) when it reports none or no device is bound.
  bool deviceIoStatus(platform::audio::DeviceIoStatus& status, uint32_t* device = nullptr) const noexcept;
  bool reselectSamplingRate();
  void switchSamplingIndex(int32_t index);
  void setSource(const std::string& title);
  std::optional<std::string> source();
  void selectSoundSource();
  // Stops a running card around the change; does not ask for a new converter.
  void setResamplingRate(float rate) override;

  AudioStreamBasicDescription streamFormat() const;
  AudioStreamBasicDescription physicalFormat() const;
  AudioUnitInfo* audioUnitInfo() { return &audioHALUnit_; }
  int32_t node() const { return audioHALUnit_.node; }
  platform::audio::AudioUnit audioUnit() const { return audioHALUnit_.audioUnit; }
  AudioStreamBasicDescription* audioUnitBasicDescription() { return &audioHALUnit_.outputUnitASBD; }
  bool needNewAudioUnit() const { return needNewAudioUnit_.load(); }
  bool justStarted() const { return justStarted_.load(std::memory_order_acquire); }

  // ---------------------------------------------------------------- managed controls
  void setManagedDeviceMenu(ui::PopUpButton* popUp);
  ui::PopUpButton* managedDeviceMenu() const { return managedDevicePopUp_.load(); }
  void setManagedFormatMenu(ui::PopUpButton* popUp);
  void setManagedSamplingRateMenu(ui::PopUpButton* popUp);
  void setManagedSourceMenu(ui::PopUpButton* popUp);
  // Registers slider for channel c (0..64) and removes it from every other
  // channel, so that moving it acts on the channel it shows.
  void setManagedVolumeSlider(ui::Slider* slider, int32_t channel);
  void updateManagedControls();
  void updateFormatMenu();
  bool updateSamplingRateMenu();
  void updateSourceMenu();
  static std::string formatMenuTitle(const AFFormat& format);
  static std::string samplingRateMenuTitle(float rate);
  // Makes the card the control's target with that action (main thread).
  void setInterface(ui::PopUpButton* popUp, void (AFSoundcard::*action)(ui::PopUpButton*));
  void setInterface(ui::Slider* slider, void (AFSoundcard::*action)(ui::Slider*));

  // Actions of the managed controls (the sender is the control; main thread).
  void managedDevicePopupChanged(ui::PopUpButton* sender);
  void managedDevice2PopupChanged(ui::PopUpButton* sender) { managedDevicePopupChanged(sender); }
  void managedFormatPopupChanged(ui::PopUpButton* sender);
  void managedSamplingRatePopupChanged(ui::PopUpButton* sender);
  void managedSourcePopupChanged(ui::PopUpButton* sender);
  void managedVolumeSliderChanged(ui::Slider* sender);

  // ---------------------------------------------------------------- volume
  bool deviceHasVolumeControl(int32_t channel);
  // Channel's volume, else the main control's; -1 when both reads fail, 0
  // without a device.
  float volumeForChannel(int32_t channel);
  bool setVolume(float volume, int32_t channel);
  float updateVolumeSlider(int32_t channel);
  // Restores a stored volume to the channel's control, else to the main
  // control (channel 0), else nowhere.
  void restoreVolume(float volume, int32_t channel);
  // The volume to store for the channel: its control's, else the main
  // control's, else -1.
  float volumeToStore(int32_t channel);
  // Fills popUp with the channel titles of the selected device: "mono" for
  // one channel (or none), "L" and "R" for two, else "1" … "n"; returns the
  // item count. Main thread.
  int32_t fillChannelMenu(ui::PopUpButton* popUp);
  void updateVolumeSliders(bool notify);

  // ---------------------------------------------------------------- notifications
  void addDeviceListener();
  void removeDeviceListener();
  uint32_t listenerID() const { return listenerID_.load(); }
  // Handlers of the platform's notifications (notification thread; they also
  // work on the main thread).
  int32_t soundcardPropertyChanged(uint32_t selector);
  int32_t hardwarePropertyChanged(uint32_t selector);
  void defaultDeviceChanged(uint32_t selector);

 protected:
  // Selects the list's default device and follows it.
  AFSoundcard(std::shared_ptr<AFList> list, bool isInput = true);

  // Subclasses listen to the platform's default device from their creation
  // to their teardown.
  void addDefaultDeviceListener();
  void removeDefaultDeviceListener();

  // Registers the platform listeners (create() calls it); until then the
  // card hears nothing.
  void startListening();
  // Removes every platform listener and the managed controls' targets; the
  // deleter calls it before any destructor runs. Idempotent.
  void stopListening();

  // How the card waits between stopping and restarting; tests may record.
  virtual void sleepFor(double seconds);

  // The unit's kAudioOutputUnitProperty_IsRunning; false without a unit.
  // The thread that configures the card.
  bool unitIsRunning() const;

  // Fields the subclasses use.
  const uint32_t defaultDeviceSelector_;
  const uint32_t scope_;
  std::atomic<int32_t> bufferLength_{0};
  AudioUnitInfo audioHALUnit_;
  // The device the unit is bound to, for readers on other threads.
  std::atomic<uint32_t> boundDevice_{0};
  std::atomic<bool> needNewAudioUnit_{true};
  std::atomic<bool> justStarted_{false};

 private:
  friend struct AFSoundcardDeleter;
  struct ListenerGate;
  struct GateCall;
  struct VolumeControl {
    std::atomic<ui::Slider*> slider{nullptr};
    std::atomic<float> value{0.0f};
  };

  static void logMissingList();
  static int32_t deviceListenerProc(uint32_t objectID, uint32_t numberAddresses,
                                    const AudioObjectPropertyAddress* addresses, void* clientData);
  static int32_t hardwareListenerProc(uint32_t objectID, uint32_t numberAddresses,
                                      const AudioObjectPropertyAddress* addresses, void* clientData);
  static int32_t defaultDeviceListenerProc(uint32_t objectID, uint32_t numberAddresses,
                                           const AudioObjectPropertyAddress* addresses, void* clientData);

  // Runs a control step on the main thread and waits for it.
  static void onMainThread(const std::function<void()>& step);
  void setSelection(std::shared_ptr<AFDevice> device, bool copyFormats);
  void releaseTarget(ui::Control* control);
  std::unique_ptr<ListenerGate> addListener(uint32_t objectID, const AudioObjectPropertyAddress& address,
                                            int32_t (*proc)(uint32_t, uint32_t, const AudioObjectPropertyAddress*,
                                                            void*));
  void removeListener(std::unique_ptr<ListenerGate>& gate);
  std::unique_ptr<ListenerGate> addDefaultDeviceGate();

  // Notices, sent only when the delegate implements them.
  void sendVolumeChanged(float volume, int32_t channel);
  void sendFormatChanged(int32_t channels, int32_t bits);
  void sendDeviceChanged(const std::shared_ptr<AFDevice>& device);
  void sendSourceChanged(const std::string& source);
  void sendSamplingRateChanged(float rate);
  void sendHardwareChanged(uint32_t selector);
  void sendDeviceRemoved(uint32_t deviceID);

  const bool isInput_;
  const std::shared_ptr<AFList> deviceList_;
  std::atomic<uint32_t> defaultDeviceID_{0};
  std::atomic<bool> useDefaultDevice_{true};
  std::atomic<AFSoundcardDelegate*> delegate_{nullptr};
  // The delegate's implemented methods (AFSoundcardDelegate::k… bits).
  std::atomic<uint32_t> delegateMethods_{0};
  bool responds(uint32_t method) const { return (delegateMethods_.load(std::memory_order_acquire) & method) != 0; }

  mutable std::mutex fieldsLock_;  // guards the fields below; never held across a call
  std::shared_ptr<AFDevice> selectedDevice_;
  AudioStreamBasicDescription selectedPhysicalFormat_{};
  AudioStreamBasicDescription selectedStreamFormat_{};
  std::string currentDeviceName_;
  float samplingRateArray_[kMaxSamplingRates] = {};
  int32_t samplingRateCount_ = 0;
  // The list the device pop-up's menu was copied from, so that its indices
  // name the devices it shows (main thread).
  std::shared_ptr<const AFList::Snapshot> devicePopUpSnapshot_;

  std::atomic<ui::PopUpButton*> managedDevicePopUp_{nullptr};
  std::array<VolumeControl, kVolumeChannels> volumeControl_;
  std::atomic<ui::PopUpButton*> managedFormatPopUp_{nullptr};
  std::atomic<ui::PopUpButton*> managedSamplingRatePopUp_{nullptr};
  std::atomic<ui::PopUpButton*> managedSourcePopUp_{nullptr};
  std::mutex callbackLock_;

  // Listener registrations; listenerLock_ guards the fields below and is held
  // only to swap them, never while waiting for a listener call.
  std::mutex listenerLock_;
  bool listening_ = false;
  bool wantsDefaultDeviceListener_ = false;
  std::atomic<uint32_t> listenerID_{0};
  std::unique_ptr<ListenerGate> deviceGate_;
  std::unique_ptr<ListenerGate> hardwareGate_;
  std::unique_ptr<ListenerGate> defaultDeviceGate_;
};
