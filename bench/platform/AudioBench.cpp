// Throughput of the sampling-rate converter at each quality and of one
// varispeed render cycle, for stereo at 48 kHz. The counter "xRealTime" is
// seconds of audio produced per second of CPU; BM_CopyBaseline copies the
// same blocks and is the yardstick for the ratios.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "platform/audio/AudioConverter.h"
#include "platform/audio/AudioUnits.h"

namespace {

using namespace platform::audio;

constexpr uint32_t kBlock = 512;

// A stereo source handing over blocks of a sine computed once (so that the
// figures are the conversion's, not the sine's).
struct Source {
  std::vector<float> data = std::vector<float>(2 * 4096);
  Source() {
    for (uint32_t i = 0; i < 4096; ++i) data[i] = data[4096 + i] = float(0.5 * std::sin(0.1 * i));
  }
  void fill(uint32_t) {}
  static OSStatus proc(AudioConverterRef, uint32_t* packets, AudioBufferList* list, AudioStreamPacketDescription**,
                       void* me) {
    auto* s = static_cast<Source*>(me);
    *packets = std::min<uint32_t>(*packets, 4096);
    s->fill(*packets);
    for (uint32_t ch = 0; ch < 2; ++ch) list->mBuffers[ch] = {1, *packets * 4, s->data.data() + ch * 4096};
    return noErr;
  }
  static OSStatus render(void* me, AudioUnitRenderActionFlags*, const AudioTimeStamp*, uint32_t, uint32_t n,
                         AudioBufferList* list) {
    auto* s = static_cast<Source*>(me);
    s->fill(n);
    for (uint32_t ch = 0; ch < 2; ++ch) std::memcpy(list->mBuffers[ch].mData, s->data.data() + ch * 4096, n * 4);
    return noErr;
  }
};

void setRate(benchmark::State& state) {
  state.counters["xRealTime"] =
      benchmark::Counter(double(state.iterations()) * kBlock / 48000.0, benchmark::Counter::kIsRate);
}

void BM_CopyBaseline(benchmark::State& state) {
  Source source;
  std::vector<float> out(2 * kBlock);
  for (auto _ : state) {
    source.fill(kBlock);
    std::memcpy(out.data(), source.data.data(), kBlock * 4);
    std::memcpy(out.data() + kBlock, source.data.data() + 4096, kBlock * 4);
    benchmark::DoNotOptimize(out.data());
  }
  setRate(state);
}
BENCHMARK(BM_CopyBaseline);

void BM_Converter44100To48000(benchmark::State& state) {
  static constexpr uint32_t qualities[5] = {kAudioConverterQuality_Min, kAudioConverterQuality_Low,
                                            kAudioConverterQuality_Medium, kAudioConverterQuality_High,
                                            kAudioConverterQuality_Max};
  const auto src = floatFormat(44100, 2), dst = floatFormat(48000, 2);
  AudioConverterRef converter = nullptr;
  if (AudioConverterNew(&src, &dst, &converter) != noErr) {
    state.SkipWithError("no converter");
    return;
  }
  AudioConverterSetProperty(converter, kAudioConverterSampleRateConverterQuality, 4, &qualities[state.range(0)]);
  Source source;
  std::vector<float> out(2 * kBlock);
  for (auto _ : state) {
    AudioBufferList list{2, {{1, kBlock * 4, out.data()}, {1, kBlock * 4, out.data() + kBlock}}};
    uint32_t packets = kBlock;
    AudioConverterFillComplexBuffer(converter, Source::proc, &source, &packets, &list, nullptr);
    benchmark::DoNotOptimize(out.data());
  }
  setRate(state);
  AudioConverterDispose(converter);
}
BENCHMARK(BM_Converter44100To48000)->DenseRange(0, 4)->ArgName("quality");

// One render cycle of the output card's varispeed: 44.1 kHz client into a
// 48 kHz device, the playback rate changed every cycle.
void BM_VarispeedRenderCycle(benchmark::State& state) {
  const AudioComponentDescription d{kAudioUnitType_FormatConverter, kAudioUnitSubType_Varispeed,
                                    kAudioUnitManufacturer_Apple, 0, 0};
  AudioUnit unit = nullptr;
  AudioComponentInstanceNew(AudioComponentFindNext(nullptr, &d), &unit);
  Source source;
  unit->setStreamFormat(kAudioUnitScope_Input, 0, floatFormat(44100, 2));
  unit->setStreamFormat(kAudioUnitScope_Output, 0, floatFormat(48000, 2));
  unit->setRenderCallback(kAudioUnitScope_Input, 0, {Source::render, &source});
  if (AudioUnitInitialize(unit) != noErr) {
    state.SkipWithError("no varispeed");
    return;
  }
  std::vector<float> out(2 * kBlock);
  AudioTimeStamp ts{};
  uint64_t cycle = 0;
  for (auto _ : state) {
    const float rate = float(1.0 + 0.0005 * std::sin(double(cycle++) * 0.01));
    AudioUnitSetParameter(unit, kVarispeedParam_PlaybackRate, kAudioUnitScope_Global, 0, rate, 0);
    AudioBufferList list{2, {{1, kBlock * 4, out.data()}, {1, kBlock * 4, out.data() + kBlock}}};
    AudioUnitRender(unit, nullptr, &ts, 0, kBlock, &list);
    benchmark::DoNotOptimize(out.data());
  }
  setRate(state);
  AudioComponentInstanceDispose(unit);
}
BENCHMARK(BM_VarispeedRenderCycle);

}  // namespace

BENCHMARK_MAIN();
