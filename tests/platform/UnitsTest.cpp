// The device I/O unit, the varispeed unit and the output graph, driven by
// the simulated provider's stepped clock: frame counts, channel maps, the
// loopback's filter and latency, and playback at a requested rate.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>

#include "AudioTestSupport.h"
#include "platform/audio/AudioUnits.h"

namespace {

using namespace audiotest;

constexpr AudioComponentDescription kHal{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                         kAudioUnitManufacturer_Apple, 0, 0};
constexpr AudioComponentDescription kVarispeed{kAudioUnitType_FormatConverter, kAudioUnitSubType_Varispeed,
                                               kAudioUnitManufacturer_Apple, 0, 0};

AudioUnit newUnit(const AudioComponentDescription& d) {
  AudioUnit unit = nullptr;
  EXPECT_EQ(AudioComponentInstanceNew(AudioComponentFindNext(nullptr, &d), &unit), noErr);
  return unit;
}

// Captures a device's input the way the input card does: a device unit with
// input on and output off, an input callback that renders into its own buffers.
struct Capture {
  AudioUnit unit = nullptr;
  uint32_t channels = 0;
  std::vector<std::vector<float>> samples;
  std::vector<uint32_t> cycles;
  std::vector<double> sampleTimes;
  std::vector<float> scratch;
  AudioBufferList list{};
  OSStatus lastStatus = noErr;

  static OSStatus input(void* me, AudioUnitRenderActionFlags* flags, const AudioTimeStamp* ts, uint32_t bus,
                        uint32_t frames, AudioBufferList*) {
    auto* c = static_cast<Capture*>(me);
    c->list.mNumberBuffers = c->channels;
    for (uint32_t ch = 0; ch < c->channels; ++ch) c->list.mBuffers[ch] = {1, frames * 4, c->scratch.data() + ch * 4096};
    c->lastStatus = AudioUnitRender(c->unit, flags, ts, bus, frames, &c->list);
    if (c->lastStatus != noErr) return c->lastStatus;
    for (uint32_t ch = 0; ch < c->channels; ++ch) {
      const float* p = c->scratch.data() + ch * 4096;
      c->samples[ch].insert(c->samples[ch].end(), p, p + frames);
    }
    c->cycles.push_back(frames);
    c->sampleTimes.push_back(ts->mSampleTime);
    return noErr;
  }

