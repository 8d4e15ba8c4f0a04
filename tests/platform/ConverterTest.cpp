// The sampling-rate converter: levels and spurs of a converted sine at each
// quality, the input procedure's contract, and quality changes while another
// thread converts.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "AudioTestSupport.h"
#include "platform/audio/AudioConverter.h"

namespace {

using namespace audiotest;

// Supplies sines (channel c at hz[c]) in chunks of at most `chunk` frames,
// interleaved or one buffer per channel; stops after `limit` frames.
struct SineSource {
  SineSource(std::vector<double> frequencies, double sampleRate, bool oneBufferPerChannel = true,
             uint32_t chunkFrames = 512)
      : hz(std::move(frequencies)), rate(sampleRate), split(oneBufferPerChannel), chunk(chunkFrames) {}
  std::vector<double> hz;
  double rate;
  bool split;
  uint32_t chunk;
  uint64_t limit = UINT64_MAX;
  OSStatus failWith = noErr;
  uint64_t produced = 0;
  std::vector<float> buffer;

  static OSStatus proc(AudioConverterRef, uint32_t* packets, AudioBufferList* data, AudioStreamPacketDescription**,
                       void* me) {
    auto* s = static_cast<SineSource*>(me);
    if (s->failWith) return s->failWith;
    const uint32_t channels = uint32_t(s->hz.size());
    const uint32_t n = uint32_t(std::min<uint64_t>({*packets, s->chunk, s->limit - s->produced}));
    s->buffer.resize(size_t(s->chunk) * channels);
    for (uint32_t i = 0; i < n; ++i)
      for (uint32_t c = 0; c < channels; ++c) {
        const double v = 0.5 * std::sin(2 * std::numbers::pi * s->hz[c] * double(s->produced + i) / s->rate);
        (s->split ? s->buffer[c * s->chunk + i] : s->buffer[i * channels + c]) = float(v);
      }
    for (uint32_t b = 0; b < data->mNumberBuffers; ++b) {
      data->mBuffers[b].mData = s->buffer.data() + (s->split ? b * s->chunk : 0);
      data->mBuffers[b].mDataByteSize = n * 4 * (s->split ? 1 : channels);
    }
    s->produced += n;
    *packets = n;
    return noErr;
  }
};

// Converts `frames` output frames in blocks of 512; returns channel 0 (or
// the given channel) of the output.
std::vector<float> convert(AudioConverterRef c, SineSource& source, size_t frames, uint32_t channel = 0,
                           uint32_t channels = 1) {
  std::vector<float> out;
  std::vector<float> block(512 * channels);
  while (out.size() < frames) {
    AudioBufferList list{};
    if (source.split) {
      list.mNumberBuffers = channels;
      for (uint32_t ch = 0; ch < channels; ++ch) list.mBuffers[ch] = {1, 512 * 4, block.data() + ch * 512};
    } else {
      list.mNumberBuffers = 1;
      list.mBuffers[0] = {channels, 512 * 4 * channels, block.data()};
    }
    uint32_t packets = 512;
    EXPECT_EQ(AudioConverterFillComplexBuffer(c, SineSource::proc, &source, &packets, &list, nullptr), noErr);
    if (packets == 0) break;
    for (uint32_t i = 0; i < packets; ++i)
      out.push_back(source.split ? block[channel * 512 + i] : block[i * channels + channel]);
  }
  return out;
}

TEST(Converter, SineFrom44100To48000KeepsItsLevelAndItsSpursLow) {
  const auto src = floatFormat(44100, 1, true), dst = floatFormat(48000, 1, true);
  double residual[5];
  for (int q = 0; q < 5; ++q) {
    AudioConverterRef c = nullptr;
    ASSERT_EQ(AudioConverterNew(&src, &dst, &c), noErr);
    static constexpr uint32_t values[5] = {kAudioConverterQuality_Min, kAudioConverterQuality_Low,
                                           kAudioConverterQuality_Medium, kAudioConverterQuality_High,
                                           kAudioConverterQuality_Max};
    ASSERT_EQ(AudioConverterSetProperty(c, kAudioConverterSampleRateConverterQuality, 4, &values[q]), noErr);
    SineSource source{{1000}, 44100};
    const auto out = convert(c, source, 8192 + 48000);
    const float* tail = out.data() + 8192;  // past the filter's delay; one second: whole cycles
    const double level = dB(std::abs(tone(tail, 48000, 1000, 48000)) / 0.5);
    residual[q] = residualDb(tail, 48000, 1000, 48000);
    EXPECT_NEAR(level, 0, q == 4 ? 0.01 : 0.1) << "quality " << q;
    AudioConverterDispose(c);
  }
  // Spurs and noise together at least 100 dB down at the top quality; the
  // quick quality is measurably worse.
  EXPECT_LT(residual[4], -100);
  EXPECT_LT(residual[4], residual[0] - 20);
}

TEST(Converter, InterleavedStereoKeepsItsChannelsApart) {
  const auto src = floatFormat(48000, 2, false), dst = floatFormat(44100, 2, false);
  AudioConverterRef c = nullptr;
  ASSERT_EQ(AudioConverterNew(&src, &dst, &c), noErr);
  SineSource source{{1000, 3000}, 48000, false, 700};
  for (uint32_t ch = 0; ch < 2; ++ch) {
    source.produced = 0;
    ASSERT_EQ(AudioConverterReset(c), noErr);
    const auto out = convert(c, source, 8192 + 44100, ch, 2);
    const float* tail = out.data() + 8192;
    const double hz = ch ? 3000 : 1000, other = ch ? 1000 : 3000;
    EXPECT_NEAR(dB(std::abs(tone(tail, 44100, hz, 44100)) / 0.5), 0, 0.05);
    EXPECT_LT(dB(std::abs(tone(tail, 44100, other, 44100)) / 0.5), -100);
  }
  AudioConverterDispose(c);
}

TEST(Converter, InputProcedureEndsOrFailsTheFill) {
  const auto src = floatFormat(44100, 1, true), dst = floatFormat(48000, 1, true);
  AudioConverterRef c = nullptr;
  ASSERT_EQ(AudioConverterNew(&src, &dst, &c), noErr);
  // 4410 input frames (0.1 s) end the input: the output ends near 4800 frames.
  SineSource source{{1000}, 44100};
  source.limit = 4410;
  const auto out = convert(c, source, 100000);
  EXPECT_NEAR(double(out.size()), 4800, 1200);
  EXPECT_LT(out.size(), 100000u);

  // After a reset nothing of the earlier sine comes out again.
  SineSource loud{{1000}, 44100};
  convert(c, loud, 4096);
  ASSERT_EQ(AudioConverterReset(c), noErr);
  SineSource silent{{0}, 44100};  // a sine of 0 Hz: silence
  silent.limit = 2048;
  const auto quiet = convert(c, silent, 4096);
  for (float v : quiet) ASSERT_LT(std::abs(v), 1e-6f);

  ASSERT_EQ(AudioConverterReset(c), noErr);
  SineSource failing{{1000}, 44100};
  failing.failWith = fourCC("fail");
  float block[512];
  AudioBufferList list{1, {{1, sizeof block, block}}};
  uint32_t packets = 512;
  EXPECT_EQ(AudioConverterFillComplexBuffer(c, SineSource::proc, &failing, &packets, &list, nullptr),
            OSStatus(fourCC("fail")));
  EXPECT_EQ(packets, 0u);
  AudioConverterDispose(c);
}

TEST(Converter, RefusesPairsItCannotConvertAndRoundsQuality) {
  AudioConverterRef c = nullptr;
  const auto mono = floatFormat(44100, 1, true);
  auto stereo = floatFormat(48000, 2, true);
  EXPECT_EQ(AudioConverterNew(&mono, &stereo, &c), kAudioConverterErr_FormatNotSupported);
  const auto interleaved = floatFormat(48000, 1, false);
  EXPECT_EQ(AudioConverterNew(&mono, &interleaved, &c), kAudioConverterErr_FormatNotSupported);
  AudioStreamBasicDescription int16 = mono;
  int16.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
  int16.mBitsPerChannel = 16;
  EXPECT_EQ(AudioConverterNew(&int16, &mono, &c), kAudioConverterErr_FormatNotSupported);
  EXPECT_EQ(c, nullptr);

  const auto dst = floatFormat(48000, 1, true);
  ASSERT_EQ(AudioConverterNew(&mono, &dst, &c), noErr);
  uint32_t q = 0, size = 4;
  ASSERT_EQ(AudioConverterGetProperty(c, kAudioConverterSampleRateConverterQuality, &size, &q), noErr);
  EXPECT_EQ(q, kAudioConverterQuality_High);  // until set
  q = 50;
  ASSERT_EQ(AudioConverterSetProperty(c, kAudioConverterSampleRateConverterQuality, 4, &q), noErr);
  ASSERT_EQ(AudioConverterGetProperty(c, kAudioConverterSampleRateConverterQuality, &size, &q), noErr);
  EXPECT_EQ(q, kAudioConverterQuality_Low);
  EXPECT_EQ(AudioConverterSetProperty(c, kAudioConverterSampleRateConverterQuality, 2, &q),
            kAudioConverterErr_BadPropertySizeError);
  AudioConverterDispose(c);
}

// The input card's consumer thread converts while the main thread changes the
// quality: each change takes effect at a later fill, nothing breaks.
TEST(Converter, QualityChangesWhileAnotherThreadConverts) {
  const auto src = floatFormat(44100, 1, true), dst = floatFormat(48000, 1, true);
  AudioConverterRef c = nullptr;
  ASSERT_EQ(AudioConverterNew(&src, &dst, &c), noErr);
  std::atomic<bool> stop{false};
  std::atomic<int> fills{0};
  std::thread consumer([&] {
    SineSource source{{1000}, 44100};
    float block[512];
    while (!stop) {
      AudioBufferList list{1, {{1, sizeof block, block}}};
      uint32_t packets = 512;
      EXPECT_EQ(AudioConverterFillComplexBuffer(c, SineSource::proc, &source, &packets, &list, nullptr), noErr);
      EXPECT_EQ(packets, 512u);
      ++fills;
    }
  });
  for (int i = 0; i < 20; ++i) {
    const uint32_t q = (i % 2) ? kAudioConverterQuality_Max : kAudioConverterQuality_Min;
    EXPECT_EQ(AudioConverterSetProperty(c, kAudioConverterSampleRateConverterQuality, 4, &q), noErr);
    const int seen = fills;
    while (fills < seen + 2) std::this_thread::yield();
  }
  stop = true;
  consumer.join();
  EXPECT_GT(fills.load(), 40);
  AudioConverterDispose(c);
}

}  // namespace
