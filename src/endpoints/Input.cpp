#include "endpoints/Input.h"

#include <algorithm>
#include <cstdlib>
#include <optional>

#include "audio/AFInputSoundcard.h"
#include "audio/AFManager.h"
#include "dsp/PlotTrace.h"
#include "endpoints/FiniteSamples.h"
#include "platform/PropertyList.h"
#include "platform/audio/filedevices/FileDeviceProvider.h"
#include "ui/MainThread.h"
#include "ui/PopUpButton.h"
#include "ui/Slider.h"

Input::Input(InputController* controller) : controller_(controller) {
  for (Block& block : pool_) block.owner = this;
}

Input::~Input() {
  closing_.store(true, std::memory_order_release);
  card_.store(nullptr, std::memory_order_release);
  if (soundcard_ && soundcard_->isRunning()) soundcard_->stop();
  soundcard_.reset();
  // Tasks still queued point at this object: let them run (blocks are
  // dropped as stale) before it goes.
  generation_.fetch_add(1, std::memory_order_acq_rel);
  ui::MainThread& mainThread = ui::MainThread::instance();
  if (mainThread.isMainThread())
    while (tasksInFlight_.load(std::memory_order_acquire) > 0 && mainThread.drain() > 0) {
    }
}

// --- launch and termination

void Input::applicationFinishLaunching(platform::PropertyDictionary& settings, AFManager& manager) {
  selectedChannel_.store(1);
  setInterface(channelPopup, &Input::channelChanged);
  soundcard_ = manager.newInputSoundcard();
  if (!soundcard_) return;
  card_.store(soundcard_.get(), std::memory_order_release);

  soundcard_->setManagedDeviceMenu(devicePopup);
  if (const std::string* name = settings.string(kSoundCardKey)) soundcard_->selectDeviceName(*name);
  soundcard_->setManagedSourceMenu(sourcePopup);
  if (const std::string* source = settings.string(kSourceKey)) soundcard_->setSource(*source);
  soundcard_->setManagedSamplingRateMenu(samplingRatePopup);
  if (const std::string* rate = settings.string(kSamplingRateKey)) {
    const float value = std::strtof(rate->c_str(), nullptr);
    if (value > 0.0f) soundcard_->setSamplingRate(value);
  }

  // The channel menu always shows the device's channels, so that a first
  // run offers them too; the volume is restored only with a stored channel.
  const std::optional<double> channel = settings.number(kChannelKey);
  // A value beyond the channels a card can have is no channel; the menu
  // rebuild then falls back to the first.
  if (channel) selectedChannel_.store(*channel >= 1 && *channel <= 64 ? static_cast<int32_t>(*channel) : 1);
  rebuildChannelMenu();
  if (channel)
    if (std::optional<double> slider = settings.number(kSliderKey); slider && *slider >= 0.0)
      soundcard_->restoreVolume(static_cast<float>(*slider), selectedChannel());
  soundcard_->setDelegate(this);
}

void Input::applicationTerminating(platform::PropertyDictionary& settings) {
  auto title = [](ui::PopUpButton* popUp) { return popUp ? popUp->titleOfSelectedItem() : std::string(); };
  settings.set(kSoundCardKey, title(devicePopup));
  settings.set(kSourceKey, title(sourcePopup));
  settings.set(kSamplingRateKey, title(samplingRatePopup));
  const int32_t channel = selectedChannel();
  settings.set(kChannelKey, static_cast<int64_t>(channel));
  settings.set(kSliderKey, soundcard_ ? soundcard_->volumeToStore(channel) : -1.0f);
}

// --- pause and resume

float Input::pause() {
  if (!soundcard_) {
    currentSamplingRate_.store(0.0f);
    return 0.0f;
  }
  if (soundcard_->isRunning()) soundcard_->stop();
  soundcard_->setBufferLength(kBlockLength);
  const float rate = soundcard_->samplingRate();
  currentSamplingRate_.store(rate);
  // The card is stopped, so its delivery thread is not running: the block
  // being filled can be taken back here.
  generation_.fetch_add(1, std::memory_order_acq_rel);
  if (filling_) filling_->busy.store(false, std::memory_order_release);
  filling_ = nullptr;
  filled_ = 0;
  filledNonFinite_ = 0;
  inNonFinite_ = false;
  blocksSinceWake_ = 0;
  return rate;
}

void Input::resume() {
  if (soundcard_ && !soundcard_->isRunning()) soundcard_->start();
}

int32_t Input::latencyFrames() { return soundcard_ ? soundcard_->deviceLatency() : 0; }

