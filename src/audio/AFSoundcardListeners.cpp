// A sound card's listener registrations: the device's, the hardware's
// device list and the default device, added when the card starts listening
// and removed, waiting for calls in progress, when it stops.

#include "audio/AFSoundcard.h"
#include "audio/AFSoundcardListenerGate.h"
#include "platform/audio/AudioHardware.h"
#include "ui/PopUpButton.h"
#include "ui/Slider.h"

namespace pa = platform::audio;

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

