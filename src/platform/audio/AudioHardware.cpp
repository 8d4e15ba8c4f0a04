// The object-model calls and the provider registry: each call goes to the
// current provider.

#include <atomic>
#include <chrono>
#include <mutex>

#include "platform/audio/Provider.h"
#include "platform/audio/simulated/SimulatedProvider.h"

namespace platform::audio {

namespace {

std::mutex registryMutex;
std::shared_ptr<Provider> installed;   // owner, guarded by registryMutex
std::atomic<Provider*> current{nullptr};  // read by audio threads

std::shared_ptr<Provider> pickProvider() {
  // The application installs the provider of its choice at start
  // (ProviderChoice.h); without one, the simulated devices serve.
  return std::make_shared<simulated::SimulatedProvider>();
}

Provider* provider() {
  if (Provider* p = current.load(std::memory_order_acquire)) return p;
  return currentProvider().get();
}

}  // namespace

std::shared_ptr<Provider> currentProvider() {
  std::lock_guard lock(registryMutex);
  if (!installed) {
    installed = pickProvider();
    current.store(installed.get(), std::memory_order_release);
  }
  return installed;
}

void installProvider(std::shared_ptr<Provider> provider) {
  std::shared_ptr<Provider> previous;
  std::lock_guard lock(registryMutex);
  previous = std::move(installed);
  installed = std::move(provider);
  current.store(installed.get(), std::memory_order_release);
  // previous is released after the lock, by the destructor order below
}

bool AudioObjectHasProperty(AudioObjectID objectID, const AudioObjectPropertyAddress* address) {
  return address && provider()->hasProperty(objectID, *address);
}

OSStatus AudioObjectIsPropertySettable(AudioObjectID objectID, const AudioObjectPropertyAddress* address,
                                       bool* outIsSettable) {
  if (!address || !outIsSettable) return kAudio_ParamError;
  bool settable = false;
  OSStatus status = provider()->isPropertySettable(objectID, *address, settable);
  if (status == noErr) *outIsSettable = settable;
  return status;
}

OSStatus AudioObjectGetPropertyDataSize(AudioObjectID objectID, const AudioObjectPropertyAddress* address,
                                        uint32_t qualifierDataSize, const void* qualifierData,
                                        uint32_t* outDataSize) {
  if (!address || !outDataSize) return kAudio_ParamError;
  uint32_t size = 0;
  OSStatus status = provider()->getPropertyDataSize(objectID, *address, qualifierDataSize, qualifierData, size);
  if (status == noErr) *outDataSize = size;
  return status;
}

OSStatus AudioObjectGetPropertyData(AudioObjectID objectID, const AudioObjectPropertyAddress* address,
                                    uint32_t qualifierDataSize, const void* qualifierData, uint32_t* ioDataSize,
                                    void* outData) {
  if (!address || !ioDataSize || !outData) return kAudio_ParamError;
  uint32_t size = *ioDataSize;
  OSStatus status =
      provider()->getPropertyData(objectID, *address, qualifierDataSize, qualifierData, size, outData);
  if (status == noErr) *ioDataSize = size;
  return status;
}

OSStatus AudioObjectSetPropertyData(AudioObjectID objectID, const AudioObjectPropertyAddress* address,
                                    uint32_t qualifierDataSize, const void* qualifierData, uint32_t dataSize,
                                    const void* data) {
  if (!address || (!data && dataSize)) return kAudio_ParamError;
  return provider()->setPropertyData(objectID, *address, qualifierDataSize, qualifierData, dataSize, data);
}

OSStatus AudioObjectAddPropertyListener(AudioObjectID objectID, const AudioObjectPropertyAddress* address,
                                        AudioObjectPropertyListenerProc listener, void* clientData) {
  if (!address || !listener) return kAudio_ParamError;
  return provider()->addPropertyListener(objectID, *address, listener, clientData);
}

OSStatus AudioObjectRemovePropertyListener(AudioObjectID objectID, const AudioObjectPropertyAddress* address,
                                           AudioObjectPropertyListenerProc listener, void* clientData) {
  if (!address || !listener) return kAudio_ParamError;
  return provider()->removePropertyListener(objectID, *address, listener, clientData);
}

uint64_t AudioGetCurrentHostTime() { return provider()->hostTime(); }
uint64_t AudioGetHostClockFrequency() { return 1000000000ull; }
uint64_t AudioConvertHostTimeToNanos(uint64_t hostTime) { return hostTime; }
uint64_t AudioConvertNanosToHostTime(uint64_t nanos) { return nanos; }

OSStatus AudioDeviceGetCurrentTime(AudioObjectID deviceID, AudioTimeStamp* outTime) {
  if (!outTime) return kAudio_ParamError;
  AudioTimeStamp time{};
  OSStatus status = provider()->deviceCurrentTime(deviceID, time);
  if (status == noErr) *outTime = time;
  return status;
}

OSStatus AudioDeviceGetIoStatus(AudioObjectID deviceID, DeviceIoStatus* outStatus) {
  if (!outStatus) return kAudio_ParamError;
  DeviceIoStatus status{};
  const OSStatus result = provider()->deviceIoStatus(deviceID, status);
  if (result == noErr) *outStatus = status;
  return result;
}

}  // namespace platform::audio
