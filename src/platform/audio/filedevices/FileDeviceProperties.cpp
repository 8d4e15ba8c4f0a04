// The file devices' properties: what each has, reads, and client writes of
// their rate, buffer size and data source.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

#include "platform/audio/filedevices/FileDeviceState.h"

namespace platform::audio::files {

namespace {

AudioStreamBasicDescription physicalFormat(const FileDevice& d, double rate) {
  AudioStreamBasicDescription f{};
  f.mSampleRate = rate;
  f.mFormatID = kAudioFormatLinearPCM;
  f.mFormatFlags = (d.isFloat ? kAudioFormatFlagIsFloat : kAudioFormatFlagIsSignedInteger) | kAudioFormatFlagIsPacked;
  f.mChannelsPerFrame = d.channels;
  f.mBitsPerChannel = d.bits;
  f.mBytesPerFrame = d.bits / 8 * d.channels;
  f.mFramesPerPacket = 1;
  f.mBytesPerPacket = f.mBytesPerFrame;
  return f;
}

// The file's own rate first, then the standard rates: one discrete entry each.
std::vector<double> offeredRates(const FileDevice& d) {
  std::vector<double> rates{d.fileRate};
  for (double r : kStandardRates)
    if (r != d.fileRate) rates.push_back(r);
  return rates;
}

std::vector<AudioStreamRangedDescription> offeredFormats(const FileDevice& d) {
  std::vector<AudioStreamRangedDescription> formats;
  for (double r : offeredRates(d)) formats.push_back({physicalFormat(d, r), {r, r}});
  return formats;
}

const char* sourceName(uint32_t source) { return source == kSourcePlayOnce ? "Play Once" : "Loop"; }

}  // namespace

PropertyLookup FileDeviceProvider::State::lookUp(const FileDevice& d, const AudioObjectPropertyAddress& a) const {
  PropertyLookup r;
  r.status = noErr;
  // Global properties answer in any scope.
  switch (a.mSelector) {
    case kAudioObjectPropertyName:
      r.value = AudioObjectPropertyValue::string(d.name);
      return r;
    case kAudioDevicePropertyDeviceUID:
      r.value = AudioObjectPropertyValue::string(d.uid);
      return r;
    case kAudioDevicePropertyNominalSampleRate:
      r.value = AudioObjectPropertyValue::scalar(d.rate);
      r.settable = true;
      return r;
    case kAudioDevicePropertyBufferFrameSize:
      r.value = AudioObjectPropertyValue::scalar(d.bufferFrames);
      r.settable = true;
      return r;
    case kAudioDevicePropertyBufferFrameSizeRange:
      r.value = AudioObjectPropertyValue::scalar(AudioValueRange{double(kMinBufferFrames), double(kMaxBufferFrames)});
      return r;
    case kAudioDevicePropertyDeviceIsRunning:
      r.value = AudioObjectPropertyValue::scalar(uint32_t(d.rt->anchor.running() ? 1 : 0));
      return r;
    default:
      break;
  }
  r.status = kAudioHardwareUnknownPropertyError;
  if (a.mScope != kAudioObjectPropertyScopeInput) return r;  // no output
  switch (a.mSelector) {
    case kAudioStreamPropertyPhysicalFormat:
      r.value = AudioObjectPropertyValue::scalar(physicalFormat(d, d.rate));
      r.settable = true;
      break;
    case kAudioStreamPropertyVirtualFormat:
      r.value = AudioObjectPropertyValue::scalar(floatFormat(d.rate, d.channels, false));
      break;
    case kAudioStreamPropertyAvailablePhysicalFormats:
      r.value = AudioObjectPropertyValue::array(offeredFormats(d));
      break;
    case kAudioDevicePropertyDataSources:
      r.value = AudioObjectPropertyValue::array(std::vector<uint32_t>{kSourceLoop, kSourcePlayOnce});
      break;
    case kAudioDevicePropertyDataSource:
      r.value = AudioObjectPropertyValue::scalar(d.source);
      r.settable = true;
      break;
    case kAudioDevicePropertyDataSourceNameForIDCFString:
      r.value = AudioObjectPropertyValue::translation(
          {{kSourceLoop, sourceName(kSourceLoop)}, {kSourcePlayOnce, sourceName(kSourcePlayOnce)}});
      break;
    case kAudioDevicePropertyLatency:
    case kAudioDevicePropertySafetyOffset:
      r.value = AudioObjectPropertyValue::scalar(uint32_t(0));
      break;
    default:
      return r;
  }
  r.status = noErr;
  return r;
}

OSStatus FileDeviceProvider::setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& a,
                                             uint32_t qualifierSize, const void* qualifier, uint32_t size,
                                             const void* data) {
  State& s = *state_;
  if (!inFileRange(object)) return s.inner->setPropertyData(object, a, qualifierSize, qualifier, size, data);
  std::vector<AudioObjectPropertyAddress> fired;
  {
    std::lock_guard lock(s.mutex);
    FileDevice* d = s.find(object);
    if (!d) return kAudioHardwareBadObjectError;
    const PropertyLookup l = s.lookUp(*d, a);
    if (l.status != noErr) return l.status;
    if (!l.settable) return kAudioHardwareIllegalOperationError;
    switch (a.mSelector) {
      case kAudioDevicePropertyNominalSampleRate:
      case kAudioStreamPropertyPhysicalFormat: {
        double rate;
        if (a.mSelector == kAudioStreamPropertyPhysicalFormat) {
          AudioStreamBasicDescription wanted;
          if (size != sizeof wanted) return kAudioHardwareBadPropertySizeError;
          std::memcpy(&wanted, data, sizeof wanted);
          const AudioStreamBasicDescription now = physicalFormat(*d, d->rate);
          if (wanted.mFormatID != now.mFormatID || wanted.mChannelsPerFrame != now.mChannelsPerFrame ||
              wanted.mBitsPerChannel != now.mBitsPerChannel)
            return kAudioDeviceUnsupportedFormatError;
          rate = wanted.mSampleRate;
        } else {
          if (size != sizeof rate) return kAudioHardwareBadPropertySizeError;
          std::memcpy(&rate, data, sizeof rate);
        }
        const std::vector<double> rates = offeredRates(*d);
        if (std::find(rates.begin(), rates.end(), rate) == rates.end()) return kAudioDeviceUnsupportedFormatError;
        if (rate == d->rate) return noErr;
        d->rate = rate;
        d->rt->rate.store(rate);
        d->rt->reader->setRate(rate);
        fired = {{kAudioStreamPropertyPhysicalFormat, kAudioObjectPropertyScopeInput, 0},
                 {kAudioStreamPropertyVirtualFormat, kAudioObjectPropertyScopeInput, 0},
                 {kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal, 0}};
        break;
      }
      case kAudioDevicePropertyBufferFrameSize: {
        uint32_t frames;
        if (size != sizeof frames) return kAudioHardwareBadPropertySizeError;
        std::memcpy(&frames, data, sizeof frames);
        if (frames < kMinBufferFrames || frames > kMaxBufferFrames) return kAudioHardwareIllegalOperationError;
        if (frames == d->bufferFrames) return noErr;
        d->bufferFrames = frames;
        d->rt->bufferFrames.store(frames);
        fired = {{kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeGlobal, 0}};
        break;
      }
      case kAudioDevicePropertyDataSource: {
        uint32_t source;
        if (size != sizeof source) return kAudioHardwareBadPropertySizeError;
        std::memcpy(&source, data, sizeof source);
        if (source != kSourceLoop && source != kSourcePlayOnce) return kAudioHardwareIllegalOperationError;
        // Play Once plays the file from its start every time it is chosen;
        // Loop goes on from where the file is.
        if (source == kSourcePlayOnce)
          d->rt->reader->playOnce();
        else if (d->source != kSourceLoop)
          d->rt->reader->loop();
        if (source == d->source) return noErr;
        d->source = source;
        fired = {{kAudioDevicePropertyDataSource, kAudioObjectPropertyScopeInput, 0}};
        break;
      }
      default:
        return kAudioHardwareIllegalOperationError;
    }
  }
  s.notifier.post(object, std::move(fired));
  return noErr;
}

}  // namespace platform::audio::files
