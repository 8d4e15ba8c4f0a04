#include "audio/AFFormat.h"

AFFormat::AFFormat(const AudioStreamBasicDescription* description) {
  if (!description) return;
  streamDescription_ = *description;
  channels_ = static_cast<int32_t>(description->mChannelsPerFrame);
  bits_ = static_cast<int32_t>(description->mBitsPerChannel);
}
