// The object model's properties, answered from the device cache; writes of
// server state are sent to the server without waiting for it.
#include <cmath>
#include <cstring>

#include "platform/audio/pulse/PulseState.h"

namespace platform::audio::pulse {

PropertyLookup PulseProvider::State::lookUp(AudioObjectID object, const AudioObjectPropertyAddress& a) {
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
        r.settable = true;
        break;
      case kAudioHardwarePropertyDefaultOutputDevice:
        r.value = AudioObjectPropertyValue::scalar(defaultOutput);
        r.settable = true;
        break;
      case kAudioObjectPropertyName:
        r.value = AudioObjectPropertyValue::string("PulseAudio");
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
      r.value = AudioObjectPropertyValue::string(dev->name);
      return r;
    case kAudioDevicePropertyDeviceUID:
      r.value = AudioObjectPropertyValue::string(dev->uid);
      return r;
    case kAudioDevicePropertyNominalSampleRate:
      r.value = AudioObjectPropertyValue::scalar(dev->rate);
      r.settable = true;
      return r;
    case kAudioDevicePropertyBufferFrameSize:
      r.value = AudioObjectPropertyValue::scalar(dev->bufferFrames);
      r.settable = true;
      return r;
    case kAudioDevicePropertyBufferFrameSizeRange:
      r.value = AudioObjectPropertyValue::scalar(AudioValueRange{double(kMinFrames), double(kMaxFrames)});
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
      r.value = AudioObjectPropertyValue::scalar(dev->format(dev->rate));
      r.settable = true;
      break;
    case kAudioStreamPropertyVirtualFormat:
      r.value = AudioObjectPropertyValue::scalar(floatFormat(dev->rate, dev->channels(), false));
      break;
    case kAudioStreamPropertyAvailablePhysicalFormats: {
      std::vector<AudioStreamRangedDescription> formats;
      for (double rate : dev->rates()) formats.push_back({dev->format(rate), {rate, rate}});
      r.value = AudioObjectPropertyValue::array(formats);
      break;
    }
    case kAudioDevicePropertyDataSources: {
      if (dev->ports.empty()) return r;
      std::vector<uint32_t> ids;
      for (const auto& p : dev->ports) ids.push_back(p.id);
      r.value = AudioObjectPropertyValue::array(ids);
      break;
    }
    case kAudioDevicePropertyDataSource: {
      if (dev->ports.empty()) return r;
      uint32_t id = 0;
      for (const auto& p : dev->ports)
        if (p.name == dev->activePort) id = p.id;
      r.value = AudioObjectPropertyValue::scalar(id);
      r.settable = true;
      break;
    }
    case kAudioDevicePropertyDataSourceNameForIDCFString: {
      if (dev->ports.empty()) return r;
      std::vector<std::pair<uint32_t, std::string>> names;
      for (const auto& p : dev->ports) names.emplace_back(p.id, p.description);
      r.value = AudioObjectPropertyValue::translation(std::move(names));
      break;
    }
    case kAudioDevicePropertyVolumeScalar: {
      if (a.mElement > dev->volume.channels) return r;
      const pa_volume_t v = a.mElement == 0 ? pa_cvolume_max(&dev->volume) : dev->volume.values[a.mElement - 1];
      r.value = AudioObjectPropertyValue::scalar(volumeScalar(v));
      r.settable = true;
      break;
    }
    case kAudioDevicePropertyLatency:
      r.value = AudioObjectPropertyValue::scalar(latencyFrames(*dev));
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

PropertyLookup PulseProvider::lookUp(AudioObjectID object, const AudioObjectPropertyAddress& address) {
  std::lock_guard lock(state_->mutex);
  return state_->lookUp(object, address);
}

OSStatus PulseProvider::setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& a, uint32_t,
                                        const void*, uint32_t size, const void* data) {
  State& s = *state_;
  Fired fired;
  // What goes to the server, sent after the cache lock is released.
  enum class Send { Nothing, DefaultSink, DefaultSource, Volume, Port, BufferAttr, Restart } send = Send::Nothing;
  std::string serverName, portName;
  uint32_t index = PA_INVALID_INDEX;
  bool input = false;
  pa_cvolume volume{};
  Runtime* rt = nullptr;
  {
    std::lock_guard lock(s.mutex);
    PropertyLookup l = s.lookUp(object, a);
    if (l.status != noErr) return l.status;
    if (!l.settable) return kAudioHardwareIllegalOperationError;
    if (object == kAudioObjectSystemObject) {
      if (size != sizeof(AudioObjectID)) return kAudioHardwareBadPropertySizeError;
      AudioObjectID id;
      std::memcpy(&id, data, sizeof id);
      input = a.mSelector == kAudioHardwarePropertyDefaultInputDevice;
      Device* dev = s.find(id);
      if (!dev || dev->input != input) return kAudioHardwareBadDeviceError;
      if ((input ? s.defaultInput : s.defaultOutput) == id) return noErr;
      serverName = dev->serverName;
      send = input ? Send::DefaultSource : Send::DefaultSink;
    } else {
      Device& dev = *s.find(object);
      input = dev.input;
      index = dev.index;
      rt = dev.rt;
      switch (a.mSelector) {
        case kAudioDevicePropertyNominalSampleRate:
        case kAudioStreamPropertyPhysicalFormat: {
          double rate;
          if (a.mSelector == kAudioStreamPropertyPhysicalFormat) {
            AudioStreamBasicDescription wanted;
            if (size != sizeof wanted) return kAudioHardwareBadPropertySizeError;
            std::memcpy(&wanted, data, sizeof wanted);
            const AudioStreamBasicDescription own = dev.format(wanted.mSampleRate);
            if (wanted.mFormatID != own.mFormatID || wanted.mChannelsPerFrame != own.mChannelsPerFrame ||
                wanted.mBitsPerChannel != own.mBitsPerChannel)
              return kAudioDeviceUnsupportedFormatError;
            rate = wanted.mSampleRate;
          } else {
            if (size != sizeof rate) return kAudioHardwareBadPropertySizeError;
            std::memcpy(&rate, data, sizeof rate);
          }
          const auto rates = dev.rates();
          if (std::find(rates.begin(), rates.end(), rate) == rates.end()) return kAudioDeviceUnsupportedFormatError;
          if (rate == dev.rate) return noErr;
          dev.rate = rate;
          fired.push_back({object,
                           {{kAudioStreamPropertyPhysicalFormat, dev.scope(), 0},
                            {kAudioStreamPropertyVirtualFormat, dev.scope(), 0},
                            {kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal, 0}}});
          send = Send::Restart;
          break;
        }
        case kAudioDevicePropertyBufferFrameSize: {
          uint32_t frames;
          if (size != sizeof frames) return kAudioHardwareBadPropertySizeError;
          std::memcpy(&frames, data, sizeof frames);
          if (frames < kMinFrames || frames > kMaxFrames) return kAudioHardwareIllegalOperationError;
          if (frames == dev.bufferFrames) return noErr;
          dev.bufferFrames = frames;
          dev.rt->bufferFrames.store(frames);
          fired.push_back({object, {{kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeGlobal, 0}}});
          send = Send::BufferAttr;
          break;
        }
        case kAudioDevicePropertyDataSource: {
          uint32_t id;
          if (size != sizeof id) return kAudioHardwareBadPropertySizeError;
          std::memcpy(&id, data, sizeof id);
          auto port = std::find_if(dev.ports.begin(), dev.ports.end(), [&](const Port& p) { return p.id == id; });
          if (port == dev.ports.end()) return kAudioHardwareIllegalOperationError;
          if (port->name == dev.activePort) return noErr;
          portName = port->name;
          send = Send::Port;
          break;
        }
        case kAudioDevicePropertyVolumeScalar: {
          float value;
          if (size != sizeof value) return kAudioHardwareBadPropertySizeError;
          std::memcpy(&value, data, sizeof value);
          if (!(value >= 0.0f && value <= 1.0f)) return kAudio_ParamError;
          volume = dev.volume;
          const auto v = pa_volume_t(std::lround(double(value) * PA_VOLUME_NORM));
          if (a.mElement == 0) {
            if (pa_cvolume_max(&volume) == PA_VOLUME_MUTED)
              pa_cvolume_set(&volume, volume.channels, v);
            else
              pa_cvolume_scale(&volume, v);
          } else {
            volume.values[a.mElement - 1] = v;
          }
          if (pa_cvolume_equal(&volume, &dev.volume)) return noErr;
          send = Send::Volume;
          break;
        }
        default:
          return kAudioHardwareIllegalOperationError;
      }
    }
  }
  s.post(fired);
  if (send == Send::Restart) {
    // A running stream moves to the new rate with its clients.
    if (rt && !rt::inCycleOf(rt)) {
      std::lock_guard control(rt->control);
      if (rt->active.load()) {
        s.stopStream(*rt);
        bool any;
        {
          std::lock_guard io(rt->io);
          any = !rt->clients.empty();
        }
        if (any) s.startStream(*rt);
      }
    }
    return noErr;
  }
  pa_threaded_mainloop_lock(s.loop);
  OSStatus status = noErr;
  pa_context* c = s.context;
  if (!c || pa_context_get_state(c) != PA_CONTEXT_READY) {
    status = send == Send::BufferAttr ? noErr : kAudioHardwareNotRunningError;
  } else {
    switch (send) {
      case Send::DefaultSink:
        dropOperation(pa_context_set_default_sink(c, serverName.c_str(), nullptr, nullptr));
        break;
      case Send::DefaultSource:
        dropOperation(pa_context_set_default_source(c, serverName.c_str(), nullptr, nullptr));
        break;
      case Send::Volume:
        dropOperation(input ? pa_context_set_source_volume_by_index(c, index, &volume, nullptr, nullptr)
                            : pa_context_set_sink_volume_by_index(c, index, &volume, nullptr, nullptr));
        break;
      case Send::Port:
        dropOperation(input ? pa_context_set_source_port_by_index(c, index, portName.c_str(), nullptr, nullptr)
                            : pa_context_set_sink_port_by_index(c, index, portName.c_str(), nullptr, nullptr));
        break;
      case Send::BufferAttr:
        if (rt && rt->stream) {
          const uint32_t cycleBytes = rt->bufferFrames.load() * rt->channels * 4;
          pa_buffer_attr attr{uint32_t(-1), 3 * cycleBytes, uint32_t(-1), cycleBytes, cycleBytes};
          dropOperation(pa_stream_set_buffer_attr(rt->stream, &attr, nullptr, nullptr));
        }
        break;
      default:
        break;
    }
  }
  pa_threaded_mainloop_unlock(s.loop);
  return status;
}

OSStatus PulseProvider::addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                            AudioObjectPropertyListenerProc listener, void* clientData) {
  {
    std::lock_guard lock(state_->mutex);
    if (object != kAudioObjectSystemObject && !state_->find(object)) return kAudioHardwareBadObjectError;
  }
  return state_->notifier.add(object, address, listener, clientData);
}

OSStatus PulseProvider::removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                               AudioObjectPropertyListenerProc listener, void* clientData) {
  return state_->notifier.remove(object, address, listener, clientData);
}

}  // namespace platform::audio::pulse
