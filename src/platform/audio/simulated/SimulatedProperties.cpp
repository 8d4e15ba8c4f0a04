// The simulated devices' properties: what each object has, reads and client
// writes, and the listeners of their changes.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/audio/simulated/SimulatedState.h"

namespace platform::audio::simulated {

PropertyLookup SimulatedProvider::State::lookUp(AudioObjectID object, const AudioObjectPropertyAddress& a) {
  State& s = *this;
  PropertyLookup r;
  if (object == kAudioObjectSystemObject) {
    switch (a.mSelector) {
      case kAudioHardwarePropertyDevices: {
        std::vector<AudioObjectID> ids;
        for (const auto& d : s.devices) ids.push_back(d.id);
        r.value = AudioObjectPropertyValue::array(ids);
        break;
      }
      case kAudioHardwarePropertyDefaultInputDevice:
        r.value = AudioObjectPropertyValue::scalar(s.defaultInput);
        r.settable = true;
        break;
      case kAudioHardwarePropertyDefaultOutputDevice:
        r.value = AudioObjectPropertyValue::scalar(s.defaultOutput);
        r.settable = true;
        break;
      case kAudioObjectPropertyName:
        r.value = AudioObjectPropertyValue::string("Simulated audio");
        break;
      default:
        return r;
    }
    r.status = noErr;
    return r;
  }
  Device* dev = s.find(object);
  if (!dev) {
    r.status = kAudioHardwareBadObjectError;
    return r;
  }
  // Global properties answer in any scope.
  switch (a.mSelector) {
    case kAudioObjectPropertyName:
      r.value = AudioObjectPropertyValue::string(dev->d.name);
      r.status = noErr;
      return r;
    case kAudioDevicePropertyDeviceUID:
      r.value = AudioObjectPropertyValue::string(dev->d.uid);
      r.status = noErr;
      return r;
    case kAudioDevicePropertyNominalSampleRate: {
      const StreamDescription& st = dev->d.input ? *dev->d.input : *dev->d.output;
      r.value = AudioObjectPropertyValue::scalar(st.physicalFormat.mSampleRate);
      r.settable = true;
      r.status = noErr;
      return r;
    }
    case kAudioDevicePropertyBufferFrameSize:
      r.value = AudioObjectPropertyValue::scalar(dev->d.bufferFrameSize);
      r.settable = true;
      r.status = noErr;
      return r;
    case kAudioDevicePropertyBufferFrameSizeRange:
      r.value = AudioObjectPropertyValue::scalar(dev->d.bufferFrameSizeRange);
      r.status = noErr;
      return r;
    case kAudioDevicePropertyDeviceIsRunning:
      r.value = AudioObjectPropertyValue::scalar(uint32_t(dev->rt->anchor.running() ? 1 : 0));
      r.status = noErr;
      return r;
    default:
      break;
  }
  StreamDescription* st = dev->stream(a.mScope);
  if (!st) return r;  // unknown property in this scope
  switch (a.mSelector) {
    case kAudioStreamPropertyPhysicalFormat:
      r.value = AudioObjectPropertyValue::scalar(st->physicalFormat);
      r.settable = true;
      break;
    case kAudioStreamPropertyVirtualFormat:
      r.value = AudioObjectPropertyValue::scalar(
          floatFormat(st->physicalFormat.mSampleRate, st->physicalFormat.mChannelsPerFrame, false));
      break;
    case kAudioStreamPropertyAvailablePhysicalFormats:
      r.value = AudioObjectPropertyValue::array(st->formats);
      break;
    case kAudioDevicePropertyDataSources: {
      if (st->sources.empty()) return r;
      std::vector<uint32_t> ids;
      for (const auto& src : st->sources) ids.push_back(src.id);
      r.value = AudioObjectPropertyValue::array(ids);
      break;
    }
    case kAudioDevicePropertyDataSource:
      if (st->sources.empty()) return r;
      r.value = AudioObjectPropertyValue::scalar(st->currentSource);
      r.settable = true;
      break;
    case kAudioDevicePropertyDataSourceNameForIDCFString: {
      if (st->sources.empty()) return r;
      std::vector<std::pair<uint32_t, std::string>> names;
      for (const auto& src : st->sources) names.emplace_back(src.id, src.name);
      r.value = AudioObjectPropertyValue::translation(std::move(names));
      break;
    }
    case kAudioDevicePropertyVolumeScalar: {
      auto v = std::find_if(st->volumes.begin(), st->volumes.end(),
                            [&](const VolumeElement& e) { return e.element == a.mElement; });
      if (v == st->volumes.end()) return r;
      r.value = AudioObjectPropertyValue::scalar(v->value);
      r.settable = v->settable;
      break;
    }
    case kAudioDevicePropertyLatency:
      r.value = AudioObjectPropertyValue::scalar(uint32_t(a.mScope == kAudioObjectPropertyScopeInput && dev->d.loopbackFilter
                                                   ? dev->d.loopbackLatencyFrames
                                                   : st->latencyFrames));
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

PropertyLookup SimulatedProvider::lookUp(AudioObjectID object, const AudioObjectPropertyAddress& address) {
  std::lock_guard lock(state_->mutex);
  return state_->lookUp(object, address);
}

OSStatus SimulatedProvider::setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& a, uint32_t,
                                            const void*, uint32_t size, const void* data) {
  State& s = *state_;
  std::vector<std::pair<AudioObjectID, std::vector<AudioObjectPropertyAddress>>> fired;
  {
    std::lock_guard lock(s.mutex);
    PropertyLookup l = s.lookUp(object, a);
    if (l.status != noErr) return l.status;
    if (!l.settable) return kAudioHardwareIllegalOperationError;
    if (object == kAudioObjectSystemObject) {
      if (size != sizeof(AudioObjectID)) return kAudioHardwareBadPropertySizeError;
      AudioObjectID id;
      std::memcpy(&id, data, sizeof id);
      const bool input = a.mSelector == kAudioHardwarePropertyDefaultInputDevice;
      Device* dev = s.find(id);
      if (!dev || !(input ? bool(dev->d.input) : bool(dev->d.output))) return kAudioHardwareBadDeviceError;
      AudioObjectID& current = input ? s.defaultInput : s.defaultOutput;
      if (current == id) return noErr;
      current = id;
      fired.push_back({kAudioObjectSystemObject, {{a.mSelector, kAudioObjectPropertyScopeGlobal, 0}}});
    } else {
      Device& dev = *s.find(object);
      switch (a.mSelector) {
        case kAudioDevicePropertyNominalSampleRate:
        case kAudioStreamPropertyPhysicalFormat: {
          // The rate belongs to the device: every direction moves to it, and
          // each must offer it with its current (or the new) format.
          AudioStreamBasicDescription wanted{};
          double rate;
          if (a.mSelector == kAudioStreamPropertyPhysicalFormat) {
            if (size != sizeof wanted) return kAudioHardwareBadPropertySizeError;
            std::memcpy(&wanted, data, sizeof wanted);
            rate = wanted.mSampleRate;
          } else {
            if (size != sizeof rate) return kAudioHardwareBadPropertySizeError;
            std::memcpy(&rate, data, sizeof rate);
          }
          if (!(rate > 0) || !std::isfinite(rate)) return kAudioDeviceUnsupportedFormatError;
          AudioStreamBasicDescription next[2];
          bool changed[2] = {false, false};
          const AudioObjectPropertyScope scopes[2] = {kAudioObjectPropertyScopeInput, kAudioObjectPropertyScopeOutput};
          for (int i = 0; i < 2; ++i) {
            StreamDescription* st = dev.stream(scopes[i]);
            if (!st) continue;
            AudioStreamBasicDescription f = st->physicalFormat;
            if (a.mSelector == kAudioStreamPropertyPhysicalFormat && a.mScope == scopes[i]) f = wanted;
            f.mSampleRate = rate;
            const AudioStreamRangedDescription* entry = offered(*st, f);
            if (!entry) return kAudioDeviceUnsupportedFormatError;
            next[i] = entry->mFormat;
            next[i].mSampleRate = rate;
            changed[i] = std::memcmp(&next[i], &st->physicalFormat, sizeof next[i]) != 0;
          }
          const double oldRate = (dev.d.input ? dev.d.input : dev.d.output)->physicalFormat.mSampleRate;
          std::vector<AudioObjectPropertyAddress> addresses;
          for (int i = 0; i < 2; ++i) {
            if (!changed[i]) continue;
            StreamDescription* st = dev.stream(scopes[i]);
            st->physicalFormat = next[i];
            st->channels = next[i].mChannelsPerFrame;
            addresses.push_back({kAudioStreamPropertyPhysicalFormat, scopes[i], 0});
            addresses.push_back({kAudioStreamPropertyVirtualFormat, scopes[i], 0});
          }
          if (rate != oldRate) addresses.push_back({kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal, 0});
          if (addresses.empty()) return noErr;
          s.configure(dev, true);
          fired.push_back({object, addresses});
          break;
        }
        case kAudioDevicePropertyBufferFrameSize: {
          uint32_t frames;
          if (size != sizeof frames) return kAudioHardwareBadPropertySizeError;
          std::memcpy(&frames, data, sizeof frames);
          if (frames < dev.d.bufferFrameSizeRange.mMinimum || frames > dev.d.bufferFrameSizeRange.mMaximum ||
              frames > dev.rt->maxFrames)
            return kAudioHardwareIllegalOperationError;
          if (frames == dev.d.bufferFrameSize) return noErr;
          dev.d.bufferFrameSize = frames;
          s.configure(dev, true);
          fired.push_back({object, {{kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeGlobal, 0}}});
          break;
        }
        case kAudioDevicePropertyDataSource: {
          uint32_t id;
          if (size != sizeof id) return kAudioHardwareBadPropertySizeError;
          std::memcpy(&id, data, sizeof id);
          StreamDescription* st = dev.stream(a.mScope);
          if (std::none_of(st->sources.begin(), st->sources.end(), [&](const DataSource& d) { return d.id == id; }))
            return kAudioHardwareIllegalOperationError;
          if (st->currentSource == id) return noErr;
          st->currentSource = id;
          s.configure(dev, false);
          fired.push_back({object, {{kAudioDevicePropertyDataSource, a.mScope, 0}}});
          break;
        }
        case kAudioDevicePropertyVolumeScalar: {
          float value;
          if (size != sizeof value) return kAudioHardwareBadPropertySizeError;
          std::memcpy(&value, data, sizeof value);
          if (!(value >= 0.0f && value <= 1.0f)) return kAudio_ParamError;
          StreamDescription* st = dev.stream(a.mScope);
          auto v = std::find_if(st->volumes.begin(), st->volumes.end(),
                                [&](const VolumeElement& e) { return e.element == a.mElement; });
          if (v->value == value) return noErr;
          v->value = value;
          s.configure(dev, false);
          fired.push_back({object, {{kAudioDevicePropertyVolumeScalar, a.mScope, a.mElement}}});
          break;
        }
        default:
          return kAudioHardwareIllegalOperationError;
      }
    }
  }
  for (auto& [obj, addresses] : fired) s.notifier.post(obj, std::move(addresses));
  return noErr;
}

OSStatus SimulatedProvider::addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                                AudioObjectPropertyListenerProc listener, void* clientData) {
  {
    std::lock_guard lock(state_->mutex);
    if (object != kAudioObjectSystemObject && !state_->find(object)) return kAudioHardwareBadObjectError;
  }
  return state_->notifier.add(object, address, listener, clientData);
}

OSStatus SimulatedProvider::removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                                   AudioObjectPropertyListenerProc listener, void* clientData) {
  return state_->notifier.remove(object, address, listener, clientData);
}

void SimulatedProvider::flushNotifications() { state_->notifier.flush(); }

}  // namespace platform::audio::simulated
