// The simulated provider in real time: the audio threads allocate nothing
// while units run, units start and stop a thousand times without leaving
// threads behind, and a unit may restart itself from within its callback.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <dirent.h>
#include <new>
#include <thread>

#include "AudioTestSupport.h"
#include "support/AllocationCounter.h"
#include "support/ThreadCount.h"
#include "platform/audio/AudioUnits.h"


namespace {

using namespace audiotest;
using namespace std::chrono_literals;

constexpr AudioComponentDescription kHal{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                         kAudioUnitManufacturer_Apple, 0, 0};
constexpr AudioComponentDescription kVarispeed{kAudioUnitType_FormatConverter, kAudioUnitSubType_Varispeed,
                                               kAudioUnitManufacturer_Apple, 0, 0};

sim::Options realTime() {
  sim::Options o;
  // The provider's I/O thread counts its own allocations.
  o.ioThreadStarted = [] { testsupport::countAllocationsOnThisThread(true); };
  return o;
}

using testsupport::threadCount;

AudioUnit newUnit(const AudioComponentDescription& d) {
  AudioUnit unit = nullptr;
  EXPECT_EQ(AudioComponentInstanceNew(AudioComponentFindNext(nullptr, &d), &unit), noErr);
  return unit;
}

// An input that renders into fixed buffers and keeps only counts.
struct Input {
  AudioUnit unit = nullptr;
  float buffers[2][4096];
  AudioBufferList list{};
  std::atomic<uint64_t> frames{0};
  std::atomic<int> failures{0};
  std::atomic<int> restartsWanted{0};
  static OSStatus callback(void* me, AudioUnitRenderActionFlags* flags, const AudioTimeStamp* ts, uint32_t bus,
                           uint32_t n, AudioBufferList*) {
    auto* in = static_cast<Input*>(me);
    in->list.mNumberBuffers = 2;
    for (int ch = 0; ch < 2; ++ch) in->list.mBuffers[ch] = {1, n * 4, in->buffers[ch]};
    if (AudioUnitRender(in->unit, flags, ts, bus, n, &in->list) != noErr) ++in->failures;
    in->frames += n;
    if (in->restartsWanted > 0) {  // as a card does after a failed render
      --in->restartsWanted;
      AudioOutputUnitStop(in->unit);
      AudioOutputUnitStart(in->unit);
    }
    return noErr;
  }
  void open(AudioObjectID device) {
    unit = newUnit(kHal);
    unit->enableIO(kAudioUnitScope_Input, 1, 1);
    unit->enableIO(kAudioUnitScope_Output, 0, 0);
    ASSERT_EQ(unit->setCurrentDevice(kAudioUnitScope_Global, 0, device), noErr);
    ASSERT_EQ(unit->setInputCallback(kAudioUnitScope_Global, 0, {callback, this}), noErr);
    ASSERT_EQ(unit->setBufferFrameSize(kAudioUnitScope_Global, 0, 256), noErr);
    ASSERT_EQ(AudioUnitInitialize(unit), noErr);
  }
  ~Input() {
    if (unit) AudioComponentInstanceDispose(unit);
  }
};

// The output card's graph with a render callback that does what the card
// does each cycle: fill the blocks, read the device time, set the playback rate.
struct Output {
  AUGraph graph = nullptr;
  AudioUnit varispeed = nullptr, device = nullptr;
  AudioObjectID deviceID = 0;
  double phase = 0;
  double tracked = 1.0;
  uint64_t cycle = 0;
  std::atomic<uint64_t> frames{0};
  std::atomic<bool> allocateOnce{false};
  static OSStatus render(void* me, AudioUnitRenderActionFlags*, const AudioTimeStamp*, uint32_t, uint32_t n,
                         AudioBufferList* data) {
    auto* out = static_cast<Output*>(me);
    for (uint32_t i = 0; i < n; ++i) {
      const float v = float(0.5 * std::sin(out->phase));
      out->phase += 2 * std::numbers::pi * 1000 / 48000;
      for (uint32_t ch = 0; ch < data->mNumberBuffers; ++ch) static_cast<float*>(data->mBuffers[ch].mData)[i] = v;
    }
    out->phase = std::fmod(out->phase, 2 * std::numbers::pi);
    if (out->allocateOnce.exchange(false)) {  // proves the count works
      static int* volatile sink;
      sink = new int(1);
      delete sink;
    }
    // The pushed samples' own clock drifts a little from cycle to cycle, so
    // the playback rate changes on every cycle (and the resampler glides).
    out->tracked = out->cycle++ % 2 ? 1.0002 : 0.9998;
    AudioTimeStamp now{};
    if (AudioDeviceGetCurrentTime(out->deviceID, &now) == noErr && now.mRateScalar > 0.1)
      AudioUnitSetParameter(out->varispeed, kVarispeedParam_PlaybackRate, kAudioUnitScope_Global, 0,
                            float(out->tracked / now.mRateScalar), 0);
    out->frames += n;
    return noErr;
  }
  void open(AudioObjectID id) {
    deviceID = id;
    ASSERT_EQ(NewAUGraph(&graph), noErr);
    ASSERT_EQ(AUGraphOpen(graph), noErr);
    AUNode v = 0, d = 0;
    ASSERT_EQ(AUGraphAddNode(graph, &kVarispeed, &v), noErr);
    ASSERT_EQ(AUGraphAddNode(graph, &kHal, &d), noErr);
    ASSERT_EQ(AUGraphNodeInfo(graph, v, nullptr, &varispeed), noErr);
    ASSERT_EQ(AUGraphNodeInfo(graph, d, nullptr, &device), noErr);
    device->enableIO(kAudioUnitScope_Input, 1, 0);
    device->enableIO(kAudioUnitScope_Output, 0, 1);
    ASSERT_EQ(varispeed->setRenderCallback(kAudioUnitScope_Input, 0, {render, this}), noErr);
    ASSERT_EQ(device->setCurrentDevice(kAudioUnitScope_Global, 0, id), noErr);
    AudioStreamBasicDescription fmt{};
    ASSERT_EQ(device->getStreamFormat(kAudioUnitScope_Input, 0, fmt), noErr);
    ASSERT_EQ(varispeed->setStreamFormat(kAudioUnitScope_Output, 0, fmt), noErr);
    fmt.mSampleRate = 44100;  // the client plays at another rate than the device
    ASSERT_EQ(varispeed->setStreamFormat(kAudioUnitScope_Input, 0, fmt), noErr);
    ASSERT_EQ(AUGraphConnectNodeInput(graph, v, 0, d, 0), noErr);
    ASSERT_EQ(AUGraphInitialize(graph), noErr);
  }
  ~Output() {
    if (graph) DisposeAUGraph(graph);
  }
};

TEST(Realtime, AudioThreadsAllocateNothingWhileUnitsRun) {
  ProviderScope provider(realTime());
  const AudioObjectID testSignal = provider->deviceNamed("Test Signal");
  const AudioObjectID loopback = provider->deviceNamed("Loopback");
  ASSERT_EQ(provider->setRateScalar(loopback, 1.0003), noErr);
  Input signal, heard;
  Output played;
  signal.open(testSignal);
  heard.open(loopback);
  played.open(loopback);
  ASSERT_EQ(AudioOutputUnitStart(signal.unit), noErr);
  ASSERT_EQ(AudioOutputUnitStart(heard.unit), noErr);
  ASSERT_EQ(AudioOutputUnitStart(played.device), noErr);
  // One deliberate allocation in the render callback is seen...
  played.allocateOnce = true;
  while (played.allocateOnce) std::this_thread::sleep_for(1ms);
  EXPECT_GE(testsupport::allocationCount(), 1);
  // ...and then nothing more while everything runs.
  testsupport::resetAllocationCount();
  const uint64_t framesBefore = signal.frames;
  const auto t0 = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(300ms);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const double framesDuring = double(signal.frames - framesBefore);
  AudioOutputUnitStop(played.device);
  AudioOutputUnitStop(heard.unit);
  AudioOutputUnitStop(signal.unit);

  EXPECT_EQ(testsupport::allocationCount(), 0);
  EXPECT_EQ(signal.failures.load() + heard.failures.load(), 0);
  // Paced by the clock: never faster than real time (give or take the cycles
  // at either end), and running at all even on a loaded machine.
  EXPECT_GT(framesDuring, seconds * 48000 * 0.1);
  EXPECT_LT(framesDuring, seconds * 48000 + 2 * 256);
  EXPECT_GT(played.frames.load(), 0u);
  EXPECT_GT(heard.frames.load(), 0u);
}

TEST(Realtime, StartAndStopAThousandTimesLeavesNoThreads) {
  ProviderScope provider(realTime());
  const AudioObjectID testSignal = provider->deviceNamed("Test Signal");
  const AudioObjectID loopback = provider->deviceNamed("Loopback");
  const int before = threadCount();
  Input signal;
  Output played;
  signal.open(testSignal);
  played.open(loopback);
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(AudioOutputUnitStart(signal.unit), noErr);
    ASSERT_EQ(AudioOutputUnitStart(played.device), noErr);
    ASSERT_EQ(AudioOutputUnitStop(played.device), noErr);
    ASSERT_EQ(AudioUnitReset(played.varispeed, kAudioUnitScope_Global, 0), noErr);
    ASSERT_EQ(AudioOutputUnitStop(signal.unit), noErr);
  }
  // Threads that ended may stay in /proc for a moment (and one that was
  // ending may have been counted before): none may be left over.
  EXPECT_LE(testsupport::settledAtMost(threadCount, before), before);
  EXPECT_FALSE(provider->isRunning(testSignal));
  EXPECT_FALSE(provider->isRunning(loopback));
}