  OSStatus open(AudioObjectID device, uint32_t bufferFrames, std::vector<int32_t> map = {}) {
    unit = newUnit(kHal);
    AudioUnitInitialize(unit);
    unit->enableIO(kAudioUnitScope_Input, 1, 1);
    unit->enableIO(kAudioUnitScope_Output, 0, 0);
    OSStatus s = unit->setCurrentDevice(kAudioUnitScope_Global, 0, device);
    if (s) return s;
    unit->setInputCallback(kAudioUnitScope_Global, 0, {input, this});
    AudioStreamBasicDescription f{};
    if ((s = unit->getStreamFormat(kAudioUnitScope_Output, 1, f))) return s;
    if ((s = unit->setBufferFrameSize(kAudioUnitScope_Global, 0, bufferFrames))) return s;
    if (!map.empty()) {
      f.mChannelsPerFrame = uint32_t(map.size());
      if ((s = unit->setStreamFormat(kAudioUnitScope_Output, 1, f))) return s;
      if ((s = unit->setChannelMap(kAudioUnitScope_Output, 1, map.data(), uint32_t(map.size())))) return s;
    }
    channels = f.mChannelsPerFrame;
    samples.assign(channels, {});
    scratch.assign(size_t(channels) * 4096, 0.0f);
    return AudioOutputUnitStart(unit);
  }
  ~Capture() {
    if (unit) AudioComponentInstanceDispose(unit);
  }
  size_t frames() const { return samples.empty() ? 0 : samples[0].size(); }
};

// A continuous-phase sine, or a single click, as a render callback.
struct Tone {
  double hz = 1000, rate = 48000, amplitude = 0.5, phase = 0;
  int64_t clickAt = -1;  // when >= 0: silence except one sample of `amplitude` at this frame
  int64_t frame = 0;
  uint64_t pulled = 0;
  static OSStatus render(void* me, AudioUnitRenderActionFlags*, const AudioTimeStamp*, uint32_t, uint32_t frames,
                         AudioBufferList* data) {
    auto* t = static_cast<Tone*>(me);
    const double step = 2 * std::numbers::pi * t->hz / t->rate;
    for (uint32_t i = 0; i < frames; ++i) {
      const float v = t->clickAt >= 0 ? (t->frame + int64_t(i) == t->clickAt ? float(t->amplitude) : 0.0f)
                                      : float(t->amplitude * std::sin(t->phase + step * i));
      for (uint32_t ch = 0; ch < data->mNumberBuffers; ++ch) static_cast<float*>(data->mBuffers[ch].mData)[i] = v;
    }
    t->phase = std::fmod(t->phase + step * frames, 2 * std::numbers::pi);
    t->frame += frames;
    t->pulled += frames;
    return noErr;
  }
};

// The loopback's band-pass: the bilinear image of s/Q / (s² + s/Q + 1),
// pre-warped at its centre, seen at frequency hz.
double bandPassGainDb(double hz, double centre, double q, double rate) {
  const double omega = std::tan(std::numbers::pi * hz / rate) / std::tan(std::numbers::pi * centre / rate);
  const double num = omega / q;
  return 10 * std::log10(num * num / ((1 - omega * omega) * (1 - omega * omega) + num * num));
}

class Units : public ::testing::Test {
 protected:
  ProviderScope provider;
  AudioObjectID testSignal = provider->deviceNamed("Test Signal");
  AudioObjectID loopback = provider->deviceNamed("Loopback");
  AudioObjectID multi = provider->deviceNamed("Multichannel");
};

TEST_F(Units, SteppedInputDeliversExactlyRateTimesTime) {
  Capture capture;
  ASSERT_EQ(capture.open(testSignal, 480), noErr);
  provider->advance(1.0);
  EXPECT_EQ(capture.frames(), 48000u);
  EXPECT_EQ(capture.cycles.size(), 100u);
  EXPECT_TRUE(std::all_of(capture.cycles.begin(), capture.cycles.end(), [](uint32_t f) { return f == 480; }));
  for (int i = 0; i < 40; ++i) provider->advance(0.0125);  // 600 frames a step: not a whole cycle
  EXPECT_EQ(capture.frames(), 72000u);
  EXPECT_EQ(capture.sampleTimes[149], 149 * 480.0);

  // "Sine": 1 kHz at amplitude 0.5 on every channel.
  for (uint32_t ch = 0; ch < 2; ++ch) {
    EXPECT_NEAR(std::abs(tone(capture.samples[ch].data(), 48000, 1000, 48000)), 0.5, 1e-4);
    EXPECT_LT(residualDb(capture.samples[ch].data(), 48000, 1000, 48000), -100);
  }
  EXPECT_EQ(provider->framesCycled(testSignal, kAudioObjectPropertyScopeInput), 72000u);
}

TEST_F(Units, SourcesAndVolumeShapeTheTestSignal) {
  Capture capture;
  ASSERT_EQ(capture.open(testSignal, 480), noErr);
  ASSERT_EQ(provider->setDataSource(testSignal, kAudioObjectPropertyScopeInput, fourCC("2ton")), noErr);
  ASSERT_EQ(setProperty(testSignal, {kAudioDevicePropertyVolumeScalar, kAudioObjectPropertyScopeInput, 0}, 0.5f), noErr);
  provider->advance(1.0);
  const float* x = capture.samples[0].data();
  EXPECT_NEAR(std::abs(tone(x, 48000, 1000, 48000)), 0.125, 1e-4);
  EXPECT_NEAR(std::abs(tone(x, 48000, 3500, 48000)), 0.125, 1e-4);

  ASSERT_EQ(provider->setDataSource(testSignal, kAudioObjectPropertyScopeInput, fourCC("nois")), noErr);
  const size_t from = capture.frames();
  provider->advance(1.0);
  double power = 0;
  for (size_t i = from; i < capture.frames(); ++i) power += double(capture.samples[1][i]) * capture.samples[1][i];
  EXPECT_NEAR(std::sqrt(power / 48000), 0.1 * 0.5, 0.002);  // RMS 0.1 at volume 0.5
}

TEST_F(Units, ChannelMapPicksDeviceChannels) {
  Capture capture;
  ASSERT_EQ(capture.open(multi, 512, {2, 0, -1}), noErr);
  provider->advance(0.25);
  ASSERT_GE(capture.frames(), 9600u);
  ASSERT_EQ(capture.channels, 3u);
  const size_t n = 9600;  // whole cycles of every channel tone
  EXPECT_NEAR(std::abs(tone(capture.samples[0].data(), n, 1500, 48000)), 0.1, 1e-5);
  EXPECT_NEAR(std::abs(tone(capture.samples[1].data(), n, 500, 48000)), 0.1, 1e-5);
  EXPECT_EQ(*std::max_element(capture.samples[2].begin(), capture.samples[2].end()), 0.0f);
}

TEST_F(Units, LoopbackReproducesItsFilterAndLatency) {
  for (double hz : {250.0, 1000.0, 4000.0}) {
    Tone source{hz};
    AudioUnit player = newUnit(kHal);
    ASSERT_EQ(player->setCurrentDevice(kAudioUnitScope_Global, 0, loopback), noErr);
    ASSERT_EQ(player->setRenderCallback(kAudioUnitScope_Input, 0, {Tone::render, &source}), noErr);
    ASSERT_EQ(AudioUnitInitialize(player), noErr);
    ASSERT_EQ(AudioOutputUnitStart(player), noErr);
    Capture capture;
    ASSERT_EQ(capture.open(loopback, 512), noErr);
    provider->advance(0.5);
    const size_t n = 9600;
    const float* tail = capture.samples[0].data() + capture.frames() - n;
    const double measured = dB(std::abs(tone(tail, n, hz, 48000)) / 0.5);
    EXPECT_NEAR(measured, bandPassGainDb(hz, 1000, 0.70710678118654752, 48000), 0.1) << hz << " Hz";
    AudioComponentInstanceDispose(player);
  }

  // A click played at frame 3000 arrives 1024 frames later, not a frame earlier.
  Tone click{0, 48000, 0.5, 0, 3000};
  AudioUnit player = newUnit(kHal);
  ASSERT_EQ(player->setCurrentDevice(kAudioUnitScope_Global, 0, loopback), noErr);
  ASSERT_EQ(player->setRenderCallback(kAudioUnitScope_Input, 0, {Tone::render, &click}), noErr);
  ASSERT_EQ(AudioOutputUnitStart(player), noErr);
  Capture capture;
  ASSERT_EQ(capture.open(loopback, 512), noErr);
  provider->advance(0.2);
  const auto& x = capture.samples[0];
  const auto first = std::find_if(x.begin(), x.end(), [](float v) { return v != 0.0f; });
  EXPECT_EQ(first - x.begin(), 3000 + 1024);
  AudioComponentInstanceDispose(player);
}

TEST_F(Units, DeviceTimeRunsAtTheRateScalar) {
  ASSERT_EQ(provider->setRateScalar(loopback, 1.001), noErr);
  Capture capture;
  ASSERT_EQ(capture.open(loopback, 512), noErr);
  provider->advance(1.0);
  AudioTimeStamp now{};
  ASSERT_EQ(AudioDeviceGetCurrentTime(loopback, &now), noErr);
  EXPECT_NEAR(now.mSampleTime, 48048, 0.01);
  EXPECT_DOUBLE_EQ(now.mRateScalar, 1.001);
  EXPECT_EQ(capture.frames(), 48048u / 512 * 512);
  AudioOutputUnitStop(capture.unit);
  EXPECT_EQ(AudioDeviceGetCurrentTime(loopback, &now), kAudioHardwareNotRunningError);
}

TEST_F(Units, RemovedDeviceDeliversNothingMore) {
  Capture capture;
  ASSERT_EQ(capture.open(testSignal, 512), noErr);
  provider->advance(0.1);
  const size_t before = capture.frames();
  uint32_t running = 0;
  ASSERT_EQ(capture.unit->getIsRunning(kAudioUnitScope_Global, 0, running), noErr);
  EXPECT_EQ(running, 1u);
  ASSERT_TRUE(provider->removeDevice(testSignal));
  provider->advance(0.1);
  EXPECT_EQ(capture.frames(), before);
  // Still started (a card's stop keys on it to end its consumer), until it is
  // stopped or bound to another device, where it runs again.
  ASSERT_EQ(capture.unit->getIsRunning(kAudioUnitScope_Global, 0, running), noErr);
  EXPECT_EQ(running, 1u);
  ASSERT_EQ(capture.unit->setCurrentDevice(kAudioUnitScope_Global, 0, loopback), noErr);
  ASSERT_EQ(capture.unit->getIsRunning(kAudioUnitScope_Global, 0, running), noErr);
  EXPECT_EQ(running, 0u);
  ASSERT_EQ(AudioOutputUnitStart(capture.unit), noErr);
  provider->advance(0.1);
  EXPECT_GT(capture.frames(), before);
  ASSERT_EQ(capture.unit->getIsRunning(kAudioUnitScope_Global, 0, running), noErr);
  EXPECT_EQ(running, 1u);
  EXPECT_EQ(AudioOutputUnitStop(capture.unit), noErr);
}

TEST_F(Units, UnitsRefuseWhatTheyCannotServe) {
  AudioUnit unit = newUnit(kHal);
  EXPECT_EQ(unit->setCurrentDevice(kAudioUnitScope_Global, 0, 4242), kAudioUnitErr_NoDevice);
  ASSERT_EQ(unit->setCurrentDevice(kAudioUnitScope_Global, 0, testSignal), noErr);
  AudioStreamBasicDescription f{};
  ASSERT_EQ(unit->getStreamFormat(kAudioUnitScope_Output, 1, f), noErr);
  EXPECT_EQ(f.mChannelsPerFrame, 2u);
  EXPECT_EQ(f.mSampleRate, 48000);
  EXPECT_EQ(unit->setStreamFormat(kAudioUnitScope_Output, 1, sim::linearPcmFormat(48000, 2, 16)),
            kAudioUnitErr_FormatNotSupported);
  // The unit does not convert rates: its client side runs at the device's.
  AudioStreamBasicDescription other = f;
  other.mSampleRate = 44100;
  EXPECT_EQ(unit->setStreamFormat(kAudioUnitScope_Output, 1, other), kAudioUnitErr_FormatNotSupported);
  other.mSampleRate = 48000;
  other.mChannelsPerFrame = 1;
  EXPECT_EQ(unit->setStreamFormat(kAudioUnitScope_Output, 1, other), noErr);
  const int32_t badMap[] = {0, 2};  // the device has channels 0 and 1
  EXPECT_EQ(unit->setChannelMap(kAudioUnitScope_Output, 1, badMap, 2), kAudioUnitErr_InvalidPropertyValue);
  float buffer[64];
  AudioBufferList list{1, {{1, sizeof buffer, buffer}}};
  AudioTimeStamp ts{};
  EXPECT_EQ(AudioUnitRender(unit, nullptr, &ts, 1, 16, &list), kAudioUnitErr_CannotDoInCurrentContext);
  uint32_t running = 7, size = sizeof running;
  EXPECT_EQ(AudioUnitGetProperty(unit, kAudioOutputUnitProperty_IsRunning, kAudioUnitScope_Global, 0, &running, &size),
            noErr);
  EXPECT_EQ(running, 0u);
  EXPECT_EQ(AudioUnitSetProperty(unit, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0, &running, 2),
            kAudioUnitErr_InvalidPropertyValue);
  AudioComponentInstanceDispose(unit);

  AudioUnit vari = newUnit(kVarispeed);
  EXPECT_EQ(AudioUnitSetParameter(vari, kVarispeedParam_PlaybackRate, kAudioUnitScope_Global, 0, NAN, 0),
            kAudioUnitErr_InvalidParameter);
  EXPECT_EQ(AudioUnitRender(vari, nullptr, &ts, 0, 16, &list), kAudioUnitErr_Uninitialized);
  EXPECT_EQ(vari->setCurrentDevice(kAudioUnitScope_Global, 0, testSignal), kAudioUnitErr_InvalidProperty);
  AudioComponentInstanceDispose(vari);
}

// Renders the varispeed unit directly: in, out rates and a playback rate.
struct VarispeedRun {
  AudioUnit unit = newUnit(kVarispeed);
  Tone source;
  std::vector<float> out;
  VarispeedRun(double inRate, double outRate, double hz) {
    source.hz = hz;
    source.rate = inRate;
    EXPECT_EQ(unit->setStreamFormat(kAudioUnitScope_Input, 0, floatFormat(inRate, 1)), noErr);
    EXPECT_EQ(unit->setStreamFormat(kAudioUnitScope_Output, 0, floatFormat(outRate, 1)), noErr);
    EXPECT_EQ(unit->setRenderCallback(kAudioUnitScope_Input, 0, {Tone::render, &source}), noErr);
    EXPECT_EQ(AudioUnitInitialize(unit), noErr);
  }
  ~VarispeedRun() { AudioComponentInstanceDispose(unit); }
  OSStatus render(uint32_t frames) {
    std::vector<float> block(frames);
    AudioBufferList list{1, {{1, frames * 4, block.data()}}};
    AudioTimeStamp ts{};
    const OSStatus s = AudioUnitRender(unit, nullptr, &ts, 0, frames, &list);
    out.insert(out.end(), block.begin(), block.end());
    return s;
  }
};

TEST_F(Units, VarispeedPlaysAtTheRequestedRate) {
  {
    VarispeedRun run(48000, 48000, 1000);
    ASSERT_EQ(AudioUnitSetParameter(run.unit, kVarispeedParam_PlaybackRate, kAudioUnitScope_Global, 0, 1.25f, 0), noErr);
    for (int i = 0; i < 20; ++i) ASSERT_EQ(run.render(512), noErr);
    const uint64_t pulledBefore = run.source.pulled;
    for (int i = 0; i < 100; ++i) ASSERT_EQ(run.render(512), noErr);
    const size_t n = 48000;  // the last second: whole cycles of 1250 Hz
    const float* tail = run.out.data() + run.out.size() - n;
    EXPECT_NEAR(dB(std::abs(tone(tail, n, 1250, 48000)) / 0.5), 0, 0.01);
    EXPECT_LT(residualDb(tail, n, 1250, 48000), -100);
    EXPECT_NEAR(double(run.source.pulled - pulledBefore) / (100 * 512), 1.25, 0.002);
  }
  {
    // Client at 44.1 kHz into a 48 kHz device at rate 1: the pitch stays.
    VarispeedRun run(44100, 48000, 1000);
    for (int i = 0; i < 120; ++i) ASSERT_EQ(run.render(512), noErr);
    const float* tail = run.out.data() + run.out.size() - 48000;
    EXPECT_NEAR(dB(std::abs(tone(tail, 48000, 1000, 48000)) / 0.5), 0, 0.01);
    EXPECT_LT(residualDb(tail, 48000, 1000, 48000), -100);
  }
}

TEST_F(Units, VarispeedRateChangingEveryCycleMakesNoClick) {
  VarispeedRun run(48000, 48000, 1000);
  std::mt19937 random(7);
  std::uniform_real_distribution<float> rate(0.99f, 1.01f);
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(AudioUnitSetParameter(run.unit, kVarispeedParam_PlaybackRate, kAudioUnitScope_Global, 0, rate(random), 0),
              noErr);
    ASSERT_EQ(run.render(256), noErr);
  }
  // A sine of amplitude 0.5 near 1 kHz moves at most 2π·f/rate·0.5 per sample;
  // a click would jump far beyond that.
  const double limit = 2 * std::numbers::pi * 1010 / 48000 * 0.5 * 1.05;
  double largest = 0;
  for (size_t i = 4096; i < run.out.size(); ++i) largest = std::max(largest, double(std::abs(run.out[i] - run.out[i - 1])));
  EXPECT_LT(largest, limit);
  EXPECT_GT(largest, limit * 0.8);  // and the signal is there
}

