// The object model's properties, answered from the device cache. The format
// and the cycle are the server's: a write of another one is refused.
#include <cstring>

#include "platform/audio/jack/JackState.h"

namespace platform::audio::jack {

namespace {

AudioStreamBasicDescription portFormat(double rate, uint32_t channels) {
  AudioStreamBasicDescription f{};
  f.mSampleRate = rate;
  f.mFormatID = kAudioFormatLinearPCM;
  f.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
  f.mChannelsPerFrame = channels;
  f.mBitsPerChannel = 32;
  f.mBytesPerFrame = 4 * channels;
  f.mFramesPerPacket = 1;
  f.mBytesPerPacket = f.mBytesPerFrame;
  return f;
}

}  // namespace

PropertyLookup JackProvider::State::lookUp(AudioObjectID object, const AudioObjectPropertyAddress& a) {
  PropertyLookup r;
  if (object == kAudioObjectSystemObject) {
    switch (a.mSelector) {
      case kAudioHardwarePropertyDevices: {
        std::vector<AudioObjectID> ids;
        for (const auto& d : devices) ids.push_back(d.id);
        r.value = AudioObjectPropertyValue::array(ids);
        break;
      }
      case kAudioHardwarePropertyDefaultInputDevice:
        r.value = AudioObjectPropertyValue::scalar(defaultInput);
        break;
      case kAudioHardwarePropertyDefaultOutputDevice:
        r.value = AudioObjectPropertyValue::scalar(defaultOutput);
        break;
      case kAudioObjectPropertyName:
        r.value = AudioObjectPropertyValue::string("JACK");
        break;
      default:
        return r;
    }
    r.status = noErr;
    return r;
  }
  Device* dev = find(object);
  if (!dev) {
    r.status = kAudioHardwareBadObjectError;
    return r;
  }
  r.status = noErr;
  switch (a.mSelector) {  // global properties answer in any scope
    case kAudioObjectPropertyName:
      r.value = AudioObjectPropertyValue::string(dev->client);
      return r;
    case kAudioDevicePropertyDeviceUID:
      r.value = AudioObjectPropertyValue::string(dev->uid);
      return r;
    case kAudioDevicePropertyNominalSampleRate:
      r.value = AudioObjectPropertyValue::scalar(rate);
      r.settable = true;  // to the server's own rate only
      return r;
    case kAudioDevicePropertyBufferFrameSize:
      r.value = AudioObjectPropertyValue::scalar(bufferFrames);
      r.settable = true;  // to the server's own size only
      return r;
    case kAudioDevicePropertyBufferFrameSizeRange:
      r.value = AudioObjectPropertyValue::scalar(AudioValueRange{double(bufferFrames), double(bufferFrames)});
      return r;
    case kAudioDevicePropertyDeviceIsRunning:
      r.value = AudioObjectPropertyValue::scalar(uint32_t(dev->rt->anchor.running() ? 1 : 0));
      return r;
    default:
      break;
  }
  r.status = kAudioHardwareUnknownPropertyError;
  if (a.mScope != dev->scope()) return r;
  switch (a.mSelector) {
    case kAudioStreamPropertyPhysicalFormat:
      r.value = AudioObjectPropertyValue::scalar(portFormat(rate, dev->channels()));
      r.settable = true;
      break;
    case kAudioStreamPropertyVirtualFormat:
      r.value = AudioObjectPropertyValue::scalar(floatFormat(rate, dev->channels(), false));
      break;
    case kAudioStreamPropertyAvailablePhysicalFormats:
      r.value = AudioObjectPropertyValue::array(
          std::vector<AudioStreamRangedDescription>{{portFormat(rate, dev->channels()), {rate, rate}}});
      break;
    case kAudioDevicePropertyLatency:
      r.value = AudioObjectPropertyValue::scalar(dev->latency);
      break;
    case kAudioDevicePropertySafetyOffset:
      r.value = AudioObjectPropertyValue::scalar(uint32_t(0));
      break;
    default:
      return r;
  }
  r.status = noErr;
  return r;
}

PropertyLookup JackProvider::lookUp(AudioObjectID object, const AudioObjectPropertyAddress& address) {
  std::lock_guard lock(state_->mutex);
  return state_->lookUp(object, address);
}

OSStatus JackProvider::setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& a, uint32_t,
                                       const void*, uint32_t size, const void* data) {
  State& s = *state_;
  std::lock_guard lock(s.mutex);
  PropertyLookup l = s.lookUp(object, a);
  if (l.status != noErr) return l.status;
  if (!l.settable) return kAudioHardwareIllegalOperationError;
  switch (a.mSelector) {
    case kAudioDevicePropertyNominalSampleRate: {
      double rate;
      if (size != sizeof rate) return kAudioHardwareBadPropertySizeError;
      std::memcpy(&rate, data, sizeof rate);
      return rate == s.rate ? noErr : kAudioDeviceUnsupportedFormatError;
    }
    case kAudioStreamPropertyPhysicalFormat: {
      AudioStreamBasicDescription wanted;
      if (size != sizeof wanted) return kAudioHardwareBadPropertySizeError;
      std::memcpy(&wanted, data, sizeof wanted);
      const AudioStreamBasicDescription own = portFormat(s.rate, s.find(object)->channels());
      return wanted.mSampleRate == own.mSampleRate && wanted.mFormatID == own.mFormatID &&
                     wanted.mChannelsPerFrame == own.mChannelsPerFrame && wanted.mBitsPerChannel == own.mBitsPerChannel
                 ? noErr
                 : kAudioDeviceUnsupportedFormatError;
    }
    case kAudioDevicePropertyBufferFrameSize: {
      uint32_t frames;
      if (size != sizeof frames) return kAudioHardwareBadPropertySizeError;
      std::memcpy(&frames, data, sizeof frames);
      return frames == s.bufferFrames ? noErr : kAudioHardwareIllegalOperationError;
    }
    default:
      return kAudioHardwareIllegalOperationError;
  }
}

OSStatus JackProvider::addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                           AudioObjectPropertyListenerProc listener, void* clientData) {
  {
    std::lock_guard lock(state_->mutex);
    if (object != kAudioObjectSystemObject && !state_->find(object)) return kAudioHardwareBadObjectError;
  }
  return state_->notifier.add(object, address, listener, clientData);
}

OSStatus JackProvider::removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                              AudioObjectPropertyListenerProc listener, void* clientData) {
  return state_->notifier.remove(object, address, listener, clientData);
}

}  // namespace platform::audio::jack
