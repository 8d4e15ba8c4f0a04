#pragma once
// The two kinds of unit this layer offers. Callers see them only as
// AudioUnitInstance (AudioUnits.h); the graph and the components make them.

#include <atomic>
#include <memory>
#include <vector>

#include "platform/audio/AudioUnits.h"
#include "platform/audio/Provider.h"
#include "platform/audio/UnitSupport.h"

namespace platform::audio {

// Frames a unit serves per render at least; the device's buffer-size maximum
// raises it.
constexpr uint32_t kUnitMaxFrames = 4096;

// The device I/O unit: element 1 = device input, element 0 = device output.
class DeviceIOUnit final : public AudioUnitInstance, private IoClient {
 public:
  DeviceIOUnit(const AudioComponentDescription& description, std::shared_ptr<Provider> provider);
  ~DeviceIOUnit() override;

  OSStatus initialize() override;
  OSStatus uninitialize() override;
  OSStatus reset(AudioUnitScope scope, AudioUnitElement element) override;
  OSStatus setStreamFormat(AudioUnitScope scope, AudioUnitElement element,
                           const AudioStreamBasicDescription& format) override;
  OSStatus getStreamFormat(AudioUnitScope scope, AudioUnitElement element,
                           AudioStreamBasicDescription& format) const override;
  OSStatus setRenderCallback(AudioUnitScope scope, AudioUnitElement element,
                             const AURenderCallbackStruct& callback) override;
  OSStatus render(AudioUnitRenderActionFlags* flags, const AudioTimeStamp* time, uint32_t bus, uint32_t frames,
                  AudioBufferList* data) noexcept override;
  OSStatus enableIO(AudioUnitScope scope, AudioUnitElement element, uint32_t enable) override;
  OSStatus setCurrentDevice(AudioUnitScope scope, AudioUnitElement element, AudioObjectID device) override;
  OSStatus getCurrentDevice(AudioUnitScope scope, AudioUnitElement element, AudioObjectID& device) const override;
  OSStatus setInputCallback(AudioUnitScope scope, AudioUnitElement element,
                            const AURenderCallbackStruct& callback) override;
  OSStatus setBufferFrameSize(AudioUnitScope scope, AudioUnitElement element, uint32_t frames) override;
  OSStatus getBufferFrameSize(AudioUnitScope scope, AudioUnitElement element, uint32_t& frames) const override;
  OSStatus setChannelMap(AudioUnitScope scope, AudioUnitElement element, const int32_t* map,
                         uint32_t count) override;
  OSStatus getChannelMap(AudioUnitScope scope, AudioUnitElement element, int32_t* map,
                         uint32_t& count) const override;
  OSStatus getIsRunning(AudioUnitScope scope, AudioUnitElement element, uint32_t& running) const override;
  OSStatus start() override;
  OSStatus stop() override;

 protected:
  OSStatus connectInput(AudioUnitElement element, AudioUnitInstance* source, uint32_t bus) override;

 private:
  void ioCycle(AudioObjectID device, const IoCycle& cycle) noexcept override;
  AudioObjectID resolvedDevice() const;
  bool runningDeviceExists() const;
  void settleIfDeviceGone();
  uint32_t deviceChannels(AudioObjectPropertyScope scope) const;
  double deviceRate() const;
  void refreshClientFormats();
  OSStatus prepare();  // sizes buffers for the current formats (configuring thread)

  std::shared_ptr<Provider> provider_;
  ConfigHandshake handshake_;
  // Configuration: written under handshake_ Scope, read by the I/O thread.
  AudioObjectID device_ = 0;
  AudioObjectID runningDevice_ = 0;
  bool inputEnabled_ = false;
  bool outputEnabled_ = true;
  AudioStreamBasicDescription inputClient_{};   // output scope, element 1
  AudioStreamBasicDescription outputClient_{};  // input scope, element 0
  AURenderCallbackStruct inputCallback_{};
  AURenderCallbackStruct renderCallback_{};
  AudioUnitInstance* source_ = nullptr;
  uint32_t sourceBus_ = 0;
  int32_t channelMap_[kAudioBufferListCapacity];
  uint32_t channelMapCount_ = 0;  // 0: identity
  uint32_t maxFrames_ = kUnitMaxFrames;
  std::vector<float> scratch_;    // client buffers the caller did not provide
  AudioBufferList scratchList_{};
  bool initialized_ = false;
  std::atomic<bool> running_{false};
  std::atomic<bool> ioInput_{false}, ioOutput_{false};
  // Per cycle (I/O thread only)
  const AudioBufferList* cycleInput_ = nullptr;
  uint32_t cycleFrames_ = 0;
};

// The varispeed unit: pulls its render callback at the input rate and plays
// it at the output rate, faster or slower by the playback rate.
class VarispeedUnit final : public AudioUnitInstance {
 public:
  explicit VarispeedUnit(const AudioComponentDescription& description);
  ~VarispeedUnit() override;

  OSStatus initialize() override;
  OSStatus uninitialize() override;
  OSStatus reset(AudioUnitScope scope, AudioUnitElement element) override;
  OSStatus setStreamFormat(AudioUnitScope scope, AudioUnitElement element,
                           const AudioStreamBasicDescription& format) override;
  OSStatus getStreamFormat(AudioUnitScope scope, AudioUnitElement element,
                           AudioStreamBasicDescription& format) const override;
  OSStatus setRenderCallback(AudioUnitScope scope, AudioUnitElement element,
                             const AURenderCallbackStruct& callback) override;
  OSStatus render(AudioUnitRenderActionFlags* flags, const AudioTimeStamp* time, uint32_t bus, uint32_t frames,
                  AudioBufferList* data) noexcept override;
  OSStatus setParameter(AudioUnitParameterID id, AudioUnitScope scope, AudioUnitElement element,
                        AudioUnitParameterValue value, uint32_t offset) noexcept override;
  OSStatus getParameter(AudioUnitParameterID id, AudioUnitScope scope, AudioUnitElement element,
                        AudioUnitParameterValue& value) const noexcept override;

  static constexpr float kMinRate = 0.25f, kMaxRate = 4.0f;

 protected:
  OSStatus connectInput(AudioUnitElement element, AudioUnitInstance* source, uint32_t bus) override;

 private:
  OSStatus build();  // (re)creates the resampler and buffers; configuring thread, under the handshake
  void release();
  double ratioFor(float rate) const { return inFormat_.mSampleRate * double(rate) / outFormat_.mSampleRate; }
  OSStatus pull(const AudioTimeStamp* time, uint32_t frames) noexcept;

  ConfigHandshake handshake_;
  AudioStreamBasicDescription inFormat_;
  AudioStreamBasicDescription outFormat_;
  AURenderCallbackStruct callback_{};
  AudioUnitInstance* source_ = nullptr;
  uint32_t sourceBus_ = 0;
  std::atomic<float> playbackRate_{1.0f};
  bool initialized_ = false;
  SoxrHandle resampler_ = nullptr;
  unsigned channels_ = 0;
  double maxRatio_ = 4;
  uint32_t maxPull_ = 0;
  // Render state (real-time thread)
  std::vector<float> input_;  // channels_ × maxPull_
  std::vector<float> dump_;   // output of channels the caller has no buffer for
  AudioBufferList pullList_{};
  const float* pulled_[kAudioBufferListCapacity] = {};
  uint32_t pending_ = 0, used_ = 0;  // input frames pulled and not yet consumed
  double appliedRatio_ = 1;
  double inputSampleTime_ = 0;
};

}  // namespace platform::audio
