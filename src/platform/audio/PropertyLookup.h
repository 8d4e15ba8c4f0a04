#pragma once
// How a provider answers property reads: it looks a property up in its model
// (value, settable or not, or the status saying why there is none) and the
// functions below turn the answer into the object model's calls.

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/audio/AudioHardware.h"
#include "platform/audio/Provider.h"

namespace platform::audio {

// A property's value for one object: plain bytes (one value, or an array of
// `elementSize` entries of which a short read returns whole ones), a string,
// or a name-for-ID translation (the names of a device's data sources).
struct AudioObjectPropertyValue {
  std::vector<uint8_t> bytes;
  uint32_t elementSize = 0;  // 0: a single value
  bool isString = false;
  std::string text;
  bool isTranslation = false;
  std::vector<std::pair<uint32_t, std::string>> names;  // of a translation: ID and name

  template <typename T>
  static AudioObjectPropertyValue scalar(const T& v) {
    AudioObjectPropertyValue value;
    value.bytes.resize(sizeof(T));
    std::memcpy(value.bytes.data(), &v, sizeof(T));
    return value;
  }
  template <typename T>
  static AudioObjectPropertyValue array(const std::vector<T>& v) {
    AudioObjectPropertyValue value;
    value.elementSize = sizeof(T);
    value.bytes.resize(v.size() * sizeof(T));
    if (!v.empty()) std::memcpy(value.bytes.data(), v.data(), value.bytes.size());
    return value;
  }
  static AudioObjectPropertyValue string(const std::string& s) {
    AudioObjectPropertyValue value;
    value.isString = true;
    value.text = s;
    return value;
  }
  static AudioObjectPropertyValue translation(std::vector<std::pair<uint32_t, std::string>> names) {
    AudioObjectPropertyValue value;
    value.isTranslation = true;
    value.names = std::move(names);
    return value;
  }
};

// What a property is for a given object: its value and whether clients may
// set it, or the status of a read of a property the object does not have.
struct PropertyLookup {
  OSStatus status = kAudioHardwareUnknownPropertyError;
  AudioObjectPropertyValue value;
  bool settable = false;
};

// AudioObjectGetPropertyDataSize of a looked-up property.
OSStatus propertyDataSize(const PropertyLookup& lookup, uint32_t& size);
// AudioObjectGetPropertyData of a looked-up property: copies the value into
// `data` (ioSize bytes there; set to what was written). Strings are handed
// out as new AudioStringRefs the caller releases. A translation reads the
// ID from the AudioValueTranslation in `data` and writes its name.
OSStatus copyPropertyData(const PropertyLookup& lookup, uint32_t& ioSize, void* data);

// A provider that answers every property read from one look-up in its own
// model: the four read calls of the object model are made of it here.
class LookUpProvider : public Provider {
 public:
  bool hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) final;
  OSStatus isPropertySettable(AudioObjectID object, const AudioObjectPropertyAddress& address,
                              bool& settable) final;
  OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               uint32_t qualifierSize, const void* qualifier, uint32_t& size) final;
  OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           uint32_t qualifierSize, const void* qualifier, uint32_t& ioSize, void* data) final;

 protected:
  // The property as the model has it now, taken under the provider's own
  // lock; the answer owns its value, so it outlives the lock.
  virtual PropertyLookup lookUp(AudioObjectID object, const AudioObjectPropertyAddress& address) = 0;
};

}  // namespace platform::audio