EndpointIoHealth Input::ioHealth() {
  EndpointIoHealth health;
  if (soundcard_) {
    platform::audio::DeviceIoStatus status;
    uint32_t device = 0;
    if (soundcard_->deviceIoStatus(status, &device)) {
      deviceGaps_.take(device, status);
      health.latencyKnown = status.latencyKnown;
      // What waits on the way to the engine is as late as what waits at
      // the server: the card's ring and the blocks queued for the main
      // thread (but the one it is taking now).
      const int64_t queued = std::max<int64_t>(0, tasksInFlight_.load(std::memory_order_acquire) - 1);
      health.backlogFrames = soundcard_->memory().available() + queued * kBlockLength;
      health.latencyFrames = status.latencyFrames + health.backlogFrames;
      health.gapOngoing = status.dropOutOngoing;
    }
  }
  health.gaps = deviceGaps_.gaps + droppedStretches_.load(std::memory_order_relaxed) + nonFiniteStretches() +
                (soundcard_ ? soundcard_->overruns() : 0);
  health.lostSamples = deviceGaps_.lostSamples + droppedSamples() + overrunSamples() + nonFiniteSamples();
  return health;
}

std::string Input::deviceName() { return soundcard_ ? soundcard_->selectedDeviceTitle() : std::string(); }

bool Input::recordsSoundFile() {
  const auto files = std::dynamic_pointer_cast<platform::audio::files::FileDeviceProvider>(
      platform::audio::currentProvider());
  const std::shared_ptr<AFDevice> device = soundcard_ ? soundcard_->selectedDevice() : nullptr;
  return files && device && files->isFileDevice(device->deviceID());
}

AFSoundcard* Input::soundcard() const { return soundcard_.get(); }

uint64_t Input::overrunSamples() const { return soundcard_ ? soundcard_->overrunSamples() : 0; }

// --- channels

void Input::setInterface(ui::Control* control, void (Input::*action)()) {
  if (control) control->setInterface([this, action] { (this->*action)(); });
}

void Input::channelChanged() {
  const int index = channelPopup ? channelPopup->indexOfSelectedItem() : 0;
  selectedChannel_.store(std::max(index, 0) + 1);
  if (controller_) controller_->clearSpectrum();
  if (soundcard_) soundcard_->setManagedVolumeSlider(inputSlider, selectedChannel());
  if (trace) trace->resetTraceAverages();
  if (controller_) controller_->inputChanged();
}

bool Input::pickDevice(uint32_t deviceID) {
  if (!soundcard_) return false;
  // Without a device pop-up the card does not follow the platform's list.
  if (!devicePopup) soundcard_->deviceList()->refreshDeviceList();
  const std::shared_ptr<const AFList::Snapshot> list = soundcard_->deviceList()->snapshot();
  const auto found = std::find_if(list->devices.begin(), list->devices.end(),
                                  [&](const std::shared_ptr<AFDevice>& d) { return d->deviceID() == deviceID; });
  if (found == list->devices.end()) return false;
  if (!devicePopup) {
    soundcard_->selectDevice(*found);
    return true;
  }
  // The card puts the list's menu into its pop-up, on the main thread, after
  // each refresh; the pop-up's indices are the list's once its titles are.
  const std::vector<ui::MenuItem>& titles = list->menu->items();
  if (devicePopup->numberOfItems() != static_cast<int>(titles.size())) return false;
  for (int i = 0; i < devicePopup->numberOfItems(); ++i)
    if (devicePopup->itemTitleAtIndex(i) != titles[static_cast<std::size_t>(i)].title) return false;
  devicePopup->selectItemAtIndex(static_cast<int>(found - list->devices.begin()));
  soundcard_->managedDevicePopupChanged(devicePopup);
  return true;
}

void Input::rebuildChannelMenu() {
  if (!soundcard_) return;
  const int32_t items = soundcard_->fillChannelMenu(channelPopup);
  // A channel the new device does not have falls back to the first.
  int32_t channel = selectedChannel();
  if (channel < 1 || channel > items) channel = 1;
  selectedChannel_.store(channel);
  if (channelPopup) channelPopup->selectItemAtIndex(channel - 1);
  channelChanged();
}

// --- the card's delegate

uint32_t Input::implementedMethods() const {
  return kInputReceived | kDeviceChange | kSamplingRateChange | kVolumeChange;
}

Input::Block* Input::takeFreeBlock() {
  for (int32_t tried = 0; tried < kPoolBlocks; ++tried) {
    Block& block = pool_[static_cast<size_t>(nextFree_)];
    nextFree_ = (nextFree_ + 1) % kPoolBlocks;
    bool expected = false;
    if (block.busy.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) return &block;
  }
  return nullptr;
}

