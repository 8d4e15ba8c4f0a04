// The sampling-rate converter on a fixed-ratio libsoxr resampler.

#include "platform/audio/AudioConverter.h"

#include <soxr.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

#include "platform/audio/UnitSupport.h"

namespace platform::audio {

namespace {

constexpr uint32_t kMaxBlock = 4096;  // frames per resampler call

int qualityIndex(uint32_t value) {
  if (value >= kAudioConverterQuality_Max) return 4;
  if (value >= kAudioConverterQuality_High) return 3;
  if (value >= kAudioConverterQuality_Medium) return 2;
  if (value >= kAudioConverterQuality_Low) return 1;
  return 0;
}

constexpr uint32_t kQualityValues[5] = {kAudioConverterQuality_Min, kAudioConverterQuality_Low,
                                        kAudioConverterQuality_Medium, kAudioConverterQuality_High,
                                        kAudioConverterQuality_Max};

}  // namespace

class AudioConverterInstance {
 public:
  AudioStreamBasicDescription source{}, destination{};
  bool split = true;
  unsigned channels = 0;
  std::atomic<int> quality{3};
  bool aligned = false;  // kConverterPrimeMethod_Normal: resamplers start empty, not run in
  SoxrHandle current = nullptr;                 // the filling thread's resampler
  std::atomic<SoxrHandle> pending{nullptr};     // a new quality, waiting for the next fill
  std::atomic<SoxrHandle> retired{nullptr};     // replaced by the filling thread, freed by the setter
  // Input handed over by the procedure and not yet consumed.
  const float* input[kAudioBufferListCapacity] = {};
  uint32_t available = 0, used = 0;
  bool ended = false;
  AudioBufferList procList{};

