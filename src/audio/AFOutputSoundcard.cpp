#include "audio/AFOutputSoundcard.h"

#include <algorithm>
#include <cstring>

#include "platform/BlockLength.h"
#include "platform/audio/AudioHardware.h"

namespace pa = platform::audio;

namespace {

const pa::AudioObjectPropertyAddress kDefaultOutputDevice{pa::kAudioHardwarePropertyDefaultOutputDevice,
                                                          pa::kAudioObjectPropertyScopeGlobal, 0};
const pa::AudioObjectPropertyAddress kNominalSampleRate{pa::kAudioDevicePropertyNominalSampleRate,
                                                        pa::kAudioObjectPropertyScopeGlobal, 0};

// Below this the device's rate scalar is taken as unknown, not as a clock.
constexpr double kMinDeviceRateScalar = 0.1;
// A resampling rate above this plays the client side at that rate.
constexpr float kMinResamplingRate = 10.0f;

// Bit i of the mask, with the mask's sign extended above bit 31.
bool maskBit(int32_t mask, int32_t i) {
  if (i >= 31) return mask < 0;
  return ((mask >> i) & 1) != 0;
}

pa::OSStatus setUnitFormat(pa::AudioUnit unit, pa::AudioUnitScope scope,
                           const pa::AudioStreamBasicDescription& format) {
  return pa::AudioUnitSetProperty(unit, pa::kAudioUnitProperty_StreamFormat, scope, 0, &format, sizeof format);
}

}  // namespace

// ---------------------------------------------------------------- creation and teardown

AFOutputSoundcard::AFOutputSoundcard(std::shared_ptr<AFList> list) : AFSoundcard(std::move(list), false) {
  bufferLength_.exchange(platform::kBlockLength);
  addDefaultDeviceListener();
}

AFOutputSoundcard::~AFOutputSoundcard() {
  removeDefaultDeviceListener();
  std::lock_guard guard(streamLock_);
  stopStream();
  disposeGraph();
}

void AFOutputSoundcard::disposeGraph() {
  if (!graph_) return;
  pa::AudioOutputUnitStop(audioHALUnit_.audioUnit);
  pa::DisposeAUGraph(graph_);
  graph_ = nullptr;
  audioHALUnit_.audioUnit = nullptr;
  audioHALUnit_.node = 0;
  varispeedUnit_.audioUnit = nullptr;
  varispeedUnit_.node = 0;
}

void AFOutputSoundcard::setBufferLength(int32_t length) {
  bufferLength_.exchange(std::clamp(length, 1, kMaxBufferLength));
}

// ---------------------------------------------------------------- graph

bool AFOutputSoundcard::addNode(AudioUnitInfo& unit, const pa::AudioComponentDescription& description) {
  pa::AUNode node = 0;
  if (pa::AUGraphAddNode(graph_, &description, &node) != pa::noErr) return false;
  unit.node = node;
  return pa::AUGraphNodeInfo(graph_, node, nullptr, &unit.audioUnit) == pa::noErr;
}

void AFOutputSoundcard::enableAudioUnit(pa::AudioUnit unit, uint32_t element, uint32_t state) {
  const pa::AudioUnitScope scope = element == 1 ? pa::kAudioUnitScope_Input : pa::kAudioUnitScope_Output;
  (void)pa::AudioUnitSetProperty(unit, pa::kAudioOutputUnitProperty_EnableIO, scope, element, &state, sizeof state);
}

