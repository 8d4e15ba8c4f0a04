// A sound card's device volume per channel, its managed sliders, and the
// volume stored with the settings.

#include "audio/AFSoundcard.h"
#include "platform/audio/AudioHardware.h"
#include "ui/MainThread.h"
#include "ui/Slider.h"

namespace pa = platform::audio;

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

