#include "audio/AFInputSoundcard.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>

#include "platform/BlockLength.h"
#include "platform/Log.h"
#include "platform/audio/AudioHardware.h"
#include "ui/MainThread.h"

namespace pa = platform::audio;

namespace {

// How long the resampling consumer waits between attempts to build a
// converter the platform keeps refusing (unless the stream ends first).
constexpr std::chrono::milliseconds kConverterRetryPause{100};

const pa::AudioObjectPropertyAddress kBufferFrameSizeRange{pa::kAudioDevicePropertyBufferFrameSizeRange,
                                                           pa::kAudioObjectPropertyScopeGlobal, 0};
const pa::AudioObjectPropertyAddress kDefaultInputDevice{pa::kAudioHardwarePropertyDefaultInputDevice,
                                                         pa::kAudioObjectPropertyScopeGlobal, 0};

// The client side of the unit's input element.
constexpr pa::AudioUnitScope kClientScope = pa::kAudioUnitScope_Output;
constexpr pa::AudioUnitElement kInputElement = 1;

pa::OSStatus getClientFormat(pa::AudioUnit unit, pa::AudioStreamBasicDescription& format) {
  uint32_t size = sizeof format;
  return pa::AudioUnitGetProperty(unit, pa::kAudioUnitProperty_StreamFormat, kClientScope, kInputElement, &format,
                                  &size);
}

pa::OSStatus setClientFormat(pa::AudioUnit unit, const pa::AudioStreamBasicDescription& format) {
  return pa::AudioUnitSetProperty(unit, pa::kAudioUnitProperty_StreamFormat, kClientScope, kInputElement, &format,
                                  sizeof format);
}

}  // namespace

// ---------------------------------------------------------------- restart link

struct AFInputSoundcard::RestartLink {
  std::mutex lock;                 // held while a restart runs and while the card leaves
  AFInputSoundcard* card;          // null once the card is being torn down
  std::atomic<int> holders{1};     // the card and every queued restart
  std::atomic<int32_t> status{0};  // of the failed render the latest restart was queued for

