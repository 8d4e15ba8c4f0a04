#pragma once
// WAVE files made by a test, through the sound-file layer: one vector of
// samples per channel, written as 16-bit integers or 32-bit floats.

#include <gtest/gtest.h>

#include <cstdint>
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

}  // namespace testsupport
