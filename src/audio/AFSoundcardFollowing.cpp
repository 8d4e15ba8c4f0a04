// How a sound card follows its device and the hardware: a property of the
// selected device changed, a device came or went, the default device moved.

#include "audio/AFSoundcard.h"
#include "platform/Log.h"
#include "platform/audio/AudioHardware.h"
#include "ui/MainThread.h"
#include "ui/PopUpButton.h"

namespace pa = platform::audio;

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