bool AFOutputSoundcard::setupAudioUnitGraph() {
  if (graph_) return true;
  if (pa::NewAUGraph(&graph_) != pa::noErr) {
    graph_ = nullptr;
    return false;
  }
  if (pa::AUGraphOpen(graph_) != pa::noErr) {
    disposeGraph();
    return false;
  }
  const pa::AudioComponentDescription varispeed{pa::kAudioUnitType_FormatConverter, pa::kAudioUnitSubType_Varispeed,
                                                pa::kAudioUnitManufacturer_Apple, 0, 0};
  const pa::AudioComponentDescription output{pa::kAudioUnitType_Output, pa::kAudioUnitSubType_HALOutput,
                                             pa::kAudioUnitManufacturer_Apple, 0, 0};
  bool built = addNode(varispeedUnit_, varispeed) && addNode(audioHALUnit_, output);
  if (built) {
    enableAudioUnit(audioHALUnit_.audioUnit, 1, 0);
    enableAudioUnit(audioHALUnit_.audioUnit, 0, 1);
    const pa::AURenderCallbackStruct callback{&AFOutputSoundcard::renderCallback, this};
    built = pa::AudioUnitSetProperty(varispeedUnit_.audioUnit, pa::kAudioUnitProperty_SetRenderCallback,
                                     pa::kAudioUnitScope_Input, 0, &callback, sizeof callback) == pa::noErr;
  }
  if (!built) {
    disposeGraph();
    return false;
  }
  (void)setupDeviceID();
  needNewAudioUnit_.exchange(false);
  return true;
}

bool AFOutputSoundcard::setupDeviceID() {
  std::shared_ptr<AFDevice> device = selectedDevice();
  uint32_t deviceID = device ? device->deviceID() : 0;
  if (deviceID == 0 && pa::getProperty(pa::kAudioObjectSystemObject, kDefaultOutputDevice, deviceID) != pa::noErr)
    return false;
  audioHALUnit_.deviceID = deviceID;
  boundDevice_.store(deviceID, std::memory_order_release);
  renderDevice_.store(deviceID, std::memory_order_relaxed);
  if (pa::AudioUnitSetProperty(audioHALUnit_.audioUnit, pa::kAudioOutputUnitProperty_CurrentDevice,
                               pa::kAudioUnitScope_Global, 0, &deviceID, sizeof deviceID) != pa::noErr)
    return false;
  return setSamplingRatesForGraph();
}

bool AFOutputSoundcard::setSamplingRatesForGraph() {
  std::shared_ptr<AFDevice> device = selectedDevice();
  double rate = 0.0;
  if (!device || pa::getProperty(device->deviceID(), kNominalSampleRate, rate) != pa::noErr) return false;

  pa::AudioUnit deviceUnit = audioHALUnit_.audioUnit;
  pa::AudioUnit varispeed = varispeedUnit_.audioUnit;
  pa::AudioStreamBasicDescription format{};
  uint32_t size = sizeof format;
  if (pa::AudioUnitGetProperty(deviceUnit, pa::kAudioUnitProperty_StreamFormat, pa::kAudioUnitScope_Input, 0, &format,
                               &size) != pa::noErr)
    return false;
  format.mSampleRate = rate;
  audioHALUnit_.outputUnitASBD = format;
  if (setUnitFormat(deviceUnit, pa::kAudioUnitScope_Input, format) != pa::noErr) return false;
  if (setUnitFormat(varispeed, pa::kAudioUnitScope_Output, format) != pa::noErr) return false;

  if (resamplingRate_ > kMinResamplingRate) format.mSampleRate = resamplingRate_;
  if (setUnitFormat(varispeed, pa::kAudioUnitScope_Input, format) != pa::noErr) return false;
  varispeedUnit_.outputUnitASBD = format;

  allocateLocalBlocks(static_cast<int32_t>(std::min<uint32_t>(format.mChannelsPerFrame, kMaxChannels)));
  (void)pa::AUGraphConnectNodeInput(graph_, varispeedUnit_.node, 0, audioHALUnit_.node, 0);
  (void)pa::AUGraphInitialize(graph_);
  return true;
}

