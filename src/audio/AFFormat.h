#pragma once
// One stream format reduced to what the user chooses: channel count and bits
// per sample, together with the description it was made from.

#include <cstdint>

#include "platform/audio/AudioTypes.h"

class AFFormat {
 public:
  using AudioStreamBasicDescription = platform::audio::AudioStreamBasicDescription;

  // Copies the description and takes channels and bits from it.
  explicit AFFormat(const AudioStreamBasicDescription* description);
  static AFFormat formatForDescription(const AudioStreamBasicDescription* description) {
    return AFFormat(description);
  }

  // The stored copy; not updated when channels or bits are written.
  const AudioStreamBasicDescription* streamDescription() const { return &streamDescription_; }
  int32_t channels() const { return channels_; }
  void setChannels(int32_t channels) { channels_ = channels; }
  int32_t bits() const { return bits_; }
  void setBits(int32_t bits) { bits_ = bits; }

 private:
  AudioStreamBasicDescription streamDescription_{};
  int32_t channels_ = 0;
  int32_t bits_ = 0;
};
