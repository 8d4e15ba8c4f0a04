#pragma once
// The audio object model: devices and the system object, their properties,
// listeners, host time and device time. This is the header the sound cards
// include; the units and the converter are in AudioUnits.h and
// AudioConverter.h.
//
// How a caller uses it
//   - Every object has an AudioObjectID; the system object is
//     kAudioObjectSystemObject (1) and lists the devices under
//     kAudioHardwarePropertyDevices. A property is addressed by
//     {selector, scope, element}; element 0 is the main element.
//   - Ask the size, then read into room of that size:
//       AudioObjectPropertyAddress a{kAudioHardwarePropertyDevices,
//           kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
//       uint32_t size = 0;
//       if (AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &a, 0, nullptr, &size) == noErr) {
//         std::vector<AudioObjectID> ids(size / 4);
//         AudioObjectGetPropertyData(kAudioObjectSystemObject, &a, 0, nullptr, &size, ids.data());
//       }
//     On success the byte count is replaced by the number of bytes written.
//     An array read into less room than its size succeeds with as many whole
//     entries as fit (a short read); a single value needs room for all of it.
//     On failure nothing is written and the byte count is left as given.
//   - Text properties (names, identifiers, source names) come back as an
//     AudioStringRef that the reader releases with AudioStringRelease.
//   - Writes take the exact size of the value. A value the device does not
//     offer (a format, a rate, a source, a volume element that cannot be set)
//     is refused with a non-zero status and changes nothing.
//   - Listeners run on the provider's notification thread, one call at a time,
//     never on the thread that made the change and never while the provider
//     holds a lock of its own: a listener may read properties, set them, and
//     wait for the main thread. The call gets the notifying object and the
//     addresses of that notification which its registration matches. A
//     registration with kAudioObjectPropertySelectorWildcard hears every
//     selector of its scope (any element). Once remove returns, the listener
//     is never called again, unless it removes itself from within its own call
//     (then the call in hand finishes).
//
// Threads: every call here may be made from any thread that is not a real-time
// audio thread, except AudioGetCurrentHostTime, AudioDeviceGetCurrentTime and AudioDeviceGetIoStatus,
// which never block or allocate and may be called from audio threads.
// All calls go to the current provider (Provider.h).

#include "platform/audio/AudioTypes.h"

namespace platform::audio {

// The listener: notifying object, number and list of changed addresses
// (matching this registration), the client data given at registration.
using AudioObjectPropertyListenerProc = OSStatus (*)(AudioObjectID objectID, uint32_t numberAddresses,
                                                     const AudioObjectPropertyAddress* addresses,
                                                     void* clientData);

bool AudioObjectHasProperty(AudioObjectID objectID, const AudioObjectPropertyAddress* address);

OSStatus AudioObjectIsPropertySettable(AudioObjectID objectID, const AudioObjectPropertyAddress* address,
                                       bool* outIsSettable);

OSStatus AudioObjectGetPropertyDataSize(AudioObjectID objectID, const AudioObjectPropertyAddress* address,
                                        uint32_t qualifierDataSize, const void* qualifierData,
                                        uint32_t* outDataSize);

OSStatus AudioObjectGetPropertyData(AudioObjectID objectID, const AudioObjectPropertyAddress* address,
                                    uint32_t qualifierDataSize, const void* qualifierData,
                                    uint32_t* ioDataSize, void* outData);

OSStatus AudioObjectSetPropertyData(AudioObjectID objectID, const AudioObjectPropertyAddress* address,
                                    uint32_t qualifierDataSize, const void* qualifierData,
                                    uint32_t dataSize, const void* data);

// Registers listener(clientData) for the address on the object. Registering
// the same (object, address, listener, client data) twice keeps one
// registration. Fails for an object that does not exist.
OSStatus AudioObjectAddPropertyListener(AudioObjectID objectID, const AudioObjectPropertyAddress* address,
                                        AudioObjectPropertyListenerProc listener, void* clientData);

// Removes the registration with exactly these four values; waits while that
// listener is running on the notification thread (unless called from within
// that very call). Fails when no such registration exists.
OSStatus AudioObjectRemovePropertyListener(AudioObjectID objectID, const AudioObjectPropertyAddress* address,
                                           AudioObjectPropertyListenerProc listener, void* clientData);

// While a removal waits for its running listener, it calls pump() about every
// millisecond on the waiting thread. The application installs a pump that
// runs the main thread's queued work when called on the main thread: a
// listener waiting for the main thread then cannot deadlock against a removal
// made there. Null (the default) pumps nothing.
void AudioSetRemovalWaitPump(void (*pump)());

// Host clock in nanoseconds (monotonic). Audio threads may call it.
uint64_t AudioGetCurrentHostTime();
uint64_t AudioGetHostClockFrequency();  // ticks per second: 1e9
uint64_t AudioConvertHostTimeToNanos(uint64_t hostTime);
uint64_t AudioConvertNanosToHostTime(uint64_t nanos);

// The device's current time while its I/O runs: mSampleTime (device frames
// since its I/O started), mHostTime, and mRateScalar, the ratio of the
// device's actual to its nominal sample rate. Fails with
// kAudioHardwareNotRunningError when the device's I/O is stopped and with
// kAudioHardwareBadDeviceError for an unknown device. Audio threads may call it.
OSStatus AudioDeviceGetCurrentTime(AudioObjectID deviceID, AudioTimeStamp* outTime);

// The device's drop-outs and latency (DeviceIoStatus, Provider.h); never
// blocks or allocates. kAudioHardwareUnknownPropertyError from a provider
// that does not count them; nothing is written then.
struct DeviceIoStatus;
OSStatus AudioDeviceGetIoStatus(AudioObjectID deviceID, DeviceIoStatus* outStatus);

// Typed conveniences over the calls above, for values of a fixed size.
template <typename T>
OSStatus getProperty(AudioObjectID objectID, const AudioObjectPropertyAddress& address, T& value) {
  uint32_t size = sizeof(T);
  return AudioObjectGetPropertyData(objectID, &address, 0, nullptr, &size, &value);
}
template <typename T>
OSStatus setProperty(AudioObjectID objectID, const AudioObjectPropertyAddress& address, const T& value) {
  return AudioObjectSetPropertyData(objectID, &address, 0, nullptr, sizeof(T), &value);
}

}  // namespace platform::audio
