#include "audio/AFSoundcard.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <thread>

#include "platform/Log.h"
#include "platform/audio/AudioHardware.h"
#include "ui/MainThread.h"
#include "ui/PopUpButton.h"
#include "ui/Slider.h"

namespace pa = platform::audio;

// One listener registration. The platform calls the listener with the gate as
// client data; the gate counts the calls in progress, so that a removal can
// shut it and wait for them before the platform forgets the registration.
struct AFSoundcard::ListenerGate {
  explicit ListenerGate(AFSoundcard* owner, uint32_t object, const AudioObjectPropertyAddress& at,
                        int32_t (*listener)(uint32_t, uint32_t, const AudioObjectPropertyAddress*, void*))
      : card(owner), objectID(object), address(at), proc(listener) {}

  // True when the call may go on; every true is matched by leave().
  bool enter() {
    std::lock_guard guard(lock);
    if (!open) return false;
    ++inFlight;
    return true;
  }
  void leave() {
    {
      std::lock_guard guard(lock);
      --inFlight;
    }
    left.notify_all();
  }
  // Shuts the gate and waits until no call is in progress on another thread.
  // On the main thread the wait keeps running queued main-thread work, which
  // the call in progress may be waiting for.
  void shutAndWait() {
    int own = current == this ? 1 : 0;
    ui::MainThread& mainThread = ui::MainThread::instance();
    bool onMain = mainThread.isMainThread();
    std::unique_lock guard(lock);
    open = false;
    while (inFlight > own) {
      if (onMain) {
        guard.unlock();
        mainThread.drain();
        guard.lock();
        left.wait_for(guard, std::chrono::milliseconds(1), [&] { return inFlight <= own; });
      } else {
        left.wait(guard, [&] { return inFlight <= own; });
      }
    }
  }

  AFSoundcard* const card;
  const uint32_t objectID;
  const AudioObjectPropertyAddress address;
  int32_t (*const proc)(uint32_t, uint32_t, const AudioObjectPropertyAddress*, void*);
  std::mutex lock;
  std::condition_variable left;
  int inFlight = 0;
  bool open = true;

  // The gate whose call this thread is in, if any.
  static thread_local ListenerGate* current;
};

thread_local AFSoundcard::ListenerGate* AFSoundcard::ListenerGate::current = nullptr;

// Holds a gate open for the length of one listener call.
struct AFSoundcard::GateCall {
  explicit GateCall(void* clientData) : gate(static_cast<ListenerGate*>(clientData)) {}
  GateCall(const GateCall&) = delete;
  GateCall& operator=(const GateCall&) = delete;
  bool entered() {
    if (!gate || !gate->enter()) return false;
    previous = ListenerGate::current;
    ListenerGate::current = gate;
    inside = true;
    return true;
  }
  ~GateCall() {
    if (!inside) return;
    ListenerGate::current = previous;
    gate->leave();
  }

  ListenerGate* gate;
  ListenerGate* previous = nullptr;
  bool inside = false;
};

// ---------------------------------------------------------------- creation

void AFSoundcardDeleter::operator()(AFSoundcard* card) const {
  if (!card) return;
  card->stopListening();
  delete card;
}

void AFSoundcard::logMissingList() { platform::log("AFSoundcard has to be initialized with an AFList"); }

namespace {
std::shared_ptr<AFList> listOrLog(std::shared_ptr<AFList> list, bool isInput) {
  if (list) return list;
  platform::log("AFSoundcard has to be initialized with an AFList");
  // A subclass made without a list still gets a working one of its direction.
  return std::make_shared<AFList>(isInput);
}
}  // namespace

AFSoundcard::AFSoundcard(std::shared_ptr<AFList> list, bool isInput)
    : defaultDeviceSelector_(isInput ? pa::kAudioHardwarePropertyDefaultInputDevice
                                     : pa::kAudioHardwarePropertyDefaultOutputDevice),
      scope_(isInput ? pa::kAudioDevicePropertyScopeInput : pa::kAudioDevicePropertyScopeOutput),
      isInput_(isInput),
      deviceList_(listOrLog(std::move(list), isInput)) {
  channelMask_ = 0;
  std::shared_ptr<AFDevice> defaultDevice = deviceList_->defaultDevice();
  defaultDeviceID_ = defaultDevice ? defaultDevice->deviceID() : 0;
  // The device-list listener is registered by startListening(), once the
  // card is complete.
  useDefaultDevice_ = true;
  selectDevice(std::move(defaultDevice));
}

AFSoundcard::~AFSoundcard() { stopListening(); }

void AFSoundcard::startListening() {
  {
    std::lock_guard guard(listenerLock_);
    if (listening_) return;
    listening_ = true;
    hardwareGate_ = addListener(pa::kAudioObjectSystemObject,
                                {pa::kAudioHardwarePropertyDevices, pa::kAudioObjectPropertyScopeGlobal,
                                 pa::kAudioObjectPropertyElementMain},
                                &AFSoundcard::hardwareListenerProc);
    if (wantsDefaultDeviceListener_) defaultDeviceGate_ = addDefaultDeviceGate();
  }
  addDeviceListener();
}

