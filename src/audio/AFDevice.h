#pragma once
// One audio device as seen in one direction, input or output: its identity
// (name, a unique name for telling equal names apart, the location field of
// its identifier), its physical and stream formats, the distinct formats and
// the sampling rates it offers, and its data sources as a ready-made menu.
//
// A device holds no stream. Every property it reports or changes is read
// from or written to the audio object model at the moment of the call; a
// device the platform has removed keeps its object and its calls then fail
// (false results, empty lists, unchanged values).
//
// Threads: devices are shared between the main thread and the platform's
// notification thread (always through std::shared_ptr, so a device stays
// alive while anyone uses it). Identity, formats and the source menu are
// fixed at creation; the formats last read and the rate cache are guarded by
// a lock of the device's own that is never held across a platform call.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "audio/AFFormat.h"
#include "platform/audio/AudioTypes.h"
#include "ui/Menu.h"

class AFDevice {
 public:
  using AudioObjectID = platform::audio::AudioObjectID;
  using AudioStreamBasicDescription = platform::audio::AudioStreamBasicDescription;

  // The only rates ever offered, ascending.
  static constexpr float candidateSamplingRates[13] = {6400,  8000,  11025, 12000, 16000, 22050, 24000,
                                                       32000, 44100, 48000, 72000, 96000, 192000};

  // Reads the device's identity, source menu and formats in one direction.
  // A device whose physical format cannot be read in that direction has no
  // name and no unique name; lists leave such devices out.
  AFDevice(AudioObjectID deviceID, bool isInput);
  AFDevice(const AFDevice&) = delete;
  AFDevice& operator=(const AFDevice&) = delete;

  const std::optional<std::string>& name() const { return name_; }
  // name + " (" + locationID + ")"
  const std::optional<std::string>& uniqueName() const { return uniqueName_; }
  const std::optional<std::string>& locationID() const { return locationID_; }
  AudioObjectID deviceID() const { return deviceID_; }
  bool isInput() const { return scope_ == platform::audio::kAudioDevicePropertyScopeInput; }
  uint32_t scope() const { return scope_; }

  // Read the physical or stream format now; true on success (the stored copy
  // is kept on failure).
  bool getPhysicalFormatForDevice();
  bool getVirtualFormatForStream();
  // The format after a fresh read, whether or not the read succeeded.
  AudioStreamBasicDescription physicalFormat();
  AudioStreamBasicDescription streamFormat();
  // The current physical format as an AFFormat.
  AFFormat format();

  // One entry per distinct (channels, bits) pair offered, in platform order.
  const std::vector<AFFormat>& formats() const { return formats_; }
  // Index of the first entry with these channels and bits, or -1.
  int32_t indexOfFormatWithChannels(int32_t channels, int32_t bits) const;

  // The candidate rates the device offers for this format, ascending. The
  // result for the last format asked is cached; a failed read gives an empty
  // list and leaves the cache alone.
  std::vector<float> samplingRatesForFormat(const AFFormat& format);
  // The same for the current physical format.
  std::vector<float> samplingRates();
  // The physical format's rate after a fresh read.
  float samplingRate();
  // Writes the physical format with rate r; true on success.
  bool selectSamplingRate(float rate);
  // Writes the offered format with format's channels and bits, keeping the
  // device's own rate when it is offered (within 1 Hz), else the highest
  // offered rate. True on success.
  bool selectFormat(const AFFormat& format);

  // The data sources: one item per source (title = name, tag = source ID),
  // or the single item "Default" with tag 0. Built when the device is made.
  std::shared_ptr<ui::Menu> sourceMenu() const;
  // Title of the current source, or "" (single source, failed read).
  std::string source();
  // Switches to the source with exactly this title; false when the device
  // has a single source, no such title, or refuses.
  bool selectSource(const std::string& title);

  // Rebuilding steps of creation (also usable to rebuild afterwards).
  void updateSourceMenu();
  void createFormats();

 private:
  platform::audio::AudioObjectPropertyAddress address(uint32_t selector) const {
    return {selector, scope_, platform::audio::kAudioObjectPropertyElementMain};
  }
  std::optional<std::string> readString(uint32_t selector) const;
  bool readRangedDescriptions(std::vector<platform::audio::AudioStreamRangedDescription>& out) const;

  std::optional<std::string> name_;
  std::optional<std::string> uniqueName_;
  std::optional<std::string> locationID_;
  AudioObjectID deviceID_ = 0;
  std::shared_ptr<ui::Menu> sourceMenu_;
  uint32_t scope_ = 0;
  std::vector<AFFormat> formats_;

  mutable std::mutex lock_;  // guards the fields below
  AudioStreamBasicDescription streamFormat_{};
  AudioStreamBasicDescription physicalFormat_{};
  std::vector<float> samplingRateCache_;
  int32_t samplingRateCacheKey_ = 0;
};

// The location field of a device identifier: after the third colon, up to the
// fourth (the whole identifier when it has fewer than three).
std::string locationFieldOfIdentifier(const std::string& identifier);