TEST_F(Units, VarispeedResetForgetsWhatItHeld) {
  VarispeedRun run(44100, 48000, 1000);
  for (int i = 0; i < 20; ++i) ASSERT_EQ(run.render(512), noErr);
  // A rate set while stopped, before the reset, is the rate played after it.
  ASSERT_EQ(AudioUnitSetParameter(run.unit, kVarispeedParam_PlaybackRate, kAudioUnitScope_Global, 0, 1.25f, 0), noErr);
  ASSERT_EQ(AudioUnitReset(run.unit, kAudioUnitScope_Global, 0), noErr);
  run.source.amplitude = 0;
  run.out.clear();
  for (int i = 0; i < 10; ++i) ASSERT_EQ(run.render(512), noErr);
  float loudest = 0;
  for (float v : run.out) loudest = std::max(loudest, std::abs(v));
  EXPECT_LT(loudest, 1e-6f);
  run.source.amplitude = 0.5;
  const uint64_t pulledBefore = run.source.pulled;
  for (int i = 0; i < 100; ++i) ASSERT_EQ(run.render(512), noErr);
  EXPECT_NEAR(double(run.source.pulled - pulledBefore) / (100 * 512), 1.25 * 44100 / 48000, 0.002);
  EXPECT_NEAR(dB(std::abs(tone(run.out.data() + run.out.size() - 48000, 48000, 1250, 48000)) / 0.5), 0, 0.05);
}

