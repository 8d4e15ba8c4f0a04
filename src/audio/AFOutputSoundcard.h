#pragma once
// The playback side of the sound cards. The card plays 32-bit float samples
// on the selected output device through a two-node graph: a varispeed unit
// (a rate converter whose playback rate may change every cycle) feeding the
// device's output unit. The graph pulls the card's render callback on the
// device's real-time I/O thread; the card answers every pull with blocks of
// exactly bufferLength() samples per channel, taken either from its
// delegate's outputNeededBySoundcard (pull mode) or from a small ring that a
// producer fills with pushBuffers (push mode). A block that does not fit
// into the current pull is held in the card's local blocks and its rest
// opens the next pull. Each cycle the playback rate is set to
// trackedRateScalar / (the device's rate scalar), so pushed samples are
// played at the pace their producer's clock kept.
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
// kMaxBufferLength samples, kPushRingLength samples in the push ring.
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
//     render state and the push ring's consumer position.
//   - The pushing thread (pushBuffers; one thread at a time): it alone
//     writes the push ring's samples, its producer position and the tracked
//     rate scalar. Samples are published by a release store of the producer
//     position, read by the I/O thread with an acquire load. It may run
//     while the card plays; a push that races a start may be lost or played
//     out of order, so pushes to a restarted card follow its start.
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
  static constexpr int32_t kPushRingLength = 4096;
  // Samples a push-mode stream holds beyond its first block before it plays.
  static constexpr int32_t kPushPreRoll = 512;
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
  // device, rebuilds it for another one; resets the block and ring
  // positions, the playback rate to 1 and arms the push pre-roll. True when
  // playing (or already playing); false when the graph cannot be built or
  // the platform refuses to start.
  bool start() override;
  // Configuring thread, never from the delegate's output call. Stops and
  // resets both units; once it returns no render runs. Keeps the graph.
  void stop() override;
  // Configuring thread. Re-applies the formats, restarting a playing card.
  void changeSamplingRate() override;

  // ---------------------------------------------------------------- push mode (pushing thread)
  // Appends samples frames of numberOfBuffers channels to the push ring and
  // makes rateScalar the tracked rate scalar; from the first push after a
  // start the card plays from the ring: a block plays once the ring holds
  // it (the first after a start once it holds kPushPreRoll samples more, or
  // is full), else the block is silent and nothing is taken. Blocks longer
  // than the ring stay silent. samples <= 0 changes nothing.
  // Channels beyond kMaxChannels are ignored and counted; frames that do
  // not fit into the ring's free space (unread samples are never
  // overwritten) are dropped from the end of the push and counted.
  // Never blocks; allocates nothing.
  void pushBuffers(float** buffers, int32_t numberOfBuffers, int32_t samples, double rateScalar) override;

  // ---------------------------------------------------------------- observation (any thread, never blocks)
  // Frames refused by pushBuffers because the ring was full (per channel).
  uint64_t droppedPushSamples() const { return droppedPushSamples_.load(std::memory_order_relaxed); }
  // Channels refused by pushBuffers beyond kMaxChannels, summed over pushes.
  uint64_t droppedPushChannels() const { return droppedPushChannels_.load(std::memory_order_relaxed); }
  // The clock-rate scalar of the pushed samples' producer (1 until a push).
  double trackedRateScalar() const { return trackedRateScalar_.load(std::memory_order_relaxed); }
  // The varispeed node; null unit before the graph is built. Its timeStamp
  // (the latest render's) is written by the I/O thread.
  const AudioUnitInfo& varispeedUnitInfo() const { return varispeedUnit_; }
  platform::audio::AudioUnit varispeedUnit() const { return varispeedUnit_.audioUnit; }
  // Samples of the last local block not yet played. I/O thread, or while no
  // render runs.
  int32_t heldSamples() const { return render_.bleftover; }

  // ---------------------------------------------------------------- I/O thread
  // The varispeed unit's render callback body: fills frames samples of
  // every buffer of bufferList completely, then sets the playback rate from
  // the two rate scalars. Returns 0. Must not allocate, lock a blocking
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
  std::atomic<double> trackedRateScalar_{1.0};

  // The device the I/O thread asks for its clock's rate scalar.
  std::atomic<uint32_t> renderDevice_{0};

  // Local block storage: kMaxBufferLength floats per channel, one piece,
  // sized when the formats are set.
  std::vector<float> localStorage_;

  // The push ring: kPushRingLength floats per channel, each channel's block
  // allocated by its first push and kept until teardown. A block is made
  // before the channel count that covers it is published (release), so the
  // I/O thread reads only blocks that exist. Positions count samples since
  // start; the producer position is written by the pushing thread
  // (release), the consumer position by the I/O thread (release), and both
  // reset by start while no render runs.
  std::array<std::unique_ptr<float[]>, kMaxChannels> pdata_;
  std::atomic<int64_t> pproducer_{0};
  std::atomic<int64_t> pconsumer_{0};
  std::atomic<int32_t> pchannels_{0};
  std::atomic<uint64_t> droppedPushSamples_{0};
  std::atomic<uint64_t> droppedPushChannels_{0};

  std::mutex streamLock_;  // serialises start/stop/teardown; never taken by the I/O thread
};
