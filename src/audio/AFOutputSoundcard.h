#pragma once
// The playback side of the sound cards. The card plays 32-bit float samples
// on the selected output device through a two-node graph: a varispeed unit
// (a rate converter whose playback rate may change every cycle) feeding the
// device's output unit. The graph pulls the card's render callback on the
// device's real-time I/O thread; the card answers every pull with blocks of
// exactly bufferLength() samples per channel from its delegate's
// outputNeededBySoundcard. A block that does not fit into the current pull
// is held in the card's local blocks and its rest opens the next pull. Each
// cycle the playback rate is set to 1 / (the device's rate scalar), so the
// delegate's samples are played at their nominal rate however the device's
// clock drifts.
//
// Units: blocks and pulls are samples (frames) per channel; rates in hertz;
// rate scalars are actual / nominal sample rate.
//
// Channel selection: the selection mask is channelMask(), or 255 when that
// is 0 (the first 8 device channels). Bit i, taken with the mask's sign
// extended above bit 31, selects device channel i. Selected channels are
// handed to the sample source in device order as buffers 0..k-1; the rest
// play silence. The mask is read when the card starts.
//
// Limits: at most kMaxChannels device channels, blocks of at most
// kMaxBufferLength samples.
//
// Threads
//   - The configuring thread (the main thread, or the platform's
//     notification thread when the base class follows a device change):
//     creation, setBufferLength, setupAudioUnitGraph, setupDeviceID,
//     setSamplingRatesForGraph, start, stop, changeSamplingRate, teardown.
//     Stream changes are serialised by a lock only configuring threads
//     take. Every allocation the render path needs is made here.
//   - The I/O thread (renderOutput and the delegate's
//     outputNeededBySoundcard, once per block): never allocates, never takes
//     a blocking lock, never logs and never waits. It alone writes the
//     render state while the card plays.
//
// The delegate's output method runs on the I/O thread; it must fill the
// buffers it is handed without blocking and must not call start, stop or
// the destructor.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "audio/AFSoundcard.h"
#include "platform/audio/AudioUnits.h"

class AFOutputSoundcard final : public AFSoundcard {
 public:
  static constexpr int32_t kMaxChannels = 64;
  static constexpr int32_t kMaxBufferLength = 8192;
  // The selection used when channelMask() is 0.
  static constexpr int32_t kDefaultChannelMask = 255;

  // Configuring thread. Stops playback, removes the default-device listener
  // and disposes the graph.
  ~AFOutputSoundcard() override;

  // ---------------------------------------------------------------- configuration
  // Any thread.
  bool isInput() const override { return false; }
  // Configuring thread. Stores length clamped into 1..kMaxBufferLength; a
  // playing card takes it from its next block.
  void setBufferLength(int32_t length) override;
  // Configuring thread, stream stopped. Builds the graph once (varispeed
  // node into the device output node, our render callback on the
  // varispeed's input), then binds the device; true when the graph exists.
  // A failed build disposes what was built and leaves no graph.
  bool setupAudioUnitGraph();
  // Configuring thread, stream stopped. Binds the selected device (else the
  // platform's default output) to the device unit, then sets the formats;
  // false at the first failing platform call.
  bool setupDeviceID();
  // Configuring thread, stream stopped. Client format at the device's
  // nominal rate on the device unit and the varispeed's output; at
  // resamplingRate() (when above 10 Hz) on the varispeed's input. Sizes the
  // local blocks for the client channels, connects and initialises the
  // graph. False at the first failing platform call (no device selected:
  // the rate read fails and nothing is set).
  bool setSamplingRatesForGraph();
  // Configuring thread (takes the short stream lock). The device unit's
  // kAudioOutputUnitProperty_IsRunning; false without a unit.
  bool isRunning() override;
  // Configuring thread. Starts playback: reuses the graph for the same
  // device, rebuilds it for another one; resets the block positions and
  // the playback rate to 1. True when playing (or already playing); false
  // when the graph cannot be built or the platform refuses to start.
  bool start() override;
  // Configuring thread, never from the delegate's output call. Stops and
  // resets both units; once it returns no render runs. Keeps the graph.
  void stop() override;
  // Configuring thread. Re-applies the formats, restarting a playing card.
  void changeSamplingRate() override;