// A varispeed made where the heap held NaN (freed blocks it reuses) plays
// its tone as cleanly as on fresh memory: the resampler reads nothing it
// did not write first. Each output stream makes its varispeed anew, late in
// a session whose heap has seen every kind of sample.
TEST_F(Units, VarispeedMadeOnAHeapOfNaNPlaysItsTone) {
  for (const double inRate : {48000.0, 96000.0}) {
    std::vector<float*> freed;
    for (int k = 0; k < 256; ++k) {
      const size_t n = size_t(1024) * (1 + k % 64);
      auto* block = static_cast<float*>(std::malloc(n * sizeof(float)));
      std::fill_n(block, n, std::numeric_limits<float>::quiet_NaN());
      asm volatile("" : : "r"(block) : "memory");
      freed.push_back(block);
    }
    for (float* block : freed) std::free(block);
    VarispeedRun run(inRate, 48000, 1000);
    for (int i = 0; i < 120; ++i) ASSERT_EQ(run.render(512), noErr);
    EXPECT_EQ(std::count_if(run.out.begin(), run.out.end(), [](float v) { return !std::isfinite(v); }), 0) << inRate;
    const float* tail = run.out.data() + run.out.size() - 48000;
    EXPECT_NEAR(dB(std::abs(tone(tail, 48000, 1000, 48000)) / 0.5), 0, 0.01) << inRate;
    EXPECT_LT(residualDb(tail, 48000, 1000, 48000), -100) << inRate;
  }
}

