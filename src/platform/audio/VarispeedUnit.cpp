// The varispeed unit on a variable-ratio libsoxr resampler.

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/audio/Units.h"

namespace platform::audio {

namespace {

void zero(AudioBufferList* data, uint32_t frames) {
  if (!data) return;
  for (uint32_t ch = 0; ch < data->mNumberBuffers && ch < kAudioBufferListCapacity; ++ch) {
    if (data->mBuffers[ch].mData) std::fill_n(static_cast<float*>(data->mBuffers[ch].mData), frames, 0.0f);
    data->mBuffers[ch].mDataByteSize = frames * 4;
  }
}

}  // namespace

VarispeedUnit::VarispeedUnit(const AudioComponentDescription& description)
    : AudioUnitInstance(description), inFormat_(floatFormat(44100, 2)), outFormat_(floatFormat(44100, 2)) {}

VarispeedUnit::~VarispeedUnit() { release(); }

void VarispeedUnit::release() {
  deleteResampler(resampler_);
  resampler_ = nullptr;
  initialized_ = false;
}

OSStatus VarispeedUnit::build() {
  release();
  if (inFormat_.mChannelsPerFrame != outFormat_.mChannelsPerFrame) return kAudioUnitErr_FormatNotSupported;
  channels_ = inFormat_.mChannelsPerFrame;
  maxRatio_ = ratioFor(kMaxRate) * 1.01;
  maxPull_ = uint32_t(std::ceil(kUnitMaxFrames * maxRatio_)) + 64;
  resampler_ = createVariableResampler(maxRatio_, ratioFor(playbackRate_.load()), channels_, kUnitMaxFrames);
  if (!resampler_) return kAudioUnitErr_FormatNotSupported;
  input_.assign(size_t(channels_) * maxPull_, 0.0f);
  dump_.assign(kUnitMaxFrames, 0.0f);
  pending_ = used_ = 0;
  appliedRatio_ = ratioFor(playbackRate_.load());
  inputSampleTime_ = 0;
  initialized_ = true;
  return noErr;
}

OSStatus VarispeedUnit::initialize() {
  ConfigHandshake::Scope lock(handshake_);
  return build();
}

OSStatus VarispeedUnit::uninitialize() {
  ConfigHandshake::Scope lock(handshake_);
  release();
  return noErr;
}

OSStatus VarispeedUnit::reset(AudioUnitScope, AudioUnitElement) {
  ConfigHandshake::Scope lock(handshake_);
  if (!resampler_) return noErr;
  // Cleared at the ratio it last played, then set to the rate asked for now
  // (which may have changed since the last render).
  clearResampler(resampler_, channels_, true, true, maxRatio_, appliedRatio_, kUnitMaxFrames);
  appliedRatio_ = ratioFor(playbackRate_.load());
  soxr_set_io_ratio(resampler_, appliedRatio_, 0);
  pending_ = used_ = 0;
  inputSampleTime_ = 0;
  return noErr;
}

OSStatus VarispeedUnit::setStreamFormat(AudioUnitScope scope, AudioUnitElement element,
                                        const AudioStreamBasicDescription& format) {
  if (element != 0) return kAudioUnitErr_InvalidElement;
  if (scope != kAudioUnitScope_Input && scope != kAudioUnitScope_Output) return kAudioUnitErr_InvalidScope;
  if (!isFloatPcm(format, true)) return kAudioUnitErr_FormatNotSupported;
  ConfigHandshake::Scope lock(handshake_);
  (scope == kAudioUnitScope_Input ? inFormat_ : outFormat_) = format;
  // An initialised unit follows its formats at once; a channel mismatch
  // leaves it uninitialised until the other side is set to match.
  if (initialized_) {
    const OSStatus status = build();
    if (status != noErr && inFormat_.mChannelsPerFrame != outFormat_.mChannelsPerFrame) return noErr;
    return status;
  }
  return noErr;
}

OSStatus VarispeedUnit::getStreamFormat(AudioUnitScope scope, AudioUnitElement element,
                                        AudioStreamBasicDescription& format) const {
  if (element != 0) return kAudioUnitErr_InvalidElement;
  if (scope != kAudioUnitScope_Input && scope != kAudioUnitScope_Output) return kAudioUnitErr_InvalidScope;
  format = scope == kAudioUnitScope_Input ? inFormat_ : outFormat_;
  return noErr;
}

OSStatus VarispeedUnit::setRenderCallback(AudioUnitScope scope, AudioUnitElement element,
                                          const AURenderCallbackStruct& callback) {
  if (scope != kAudioUnitScope_Input) return kAudioUnitErr_InvalidScope;
  if (element != 0) return kAudioUnitErr_InvalidElement;
  ConfigHandshake::Scope lock(handshake_);
  callback_ = callback;
  return noErr;
}

OSStatus VarispeedUnit::connectInput(AudioUnitElement element, AudioUnitInstance* source, uint32_t bus) {
  if (element != 0) return kAudioUnitErr_InvalidElement;
  ConfigHandshake::Scope lock(handshake_);
  source_ = source;
  sourceBus_ = bus;
  return noErr;
}

OSStatus VarispeedUnit::setParameter(AudioUnitParameterID id, AudioUnitScope scope, AudioUnitElement element,
                                     AudioUnitParameterValue value, uint32_t) noexcept {
  if (id != kVarispeedParam_PlaybackRate) return kAudioUnitErr_InvalidParameter;
  if (scope != kAudioUnitScope_Global) return kAudioUnitErr_InvalidScope;
  if (element != 0) return kAudioUnitErr_InvalidElement;
  if (!std::isfinite(value)) return kAudioUnitErr_InvalidParameter;
  playbackRate_.store(std::clamp(value, kMinRate, kMaxRate), std::memory_order_relaxed);
  return noErr;
}

OSStatus VarispeedUnit::getParameter(AudioUnitParameterID id, AudioUnitScope scope, AudioUnitElement element,
                                     AudioUnitParameterValue& value) const noexcept {
  if (id != kVarispeedParam_PlaybackRate) return kAudioUnitErr_InvalidParameter;
  if (scope != kAudioUnitScope_Global) return kAudioUnitErr_InvalidScope;
  if (element != 0) return kAudioUnitErr_InvalidElement;
  value = playbackRate_.load(std::memory_order_relaxed);
  return noErr;
}

OSStatus VarispeedUnit::pull(const AudioTimeStamp* time, uint32_t frames) noexcept {
  pullList_.mNumberBuffers = channels_;
  for (uint32_t ch = 0; ch < channels_; ++ch)
    pullList_.mBuffers[ch] = {1, frames * 4, input_.data() + size_t(ch) * maxPull_};
  AudioTimeStamp t = time ? *time : AudioTimeStamp{};
  t.mSampleTime = inputSampleTime_;
  t.mFlags |= kAudioTimeStampSampleTimeValid;
  AudioUnitRenderActionFlags flags = 0;
  OSStatus status = noErr;
  if (source_)
    status = source_->render(&flags, &t, sourceBus_, frames, &pullList_);
  else if (callback_.inputProc)
    status = callback_.inputProc(callback_.inputProcRefCon, &flags, &t, 0, frames, &pullList_);
  else
    zero(&pullList_, frames);
  if (status != noErr) return status;
  // The source may have pointed the buffers at samples of its own.
  for (uint32_t ch = 0; ch < channels_; ++ch) {
    pulled_[ch] = pullList_.mBuffers[ch].mData ? static_cast<const float*>(pullList_.mBuffers[ch].mData)
                                               : input_.data() + size_t(ch) * maxPull_;
  }
  pending_ = frames;
  used_ = 0;
  inputSampleTime_ += frames;
  return noErr;
}

OSStatus VarispeedUnit::render(AudioUnitRenderActionFlags*, const AudioTimeStamp* time, uint32_t bus,
                               uint32_t frames, AudioBufferList* data) noexcept {
  if (bus != 0) return kAudioUnitErr_InvalidElement;
  if (!data) return kAudio_ParamError;
  if (!handshake_.enter()) {
    zero(data, frames);
    return noErr;
  }
  if (!initialized_) {
    handshake_.leave();
    zero(data, frames);
    return kAudioUnitErr_Uninitialized;
  }
  const double ratio = ratioFor(playbackRate_.load(std::memory_order_relaxed));
  if (ratio != appliedRatio_) {
    // Glide to the new rate over this render, so the change makes no click.
    soxr_set_io_ratio(resampler_, ratio, frames);
    appliedRatio_ = ratio;
  }
  float* out[kAudioBufferListCapacity];
  for (uint32_t ch = 0; ch < channels_; ++ch) {
    out[ch] = ch < data->mNumberBuffers && data->mBuffers[ch].mData ? static_cast<float*>(data->mBuffers[ch].mData)
                                                                     : nullptr;
  }
  // The resampler takes all the input it is given, so it is given only what
  // the output still needs: first it drains what it holds, then each pull
  // asks for the input frames the missing output corresponds to.
  OSStatus status = noErr;
  uint32_t produced = 0;
  for (int guard = 0; guard < 64 && produced < frames; ++guard) {
    const float* in[kAudioBufferListCapacity];
    float* o[kAudioBufferListCapacity];
    const uint32_t block = std::min(frames - produced, kUnitMaxFrames);
    for (uint32_t ch = 0; ch < channels_; ++ch) {
      in[ch] = pending_ ? pulled_[ch] + used_ : input_.data();
      o[ch] = out[ch] ? out[ch] + produced : dump_.data();
    }
    size_t idone = 0, odone = 0;
    if (soxr_process(resampler_, in, pending_, &idone, o, block, &odone)) {
      status = kAudioUnitErr_CannotDoInCurrentContext;
      break;
    }
    used_ += uint32_t(idone);
    pending_ -= uint32_t(idone);
    produced += uint32_t(odone);
    if (produced < frames && pending_ == 0) {
      const uint32_t want = uint32_t(std::ceil(double(frames - produced) * ratio)) + 1;
      status = pull(time, std::clamp<uint32_t>(want, 1, maxPull_));
      if (status != noErr) break;
    }
  }
  for (uint32_t ch = 0; ch < data->mNumberBuffers && ch < kAudioBufferListCapacity; ++ch) {
    if (data->mBuffers[ch].mData && (ch >= channels_ || produced < frames)) {
      float* p = static_cast<float*>(data->mBuffers[ch].mData);
      const uint32_t from = ch >= channels_ ? 0 : produced;
      std::fill(p + from, p + frames, 0.0f);
    }
    data->mBuffers[ch].mDataByteSize = frames * 4;
  }
  handshake_.leave();
  return status;
}

}  // namespace platform::audio