void AFSoundcard::stopListening() {
  std::unique_ptr<ListenerGate> device, defaultDevice, hardware;
  {
    std::lock_guard guard(listenerLock_);
    listening_ = false;
    device = std::move(deviceGate_);
    defaultDevice = std::move(defaultDeviceGate_);
    hardware = std::move(hardwareGate_);
    listenerID_ = 0;
  }
  removeListener(device);
  removeListener(defaultDevice);
  removeListener(hardware);
  // The controls outlive the card; their actions must not reach it.
  releaseTarget(managedDevicePopUp_.exchange(nullptr));
  releaseTarget(managedFormatPopUp_.exchange(nullptr));
  releaseTarget(managedSamplingRatePopUp_.exchange(nullptr));
  releaseTarget(managedSourcePopUp_.exchange(nullptr));
  for (VolumeControl& control : volumeControl_) releaseTarget(control.slider.exchange(nullptr));
}

void AFSoundcard::sleepFor(double seconds) {
  if (seconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

void AFSoundcard::onMainThread(const std::function<void()>& step) { ui::MainThread::instance().runSync(step); }

void AFSoundcard::releaseTarget(ui::Control* control) {
  if (!control) return;
  onMainThread([control] { control->setInterface({}); });
}

// ---------------------------------------------------------------- delegate

void AFSoundcard::setDelegate(AFSoundcardDelegate* delegate) {
  uint32_t methods = delegate ? delegate->implementedMethods() : 0;
  delegate_.store(delegate, std::memory_order_release);
  respondsToVolumeChange_ = (methods & AFSoundcardDelegate::kVolumeChange) != 0;
  respondsToFormatChange_ = (methods & AFSoundcardDelegate::kFormatChange) != 0;
  respondsToDeviceChange_ = (methods & AFSoundcardDelegate::kDeviceChange) != 0;
  respondsToSourceChange_ = (methods & AFSoundcardDelegate::kSourceChange) != 0;
  respondsToSamplingRateChange_ = (methods & AFSoundcardDelegate::kSamplingRateChange) != 0;
  respondsToHardwareChange_ = (methods & AFSoundcardDelegate::kHardwareChange) != 0;
  respondsToDeviceRemoval_ = (methods & AFSoundcardDelegate::kDeviceRemoval) != 0;
  respondsToInputReceived_ = (methods & AFSoundcardDelegate::kInputReceived) != 0;
  respondsToOutputNeeded_ = (methods & AFSoundcardDelegate::kOutputNeeded) != 0;
}

void AFSoundcard::sendVolumeChanged(float volume, int32_t channel) {
  AFSoundcardDelegate* d = delegate();
  if (d && respondsToVolumeChange_) d->soundcardVolumeChangedToChannel(this, volume, channel);
}
void AFSoundcard::sendFormatChanged(int32_t channels, int32_t bits) {
  AFSoundcardDelegate* d = delegate();
  if (d && respondsToFormatChange_) d->soundcardFormatChangedToChannelsBits(this, channels, bits);
}
void AFSoundcard::sendDeviceChanged(const std::shared_ptr<AFDevice>& device) {
  AFSoundcardDelegate* d = delegate();
  if (d && respondsToDeviceChange_) d->soundcardDeviceChangedTo(this, device);
}
void AFSoundcard::sendSourceChanged(const std::string& source) {
  AFSoundcardDelegate* d = delegate();
  if (d && respondsToSourceChange_) d->soundcardSoundSourceChangedTo(this, source);
}
void AFSoundcard::sendSamplingRateChanged(float rate) {
  AFSoundcardDelegate* d = delegate();
  if (d && respondsToSamplingRateChange_) d->soundcardSamplingRateChangedTo(this, rate);
}
void AFSoundcard::sendHardwareChanged(uint32_t selector) {
  AFSoundcardDelegate* d = delegate();
  if (d && respondsToHardwareChange_) d->soundcardHardwareChanged(this, selector);
}
void AFSoundcard::sendDeviceRemoved(uint32_t deviceID) {
  AFSoundcardDelegate* d = delegate();
  if (d && respondsToDeviceRemoval_) d->soundcardSelectedSoundcardRemoved(this, deviceID);
}

AFList::DeviceArray AFSoundcard::devices() const { return deviceList_->devices(); }

// ---------------------------------------------------------------- device

std::shared_ptr<AFDevice> AFSoundcard::selectedDevice() const {
  std::lock_guard guard(fieldsLock_);
  return selectedDevice_;
}

std::string AFSoundcard::currentDeviceName() const {
  std::lock_guard guard(fieldsLock_);
  return currentDeviceName_;
}

void AFSoundcard::setSelection(std::shared_ptr<AFDevice> device, bool copyFormats) {
  AudioStreamBasicDescription stream{};
  AudioStreamBasicDescription physical{};
  if (device && copyFormats) {
    stream = device->streamFormat();
    physical = device->physicalFormat();
  }
  std::lock_guard guard(fieldsLock_);
  selectedDevice_ = std::move(device);
  if (copyFormats) {
    selectedStreamFormat_ = stream;
    selectedPhysicalFormat_ = physical;
  }
}

std::shared_ptr<AFDevice> AFSoundcard::selectDevice(std::shared_ptr<AFDevice> device) {
  if (device == selectedDevice()) return device;
  bool running = isRunning();
  if (running) stop();
  if (selectedDevice()) {
    removeDeviceListener();
    setSelection(nullptr, false);
  }
  if (!device) {
    setSelection(nullptr, true);
    return nullptr;
  }
  setSelection(device, true);
  updateManagedControls();
  addDeviceListener();
  if (running) start();
  sendDeviceChanged(device);
  return device;
}

std::shared_ptr<AFDevice> AFSoundcard::selectDeviceName(const std::optional<std::string>& title) {
  // The formats are copied as by selectDevice: the input card sizes its
  // buffers from the stream format, and format notices are compared with
  // the physical format.
  if (title) {
    std::shared_ptr<AFDevice> found = deviceList_->deviceWithName(*title);
    setSelection(found, true);
    ui::PopUpButton* popUp = managedDevicePopUp_.load();
    if (found && popUp && reselectDeviceMenu(popUp)) return found;
  }
  std::shared_ptr<AFDevice> fallback = deviceList_->defaultDevice();
  setSelection(fallback, true);
  bool shown = reselectDeviceMenu(managedDevicePopUp_.load());
  // The selection was set directly; the device listener must follow it also
  // where no pop-up reselection moved it, or the card would go on hearing a
  // device it no longer uses. (Without a selection the listener is harmless:
  // its notices are refused.)
  if (selectedDevice()) addDeviceListener();
  return shown ? fallback : nullptr;
}

bool AFSoundcard::reselectDeviceMenu(ui::PopUpButton* popUp) {
  if (!selectedDevice()) return false;
  bool result = true;
  if (popUp) result = reselectDeviceMenuInner(popUp);
  updateManagedControls();
  return result;
}

bool AFSoundcard::reselectDeviceMenuInner(ui::PopUpButton* popUp) {
  std::shared_ptr<AFDevice> device = selectedDevice();
  auto findTitle = [&](const std::string& title) {
    int index = -1;
    onMainThread([&] {
      popUp->selectItemWithTitle(title);
      index = popUp->indexOfSelectedItem();
    });
    if (index < 0) return false;
    {
      std::lock_guard guard(fieldsLock_);
      currentDeviceName_ = title;
    }
    addDeviceListener();
    return true;
  };
  if (device && device->name() && findTitle(*device->name())) return true;
  if (device && device->uniqueName() && findTitle(*device->uniqueName())) return true;

  {
    std::lock_guard guard(fieldsLock_);
    currentDeviceName_.clear();
  }
  if (isRunning()) stop();
  uint32_t removedID = device ? device->deviceID() : 0;
  selectDevice(nullptr);
  addDeviceListener();
  sendDeviceRemoved(removedID);
  return false;
}

bool AFSoundcard::startAfterPause(float seconds) {
  sleepFor(seconds);
  return start();
}

void AFSoundcard::stopWithPause(float seconds) {
  stop();
  sleepFor(seconds);
}

// ---------------------------------------------------------------- format, rate, source

void AFSoundcard::setFormat(const AFFormat& format) {
  std::shared_ptr<AFDevice> device = selectedDevice();
  if (!device) return;
  device->selectFormat(format);
  updateFormatMenu();
}

std::optional<AFFormat> AFSoundcard::format() {
  std::shared_ptr<AFDevice> device = selectedDevice();
  if (!device) return std::nullopt;
  return device->format();
}

bool AFSoundcard::selectStreamDescription(const AudioStreamBasicDescription* description) {
  bool result = false;
  ui::PopUpButton* popUp = managedFormatPopUp_.load();
  std::shared_ptr<AFDevice> device = selectedDevice();
  if (popUp && device) {
    std::string title = formatMenuTitle(device->format());
    int index = -1;
    onMainThread([&] {
      index = popUp->indexOfItemWithTitle(title);
      if (index >= 0) popUp->selectItemAtIndex(index);
    });
    result = index >= 0;
  }
  for (int32_t channel = 0; channel < kVolumeChannels; ++channel)
    if (volumeControl_[channel].slider.load()) updateVolumeSlider(channel);
  if (description)
    sendFormatChanged(static_cast<int32_t>(description->mChannelsPerFrame),
                      static_cast<int32_t>(description->mBitsPerChannel));
  return result;
}

void AFSoundcard::setSamplingRate(float rate) {
  std::shared_ptr<AFDevice> device = selectedDevice();
  if (!device) return;
  if (isRunning()) {
    stopWithPause(0.1f);
    device->selectSamplingRate(rate);
    updateSamplingRateMenu();
    changeSamplingRate();
    sleepFor(0.02);
    startAfterPause(0.03f);
  } else {
    device->selectSamplingRate(rate);
    updateSamplingRateMenu();
    changeSamplingRate();
  }
}

float AFSoundcard::samplingRate() {
  std::shared_ptr<AFDevice> device = selectedDevice();
  if (!device) return 0.0f;
  double rate = 0.0;
  if (pa::getProperty(device->deviceID(),
                      {pa::kAudioDevicePropertyNominalSampleRate, pa::kAudioObjectPropertyScopeGlobal,
                       pa::kAudioObjectPropertyElementMain},
                      rate) != pa::noErr)
    return 0.0f;
  return static_cast<float>(rate);
}

float AFSoundcard::clientSamplingRate() {
  const float resampling = resamplingRate();
  return resampling >= 10.0f ? resampling : samplingRate();
}

void AFSoundcard::restoreVolume(float volume, int32_t channel) {
  if (deviceHasVolumeControl(channel))
    setVolume(volume, channel);
  else if (deviceHasVolumeControl(0))
    setVolume(volume, 0);
}

float AFSoundcard::volumeToStore(int32_t channel) {
  if (deviceHasVolumeControl(channel)) return volumeForChannel(channel);
  if (deviceHasVolumeControl(0)) return volumeForChannel(0);
  return -1.0f;
}

int32_t AFSoundcard::fillChannelMenu(ui::PopUpButton* popUp) {
  const std::optional<AFFormat> current = format();
  const int32_t n = current ? current->channels() : 0;
  if (!popUp) return std::max(n, 1);
  popUp->removeAllItems();
  if (n <= 1) {
    popUp->addItemWithTitle("mono");
  } else if (n == 2) {
    popUp->addItemWithTitle("L");
    popUp->addItemWithTitle("R");
  } else {
    for (int32_t c = 1; c <= n; ++c) popUp->addItemWithTitle(std::to_string(c));
  }
  return popUp->numberOfItems();
}

bool AFSoundcard::unitIsRunning() const {
  pa::AudioUnit unit = audioHALUnit_.audioUnit;
  if (!unit) return false;
  uint32_t running = 0;
  uint32_t size = sizeof running;
  if (pa::AudioUnitGetProperty(unit, pa::kAudioOutputUnitProperty_IsRunning, pa::kAudioUnitScope_Global, 0, &running,
                               &size) != pa::noErr)
    return false;
  return running != 0;
}

int32_t AFSoundcard::deviceLatency() {
  std::shared_ptr<AFDevice> device = selectedDevice();
  if (!device) return 0;
  uint32_t latency = 0, safety = 0;
  const pa::AudioObjectPropertyAddress a{pa::kAudioDevicePropertyLatency, scope_, pa::kAudioObjectPropertyElementMain};
  const pa::AudioObjectPropertyAddress b{pa::kAudioDevicePropertySafetyOffset, scope_,
                                         pa::kAudioObjectPropertyElementMain};
  if (pa::getProperty(device->deviceID(), a, latency) != pa::noErr) latency = 0;
  if (pa::getProperty(device->deviceID(), b, safety) != pa::noErr) safety = 0;
  return static_cast<int32_t>(std::min<uint64_t>(uint64_t{latency} + safety, 1u << 20));
}

bool AFSoundcard::deviceIoStatus(pa::DeviceIoStatus& status, uint32_t* device) const noexcept {
  const uint32_t bound = boundDevice_.load(std::memory_order_acquire);
  if (device) *device = bound;
  return bound != 0 && pa::AudioDeviceGetIoStatus(bound, &status) == pa::noErr;
}

bool AFSoundcard::reselectSamplingRate() {
  changeSamplingRate();
  std::shared_ptr<AFDevice> device = selectedDevice();
  ui::PopUpButton* popUp = managedSamplingRatePopUp_.load();
  if (!device || !popUp) return false;
  std::string title = samplingRateMenuTitle(device->samplingRate());
  int index = -1;
  onMainThread([&] {
    index = popUp->indexOfItemWithTitle(title);
    if (index >= 0 && index != popUp->indexOfSelectedItem()) popUp->selectItemAtIndex(index);
  });
  return index >= 0;
}

void AFSoundcard::switchSamplingIndex(int32_t index) {
  std::shared_ptr<AFDevice> device = selectedDevice();
  if (!device || index < 0) return;
  float rate = 0.0f;
  {
    std::lock_guard guard(fieldsLock_);
    // Only the rates the pop-up was built from are meaningful.
    if (index >= samplingRateCount_) return;
    rate = samplingRateArray_[index];
  }
  device->selectSamplingRate(rate);
}

void AFSoundcard::setSource(const std::string& title) {
  std::shared_ptr<AFDevice> device = selectedDevice();
  if (!device) return;
  device->selectSource(title);
  updateSourceMenu();
}

std::optional<std::string> AFSoundcard::source() {
  std::shared_ptr<AFDevice> device = selectedDevice();
  if (!device) return std::nullopt;
  return device->source();
}

void AFSoundcard::selectSoundSource() {
  std::shared_ptr<AFDevice> device = selectedDevice();
  if (!device) return;
  if (ui::PopUpButton* popUp = managedSourcePopUp_.load()) {
    std::string title = device->source();
    onMainThread([&] {
      int index = popUp->indexOfItemWithTitle(title);
      if (index >= 0) popUp->selectItemAtIndex(index);
    });
  }
  if (respondsToSourceChange_) sendSourceChanged(device->source());
}

void AFSoundcard::setResamplingRate(float rate) {
  if (rate == resamplingRate_) return;
  float stored = rate < 10.0f ? 0.0f : rate;
  if (isRunning()) {
    stop();
    resamplingRate_ = stored;
    start();
  } else {
    resamplingRate_ = stored;
  }
  changeSamplingRate();
}

AFSoundcard::AudioStreamBasicDescription AFSoundcard::streamFormat() const {
  std::lock_guard guard(fieldsLock_);
  return selectedStreamFormat_;
}

AFSoundcard::AudioStreamBasicDescription AFSoundcard::physicalFormat() const {
  std::lock_guard guard(fieldsLock_);
  return selectedPhysicalFormat_;
}

// ---------------------------------------------------------------- managed controls

std::string AFSoundcard::formatMenuTitle(const AFFormat& format) {
  char title[64];
  std::snprintf(title, sizeof(title), "%dch-%dbit", format.channels(), format.bits());
  return title;
}

std::string AFSoundcard::samplingRateMenuTitle(float rate) {
  char title[64];
  std::snprintf(title, sizeof(title), "%d", static_cast<int>(rate));
  return title;
}

void AFSoundcard::setInterface(ui::PopUpButton* popUp, void (AFSoundcard::*action)(ui::PopUpButton*)) {
  if (!popUp) return;
  onMainThread([=, this] { popUp->setInterface([=, this] { (this->*action)(popUp); }); });
}

void AFSoundcard::setInterface(ui::Slider* slider, void (AFSoundcard::*action)(ui::Slider*)) {
  if (!slider) return;
  onMainThread([=, this] { slider->setInterface([=, this] { (this->*action)(slider); }); });
}

void AFSoundcard::setManagedDeviceMenu(ui::PopUpButton* popUp) {
  ui::PopUpButton* previous = managedDevicePopUp_.exchange(popUp);
  if (previous != popUp) releaseTarget(previous);
  if (!popUp) return;
  onMainThread([&] {
    std::shared_ptr<const AFList::Snapshot> snapshot = deviceList_->snapshot();
    popUp->setMenu(AFList::menuCopyOf(*snapshot));
    std::lock_guard guard(fieldsLock_);
    devicePopUpSnapshot_ = std::move(snapshot);
  });
  reselectDeviceMenu(popUp);
  setInterface(popUp, &AFSoundcard::managedDevicePopupChanged);
}

void AFSoundcard::managedDevicePopupChanged(ui::PopUpButton* sender) {
  int index = sender->indexOfSelectedItem();
  if (index < 0) return;
  std::shared_ptr<AFDevice> device;
  {
    std::lock_guard guard(fieldsLock_);
    // The pop-up shows the list its menu was copied from.
    if (!devicePopUpSnapshot_ || index >= static_cast<int>(devicePopUpSnapshot_->devices.size())) return;
    device = devicePopUpSnapshot_->devices[static_cast<std::size_t>(index)];
  }
  useDefaultDevice_ = false;
  // The user's pick is what a change of the device list must find again.
  {
    std::lock_guard guard(fieldsLock_);
    currentDeviceName_ = sender->titleOfSelectedItem();
  }
  selectDevice(device);
}

void AFSoundcard::setManagedFormatMenu(ui::PopUpButton* popUp) {
  ui::PopUpButton* previous = managedFormatPopUp_.exchange(popUp);
  if (previous != popUp) releaseTarget(previous);
  updateFormatMenu();
}

void AFSoundcard::updateFormatMenu() {
  needNewAudioUnit_ = true;
  ui::PopUpButton* popUp = managedFormatPopUp_.load();
  if (!popUp) return;
  std::shared_ptr<AFDevice> device = selectedDevice();
  onMainThread([&] {
    popUp->removeAllItems();
    if (device)
      for (const AFFormat& format : device->formats()) popUp->addItemWithTitle(formatMenuTitle(format));
  });
  if (device) {
    AudioStreamBasicDescription physical = device->physicalFormat();
    selectStreamDescription(&physical);
  }
  setInterface(popUp, &AFSoundcard::managedFormatPopupChanged);
}

void AFSoundcard::managedFormatPopupChanged(ui::PopUpButton* sender) {
  int index = sender->indexOfSelectedItem();
  std::shared_ptr<AFDevice> device = selectedDevice();
  if (index < 0 || !device || index >= static_cast<int>(device->formats().size())) return;
  device->selectFormat(device->formats()[static_cast<std::size_t>(index)]);
}

void AFSoundcard::setManagedSamplingRateMenu(ui::PopUpButton* popUp) {
  ui::PopUpButton* previous = managedSamplingRatePopUp_.exchange(popUp);
  if (previous != popUp) releaseTarget(previous);
  if (!popUp) return;
  updateSamplingRateMenu();
  setInterface(popUp, &AFSoundcard::managedSamplingRatePopupChanged);
}

bool AFSoundcard::updateSamplingRateMenu() {
  needNewAudioUnit_ = true;
  ui::PopUpButton* popUp = managedSamplingRatePopUp_.load();
  if (!popUp) return false;
  std::shared_ptr<AFDevice> device = selectedDevice();
  std::vector<float> rates;
  if (device) rates = device->samplingRates();
  int32_t count = std::min(static_cast<int32_t>(rates.size()), kMaxSamplingRates);
  onMainThread([&] {
    popUp->removeAllItems();
    {
      std::lock_guard guard(fieldsLock_);
      for (int32_t i = 0; i < count; ++i) samplingRateArray_[i] = rates[static_cast<std::size_t>(i)];
      samplingRateCount_ = count;
    }
    for (int32_t i = 0; i < count; ++i) popUp->addItemWithTitle(samplingRateMenuTitle(rates[static_cast<std::size_t>(i)]));
  });
  if (!device) return false;
  reselectSamplingRate();
  return true;
}

void AFSoundcard::managedSamplingRatePopupChanged(ui::PopUpButton* sender) {
  int index = sender->indexOfSelectedItem();
  if (!isRunning()) {
    switchSamplingIndex(index);
    return;
  }
  stopWithPause(0.1f);
  switchSamplingIndex(index);
  startAfterPause(0.03f);
}

void AFSoundcard::setManagedSourceMenu(ui::PopUpButton* popUp) {
  ui::PopUpButton* previous = managedSourcePopUp_.exchange(popUp);
  if (previous != popUp) releaseTarget(previous);
  if (!popUp) return;
  updateSourceMenu();
  setInterface(popUp, &AFSoundcard::managedSourcePopupChanged);
}

void AFSoundcard::updateSourceMenu() {
  std::shared_ptr<AFDevice> device = selectedDevice();
  ui::PopUpButton* popUp = managedSourcePopUp_.load();
  if (!device || !popUp) return;
  std::shared_ptr<ui::Menu> menu = device->sourceMenu();
  std::string current = menu->numberOfItems() > 1 ? device->source() : std::string();
  onMainThread([&] {
    popUp->setMenu(menu);
    if (menu->numberOfItems() > 1) {
      popUp->selectItemWithTitle(current);
      if (popUp->indexOfSelectedItem() < 0) popUp->selectItemAtIndex(0);
    }
  });
}

void AFSoundcard::managedSourcePopupChanged(ui::PopUpButton* sender) {
  std::shared_ptr<AFDevice> device = selectedDevice();
  if (sender->indexOfSelectedItem() < 0 || !device) return;
  device->selectSource(sender->titleOfSelectedItem());
}

void AFSoundcard::updateManagedControls() {
  updateVolumeSliders(false);
  updateFormatMenu();
  updateSamplingRateMenu();
  updateSourceMenu();
}

// ---------------------------------------------------------------- volume

namespace {
pa::AudioObjectPropertyAddress volumeAddress(uint32_t scope, int32_t channel) {
  return {pa::kAudioDevicePropertyVolumeScalar, scope, static_cast<uint32_t>(channel)};
}
}  // namespace

bool AFSoundcard::deviceHasVolumeControl(int32_t channel) {
  std::shared_ptr<AFDevice> device = selectedDevice();
  pa::AudioObjectPropertyAddress a = volumeAddress(scope_, channel);
  bool settable = false;
  return pa::AudioObjectIsPropertySettable(device ? device->deviceID() : 0, &a, &settable) == pa::noErr &&
         settable;
}

float AFSoundcard::volumeForChannel(int32_t channel) {
  std::shared_ptr<AFDevice> device = selectedDevice();
  if (!device) return 0.0f;
  float volume = -1.0f;
  if (pa::getProperty(device->deviceID(), volumeAddress(scope_, channel), volume) != pa::noErr)
    pa::getProperty(device->deviceID(), volumeAddress(scope_, 0), volume);
  return volume;
}

bool AFSoundcard::setVolume(float volume, int32_t channel) {
  std::shared_ptr<AFDevice> device = selectedDevice();
  if (!device) return false;
  if (pa::setProperty(device->deviceID(), volumeAddress(scope_, channel), volume) != pa::noErr) return false;
  sendVolumeChanged(volume, channel);
  if (channel >= 0 && channel < kVolumeChannels && volumeControl_[channel].slider.load()) updateVolumeSlider(channel);
  return true;
}

void AFSoundcard::setManagedVolumeSlider(ui::Slider* slider, int32_t channel) {
  if (channel < 0 || channel >= kVolumeChannels) return;
  ui::Slider* previous = volumeControl_[channel].slider.exchange(slider);
  if (previous && previous != slider) {
    bool stillUsed = false;
    for (const VolumeControl& control : volumeControl_) stillUsed = stillUsed || control.slider.load() == previous;
    if (!stillUsed) releaseTarget(previous);
  }
  if (!slider) return;
  // One slider stands for one channel: it leaves the channels it stood for.
  for (int32_t other = 0; other < kVolumeChannels; ++other) {
    if (other == channel) continue;
    ui::Slider* expected = slider;
    volumeControl_[other].slider.compare_exchange_strong(expected, nullptr);
  }
  updateVolumeSlider(channel);
  setInterface(slider, &AFSoundcard::managedVolumeSliderChanged);
}

float AFSoundcard::updateVolumeSlider(int32_t channel) {
  if (channel < 0 || channel >= kVolumeChannels) return 0.0f;
  ui::Slider* slider = volumeControl_[channel].slider.load();
  if (!slider) return 0.0f;
  if (deviceHasVolumeControl(channel)) {
    float volume = volumeForChannel(channel);
    volumeControl_[channel].value = volume;
    onMainThread([&] {
      slider->setFloatValue(volume);
      slider->setEnabled(true);
    });
    return volume;
  }
  onMainThread([&] {
    slider->setFloatValue(0.0f);
    slider->setEnabled(false);
  });
  return 0.0f;
}

void AFSoundcard::updateVolumeSliders(bool notify) {
  for (int32_t channel = 0; channel < kVolumeChannels; ++channel) {
    ui::Slider* slider = volumeControl_[channel].slider.load();
    if (!slider) continue;
    if (deviceHasVolumeControl(channel)) {
      float before = volumeControl_[channel].value.load();
      float after = updateVolumeSlider(channel);
      // A NaN on either side counts as a change.
      if (notify && !(after == before)) sendVolumeChanged(after, channel);
    } else {
      onMainThread([&] {
        slider->setFloatValue(0.0f);
        slider->setEnabled(false);
      });
    }
  }
}

void AFSoundcard::managedVolumeSliderChanged(ui::Slider* sender) {
  int32_t channels = static_cast<int32_t>(physicalFormat().mChannelsPerFrame);
  int32_t last = std::min(channels, kVolumeChannels - 1);
  for (int32_t channel = 0; channel <= last; ++channel) {
    if (volumeControl_[channel].slider.load() != sender) continue;
    setVolume(sender->floatValue(), channel);
    return;
  }
}

// ---------------------------------------------------------------- listeners

std::unique_ptr<AFSoundcard::ListenerGate> AFSoundcard::addListener(
    uint32_t objectID, const AudioObjectPropertyAddress& address,
    int32_t (*proc)(uint32_t, uint32_t, const AudioObjectPropertyAddress*, void*)) {
  auto gate = std::make_unique<ListenerGate>(this, objectID, address, proc);
  // A failed registration leaves a gate that nothing calls; removing it
  // later fails quietly, as the platform's remove does for an unknown one.
  pa::AudioObjectAddPropertyListener(objectID, &gate->address, proc, gate.get());
  return gate;
}

void AFSoundcard::removeListener(std::unique_ptr<ListenerGate>& gate) {
  if (!gate) return;
  std::unique_ptr<ListenerGate> leaving = std::move(gate);
  leaving->shutAndWait();
  pa::AudioObjectRemovePropertyListener(leaving->objectID, &leaving->address, leaving->proc, leaving.get());
  // A call of this very listener in progress on this thread still uses the
  // gate; it then lives on until the platform can no longer call it.
  if (ListenerGate::current == leaving.get()) leaving.release();
}

void AFSoundcard::addDeviceListener() {
  std::shared_ptr<AFDevice> device = selectedDevice();
  if (!device) return;
  uint32_t id = device->deviceID();
  // The registration lock is never held while waiting for a listener call,
  // which may itself be waiting to add or remove a registration.
  for (;;) {
    std::unique_ptr<ListenerGate> previous;
    {
      std::lock_guard guard(listenerLock_);
      if (!listening_ || id == listenerID_) return;
      if (listenerID_ == 0) {
        deviceGate_ = addListener(
            id, {pa::kAudioObjectPropertySelectorWildcard, scope_, pa::kAudioObjectPropertyElementMain},
            &AFSoundcard::deviceListenerProc);
        listenerID_ = id;
        return;
      }
      previous = std::move(deviceGate_);
      listenerID_ = 0;
    }
    removeListener(previous);
  }
}

void AFSoundcard::removeDeviceListener() {
  std::unique_ptr<ListenerGate> gate;
  {
    std::lock_guard guard(listenerLock_);
    if (listenerID_ == 0) return;
    gate = std::move(deviceGate_);
    listenerID_ = 0;
  }
  removeListener(gate);
}

std::unique_ptr<AFSoundcard::ListenerGate> AFSoundcard::addDefaultDeviceGate() {
  return addListener(pa::kAudioObjectSystemObject,
                     {defaultDeviceSelector_, pa::kAudioObjectPropertyScopeGlobal, pa::kAudioObjectPropertyElementMain},
                     &AFSoundcard::defaultDeviceListenerProc);
}

void AFSoundcard::addDefaultDeviceListener() {
  std::lock_guard guard(listenerLock_);
  wantsDefaultDeviceListener_ = true;
  if (listening_ && !defaultDeviceGate_) defaultDeviceGate_ = addDefaultDeviceGate();
}

void AFSoundcard::removeDefaultDeviceListener() {
  std::unique_ptr<ListenerGate> gate;
  {
    std::lock_guard guard(listenerLock_);
    wantsDefaultDeviceListener_ = false;
    gate = std::move(defaultDeviceGate_);
  }
  removeListener(gate);
}

int32_t AFSoundcard::deviceListenerProc(uint32_t, uint32_t numberAddresses, const AudioObjectPropertyAddress* addresses,
                                        void* clientData) {
  GateCall call(clientData);
  if (!call.entered()) return 0;
  for (uint32_t i = 0; i < numberAddresses; ++i) {
    int32_t status = call.gate->card->soundcardPropertyChanged(addresses[i].mSelector);
    if (status != 0) return status;
  }
  return 0;
}

int32_t AFSoundcard::hardwareListenerProc(uint32_t objectID, uint32_t numberAddresses,
                                          const AudioObjectPropertyAddress* addresses, void* clientData) {
  if (objectID != pa::kAudioObjectSystemObject || numberAddresses == 0) return 0;
  GateCall call(clientData);
  if (!call.entered()) return 0;
  return call.gate->card->hardwarePropertyChanged(addresses[0].mSelector);
}

int32_t AFSoundcard::defaultDeviceListenerProc(uint32_t, uint32_t, const AudioObjectPropertyAddress*,
                                               void* clientData) {
  GateCall call(clientData);
  if (!call.entered()) return 0;
  call.gate->card->defaultDeviceChanged(call.gate->card->defaultDeviceSelector_);
  return 0;
}

int32_t AFSoundcard::soundcardPropertyChanged(uint32_t selector) {
  std::shared_ptr<AFDevice> device = selectedDevice();
  if (!device) return -1;
  switch (selector) {
    case pa::kAudioStreamPropertyPhysicalFormat: {
      AudioStreamBasicDescription now = device->physicalFormat();
      AudioStreamBasicDescription before = physicalFormat();
      bool rateChanged = now.mSampleRate != before.mSampleRate;
      bool formatChanged =
          now.mChannelsPerFrame != before.mChannelsPerFrame || now.mBitsPerChannel != before.mBitsPerChannel;
      if (rateChanged) {
        sendSamplingRateChanged(static_cast<float>(now.mSampleRate));
        reselectSamplingRate();
      }
      if (formatChanged) selectStreamDescription(&now);
      if (!rateChanged && !formatChanged) platform::log("soundcardPropertyChanged: physical format change not handled\n");
      std::lock_guard guard(fieldsLock_);
      selectedPhysicalFormat_ = now;
      return 0;
    }
    case pa::kAudioDevicePropertyDataSource:
      selectSoundSource();
      return 0;
    case pa::kAudioDevicePropertyVolumeScalar:
    case pa::kAudioHardwareServiceDeviceProperty_VirtualMainVolume:
      updateVolumeSliders(true);
      return 0;
    case pa::kAudioDevicePropertyLatency:
    case pa::kAudioDevicePropertyMute:
    case pa::kAudioDevicePropertySafetyOffset:
    case pa::kAudioDevicePropertyStreamFormats:
    case pa::kAudioDevicePropertyStreamFormat:
    case pa::fourCC("slay"):
    case pa::fourCC("srnd"):
    case pa::fourCC("vist"):
    case pa::kAudioHardwareServiceDeviceProperty_VirtualMainBalance:
    case pa::kAudioDevicePropertyVolumeDecibels:
      return 0;
    default:
      platform::log("device property change selector: %c%c%c%c not implemented?\n", static_cast<char>(selector >> 24),
                    static_cast<char>(selector >> 16), static_cast<char>(selector >> 8), static_cast<char>(selector));
      return 0;
  }
}

int32_t AFSoundcard::hardwarePropertyChanged(uint32_t selector) {
  if (selector != pa::kAudioHardwarePropertyDevices) return 0;
  std::lock_guard guard(callbackLock_);
  sendHardwareChanged(pa::kAudioHardwarePropertyDevices);
  ui::PopUpButton* popUp = managedDevicePopUp_.load();
  if (popUp) {
    deviceList_->refreshDeviceList();
    onMainThread([&] {
      std::shared_ptr<const AFList::Snapshot> snapshot = deviceList_->snapshot();
      popUp->setMenu(AFList::menuCopyOf(*snapshot));
      std::string name;
      {
        std::lock_guard fields(fieldsLock_);
        devicePopUpSnapshot_ = std::move(snapshot);
        name = currentDeviceName_;
      }
      std::shared_ptr<AFDevice> previous = selectedDevice();
      if (!previous || name.empty()) return;
      // Another device came or went and the card's own is still listed: the
      // pop-up shows it again and the card runs on untouched. Reselecting it
      // by name would rebuild the rate menu and restart the card, cutting a
      // gap into the input or the generator's tone at every hot-plug.
      if (std::shared_ptr<AFDevice> same = deviceList_->deviceWithName(name);
          same && same->deviceID() == previous->deviceID()) {
        popUp->selectItemWithTitle(name);
        if (popUp->indexOfSelectedItem() >= 0) return;
      }
      if (std::shared_ptr<AFDevice> shown = selectDeviceName(name)) {
        if (shown->deviceID() == previous->deviceID()) return;
        // The selected device is gone and the selection fell back to the
        // default device. A card left bound to the gone device would run on
        // without a sound, so put it on the fallback as a pick would: stop,
        // rebind, restart and tell the delegate.
        setSelection(previous, false);
        selectDevice(shown);
        reselectDeviceMenu(popUp);
        return;
      }
      if (currentDeviceName().empty()) return;
      // Neither the device nor a default is left (and the removal path has
      // not run): the card must not go on running on, and listening to, a
      // device that is gone.
      if (isRunning()) stop();
      removeDeviceListener();
      setSelection(nullptr, true);
      {
        std::lock_guard fields(fieldsLock_);
        currentDeviceName_.clear();
      }
      // As on the removal path: the pop-ups no longer offer the gone
      // device's formats and rates.
      updateManagedControls();
      sendDeviceRemoved(previous->deviceID());
    });
  }
  return 0;
}

void AFSoundcard::defaultDeviceChanged(uint32_t selector) {
  if (selector != defaultDeviceSelector_) return;
  std::shared_ptr<AFDevice> device = deviceList_->defaultDevice();
  uint32_t id = device ? device->deviceID() : 0;
  uint32_t old = defaultDeviceID_.exchange(id);
  if (!useDefaultDevice_ || id == old) return;
  selectDevice(device);
  if (ui::PopUpButton* popUp = managedDevicePopUp_.load()) reselectDeviceMenu(popUp);
  sendHardwareChanged(selector);
}