void AFOutputSoundcard::allocateLocalBlocks(int32_t channels) {
  // The I/O thread may be inside a render while the unit runs: the blocks
  // are only ever replaced while it is stopped. A render with more channels
  // than blocks plays the extra ones silent.
  if (channels <= render_.blocks || unitIsRunning()) return;
  localStorage_.assign(static_cast<size_t>(channels) * kMaxBufferLength, 0.0f);
  for (int32_t i = 0; i < channels; ++i) render_.bdata[i] = localStorage_.data() + size_t(i) * kMaxBufferLength;
  render_.blocks = channels;
  render_.boffset = render_.bleftover = 0;
}

// ---------------------------------------------------------------- start and stop

bool AFOutputSoundcard::isRunning() {
  std::lock_guard guard(streamLock_);
  return unitIsRunning();
}

bool AFOutputSoundcard::start() {
  std::lock_guard guard(streamLock_);
  return startStream();
}

bool AFOutputSoundcard::startStream() {
  if (unitIsRunning()) return true;
  std::shared_ptr<AFDevice> device = selectedDevice();
  const uint32_t selected = device ? device->deviceID() : 0;
  if (graph_ && audioHALUnit_.deviceID != selected) {
    pa::AudioOutputUnitStop(audioHALUnit_.audioUnit);
    disposeGraph();
  }
  if (!graph_) setupAudioUnitGraph();
  if (!audioHALUnit_.audioUnit) return false;

  render_.coffset = render_.cleftover = render_.boffset = render_.bleftover = 0;
  render_.mask = channelMask_ != 0 ? channelMask_ : kDefaultChannelMask;
  justStarted_.exchange(true);
  (void)pa::AudioUnitSetParameter(varispeedUnit_.audioUnit, pa::kVarispeedParam_PlaybackRate,
                                  pa::kAudioUnitScope_Global, 0, 1.0f, 0);
  return pa::AudioOutputUnitStart(audioHALUnit_.audioUnit) == pa::noErr;
}

void AFOutputSoundcard::stop() {
  std::lock_guard guard(streamLock_);
  stopStream();
}

void AFOutputSoundcard::stopStream() {
  if (!unitIsRunning()) return;
  // After the stop returns the I/O thread is out of our callback for good.
  pa::AudioOutputUnitStop(audioHALUnit_.audioUnit);
  pa::AudioUnitReset(audioHALUnit_.audioUnit, pa::kAudioUnitScope_Global, 0);
  pa::AudioUnitReset(varispeedUnit_.audioUnit, pa::kAudioUnitScope_Global, 0);
}

void AFOutputSoundcard::changeSamplingRate() {
  std::lock_guard guard(streamLock_);
  if (unitIsRunning()) {
    stopStream();
    setSamplingRatesForGraph();
    startStream();
  } else {
    setSamplingRatesForGraph();
  }
}

// ---------------------------------------------------------------- render (I/O thread)

pa::OSStatus AFOutputSoundcard::renderCallback(void* card, pa::AudioUnitRenderActionFlags* flags,
                                               const pa::AudioTimeStamp* timeStamp, uint32_t bus, uint32_t frames,
                                               pa::AudioBufferList* data) {
  return static_cast<AFOutputSoundcard*>(card)->renderOutput(flags, timeStamp, bus, frames, data);
}