  SoxrHandle make(int index) const {
    return createFixedResampler(source.mSampleRate, destination.mSampleRate, channels, split, index, kMaxBlock,
                                !aligned);
  }
  void freeRetired() { deleteResampler(retired.exchange(nullptr)); }
  ~AudioConverterInstance() {
    deleteResampler(current);
    deleteResampler(pending.exchange(nullptr));
    freeRetired();
  }
};

OSStatus AudioConverterNew(const AudioStreamBasicDescription* source, const AudioStreamBasicDescription* destination,
                           AudioConverterRef* outConverter) {
  if (!source || !destination || !outConverter) return kAudio_ParamError;
  const bool split = (source->mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0;
  if (!isFloatPcm(*source, false) || !isFloatPcm(*destination, false) ||
      source->mChannelsPerFrame != destination->mChannelsPerFrame ||
      split != ((destination->mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0))
    return kAudioConverterErr_FormatNotSupported;
  auto* c = new AudioConverterInstance;
  c->source = *source;
  c->destination = *destination;
  c->split = split;
  c->channels = source->mChannelsPerFrame;
  c->current = c->make(c->quality.load());
  if (!c->current) {
    delete c;
    return kAudioConverterErr_FormatNotSupported;
  }
  *outConverter = c;
  return noErr;
}

OSStatus AudioConverterDispose(AudioConverterRef converter) {
  if (!converter) return kAudio_ParamError;
  delete converter;
  return noErr;
}

OSStatus AudioConverterReset(AudioConverterRef c) {
  if (!c) return kAudio_ParamError;
  c->freeRetired();
  const double ratio = c->source.mSampleRate / c->destination.mSampleRate;
  if (c->ended || c->aligned) {
    // A resampler that was told its input ended takes no more, and one that
    // must line up with its input starts empty: make a new one.
    deleteResampler(c->current);
    c->current = c->make(c->quality.load());
    if (!c->current) return kAudioConverterErr_FormatNotSupported;
  } else {
    clearResampler(c->current, c->channels, c->split, false, ratio, ratio, kMaxBlock);
  }
  c->available = c->used = 0;
  c->ended = false;
  return noErr;
}

OSStatus AudioConverterSetProperty(AudioConverterRef c, AudioConverterPropertyID id, uint32_t size,
                                   const void* data) {
  if (!c || !data) return kAudio_ParamError;
  if (id != kAudioConverterSampleRateConverterQuality && id != kAudioConverterPrimeMethod)
    return kAudioConverterErr_PropertyNotSupported;
  if (size != sizeof(uint32_t)) return kAudioConverterErr_BadPropertySizeError;
  uint32_t value;
  std::memcpy(&value, data, sizeof value);
  if (id == kAudioConverterPrimeMethod) {
    if (value != kConverterPrimeMethod_Normal && value != kConverterPrimeMethod_None) return kAudio_ParamError;
    if ((value == kConverterPrimeMethod_Normal) == c->aligned) return noErr;
    c->aligned = value == kConverterPrimeMethod_Normal;
    SoxrHandle fresh = c->make(c->quality.load());
    if (!fresh) return kAudioConverterErr_FormatNotSupported;
    deleteResampler(c->current);
    deleteResampler(c->pending.exchange(nullptr));
    c->freeRetired();
    c->current = fresh;
    c->available = c->used = 0;
    c->ended = false;
    return noErr;
  }
  const int index = qualityIndex(value);
  if (index == c->quality.load()) return noErr;
  SoxrHandle next = c->make(index);
  if (!next) return kAudioConverterErr_FormatNotSupported;
  c->freeRetired();
  deleteResampler(c->pending.exchange(next));  // an earlier change not yet taken is dropped
  c->quality.store(index);
  return noErr;
}

OSStatus AudioConverterGetProperty(AudioConverterRef c, AudioConverterPropertyID id, uint32_t* ioSize, void* data) {
  if (!c || !ioSize || !data) return kAudio_ParamError;
  switch (id) {
    case kAudioConverterSampleRateConverterQuality: {
      if (*ioSize < sizeof(uint32_t)) return kAudioConverterErr_BadPropertySizeError;
      const uint32_t value = kQualityValues[c->quality.load()];
      std::memcpy(data, &value, sizeof value);
      *ioSize = sizeof value;
      return noErr;
    }
    case kAudioConverterPrimeMethod: {
      if (*ioSize < sizeof(uint32_t)) return kAudioConverterErr_BadPropertySizeError;
      const uint32_t value = c->aligned ? kConverterPrimeMethod_Normal : kConverterPrimeMethod_None;
      std::memcpy(data, &value, sizeof value);
      *ioSize = sizeof value;
      return noErr;
    }
    case kAudioConverterCurrentInputStreamDescription:
    case kAudioConverterCurrentOutputStreamDescription: {
      if (*ioSize < sizeof(AudioStreamBasicDescription)) return kAudioConverterErr_BadPropertySizeError;
      const auto& f = id == kAudioConverterCurrentInputStreamDescription ? c->source : c->destination;
      std::memcpy(data, &f, sizeof f);
      *ioSize = sizeof f;
      return noErr;
    }
    default:
      return kAudioConverterErr_PropertyNotSupported;
  }
}

OSStatus AudioConverterFillComplexBuffer(AudioConverterRef c, AudioConverterComplexInputDataProc inputProc,
                                         void* userData, uint32_t* ioOutputDataPacketSize,
                                         AudioBufferList* out, AudioStreamPacketDescription*) {
  if (!c || !inputProc || !ioOutputDataPacketSize || !out) return kAudio_ParamError;
  if (!c->current) return kAudioConverterErr_FormatNotSupported;
  const uint32_t outBuffers = c->split ? c->channels : 1;
  if (out->mNumberBuffers < outBuffers) return kAudioConverterErr_FormatNotSupported;
  for (uint32_t b = 0; b < outBuffers; ++b)
    if (!out->mBuffers[b].mData) return kAudio_ParamError;

  // A quality change made meanwhile takes effect here, between fills; the
  // replaced resampler is freed by the next setter (not on this thread).
  if (!c->retired.load()) {
    if (SoxrHandle next = c->pending.exchange(nullptr)) {
      c->retired.store(c->current);
      c->current = next;
    }
  }

  const uint32_t wanted = *ioOutputDataPacketSize;
  const double ratio = c->source.mSampleRate / c->destination.mSampleRate;
  const unsigned ch = c->channels;
  OSStatus result = noErr;
  uint32_t produced = 0;
  int stalls = 0;
  for (int guard = 0; guard < 100000 && produced < wanted; ++guard) {
    if (c->available == 0 && !c->ended) {
      const uint32_t ask =
          std::clamp<uint32_t>(uint32_t(std::ceil(double(wanted - produced) * ratio)) + 2, 1, kMaxBlock);
      c->procList.mNumberBuffers = outBuffers;
      for (uint32_t b = 0; b < outBuffers; ++b) c->procList.mBuffers[b] = {c->split ? 1 : ch, 0, nullptr};
      uint32_t packets = ask;
      AudioStreamPacketDescription* descriptions = nullptr;
      const OSStatus status = inputProc(c, &packets, &c->procList, &descriptions, userData);
      if (status != noErr) {
        result = status;
        break;
      }
      packets = std::min(packets, ask);
      bool valid = packets > 0;
      for (uint32_t b = 0; valid && b < outBuffers; ++b) valid = c->procList.mBuffers[b].mData != nullptr;
      if (!valid) {
        c->ended = true;  // no more input: what the resampler holds is flushed below
      } else {
        for (uint32_t b = 0; b < outBuffers; ++b) c->input[b] = static_cast<const float*>(c->procList.mBuffers[b].mData);
        c->available = packets;
        c->used = 0;
      }
    }
    const uint32_t block = std::min(wanted - produced, kMaxBlock);
    const float* in[kAudioBufferListCapacity];
    float* o[kAudioBufferListCapacity];
    for (uint32_t b = 0; b < outBuffers; ++b) {
      const size_t stride = c->split ? 1 : ch;
      in[b] = c->available ? c->input[b] + size_t(c->used) * stride : nullptr;
      o[b] = static_cast<float*>(out->mBuffers[b].mData) + size_t(produced) * stride;
    }
    size_t idone = 0, odone = 0;
    const bool flush = c->available == 0 && c->ended;
    soxr_in_t inArg = flush ? nullptr : (c->split ? static_cast<soxr_in_t>(in) : static_cast<soxr_in_t>(in[0]));
    soxr_out_t outArg = c->split ? static_cast<soxr_out_t>(o) : static_cast<soxr_out_t>(o[0]);
    if (soxr_process(c->current, inArg, c->available, &idone, outArg, block, &odone)) {
      result = kAudioConverterErr_FormatNotSupported;
      break;
    }
    c->used += uint32_t(idone);
    c->available -= uint32_t(idone);
    produced += uint32_t(odone);
    if (odone == 0 && (flush || (idone == 0 && ++stalls > 8))) break;
  }
  *ioOutputDataPacketSize = produced;
  for (uint32_t b = 0; b < outBuffers; ++b)
    out->mBuffers[b].mDataByteSize = produced * 4 * (c->split ? 1 : ch);
  return result;
}

}  // namespace platform::audio