  // ---------------------------------------------------------------- observation (any thread, never blocks)
  // The varispeed node; null unit before the graph is built.
  platform::audio::AudioUnit varispeedUnit() const { return varispeedUnit_.audioUnit; }
  // Samples of the last local block not yet played. I/O thread, or while no
  // render runs.
  int32_t heldSamples() const { return render_.bleftover; }

  // ---------------------------------------------------------------- I/O thread
  // The varispeed unit's render callback body: fills frames samples of
  // every buffer of bufferList completely, then sets the playback rate from
  // the device's rate scalar. Returns 0. Must not allocate, lock a blocking
  // mutex, log or wait.
  int32_t renderOutput(platform::audio::AudioUnitRenderActionFlags* flags,
                       const platform::audio::AudioTimeStamp* timeStamp, uint32_t bus, uint32_t frames,
                       platform::audio::AudioBufferList* bufferList) noexcept;

 private:
  friend class AFSoundcard;  // create<AFOutputSoundcard>() makes cards
  explicit AFOutputSoundcard(std::shared_ptr<AFList> list);

  // The render path's state; written by the I/O thread, and by the
  // configuring thread only while no render runs.
  struct Render {
    int32_t channels = 0;              // buffers in the current pull (at most kMaxChannels)
    std::array<float*, kMaxChannels> mdata{};
    int32_t coffset = 0;               // samples filled in the current pull
    int32_t cleftover = 0;             // samples still to fill
    std::array<float*, kMaxChannels> bdata{};  // local blocks, kMaxBufferLength each
    int32_t boffset = 0;               // read position in the local blocks
    int32_t bleftover = 0;             // samples of the local blocks not copied out yet
    int32_t blocks = 0;                // channels that have a local block
    int32_t mask = kDefaultChannelMask;  // selection, taken at start
  };

  static platform::audio::OSStatus renderCallback(void* card, platform::audio::AudioUnitRenderActionFlags* flags,
                                                  const platform::audio::AudioTimeStamp* timeStamp, uint32_t bus,
                                                  uint32_t frames, platform::audio::AudioBufferList* data);

  // Configuring thread.
  bool addNode(AudioUnitInfo& unit, const platform::audio::AudioComponentDescription& description);
  static void enableAudioUnit(platform::audio::AudioUnit unit, uint32_t element, uint32_t state);
  bool startStream();
  void stopStream();
  void disposeGraph();
  // Sizes the local blocks for channels (never shrinks); stream stopped.
  void allocateLocalBlocks(int32_t channels);

  // I/O thread.
  void needData() noexcept;
  void readIntoBufferList(int32_t length) noexcept;
  void readIntoLocalBuffer(int32_t length) noexcept;
  void copyLocalBufferToBufferlist() noexcept;
  // The k selected channels' pointers at offset into list; clears length
  // samples of every unselected channel among `from`. Returns k.
  int32_t selectChannels(float* const* from, int32_t offset, int32_t length, float** list) const noexcept;
  void fillDataBuffers(float** buffers, int32_t numberOfBuffers, int32_t samples) noexcept;
  static void zeroDataBuffers(float** buffers, int32_t numberOfBuffers, int32_t samples) noexcept;

  platform::audio::AUGraph graph_ = nullptr;
  AudioUnitInfo varispeedUnit_;
  Render render_;

  // The device the I/O thread asks for its clock's rate scalar.
  std::atomic<uint32_t> renderDevice_{0};

  // Local block storage: kMaxBufferLength floats per channel, one piece,
  // sized when the formats are set.
  std::vector<float> localStorage_;

  std::mutex streamLock_;  // serialises start/stop/teardown; never taken by the I/O thread
};
