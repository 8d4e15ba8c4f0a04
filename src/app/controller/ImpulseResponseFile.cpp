#include "app/controller/ImpulseResponseFile.h"

#include <unistd.h>

#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/audio/ExtAudioFile.h"

namespace pa = platform::audio;

bool writeImpulseResponseWav(const std::string& path, const float* samples, int64_t length, double rate,
                             std::string* error) {
  pa::AudioStreamBasicDescription format{};
  format.mSampleRate = rate;
  format.mFormatID = pa::kAudioFormatLinearPCM;
  format.mFormatFlags = pa::kAudioFormatFlagsNativeFloatPacked;
  format.mChannelsPerFrame = 1;
  format.mBitsPerChannel = 32;
  format.mBytesPerFrame = 4;
  format.mFramesPerPacket = 1;
  format.mBytesPerPacket = 4;
  const std::string partial = path + ".partial-" + std::to_string(::getpid());
  pa::ExtAudioFileRef file = nullptr;
  pa::OSStatus status = pa::ExtAudioFileCreateWithURL(partial.c_str(), pa::kAudioFileWAVEType, &format, nullptr,
                                                      pa::kAudioFileFlags_EraseFile, &file);
  if (status == pa::noErr) {
    std::vector<float> copy(samples, samples + length);
    pa::AudioBufferList list{};
    list.mNumberBuffers = 1;
    list.mBuffers[0] = {1, static_cast<uint32_t>(length * 4), copy.data()};
    status = pa::ExtAudioFileWrite(file, static_cast<uint32_t>(length), &list);
    const pa::OSStatus closed = pa::ExtAudioFileDispose(file);
    if (status == pa::noErr) status = closed;
  }
  std::error_code failed;
  if (status == pa::noErr) std::filesystem::rename(partial, path, failed);
  if (status != pa::noErr || failed) {
    std::error_code ignored;
    std::filesystem::remove(partial, ignored);
    *error = status != pa::noErr ? "the audio file could not be written (status " + std::to_string(status) + ")"
                                 : failed.message();
    return false;
  }
  return true;
}
