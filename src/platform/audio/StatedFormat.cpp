// The check of a file's stated channels and rate, which every backend makes,
// the FFmpeg module's too (it is compiled into both).

#include <algorithm>
#include <cstdint>

#include "platform/audio/AudioFileBackend.h"

namespace platform::audio::file {

OSStatus checkStatedFormat(int64_t channels, double rate, AudioStreamBasicDescription* stated) {
  if (stated) {
    *stated = {};
    stated->mSampleRate = rate;
    stated->mChannelsPerFrame = uint32_t(std::clamp<int64_t>(channels, 0, UINT32_MAX));
  }
  if (channels < 1) return kAudioFileUnsupportedDataFormatError;
  if (channels > int64_t(kAudioBufferListCapacity)) return kAudioFileUnsupportedChannelCountError;
  if (!(rate >= 1 && rate <= kAudioHighestSampleRate)) return kAudioFileUnsupportedSampleRateError;
  return noErr;
}

}  // namespace platform::audio::file