int32_t AFOutputSoundcard::renderOutput(pa::AudioUnitRenderActionFlags*, const pa::AudioTimeStamp*,
                                        uint32_t, uint32_t frames, pa::AudioBufferList* bufferList) noexcept {
  Render& r = render_;
  const int32_t buffers =
      bufferList ? static_cast<int32_t>(std::min<uint32_t>(bufferList->mNumberBuffers, kMaxChannels)) : 0;
  if (buffers > 0 && bufferList->mBuffers[0].mData) {
    // Only channels with a local block (and a buffer) take part; any others
    // play silence, so every buffer is filled whole.
    int32_t channels = 0;
    while (channels < std::min(buffers, r.blocks) && bufferList->mBuffers[channels].mData) {
      r.mdata[channels] = static_cast<float*>(bufferList->mBuffers[channels].mData);
      ++channels;
    }
    r.channels = channels;
    r.coffset = 0;
    r.cleftover = static_cast<int32_t>(std::min<uint32_t>(frames, INT32_MAX));
    needData();
    for (int32_t i = channels; i < buffers; ++i) {
      if (bufferList->mBuffers[i].mData) std::fill_n(static_cast<float*>(bufferList->mBuffers[i].mData), frames, 0.0f);
    }
  }

  pa::AudioTimeStamp now{};
  if (pa::AudioDeviceGetCurrentTime(renderDevice_.load(std::memory_order_relaxed), &now) == pa::noErr &&
      now.mRateScalar > kMinDeviceRateScalar) {
    const double rate = 1.0 / now.mRateScalar;
    (void)pa::AudioUnitSetParameter(varispeedUnit_.audioUnit, pa::kVarispeedParam_PlaybackRate,
                                    pa::kAudioUnitScope_Global, 0, static_cast<float>(rate), 0);
  }
  return 0;
}

void AFOutputSoundcard::needData() noexcept {
  Render& r = render_;
  const int32_t length = std::clamp(bufferLength_.load(std::memory_order_acquire), 1, kMaxBufferLength);
  if (r.bleftover > 0) copyLocalBufferToBufferlist();
  if (r.cleftover < 1) return;
  readIntoBufferList(length);
  if (r.cleftover > 0) {
    readIntoLocalBuffer(length);
    copyLocalBufferToBufferlist();
  }
}

int32_t AFOutputSoundcard::selectChannels(float* const* from, int32_t offset, int32_t length,
                                          float** list) const noexcept {
  int32_t k = 0;
  for (int32_t i = 0; i < render_.channels; ++i) {
    if (maskBit(render_.mask, i))
      list[k++] = from[i] + offset;
    else
      std::fill_n(from[i] + offset, length, 0.0f);
  }
  return k;
}

void AFOutputSoundcard::readIntoBufferList(int32_t length) noexcept {
  // Every whole block goes straight into the pull, however long it is; only
  // the tail is left for the local blocks.
  Render& r = render_;
  float* list[kMaxChannels];
  while (r.cleftover >= length) {
    const int32_t k = selectChannels(r.mdata.data(), r.coffset, length, list);
    if (k > 0) fillDataBuffers(list, k, length);
    r.coffset += length;
    r.cleftover -= length;
  }
}

void AFOutputSoundcard::readIntoLocalBuffer(int32_t length) noexcept {
  Render& r = render_;
  float* list[kMaxChannels];
  const int32_t k = selectChannels(r.bdata.data(), 0, length, list);
  if (k > 0) fillDataBuffers(list, k, length);
  r.boffset = 0;
  r.bleftover = length;
}

void AFOutputSoundcard::copyLocalBufferToBufferlist() noexcept {
  Render& r = render_;
  const int32_t m = std::min(r.bleftover, r.cleftover);
  for (int32_t i = 0; i < r.channels; ++i)
    std::memcpy(r.mdata[i] + r.coffset, r.bdata[i] + r.boffset, sizeof(float) * size_t(m));
  r.cleftover -= m;
  r.coffset += m;
  r.bleftover -= m;
  r.boffset += m;
}

void AFOutputSoundcard::fillDataBuffers(float** buffers, int32_t numberOfBuffers, int32_t samples) noexcept {
  AFSoundcardDelegate* client = delegate();
  if (client && delegateRespondsToOutputNeeded() &&
      client->outputNeededBySoundcard(this, buffers, numberOfBuffers, samples))
    return;
  zeroDataBuffers(buffers, numberOfBuffers, samples);
}

void AFOutputSoundcard::zeroDataBuffers(float** buffers, int32_t numberOfBuffers, int32_t samples) noexcept {
  for (int32_t i = 0; i < numberOfBuffers; ++i) std::fill_n(buffers[i], samples, 0.0f);
}