void Input::inputReceivedFromSoundcard(AFSoundcard* card, float** buffers, int32_t numberOfBuffers,
                                       int32_t samples) {
  if (card != card_.load(std::memory_order_acquire) || samples < 2 || !buffers) return;
  const int32_t channel = selectedChannel() - 1;
  // A channel the delivering device does not have (a device change on its
  // way) gives nothing.
  if (channel < 0 || channel >= numberOfBuffers || !buffers[channel]) return;
  const float* source = buffers[channel];
  const int32_t secondChannel = secondChannel_.load(std::memory_order_relaxed) - 1;
  const float* second = secondChannel >= 0 && secondChannel < numberOfBuffers ? buffers[secondChannel] : nullptr;
  const uint32_t generation = generation_.load(std::memory_order_acquire);

  // The controller takes 512 samples a call: regroup the card's blocks.
  int32_t offset = 0;
  while (offset < samples) {
    if (!filling_) {
      filling_ = takeFreeBlock();
      filled_ = 0;
      if (!filling_) {
        // The main thread holds every block: this stretch of input is lost.
        droppedSamples_.fetch_add(static_cast<uint64_t>(samples - offset), std::memory_order_relaxed);
        droppedStretches_.fetch_add(1, std::memory_order_relaxed);
        return;
      }
      filling_->generation = generation;
      filling_->hasSecond = true;
    }
    const int32_t count = std::min(samples - offset, kBlockLength - filled_);
    const finite_samples::Count found =
        finite_samples::copy(filling_->samples + filled_, source + offset, count, inNonFinite_);
    if (found.samples > 0) {
      nonFiniteSamples_.fetch_add(static_cast<uint64_t>(found.samples), std::memory_order_relaxed);
      nonFiniteStretches_.fetch_add(static_cast<uint64_t>(found.stretches), std::memory_order_relaxed);
      filledNonFinite_ += found.samples;
    }
    // The second channel's non-finite samples are taken out as well; they
    // are not counted again, the block being the selected channel's.
    if (second)
      finite_samples::copy(filling_->second + filled_, second + offset, count, secondInNonFinite_);
    else
      filling_->hasSecond = false;
    filled_ += count;
    offset += count;
    if (filled_ == kBlockLength) {
      const bool lost = finite_samples::blockIsLost(filledNonFinite_, kBlockLength);
      filledNonFinite_ = 0;
      if (lost) {
        // Nothing in it to analyse: the block is filled again.
        filled_ = 0;
        continue;
      }
      Block* block = filling_;
      filling_ = nullptr;
      filled_ = 0;
      tasksInFlight_.fetch_add(1, std::memory_order_acq_rel);
      const double rate = currentSamplingRate();
      if (rate <= 0 || ++blocksSinceWake_ * kBlockLength >= rate * kWakeInterval) {
        blocksSinceWake_ = 0;
        ui::MainThread::instance().runAsync(&Input::deliverBlock, block);
      } else {
        ui::MainThread::instance().runAsyncWithoutWaking(&Input::deliverBlock, block);
      }
    }
  }
}

void Input::deliverBlock(void* context) {
  auto* block = static_cast<Block*>(context);
  Input* self = block->owner;
  if (block->generation == self->generation_.load(std::memory_order_acquire)) {
    if (self->tap_) self->tap_->inputBlock(block->samples, block->hasSecond ? block->second : nullptr);
    if (self->controller_) self->controller_->newDataFromInput(block->samples, self->currentSamplingRate());
  }
  block->busy.store(false, std::memory_order_release);
  self->tasksInFlight_.fetch_sub(1, std::memory_order_acq_rel);
}

void Input::soundcardDeviceChangedTo(AFSoundcard* card, const std::shared_ptr<AFDevice>&) {
  if (card != card_.load(std::memory_order_acquire)) return;
  // The menu and the channel action are main-thread work, also when the
  // card follows a new default device on its notification thread.
  ui::MainThread::instance().runSync([this] { rebuildChannelMenu(); });
  // A device at another rate than the one the analysis was set up for: the
  // engine follows, as after a change of the rate itself (before the first
  // set-up there is nothing to follow).
  const float analysed = currentSamplingRate();
  if (analysed > 0.0f && soundcard_ && soundcard_->samplingRate() != analysed) {
    tasksInFlight_.fetch_add(1, std::memory_order_acq_rel);
    ui::MainThread::instance().runAsync(&Input::runSetupSampling, this);
  }
}

void Input::runSetupSampling(void* context) {
  auto* self = static_cast<Input*>(context);
  if (self->controller_ && !self->closing_.load(std::memory_order_acquire)) self->controller_->setupSampling();
  self->tasksInFlight_.fetch_sub(1, std::memory_order_acq_rel);
}

void Input::soundcardSamplingRateChangedTo(AFSoundcard* card, float) {
  if (card != card_.load(std::memory_order_acquire)) return;
  tasksInFlight_.fetch_add(1, std::memory_order_acq_rel);
  ui::MainThread::instance().runAsync(&Input::runSetupSampling, this);
}

void Input::soundcardVolumeChangedToChannel(AFSoundcard* card, float, int32_t channel) {
  if (card != card_.load(std::memory_order_acquire) || channel != selectedChannel()) return;
  if (controller_) controller_->clearSpectrum();
}
