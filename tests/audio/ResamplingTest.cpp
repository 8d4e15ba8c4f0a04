// Resampling settings and channel maps.

#include <gtest/gtest.h>

#include <vector>

#include "audio/AFResampling.h"
#include "platform/audio/AudioConverter.h"

namespace {

std::vector<int32_t> mapOf(const AFResampling& r, int32_t n) { return {r.channelMap(), r.channelMap() + n}; }
std::vector<int32_t> inverseOf(const AFResampling& r, int32_t n) {
  return {r.inverseChannelMap(), r.inverseChannelMap() + n};
}

TEST(Resampling, RatesBelowTenHertzMeanNone) {
  AFResampling r;
  EXPECT_EQ(r.resamplingRate(), 0.0f);
  EXPECT_FALSE(r.needNewRateConverter());
  r.setResamplingRate(5.0f);
  EXPECT_EQ(r.resamplingRate(), 0.0f);
  EXPECT_TRUE(r.needNewRateConverter());

  AFResampling s;
  s.setResamplingRate(0.0f);  // equal to the stored rate: nothing happens
  EXPECT_FALSE(s.needNewRateConverter());
  s.setResamplingRate(48000.0f);
  EXPECT_EQ(s.resamplingRate(), 48000.0f);
  EXPECT_TRUE(s.needNewRateConverter());
  s.setResamplingRate(10.0f);
  EXPECT_EQ(s.resamplingRate(), 10.0f);
}

// Owns a converter as the input card does, so its quality can be read back.
class WithConverter : public AFResampling {
 public:
  explicit WithConverter(bool make) {
    if (!make) return;
    namespace pa = platform::audio;
    pa::AudioStreamBasicDescription source{};
    source.mSampleRate = 44100;
    source.mFormatID = pa::kAudioFormatLinearPCM;
    source.mFormatFlags = pa::kAudioFormatFlagsNativeFloatPacked | pa::kAudioFormatFlagIsNonInterleaved;
    source.mBytesPerPacket = source.mBytesPerFrame = 4;
    source.mFramesPerPacket = 1;
    source.mChannelsPerFrame = 2;
    source.mBitsPerChannel = 32;
    pa::AudioStreamBasicDescription destination = source;
    destination.mSampleRate = 48000;
    EXPECT_EQ(pa::AudioConverterNew(&source, &destination, &rateConverter_), pa::noErr);
  }
  ~WithConverter() override {
    if (rateConverter_) platform::audio::AudioConverterDispose(rateConverter_);
  }
  uint32_t quality() const {
    uint32_t value = 999;
    uint32_t size = sizeof(value);
    platform::audio::AudioConverterGetProperty(rateConverter_,
                                               platform::audio::kAudioConverterSampleRateConverterQuality, &size,
                                               &value);
    return value;
  }
};

TEST(Resampling, QualityIndexIsClampedAndApplied) {
  WithConverter r(true);
  r.setResamplingQualityIndex(-3);
  EXPECT_EQ(r.quality(), 0u);
  r.setResamplingQualityIndex(9);
  EXPECT_EQ(r.quality(), 127u);
  r.setResamplingQualityIndex(2);
  EXPECT_EQ(r.quality(), 64u);
  r.setResamplingQualityIndex(1);
  EXPECT_EQ(r.quality(), 32u);
  WithConverter none(false);
  none.setResamplingQualityIndex(4);  // no converter: nothing to apply
  EXPECT_EQ(none.resamplingQuality(), 0);
}

TEST(Resampling, ChannelMapsForMasksOfAFourChannelDevice) {
  AFResampling r;
  r.makeChannelMapForMask(0, 4);
  EXPECT_EQ(r.numberOfMappedChannels(), 4);
  EXPECT_EQ(mapOf(r, 4), (std::vector<int32_t>{0, 1, 2, 3}));
  EXPECT_EQ(inverseOf(r, 4), (std::vector<int32_t>{0, 1, 2, 3}));

  r.makeChannelMapForMask(0b0110, 4);
  EXPECT_EQ(r.numberOfMappedChannels(), 2);
  EXPECT_EQ(mapOf(r, 3), (std::vector<int32_t>{1, 2, -1}));
  EXPECT_EQ(inverseOf(r, 4), (std::vector<int32_t>{-1, 0, 1, -1}));

  // Channels 4 and 5 only, which the device lacks: the first two instead.
  r.makeChannelMapForMask(0b110000, 4);
  EXPECT_EQ(r.numberOfMappedChannels(), 2);
  EXPECT_EQ(mapOf(r, 2), (std::vector<int32_t>{0, 1}));
  EXPECT_EQ(inverseOf(r, 4), (std::vector<int32_t>{0, 1, -1, -1}));

  // Every channel selected: no end marker after the last entry.
  r.makeChannelMapForMask(0b1111, 4);
  EXPECT_EQ(r.numberOfMappedChannels(), 4);
  EXPECT_EQ(mapOf(r, 4), (std::vector<int32_t>{0, 1, 2, 3}));
  r.makeChannelMapForMask(0b1000, 4);
  EXPECT_EQ(mapOf(r, 2), (std::vector<int32_t>{3, -1}));
  EXPECT_EQ(inverseOf(r, 4), (std::vector<int32_t>{-1, -1, -1, 0}));
}

TEST(Resampling, NegativeMasksSelectEveryChannelFromBit31) {
  AFResampling r;
  // Bit 31 set: channels 31..63 of a 64-channel device, plus bit 0.
  r.makeChannelMapForMask(static_cast<int32_t>(0x80000001u), 64);
  EXPECT_EQ(r.numberOfMappedChannels(), 34);
  EXPECT_EQ(r.channelMap()[0], 0);
  EXPECT_EQ(r.channelMap()[1], 31);
  EXPECT_EQ(r.channelMap()[33], 63);
  EXPECT_EQ(r.inverseChannelMap()[63], 33);
  EXPECT_EQ(r.inverseChannelMap()[30], -1);

  // On a 4-channel device none of the channels from 31 up exists.
  r.makeChannelMapForMask(static_cast<int32_t>(0x80000000u), 4);
  // Fallback: the mask counts 33 channels, so all four are taken.
  EXPECT_EQ(r.numberOfMappedChannels(), 4);
  EXPECT_EQ(mapOf(r, 4), (std::vector<int32_t>{0, 1, 2, 3}));
}

TEST(Resampling, CountsOutsideTheMapsAreBounded) {
  AFResampling r;
  r.makeChannelMapForMask(0, 100);
  EXPECT_EQ(r.numberOfMappedChannels(), 64);
  r.makeChannelMapForMask(0, 0);
  EXPECT_EQ(r.numberOfMappedChannels(), 0);
  r.makeChannelMapForMask(3, -2);
  EXPECT_EQ(r.numberOfMappedChannels(), 0);
}

}  // namespace
