// The device I/O unit: a client of the provider's device cycles.

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/audio/Units.h"

namespace platform::audio {

namespace {

thread_local const DeviceIOUnit* cycleOf = nullptr;  // the unit whose device cycle this thread is in

bool isInputSide(AudioUnitScope scope, AudioUnitElement element) {
  return element == 1 && (scope == kAudioUnitScope_Output || scope == kAudioUnitScope_Input);
}

}  // namespace

DeviceIOUnit::DeviceIOUnit(const AudioComponentDescription& description, std::shared_ptr<Provider> provider)
    : AudioUnitInstance(description), provider_(std::move(provider)) {
  std::fill(std::begin(channelMap_), std::end(channelMap_), -1);
  refreshClientFormats();
}

DeviceIOUnit::~DeviceIOUnit() { stop(); }

bool DeviceIOUnit::runningDeviceExists() const {
  const AudioObjectPropertyAddress name{kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal, 0};
  return provider_->hasProperty(runningDevice_, name);
}

// A unit whose device went away while it ran gets no more cycles but stays
// started until it is stopped. Rebinding or re-enabling it stops it first, so
// that it can be bound to another device and started again.
void DeviceIOUnit::settleIfDeviceGone() {
  if (running_.load() && cycleOf != this && !runningDeviceExists()) stop();
}

AudioObjectID DeviceIOUnit::resolvedDevice() const {
  if (device_) return device_;
  // Unbound: the default device of the direction in use.
  AudioObjectID id = 0;
  uint32_t size = sizeof id;
  const AudioObjectPropertyAddress a{inputEnabled_ && !outputEnabled_ ? kAudioHardwarePropertyDefaultInputDevice
                                                                      : kAudioHardwarePropertyDefaultOutputDevice,
                                     kAudioObjectPropertyScopeGlobal, 0};
  if (provider_->getPropertyData(kAudioObjectSystemObject, a, 0, nullptr, size, &id) != noErr) return 0;
  return id;
}

uint32_t DeviceIOUnit::deviceChannels(AudioObjectPropertyScope scope) const {
  AudioStreamBasicDescription f{};
  uint32_t size = sizeof f;
  const AudioObjectPropertyAddress a{kAudioStreamPropertyVirtualFormat, scope, 0};
  const AudioObjectID device = resolvedDevice();
  if (!device || provider_->getPropertyData(device, a, 0, nullptr, size, &f) != noErr) return 0;
  return std::min(f.mChannelsPerFrame, kAudioBufferListCapacity);
}

double DeviceIOUnit::deviceRate() const {
  double rate = 0;
  uint32_t size = sizeof rate;
  const AudioObjectPropertyAddress a{kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal, 0};
  const AudioObjectID device = resolvedDevice();
  if (!device || provider_->getPropertyData(device, a, 0, nullptr, size, &rate) != noErr) return 0;
  return rate;
}

// A newly bound device sets both client formats to its own channel counts and
// nominal rate, as float, one buffer per channel.
void DeviceIOUnit::refreshClientFormats() {
  const double rate = deviceRate();
  const double r = rate > 0 ? rate : 48000;
  const uint32_t in = deviceChannels(kAudioObjectPropertyScopeInput);
  const uint32_t out = deviceChannels(kAudioObjectPropertyScopeOutput);
  inputClient_ = floatFormat(r, in ? in : 2);
  outputClient_ = floatFormat(r, out ? out : 2);
  channelMapCount_ = 0;
}

OSStatus DeviceIOUnit::prepare() {
  uint32_t maxFrames = kUnitMaxFrames;
  AudioValueRange range{};
  uint32_t size = sizeof range;
  const AudioObjectPropertyAddress a{kAudioDevicePropertyBufferFrameSizeRange, kAudioObjectPropertyScopeGlobal, 0};
  const AudioObjectID device = resolvedDevice();
  if (!device) return kAudioUnitErr_NoDevice;
  if (provider_->getPropertyData(device, a, 0, nullptr, size, &range) == noErr && range.mMaximum > maxFrames)
    maxFrames = uint32_t(std::min(range.mMaximum, 65536.0));
  const uint32_t channels = std::max(inputClient_.mChannelsPerFrame, outputClient_.mChannelsPerFrame);
  const size_t needed = size_t(maxFrames) * std::max<uint32_t>(channels, 1);
  if (scratch_.size() < needed || maxFrames_ != maxFrames) {
    ConfigHandshake::Scope scope(handshake_);
    maxFrames_ = maxFrames;
    scratch_.assign(needed, 0.0f);
  }
  return noErr;
}

OSStatus DeviceIOUnit::initialize() {
  OSStatus status = prepare();
  if (status) return status;
  if (inputEnabled_ && !deviceChannels(kAudioObjectPropertyScopeInput)) return kAudioUnitErr_NoDevice;
  if (outputEnabled_ && !inputEnabled_ && !deviceChannels(kAudioObjectPropertyScopeOutput))
    return kAudioUnitErr_NoDevice;
  initialized_ = true;
  return noErr;
}

OSStatus DeviceIOUnit::uninitialize() {
  stop();
  initialized_ = false;
  return noErr;
}

OSStatus DeviceIOUnit::reset(AudioUnitScope, AudioUnitElement) { return noErr; }

OSStatus DeviceIOUnit::setStreamFormat(AudioUnitScope scope, AudioUnitElement element,
                                       const AudioStreamBasicDescription& format) {
  // The device sides (input scope of element 1, output scope of element 0)
  // are the device's own and cannot be set here.
  const bool inputClient = element == 1 && scope == kAudioUnitScope_Output;
  const bool outputClient = element == 0 && scope == kAudioUnitScope_Input;
  if (element > 1) return kAudioUnitErr_InvalidElement;
  if (scope != kAudioUnitScope_Input && scope != kAudioUnitScope_Output) return kAudioUnitErr_InvalidScope;
  if (!inputClient && !outputClient) return kAudioUnitErr_PropertyNotWritable;
  if (!isFloatPcm(format, true)) return kAudioUnitErr_FormatNotSupported;
  // The unit passes samples between the device and its client unconverted:
  // a bound device's client side runs at the device's nominal rate.
  if (device_) {
    const double rate = deviceRate();
    if (rate > 0 && std::abs(format.mSampleRate - rate) > 0.5) return kAudioUnitErr_FormatNotSupported;
  }
  {
    ConfigHandshake::Scope lock(handshake_);
    (inputClient ? inputClient_ : outputClient_) = format;
  }
  // Client buffers grow with the channel count.
  return initialized_ ? prepare() : noErr;
}

OSStatus DeviceIOUnit::getStreamFormat(AudioUnitScope scope, AudioUnitElement element,
                                       AudioStreamBasicDescription& format) const {
  if (element > 1) return kAudioUnitErr_InvalidElement;
  if (scope != kAudioUnitScope_Input && scope != kAudioUnitScope_Output) return kAudioUnitErr_InvalidScope;
  if (element == 1 && scope == kAudioUnitScope_Output) {
    format = inputClient_;
  } else if (element == 0 && scope == kAudioUnitScope_Input) {
    format = outputClient_;
  } else {
    const AudioObjectPropertyScope s = element == 1 ? kAudioObjectPropertyScopeInput : kAudioObjectPropertyScopeOutput;
    const uint32_t channels = deviceChannels(s);
    if (!channels) return kAudioUnitErr_NoDevice;
    format = floatFormat(deviceRate(), channels);
  }
  return noErr;
}

OSStatus DeviceIOUnit::setRenderCallback(AudioUnitScope scope, AudioUnitElement element,
                                         const AURenderCallbackStruct& callback) {
  if (scope != kAudioUnitScope_Input && scope != kAudioUnitScope_Global) return kAudioUnitErr_InvalidScope;
  if (element != 0) return kAudioUnitErr_InvalidElement;
  ConfigHandshake::Scope lock(handshake_);
  renderCallback_ = callback;
  return noErr;
}

OSStatus DeviceIOUnit::connectInput(AudioUnitElement element, AudioUnitInstance* source, uint32_t bus) {
  if (element != 0) return kAudioUnitErr_InvalidElement;
  ConfigHandshake::Scope lock(handshake_);
  source_ = source;
  sourceBus_ = bus;
  return noErr;
}

OSStatus DeviceIOUnit::enableIO(AudioUnitScope scope, AudioUnitElement element, uint32_t enable) {
  if (element > 1) return kAudioUnitErr_InvalidElement;
  if (scope != kAudioUnitScope_Input && scope != kAudioUnitScope_Output) return kAudioUnitErr_InvalidScope;
  settleIfDeviceGone();
  if (running_.load()) return kAudioUnitErr_CannotDoInCurrentContext;
  ConfigHandshake::Scope lock(handshake_);
  (element == 1 ? inputEnabled_ : outputEnabled_) = enable != 0;
  return noErr;
}

OSStatus DeviceIOUnit::setCurrentDevice(AudioUnitScope scope, AudioUnitElement element, AudioObjectID device) {
  if (scope != kAudioUnitScope_Global) return kAudioUnitErr_InvalidScope;
  if (element != 0) return kAudioUnitErr_InvalidElement;
  const AudioObjectPropertyAddress name{kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal, 0};
  if (device == 0 || device == kAudioObjectSystemObject || !provider_->hasProperty(device, name))
    return kAudioUnitErr_NoDevice;
  settleIfDeviceGone();
  if (running_.load()) return kAudioUnitErr_CannotDoInCurrentContext;
  {
    ConfigHandshake::Scope lock(handshake_);
    device_ = device;
    refreshClientFormats();
  }
  return initialized_ ? prepare() : noErr;
}

OSStatus DeviceIOUnit::getCurrentDevice(AudioUnitScope scope, AudioUnitElement element, AudioObjectID& device) const {
  if (scope != kAudioUnitScope_Global) return kAudioUnitErr_InvalidScope;
  if (element != 0) return kAudioUnitErr_InvalidElement;
  device = resolvedDevice();
  return noErr;
}

OSStatus DeviceIOUnit::setInputCallback(AudioUnitScope scope, AudioUnitElement element,
                                        const AURenderCallbackStruct& callback) {
  if (scope != kAudioUnitScope_Global) return kAudioUnitErr_InvalidScope;
  if (element != 0) return kAudioUnitErr_InvalidElement;
  ConfigHandshake::Scope lock(handshake_);
  inputCallback_ = callback;
  return noErr;
}

OSStatus DeviceIOUnit::setBufferFrameSize(AudioUnitScope scope, AudioUnitElement element, uint32_t frames) {
  if (scope != kAudioUnitScope_Global) return kAudioUnitErr_InvalidScope;
  if (element != 0) return kAudioUnitErr_InvalidElement;
  const AudioObjectID device = resolvedDevice();
  if (!device) return kAudioUnitErr_NoDevice;
  const AudioObjectPropertyAddress a{kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeGlobal, 0};
  return provider_->setPropertyData(device, a, 0, nullptr, sizeof frames, &frames);
}

OSStatus DeviceIOUnit::getBufferFrameSize(AudioUnitScope scope, AudioUnitElement element, uint32_t& frames) const {
  if (scope != kAudioUnitScope_Global) return kAudioUnitErr_InvalidScope;
  if (element != 0) return kAudioUnitErr_InvalidElement;
  const AudioObjectID device = resolvedDevice();
  if (!device) return kAudioUnitErr_NoDevice;
  uint32_t size = sizeof frames;
  const AudioObjectPropertyAddress a{kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeGlobal, 0};
  return provider_->getPropertyData(device, a, 0, nullptr, size, &frames);
}

OSStatus DeviceIOUnit::setChannelMap(AudioUnitScope scope, AudioUnitElement element, const int32_t* map,
                                     uint32_t count) {
  // Only the input side maps channels: entry k names the device channel that
  // becomes client channel k.
  if (!isInputSide(scope, element)) return kAudioUnitErr_InvalidElement;
  if (!map || count > kAudioBufferListCapacity) return kAudioUnitErr_InvalidPropertyValue;
  const uint32_t deviceCh = deviceChannels(kAudioObjectPropertyScopeInput);
  for (uint32_t k = 0; k < count; ++k)
    if (map[k] < -1 || (map[k] >= 0 && uint32_t(map[k]) >= deviceCh)) return kAudioUnitErr_InvalidPropertyValue;
  ConfigHandshake::Scope lock(handshake_);
  std::fill(std::begin(channelMap_), std::end(channelMap_), -1);
  std::copy(map, map + count, channelMap_);
  channelMapCount_ = count;
  return noErr;
}

OSStatus DeviceIOUnit::getChannelMap(AudioUnitScope scope, AudioUnitElement element, int32_t* map,
                                     uint32_t& count) const {
  if (!isInputSide(scope, element)) return kAudioUnitErr_InvalidElement;
  const uint32_t n = channelMapCount_ ? channelMapCount_ : inputClient_.mChannelsPerFrame;
  const uint32_t m = std::min(count, n);
  for (uint32_t k = 0; k < m; ++k) map[k] = channelMapCount_ ? channelMap_[k] : int32_t(k);
  count = m;
  return noErr;
}

OSStatus DeviceIOUnit::getIsRunning(AudioUnitScope scope, AudioUnitElement element, uint32_t& running) const {
  if (scope != kAudioUnitScope_Global) return kAudioUnitErr_InvalidScope;
  if (element != 0) return kAudioUnitErr_InvalidElement;
  // The unit's own state: started and not yet stopped. A unit whose device
  // has gone stays started (it just gets no cycles), so that whoever started
  // it also stops it and ends whatever it runs beside it; the vanished device
  // shows in the device list. Never waits: also read from the unit's callback.
  running = running_.load() ? 1 : 0;
  return noErr;
}

OSStatus DeviceIOUnit::start() {
  if (running_.load()) return noErr;
  if (cycleOf == this) {
    // Restarting from within its own callback (as a card does after a failed
    // render): the unit is configured already; only the device I/O resumes,
    // without property reads that could wait on a lock.
    if (!runningDevice_) return kAudioUnitErr_NoDevice;
    if (inputEnabled_ && provider_->startIo(runningDevice_, kAudioObjectPropertyScopeInput, this) == noErr)
      ioInput_.store(true);
    if (outputEnabled_ && provider_->startIo(runningDevice_, kAudioObjectPropertyScopeOutput, this) == noErr)
      ioOutput_.store(true);
    running_.store(ioInput_.load() || ioOutput_.load());
    return running_.load() ? noErr : kAudioUnitErr_NoDevice;
  }
  if (!initialized_) {
    OSStatus status = initialize();
    if (status) return status;
  }
  const AudioObjectID device = resolvedDevice();
  if (!device) return kAudioUnitErr_NoDevice;
  OSStatus status = prepare();
  if (status) return status;
  runningDevice_ = device;
  if (inputEnabled_) {
    status = provider_->startIo(device, kAudioObjectPropertyScopeInput, this);
    if (status) return status;
    ioInput_.store(true);
  }
  if (outputEnabled_) {
    status = provider_->startIo(device, kAudioObjectPropertyScopeOutput, this);
    if (status) {
      if (ioInput_.exchange(false)) provider_->stopIo(device, kAudioObjectPropertyScopeInput, this);
      return status;
    }
    ioOutput_.store(true);
  }
  running_.store(true);
  return noErr;
}

OSStatus DeviceIOUnit::stop() {
  if (!running_.exchange(false)) return noErr;
  if (ioInput_.exchange(false)) provider_->stopIo(runningDevice_, kAudioObjectPropertyScopeInput, this);
  if (ioOutput_.exchange(false)) provider_->stopIo(runningDevice_, kAudioObjectPropertyScopeOutput, this);
  return noErr;
}

void DeviceIOUnit::ioCycle(AudioObjectID, const IoCycle& cycle) noexcept {
  if (!handshake_.enter()) return;  // being reconfigured: this cycle stays silent
  const DeviceIOUnit* outer = cycleOf;
  cycleOf = this;
  const uint32_t frames = std::min(cycle.frames, maxFrames_);
  if (cycle.input) {
    if (inputCallback_.inputProc) {
      cycleInput_ = cycle.input;
      cycleFrames_ = frames;
      AudioUnitRenderActionFlags flags = 0;
      inputCallback_.inputProc(inputCallback_.inputProcRefCon, &flags, &cycle.timeStamp, 1, frames, nullptr);
      cycleInput_ = nullptr;
      cycleFrames_ = 0;
    }
  } else if (cycle.output && (source_ || renderCallback_.inputProc)) {
    // The client side may have another channel count than the device: the
    // client renders into scratch buffers where the device has none.
    const uint32_t clientCh = outputClient_.mChannelsPerFrame;
    const uint32_t deviceCh = cycle.output->mNumberBuffers;
    AudioBufferList& list = scratchList_;
    list.mNumberBuffers = clientCh;
    for (uint32_t ch = 0; ch < clientCh; ++ch) {
      float* data = ch < deviceCh ? static_cast<float*>(cycle.output->mBuffers[ch].mData)
                                  : scratch_.data() + size_t(ch) * maxFrames_;
      list.mBuffers[ch] = {1, frames * 4, data};
    }
    AudioUnitRenderActionFlags flags = 0;
    const OSStatus status =
        source_ ? source_->render(&flags, &cycle.timeStamp, sourceBus_, frames, &list)
                : renderCallback_.inputProc(renderCallback_.inputProcRefCon, &flags, &cycle.timeStamp, 0, frames,
                                            &list);
    for (uint32_t ch = 0; ch < deviceCh; ++ch) {
      float* out = static_cast<float*>(cycle.output->mBuffers[ch].mData);
      if (status != noErr || ch >= clientCh)
        std::fill_n(out, frames, 0.0f);
      else if (list.mBuffers[ch].mData != out)  // the client pointed the buffer elsewhere
        std::memcpy(out, list.mBuffers[ch].mData, size_t(frames) * 4);
    }
  }
  cycleOf = outer;
  handshake_.leave();
}

OSStatus DeviceIOUnit::render(AudioUnitRenderActionFlags*, const AudioTimeStamp*, uint32_t bus, uint32_t frames,
                              AudioBufferList* data) noexcept {
  if (bus != 1) return kAudioUnitErr_InvalidElement;
  if (!data) return kAudio_ParamError;
  if (!cycleInput_) return kAudioUnitErr_CannotDoInCurrentContext;  // only within the input callback
  if (frames > cycleFrames_) return kAudioUnitErr_TooManyFramesToProcess;
  const uint32_t clientCh = inputClient_.mChannelsPerFrame;
  if (data->mNumberBuffers < clientCh) return kAudioUnitErr_FormatNotSupported;
  const uint32_t deviceCh = cycleInput_->mNumberBuffers;
  for (uint32_t k = 0; k < clientCh; ++k) {
    AudioBuffer& b = data->mBuffers[k];
    // A buffer with data must hold `frames` samples (the cards render into
    // ring blocks whose entries announce their block length, not their room).
    if (!b.mData) b.mData = scratch_.data() + size_t(k) * maxFrames_;
    const int32_t source = channelMapCount_ ? channelMap_[k] : int32_t(k);
    float* out = static_cast<float*>(b.mData);
    if (source >= 0 && uint32_t(source) < deviceCh)
      std::memcpy(out, cycleInput_->mBuffers[source].mData, size_t(frames) * 4);
    else
      std::fill_n(out, frames, 0.0f);
    b.mNumberChannels = 1;
    b.mDataByteSize = frames * 4;
  }
  return noErr;
}

}  // namespace platform::audio
