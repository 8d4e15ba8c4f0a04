#pragma once
// WAVE files made by a test, through the sound-file layer: one vector of
// samples per channel, written as 16-bit integers or 32-bit floats; or, WAVE
// and CAF, byte by byte, for headers the layer would not write.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio/ExtAudioFile.h"

namespace testsupport {

inline void writeWave(const std::string& path, const std::vector<std::vector<float>>& channels, double rate,
                      bool floatSamples = false) {
  namespace pa = platform::audio;
  const uint32_t c = uint32_t(channels.size());
  pa::AudioStreamBasicDescription f{};
  f.mSampleRate = rate;
  f.mFormatID = pa::kAudioFormatLinearPCM;
  f.mFormatFlags = (floatSamples ? pa::kAudioFormatFlagIsFloat : pa::kAudioFormatFlagIsSignedInteger) |
                   pa::kAudioFormatFlagIsPacked;
  f.mBitsPerChannel = floatSamples ? 32 : 16;
  f.mChannelsPerFrame = c;
  f.mBytesPerFrame = f.mBitsPerChannel / 8 * c;
  f.mFramesPerPacket = 1;
  f.mBytesPerPacket = f.mBytesPerFrame;
  pa::ExtAudioFileRef file = nullptr;
  ASSERT_EQ(pa::ExtAudioFileCreateWithURL(path.c_str(), pa::kAudioFileWAVEType, &f, nullptr,
                                          pa::kAudioFileFlags_EraseFile, &file),
            pa::noErr);
  const uint32_t frames = uint32_t(channels.front().size());
  pa::AudioBufferList list{};
  list.mNumberBuffers = c;
  for (uint32_t ch = 0; ch < c; ++ch)
    list.mBuffers[ch] = {1, frames * 4, const_cast<float*>(channels[ch].data())};
  ASSERT_EQ(pa::ExtAudioFileWrite(file, frames, &list), pa::noErr);
  ASSERT_EQ(pa::ExtAudioFileDispose(file), pa::noErr);
}

// Little-endian fields, as RIFF and the WAVE format chunk hold them.
inline std::string le(uint64_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out += char((value >> (8 * i)) & 0xff);
  return out;
}

// A 16-bit PCM WAVE file's bytes, as any header may state it: frames of a
// sine of half scale at a quarter of the rate in every channel.
inline std::string waveBytes(uint32_t rate, uint32_t channels, uint32_t frames) {
  std::string data;
  data.reserve(size_t(frames) * channels * 2);
  for (uint32_t i = 0; i < frames; ++i) {
    const auto sample = int16_t(std::lround(16384 * std::sin(M_PI / 2 * double(i))));
    for (uint32_t c = 0; c < channels; ++c) data += le(uint16_t(sample), 2);
  }
  const std::string format = le(1, 2) + le(channels, 2) + le(rate, 4) + le(uint64_t(rate) * channels * 2, 4) +
                             le(channels * 2, 2) + le(16, 2);
  const std::string body = "WAVEfmt " + le(format.size(), 4) + format + "data" + le(data.size(), 4) + data;
  return "RIFF" + le(body.size(), 4) + body;
}

// Big-endian fields, as CAF holds them.
inline std::string be(uint64_t value, int bytes) {
  std::string out;
  for (int i = bytes - 1; i >= 0; --i) out += char((value >> (8 * i)) & 0xff);
  return out;
}

// A mono 16-bit big-endian PCM CAF file's bytes: frames of the sine of
// waveBytes, in a data chunk whose size field states dataSize (-1: to the
// end of the file; by default the true size).
inline std::string cafBytes(double rate, uint32_t frames, std::optional<int64_t> dataSize = std::nullopt) {
  std::string samples;
  for (uint32_t i = 0; i < frames; ++i)
    samples += be(uint16_t(int16_t(std::lround(16384 * std::sin(M_PI / 2 * double(i))))), 2);
  uint64_t rateBits = 0;
  std::memcpy(&rateBits, &rate, sizeof rate);
  // Rate, 'lpcm', flags 0 (big-endian integers), bytes a packet, frames a
  // packet, channels, bits.
  const std::string description = be(rateBits, 8) + "lpcm" + be(0, 4) + be(2, 4) + be(1, 4) + be(1, 4) + be(16, 4);
  const std::string data = be(0, 4) + samples;  // the edit count, then the samples
  return "caff" + be(1, 2) + be(0, 2) + "desc" + be(description.size(), 8) + description + "data" +
         be(uint64_t(dataSize.value_or(int64_t(data.size()))), 8) + data;
}

}  // namespace testsupport
