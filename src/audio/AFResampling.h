#pragma once
// Resampling settings and channel selection shared by the sound cards and the
// sound file: the wanted client rate, the converter quality, the converter in
// use, and a bit mask of wanted device (or file) channels with the two index
// maps derived from it. No audio work happens here; subclasses read the
// fields directly.
//
// Threads: needNewRateConverter is the one signal to the thread that uses the
// converter (set here by atomic exchange, cleared there). Everything else is
// written only while the owner is stopped or by the thread that configures it.

#include <atomic>
#include <cstdint>

#include "platform/audio/AudioConverter.h"

class AFResampling {
 public:
  static constexpr int32_t kMaxChannels = 64;
  // Converter quality by index 0..4: min, low, medium, high, max.
  static constexpr uint32_t kQualityTable[5] = {0, 32, 64, 96, 127};

  AFResampling() = default;
  virtual ~AFResampling() = default;
  AFResampling(const AFResampling&) = delete;
  AFResampling& operator=(const AFResampling&) = delete;

  // A rate below 10 Hz means no resampling and is stored as 0. A changed rate
  // asks for a new converter; an equal one changes nothing.
  virtual void setResamplingRate(float rate);
  float resamplingRate() const { return resamplingRate_; }

  // Applies quality index (clamped into 0..4) to the converter in use, if any.
  void setResamplingQualityIndex(int32_t index);
  // Subclasses that keep a quality override these.
  virtual int32_t resamplingQuality() const { return 0; }
  virtual void setResamplingQuality(int32_t /*index*/) {}

  // Stores the mask (bit j = channel j wanted, 0 = all); the maps are rebuilt
  // by makeChannelMapForMask (a sound file rebuilds them at once).
  virtual void setChannelMask(int32_t mask) { channelMask_ = mask; }
  int32_t channelMask() const { return channelMask_; }

  // Rebuilds channelMap, inverseChannelMap and numberOfMappedChannels for a
  // device or file with n channels. A mask that selects none of the channels
  // present falls back to the first min(n, bits set) channels.
  void makeChannelMapForMask(int32_t mask, int32_t n);

  int32_t numberOfMappedChannels() const { return numberOfMappedChannels_; }
  // Entry k: device channel that becomes client channel k (-1 ends a short map).
  const int32_t* channelMap() const { return channelMap_; }
  // Entry j: client channel fed by device channel j, or -1.
  const int32_t* inverseChannelMap() const { return inverseChannelMap_; }

  // Client samples are native little-endian floats.
  bool isBigEndian() const { return false; }

  bool needNewRateConverter() const { return needNewRateConverter_.load(std::memory_order_acquire); }

 protected:
  float resamplingRate_ = 0.0f;
  int32_t resamplingQuality_ = 0;
  platform::audio::AudioConverterRef rateConverter_ = nullptr;
  std::atomic<bool> needNewRateConverter_{false};
  int32_t channelMask_ = 0;
  int32_t numberOfMappedChannels_ = 0;
  int32_t channelMap_[kMaxChannels] = {};
  int32_t inverseChannelMap_[kMaxChannels] = {};
};
