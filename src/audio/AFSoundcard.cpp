#include "audio/AFSoundcard.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "audio/AFList.h"
#include "audio/AFSoundcardListenerGate.h"
#include "platform/Log.h"
#include "platform/audio/AudioHardware.h"
#include "ui/MainThread.h"
#include "ui/PopUpButton.h"

namespace pa = platform::audio;

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
  delegateMethods_.store(methods, std::memory_order_release);
}

void AFSoundcard::sendVolumeChanged(float volume, int32_t channel) {
  AFSoundcardDelegate* d = delegate();
  if (d && responds(AFSoundcardDelegate::kVolumeChange)) d->soundcardVolumeChangedToChannel(this, volume, channel);
}
void AFSoundcard::sendFormatChanged(int32_t channels, int32_t bits) {
  AFSoundcardDelegate* d = delegate();
  if (d && responds(AFSoundcardDelegate::kFormatChange)) d->soundcardFormatChangedToChannelsBits(this, channels, bits);
}
void AFSoundcard::sendDeviceChanged(const std::shared_ptr<AFDevice>& device) {
  AFSoundcardDelegate* d = delegate();
  if (d && responds(AFSoundcardDelegate::kDeviceChange)) d->soundcardDeviceChangedTo(this, device);
}
void AFSoundcard::sendSourceChanged(const std::string& source) {
  AFSoundcardDelegate* d = delegate();
  if (d && responds(AFSoundcardDelegate::kSourceChange)) d->soundcardSoundSourceChangedTo(this, source);
}
void AFSoundcard::sendSamplingRateChanged(float rate) {
  AFSoundcardDelegate* d = delegate();
  if (d && responds(AFSoundcardDelegate::kSamplingRateChange)) d->soundcardSamplingRateChangedTo(this, rate);
}
void AFSoundcard::sendHardwareChanged(uint32_t selector) {
  AFSoundcardDelegate* d = delegate();
  if (d && responds(AFSoundcardDelegate::kHardwareChange)) d->soundcardHardwareChanged(this, selector);
}
void AFSoundcard::sendDeviceRemoved(uint32_t deviceID) {
  AFSoundcardDelegate* d = delegate();
  if (d && responds(AFSoundcardDelegate::kDeviceRemoval)) d->soundcardSelectedSoundcardRemoved(this, deviceID);
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
  if (responds(AFSoundcardDelegate::kSourceChange)) sendSourceChanged(device->source());
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

std::string AFSoundcard::selectedDeviceTitle() const {
  const std::shared_ptr<AFDevice> device = selectedDevice();
  if (!device) return {};
  const std::shared_ptr<const AFList::Snapshot> list = deviceList_->snapshot();
  const std::vector<ui::MenuItem>& titles = list->menu->items();
  for (std::size_t i = 0; i < list->devices.size() && i < titles.size(); ++i)
    if (list->devices[i] == device) return titles[i].title;
  return device->name().value_or(device->uniqueName().value_or(std::string()));
}
