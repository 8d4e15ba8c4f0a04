#include "platform/audio/PropertyLookup.h"

#include <algorithm>

namespace platform::audio {

OSStatus propertyDataSize(const PropertyLookup& lookup, uint32_t& size) {
  if (lookup.status != noErr) return lookup.status;
  const AudioObjectPropertyValue& v = lookup.value;
  if (v.isString)
    size = sizeof(AudioStringRef);
  else if (v.isTranslation)
    size = sizeof(AudioValueTranslation);
  else
    size = uint32_t(v.bytes.size());
  return noErr;
}

OSStatus copyPropertyData(const PropertyLookup& lookup, uint32_t& ioSize, void* data) {
  if (lookup.status != noErr) return lookup.status;
  const AudioObjectPropertyValue& v = lookup.value;
  if (v.isString) {
    if (ioSize < sizeof(AudioStringRef)) return kAudioHardwareBadPropertySizeError;
    AudioStringRef ref = AudioStringCreate(v.text.data(), v.text.size());
    std::memcpy(data, &ref, sizeof ref);
    ioSize = sizeof ref;
    return noErr;
  }
  if (v.isTranslation) {
    if (ioSize < sizeof(AudioValueTranslation)) return kAudioHardwareBadPropertySizeError;
    AudioValueTranslation t;
    std::memcpy(&t, data, sizeof t);
    if (!t.mInputData || t.mInputDataSize != sizeof(uint32_t) || !t.mOutputData ||
        t.mOutputDataSize < sizeof(AudioStringRef))
      return kAudioHardwareBadPropertySizeError;
    uint32_t id;
    std::memcpy(&id, t.mInputData, sizeof id);
    auto name = std::find_if(v.names.begin(), v.names.end(), [&](const auto& n) { return n.first == id; });
    if (name == v.names.end()) return kAudioHardwareIllegalOperationError;
    AudioStringRef ref = AudioStringCreate(name->second.data(), name->second.size());
    std::memcpy(t.mOutputData, &ref, sizeof ref);
    t.mOutputDataSize = sizeof ref;
    std::memcpy(data, &t, sizeof t);
    ioSize = sizeof t;
    return noErr;
  }
  const uint32_t size = uint32_t(v.bytes.size());
  if (v.elementSize == 0) {
    if (ioSize < size) return kAudioHardwareBadPropertySizeError;
    std::memcpy(data, v.bytes.data(), size);
    ioSize = size;
    return noErr;
  }
  const uint32_t n = std::min(size, ioSize / v.elementSize * v.elementSize);  // short read: whole entries
  if (n) std::memcpy(data, v.bytes.data(), n);
  ioSize = n;
  return noErr;
}

bool LookUpProvider::hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) {
  return lookUp(object, address).status == noErr;
}

OSStatus LookUpProvider::isPropertySettable(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                            bool& settable) {
  const PropertyLookup l = lookUp(object, address);
  if (l.status == noErr) settable = l.settable;
  return l.status;
}

OSStatus LookUpProvider::getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                             uint32_t, const void*, uint32_t& size) {
  return propertyDataSize(lookUp(object, address), size);
}

OSStatus LookUpProvider::getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address, uint32_t,
                                         const void*, uint32_t& ioSize, void* data) {
  return copyPropertyData(lookUp(object, address), ioSize, data);
}

}  // namespace platform::audio