TEST(Realtime, UnitRestartsItselfFromWithinItsCallback) {
  ProviderScope provider(realTime());
  Input signal;
  signal.open(provider->deviceNamed("Test Signal"));
  signal.restartsWanted = 3;
  ASSERT_EQ(AudioOutputUnitStart(signal.unit), noErr);
  const auto deadline = std::chrono::steady_clock::now() + 2s;
  while ((signal.restartsWanted > 0 || signal.frames < 20 * 256) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(5ms);
  EXPECT_EQ(signal.restartsWanted.load(), 0);
  EXPECT_GE(signal.frames.load(), 20u * 256);
  uint32_t running = 0;
  ASSERT_EQ(signal.unit->getIsRunning(kAudioUnitScope_Global, 0, running), noErr);
  EXPECT_EQ(running, 1u);
  EXPECT_EQ(AudioOutputUnitStop(signal.unit), noErr);
}

}  // namespace

// A device whose clock falls far behind the present (the machine stalled)
// skips ahead rather than racing through the missed cycles, and says how
// many frames of time it skipped: the gap breaks the tie between host and
// device time, and a gap that goes uncounted is measured as if the signal
// had kept time.
TEST(Realtime, AClockFarBehindThePresentSkipsAndCountsTheFramesItSkipped) {
  sim::Options options;
  options.defaultDeviceSet = false;
  auto provider = std::make_shared<sim::SimulatedProvider>(options);
  const AudioObjectID id = provider->addDevice(sim::defaultDevices()[0]);

  // Its first cycle holds the clock thread until the host clock has moved
  // on by half a second, some 47 cycles of 512 frames.
  struct Staller final : IoClient {
    sim::SimulatedProvider* provider = nullptr;
    std::atomic<int> cycles{0};
    void ioCycle(AudioObjectID, const IoCycle&) noexcept override {
      if (cycles.load() == 0) {
        const uint64_t until = provider->hostTime() + 500'000'000;
        while (provider->hostTime() < until) std::this_thread::sleep_for(1ms);
      }
      cycles.fetch_add(1);
    }
  } staller;
  staller.provider = provider.get();
  DeviceIoStatus status;
  ASSERT_EQ(provider->deviceIoStatus(id, status), noErr);
  EXPECT_EQ(status.lostFrames, 0u);
  const uint64_t started = provider->hostTime();
  ASSERT_EQ(provider->startIo(id, kAudioObjectPropertyScopeInput, &staller), noErr);
  while (staller.cycles.load() < 2) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(provider->stopIo(id, kAudioObjectPropertyScopeInput, &staller), noErr);
  const double elapsed = double(provider->hostTime() - started) * 1e-9;

  ASSERT_EQ(provider->deviceIoStatus(id, status), noErr);
  EXPECT_GE(status.lostFrames, uint64_t(0.45 * 48000));
  EXPECT_LE(double(status.lostFrames), elapsed * 48000);
  EXPECT_EQ(status.dropOuts, 0u);
}