// The output card's graph, built step by step as it does: varispeed feeding
// the device unit of the loopback's output; the loopback's input listens.
TEST_F(Units, OutputGraphPlaysThroughTheLoopback) {
  Tone source{1000};
  AUGraph graph = nullptr;
  ASSERT_EQ(NewAUGraph(&graph), noErr);
  ASSERT_EQ(AUGraphOpen(graph), noErr);
  AUNode varispeedNode = 0, deviceNode = 0;
  ASSERT_EQ(AUGraphAddNode(graph, &kVarispeed, &varispeedNode), noErr);
  ASSERT_EQ(AUGraphAddNode(graph, &kHal, &deviceNode), noErr);
  AudioUnit varispeed = nullptr, device = nullptr;
  ASSERT_EQ(AUGraphNodeInfo(graph, varispeedNode, nullptr, &varispeed), noErr);
  ASSERT_EQ(AUGraphNodeInfo(graph, deviceNode, nullptr, &device), noErr);
  device->enableIO(kAudioUnitScope_Input, 1, 0);
  device->enableIO(kAudioUnitScope_Output, 0, 1);
  ASSERT_EQ(varispeed->setRenderCallback(kAudioUnitScope_Input, 0, {Tone::render, &source}), noErr);
  ASSERT_EQ(device->setCurrentDevice(kAudioUnitScope_Global, 0, loopback), noErr);
  double rate = 0;
  ASSERT_EQ(getProperty(loopback, {kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal, 0}, rate),
            noErr);
  AudioStreamBasicDescription fmt{};
  ASSERT_EQ(device->getStreamFormat(kAudioUnitScope_Input, 0, fmt), noErr);
  fmt.mSampleRate = rate;
  ASSERT_EQ(device->setStreamFormat(kAudioUnitScope_Input, 0, fmt), noErr);
  ASSERT_EQ(varispeed->setStreamFormat(kAudioUnitScope_Output, 0, fmt), noErr);
  ASSERT_EQ(varispeed->setStreamFormat(kAudioUnitScope_Input, 0, fmt), noErr);
  ASSERT_EQ(AUGraphConnectNodeInput(graph, varispeedNode, 0, deviceNode, 0), noErr);
  EXPECT_EQ(AUGraphConnectNodeInput(graph, deviceNode, 0, varispeedNode, 0), kAUGraphErr_InvalidConnection);
  ASSERT_EQ(AUGraphInitialize(graph), noErr);
  ASSERT_EQ(AudioUnitSetParameter(varispeed, kVarispeedParam_PlaybackRate, kAudioUnitScope_Global, 0, 1.0f, 0), noErr);
  ASSERT_EQ(AudioOutputUnitStart(device), noErr);

  Capture capture;
  ASSERT_EQ(capture.open(loopback, 512), noErr);
  provider->advance(0.5);
  const float* tail = capture.samples[1].data() + capture.frames() - 9600;
  EXPECT_NEAR(dB(std::abs(tone(tail, 9600, 1000, 48000)) / 0.5), 0, 0.1);
  EXPECT_NEAR(double(source.pulled), 0.5 * 48000, 2048);
  uint32_t running = 0;
  ASSERT_EQ(device->getIsRunning(kAudioUnitScope_Global, 0, running), noErr);
  EXPECT_EQ(running, 1u);
  EXPECT_EQ(DisposeAUGraph(graph), noErr);
  EXPECT_FALSE(provider->isRunning(loopback) && capture.frames() == 0);
}

}  // namespace
