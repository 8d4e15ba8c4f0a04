#include "audio/AFResampling.h"

#include <algorithm>
#include <bit>

namespace {

// Bit j of the mask, with the mask's sign extended above bit 31, so that a
// negative mask selects every channel from 31 upwards.
bool maskBit(int32_t mask, int32_t j) {
  if (j >= 31) return mask < 0;
  return ((mask >> j) & 1) != 0;
}

// Set bits of the mask taken as a 64-bit value with sign extension.
int32_t maskBitCount(int32_t mask) {
  int32_t count = std::popcount(static_cast<uint32_t>(mask) & 0x7fffffffu);
  return mask < 0 ? count + 33 : count;
}

}  // namespace

void AFResampling::setResamplingRate(float rate) {
  if (rate == resamplingRate_) return;
  resamplingRate_ = rate < 10.0f ? 0.0f : rate;
  needNewRateConverter_.exchange(true);
}

void AFResampling::setResamplingQualityIndex(int32_t index) {
  index = std::clamp(index, 0, 4);
  if (!rateConverter_) return;
  uint32_t quality = kQualityTable[index];
  // The converter keeps its quality when it refuses; nothing to report.
  (void)platform::audio::AudioConverterSetProperty(rateConverter_,
                                                   platform::audio::kAudioConverterSampleRateConverterQuality,
                                                   sizeof(quality), &quality);
}

void AFResampling::makeChannelMapForMask(int32_t mask, int32_t n) {
  // The maps have room for 64 channels; a larger count would run past them.
  n = std::min(n, kMaxChannels);
  if (n > 0) std::fill(inverseChannelMap_, inverseChannelMap_ + n, -1);

  if (n > 0 && mask != 0) {
    int32_t k = 0;
    for (int32_t j = 0; j < n; ++j) {
      if (!maskBit(mask, j)) continue;
      channelMap_[k] = j;
      inverseChannelMap_[j] = k;
      ++k;
    }
    if (k > 0) {
      if (k < n) channelMap_[k] = -1;
      numberOfMappedChannels_ = k;
      return;
    }
  } else if (n > 0) {
    for (int32_t i = 0; i < n; ++i) channelMap_[i] = inverseChannelMap_[i] = i;
    numberOfMappedChannels_ = n;
    return;
  } else if (mask == 0) {
    // No channels: nothing is mapped (a negative count means none).
    numberOfMappedChannels_ = std::max(n, 0);
    return;
  }

  // None of the wanted channels exists: take as many channels as the mask
  // asks for, from the first one on.
  n = std::min(n, maskBitCount(mask));
  for (int32_t i = 0; i < n; ++i) channelMap_[i] = inverseChannelMap_[i] = i;
  numberOfMappedChannels_ = std::max(n, 0);
}