  explicit RestartLink(AFInputSoundcard* owner) : card(owner) {}
  void release() {
    if (holders.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
};

// ---------------------------------------------------------------- creation and teardown

AFInputSoundcard::AFInputSoundcard(std::shared_ptr<AFList> list)
    : AFSoundcard(std::move(list), true), restartLink_(new RestartLink(this)) {
  bufferLength_.exchange(platform::kBlockLength);
  started_.exchange(false);
  needNewRateConverter_.exchange(true);
  rateConverter_ = nullptr;
  resamplingQuality_ = 3;
  addDefaultDeviceListener();
}

AFInputSoundcard::~AFInputSoundcard() {
  {
    // A restart running on the main thread finishes first; later ones find
    // the card gone.
    std::lock_guard guard(restartLink_->lock);
    restartLink_->card = nullptr;
  }
  {
    std::lock_guard guard(streamLock_);
    stopStream();
    if (audioHALUnit_.audioUnit) {
      pa::AudioUnitUninitialize(audioHALUnit_.audioUnit);
      pa::AudioComponentInstanceDispose(audioHALUnit_.audioUnit);
      audioHALUnit_.audioUnit = nullptr;
    }
  }
  removeDefaultDeviceListener();
  {
    std::lock_guard guard(converterLock_);
    if (rateConverter_) {
      pa::AudioConverterReset(rateConverter_);
      pa::AudioConverterDispose(rateConverter_);
      rateConverter_ = nullptr;
    }
  }
  restartLink_->release();
}

// ---------------------------------------------------------------- buffer length

AFInputSoundcard::BufferLengthRange AFInputSoundcard::bufferLengthRange() const {
  std::shared_ptr<AFDevice> device = selectedDevice();
  if (!device) return {};
  pa::AudioValueRange range{};
  if (pa::getProperty(device->deviceID(), kBufferFrameSizeRange, range) != pa::noErr) return {};
  return {range.mMinimum, range.mMaximum};
}

void AFInputSoundcard::setBufferLength(int32_t length) {
  bufferLength_.exchange(length);
  BufferLengthRange range = bufferLengthRange();
  if (range.maximum != 0) {
    if (range.minimum > length)
      bufferLength_.exchange(static_cast<int32_t>(range.minimum));
    else if (length > range.maximum)
      bufferLength_.exchange(static_cast<int32_t>(range.maximum));
  }
  // A device may allow longer blocks than the ring can hand out contiguously.
  if (bufferLength_.load() > AFMemory::kOverhang) bufferLength_.exchange(AFMemory::kOverhang);
}

// ---------------------------------------------------------------- unit set-up

bool AFInputSoundcard::setupAudioUnit() {
  const pa::AudioComponentDescription description{pa::kAudioUnitType_Output, pa::kAudioUnitSubType_HALOutput,
                                                  pa::kAudioUnitManufacturer_Apple, 0, 0};
  const pa::AURenderCallbackStruct callback{&AFInputSoundcard::inputCallback, this};

  std::shared_ptr<AFDevice> device = selectedDevice();
  uint32_t deviceID = device ? device->deviceID() : 0;

  // The unit being replaced is stopped (start builds only while stopped), so
  // its callback can no longer run and it can go.
  pa::AudioUnit previous = audioHALUnit_.audioUnit;
  if (previous) pa::AudioUnitUninitialize(previous);
  pa::AudioUnit unit = nullptr;
  pa::OSStatus status = pa::AudioComponentInstanceNew(pa::AudioComponentFindNext(nullptr, &description), &unit);
  audioHALUnit_.audioUnit = status == pa::noErr ? unit : nullptr;
  if (previous) pa::AudioComponentInstanceDispose(previous);
  if (!audioHALUnit_.audioUnit) return false;
  unit = audioHALUnit_.audioUnit;

  enable();

  if (deviceID == 0) pa::getProperty(pa::kAudioObjectSystemObject, kDefaultInputDevice, deviceID);
  audioHALUnit_.deviceID = deviceID;
  boundDevice_.store(deviceID, std::memory_order_release);
  if (pa::AudioUnitSetProperty(unit, pa::kAudioOutputUnitProperty_CurrentDevice, pa::kAudioUnitScope_Global, 0,
                               &deviceID, sizeof deviceID) != pa::noErr)
    return false;

  (void)pa::AudioUnitSetProperty(unit, pa::kAudioOutputUnitProperty_SetInputCallback, pa::kAudioUnitScope_Global, 0,
                                 &callback, sizeof callback);

  const double rate = samplingRate();
  if (getClientFormat(unit, audioHALUnit_.outputUnitASBD) != pa::noErr) return false;
  audioHALUnit_.outputUnitASBD.mSampleRate = rate;
  if (setClientFormat(unit, audioHALUnit_.outputUnitASBD) != pa::noErr) return false;

  return setupBufferList();
}

void AFInputSoundcard::enable() {
  pa::AudioUnit unit = audioHALUnit_.audioUnit;
  if (!unit) return;
  const uint32_t on = 1, off = 0;
  (void)pa::AudioUnitInitialize(unit);
  (void)pa::AudioUnitSetProperty(unit, pa::kAudioOutputUnitProperty_EnableIO, pa::kAudioUnitScope_Input, 1, &on,
                                 sizeof on);
  (void)pa::AudioUnitSetProperty(unit, pa::kAudioOutputUnitProperty_EnableIO, pa::kAudioUnitScope_Output, 0, &off,
                                 sizeof off);
}

bool AFInputSoundcard::setupBufferList() {
  pa::AudioUnit unit = audioHALUnit_.audioUnit;

  int32_t length = bufferLength_.load();
  BufferLengthRange range = bufferLengthRange();
  if (range.maximum != 0) {
    if (range.minimum > length)
      length = static_cast<int32_t>(range.minimum);
    else if (length > range.maximum)
      length = static_cast<int32_t>(range.maximum);
  }
  length = std::min<int32_t>(length, AFMemory::kOverhang);
  bufferLength_.exchange(length);

  uint32_t frames = static_cast<uint32_t>(length);
  if (pa::AudioUnitSetProperty(unit, pa::kAudioDevicePropertyBufferFrameSize, pa::kAudioUnitScope_Global, 0, &frames,
                               sizeof frames) != pa::noErr)
    return false;
  uint32_t size = sizeof audioHALUnit_.framesPerBuffer;
  if (pa::AudioUnitGetProperty(unit, pa::kAudioDevicePropertyBufferFrameSize, pa::kAudioUnitScope_Global, 0,
                               &audioHALUnit_.framesPerBuffer, &size) != pa::noErr)
    return false;

  pa::AudioStreamBasicDescription format{};
  if (getClientFormat(unit, format) != pa::noErr) return false;
  makeChannelMapForMask(channelMask_, static_cast<int32_t>(streamFormat().mChannelsPerFrame));
  format.mChannelsPerFrame = static_cast<uint32_t>(numberOfMappedChannels_);
  if (setClientFormat(unit, format) != pa::noErr) return false;
  if (getClientFormat(unit, format) != pa::noErr) return false;

  if (pa::AudioUnitSetProperty(unit, pa::kAudioOutputUnitProperty_ChannelMap, kClientScope, kInputElement,
                               channelMap_, static_cast<uint32_t>(numberOfMappedChannels_) * 4) != pa::noErr)
    return false;

  if (getClientFormat(unit, audioHALUnit_.outputUnitASBD) != pa::noErr) return false;

  memory_.setChannels(numberOfMappedChannels_, length);
  return true;
}

// ---------------------------------------------------------------- start and stop

bool AFInputSoundcard::isRunning() {
  std::lock_guard guard(streamLock_);
  return unitIsRunning();
}

bool AFInputSoundcard::start() {
  std::lock_guard guard(streamLock_);
  return startStream();
}

bool AFInputSoundcard::startStream() {
  if (!delegateRespondsToInputReceived()) return false;
  if (unitIsRunning()) {
    started_.exchange(true);
    return true;
  }
  // A consumer left from a stream whose unit did not start is ended first:
  // there is never more than one.
  endConsumer();

  if (!audioHALUnit_.audioUnit || needNewAudioUnit_.load()) setupAudioUnit();
  if (!audioHALUnit_.audioUnit) return false;

  memory_.resetRing();
  wake_.reset();
  renderFailed_.store(false, std::memory_order_release);
  needNewRateConverter_.exchange(true);
  justStarted_.exchange(true);
  consumer_ = resamplingRate_ > 100.0f ? std::thread(&AFInputSoundcard::resamplingThread, this)
                                       : std::thread(&AFInputSoundcard::nonResamplingThread, this);
  started_.exchange(true);
  return pa::AudioOutputUnitStart(audioHALUnit_.audioUnit) == pa::noErr;
}

void AFInputSoundcard::stop() {
  std::lock_guard guard(streamLock_);
  stopStream();
}

void AFInputSoundcard::stopStream() {
  if (unitIsRunning()) {
    pa::AudioUnit unit = audioHALUnit_.audioUnit;
    // After the stop returns the I/O thread is out of our callback for good.
    pa::AudioOutputUnitStop(unit);
    started_.exchange(false);
    pa::AudioUnitReset(unit, pa::kAudioUnitScope_Global, 1);
    pa::AudioUnitReset(unit, pa::kAudioUnitScope_Global, 0);
    memory_.setEOF();
  } else {
    started_.exchange(false);
  }
  endConsumer();
}

void AFInputSoundcard::endConsumer() {
  if (!consumer_.joinable()) return;
  memory_.setEOF();
  wake_.notify();
  // From within the delegate's own call the thread cannot wait for itself;
  // it ends after that call and is joined by the next start, stop or teardown.
  if (consumer_.get_id() == std::this_thread::get_id()) return;
  consumer_.join();
}

void AFInputSoundcard::changeSamplingRate() {
  if (isRunning()) {
    stop();
    start();
  } else {
    needNewRateConverter_.exchange(true);
  }
}

double AFInputSoundcard::rateScalar() {
  return started_.load() ? lastRateScalar_.load(std::memory_order_relaxed) : 1.0;
}

// ---------------------------------------------------------------- producer (I/O thread)

pa::OSStatus AFInputSoundcard::inputCallback(void* card, pa::AudioUnitRenderActionFlags* flags,
                                             const pa::AudioTimeStamp* timeStamp, uint32_t bus, uint32_t frames,
                                             pa::AudioBufferList* data) {
  return static_cast<AFInputSoundcard*>(card)->processInput(data, flags, timeStamp, bus, frames);
}

int32_t AFInputSoundcard::processInput(pa::AudioBufferList*, pa::AudioUnitRenderActionFlags* flags,
                                       const pa::AudioTimeStamp* timeStamp, uint32_t bus, uint32_t frames) noexcept {
  if (!delegate()) return 0;
  lastRateScalar_.store(timeStamp->mRateScalar, std::memory_order_relaxed);
  const uint32_t n = std::min<uint32_t>(frames, AFMemory::kOverhang);
  const pa::OSStatus status =
      pa::AudioUnitRender(audioHALUnit_.audioUnit, flags, timeStamp, bus, n, memory_.renderBufferList(int32_t(n)));
  if (status != pa::noErr) {
    // Logging, stopping and starting all wait; the consumer has them done on
    // the main thread.
    renderStatus_.store(status, std::memory_order_relaxed);
    renderFailed_.store(true, std::memory_order_release);
    wake_.notify();
    return -1;
  }
  // Publishing is the atomic producer advance; the post that follows never
  // blocks, so the I/O thread never waits for the consumer. A render the
  // ring had no room for is counted and thrown away.
  if (memory_.commitRender(static_cast<int32_t>(n)) != 0) wake_.notify();
  return 0;
}

// ---------------------------------------------------------------- consumer thread

void AFInputSoundcard::nonResamplingThread() {
  pthread_setname_np(pthread_self(), kConsumerThreadName);
  for (;;) {
    wake_.wait();
    if (memory_.eof()) break;
    queueRestartAfterFailedRender();
    consumeRingBuffer();
  }
}

void AFInputSoundcard::consumeRingBuffer() {
  const int32_t channels = std::min(memory_.channels(), AFMemory::kMaxChannels);
  const int32_t n = bufferLength_.load();
  if (n <= 0 || memory_.available() < n) return;
  float* buffers[AFMemory::kMaxChannels];
  do {
    for (int32_t i = 0; i < channels; ++i) buffers[i] = memory_.ringBufferConsumerPtr(i, n);
    AFSoundcardDelegate* target = delegate();
    if (!justStarted_.load() && target && delegateRespondsToInputReceived())
      target->inputReceivedFromSoundcard(this, buffers, channels, n);
    justStarted_.exchange(false);
    memory_.advanceConsumer(n);
  } while (memory_.available() >= n);
}

void AFInputSoundcard::resamplingThread() {
  pthread_setname_np(pthread_self(), kConsumerThreadName);
  for (;;) {
    if (needNewRateConverter_.load()) createRateConverter();
    if (!rateConverter_) {
      // The platform refuses the converter: try again after a pause (not at
      // every device block), and end with the stream.
      const auto retry = std::chrono::steady_clock::now() + kConverterRetryPause;
      while (!memory_.eof() && std::chrono::steady_clock::now() < retry) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(retry - std::chrono::steady_clock::now());
        wake_.waitFor(std::max(left, decltype(left)(1)));
        queueRestartAfterFailedRender();
      }
      if (memory_.eof()) break;
      continue;
    }
    uint32_t packets = static_cast<uint32_t>(std::max(bufferLength_.load(), 0));
    if (pa::AudioConverterFillComplexBuffer(rateConverter_, &AFInputSoundcard::converterInput, this, &packets,
                                            memory_.resampledBufferList(), nullptr) == pa::noErr)
      sendResampledData();
    if (memory_.eof()) break;
  }
}

pa::OSStatus AFInputSoundcard::converterInput(pa::AudioConverterRef, uint32_t* ioNumberDataPackets,
                                              pa::AudioBufferList* ioData, pa::AudioStreamPacketDescription**,
                                              void* card) {
  *ioNumberDataPackets = static_cast<AFInputSoundcard*>(card)->supplyConverterInput(*ioNumberDataPackets, ioData);
  return pa::noErr;
}

uint32_t AFInputSoundcard::supplyConverterInput(uint32_t requested, pa::AudioBufferList* list) {
  const int32_t n = static_cast<int32_t>(std::min<uint32_t>(requested, AFMemory::kScratchBlock));
  const int32_t buffers =
      std::min({static_cast<int32_t>(list->mNumberBuffers), memory_.channels(), AFMemory::kMaxChannels});
  while (!memory_.eof()) {
    if (memory_.available() >= n) {
      for (int32_t i = 0; i < buffers; ++i) {
        float* staging = memory_.resamplingBuffer(i);
        std::memcpy(staging, memory_.ringBufferConsumerPtr(i, n), static_cast<size_t>(n) * sizeof(float));
        AFMemory::setAudioBuffer(list->mBuffers[i], n, staging);
      }
      memory_.advanceConsumer(n);
      return static_cast<uint32_t>(n);
    }
    wake_.wait();
    queueRestartAfterFailedRender();
  }
  // The stream has ended: silence completes the conversion in progress.
  for (int32_t i = 0; i < buffers; ++i) {
    float* staging = memory_.resamplingBuffer(i);
    std::fill_n(staging, n, 0.0f);
    AFMemory::setAudioBuffer(list->mBuffers[i], n, staging);
  }
  return static_cast<uint32_t>(n);
}

void AFInputSoundcard::createRateConverter() {
  pa::OSStatus status = pa::noErr;
  {
    std::lock_guard guard(converterLock_);
    if (rateConverter_) {
      pa::AudioConverterReset(rateConverter_);
      pa::AudioConverterDispose(rateConverter_);
      rateConverter_ = nullptr;
    }
    // The client format was settled by start before this thread began.
    const pa::AudioStreamBasicDescription source = audioHALUnit_.outputUnitASBD;
    pa::AudioStreamBasicDescription destination = source;
    destination.mSampleRate = resamplingRate_ < 100.0f ? 48000.0 : static_cast<double>(resamplingRate_);
    pa::AudioConverterRef converter = nullptr;
    status = pa::AudioConverterNew(&source, &destination, &converter);
    rateConverter_ = status == pa::noErr ? converter : nullptr;
  }
  if (!rateConverter_) {
    platform::log("AFInputSoundcard: setupRateConverter error.\n");
    return;
  }
  needNewRateConverter_.exchange(false);
  justStarted_.exchange(true);
}

void AFInputSoundcard::sendResampledData() {
  const int32_t channels = std::min(memory_.channels(), AFMemory::kMaxChannels);
  float* buffers[AFMemory::kMaxChannels];
  for (int32_t i = 0; i < channels; ++i) buffers[i] = memory_.resampledBuffer(i);
  AFSoundcardDelegate* target = delegate();
  if (!justStarted_.load() && target && delegateRespondsToInputReceived())
    target->inputReceivedFromSoundcard(this, buffers, channels, bufferLength_.load());
  justStarted_.exchange(false);
}

void AFInputSoundcard::setResamplingQuality(int32_t index) {
  resamplingQuality_ = index;
  std::lock_guard guard(converterLock_);
  if (rateConverter_) setResamplingQualityIndex(index);
}

// ---------------------------------------------------------------- restart after a failed render

void AFInputSoundcard::queueRestartAfterFailedRender() {
  if (!renderFailed_.load(std::memory_order_acquire)) return;
  if (restartPending_.exchange(true, std::memory_order_acq_rel)) return;
  restartLink_->status.store(renderStatus_.load(std::memory_order_relaxed), std::memory_order_relaxed);
  restartLink_->holders.fetch_add(1, std::memory_order_relaxed);
  // The task form never allocates; the link outlives the card while queued.
  ui::MainThread::instance().runAsync(&AFInputSoundcard::restartTask, restartLink_);
}

void AFInputSoundcard::restartTask(void* context) {
  auto* link = static_cast<RestartLink*>(context);
  {
    std::lock_guard guard(link->lock);
    platform::log("processInput: AudioUnitRender failed %d\n", link->status.load(std::memory_order_relaxed));
    if (AFInputSoundcard* card = link->card) card->restartAfterFailedRender();
  }
  link->release();
}

void AFInputSoundcard::restartAfterFailedRender() {
  std::lock_guard guard(streamLock_);
  // A card stopped meanwhile stays stopped.
  const bool wasStarted = started_.load();
  stopStream();
  restartPending_.store(false, std::memory_order_release);
  if (wasStarted) startStream();
}
