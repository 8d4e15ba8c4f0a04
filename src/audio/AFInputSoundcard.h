#pragma once
// The capture side of the sound cards. The card opens the selected input
// device through the platform's device I/O unit, renders every device block
// straight into its ring (AFMemory) on the device's real-time I/O thread, and
// hands fixed-length blocks of 32-bit float samples, one buffer per selected
// channel, to its delegate's inputReceivedFromSoundcard on a consumer thread
// of its own. With a resampling rate above 100 Hz the consumer converts the
// samples to that rate before handing them on.
//
// Units: blocks are bufferLength() samples per channel, at most
// AFMemory::kOverhang (4096); rates are in hertz.
//
// Threads
//   - The configuring thread (the main thread, or the platform's
//     notification thread when the base class follows a device change):
//     creation, setBufferLength, start, stop, changeSamplingRate,
//     setResamplingQuality, teardown. Stream changes are serialised by a
//     lock that only configuring threads take, so two of them never
//     interleave a stop and a start.
//   - The I/O thread (processInput): renders, publishes the new samples by
//     advancing the ring's atomic producer position and wakes the consumer
//     with a wake signal. It never allocates, never takes a blocking lock,
//     never logs and never waits. A failed render is only recorded there;
//     the consumer notices it and queues the restart (log, stop, start) to
//     the main thread.
//   - The consumer thread (one per started stream, a joined std::thread):
//     waits for a wake-up, delivers every complete block, waits again. It
//     delivers without holding any lock. stop() marks the ring's end, wakes
//     it and joins it, so no consumer of an earlier stream is ever left
//     running beside a new one.
//
// The delegate's input method runs on the consumer thread. It must not call
// stop(), start() or the destructor, and must not wait for the thread that
// does (stop joins the consumer). The buffers it is handed point into the
// ring and stay intact until the producer reaches that ring place again.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "audio/AFMemory.h"
#include "audio/AFSoundcard.h"
#include "platform/audio/rt/WakeSignal.h"

class AFInputSoundcard final : public AFSoundcard {
 public:
  // The device's buffer-size range in frames; (0, 0) without a device.
  struct BufferLengthRange {
    double minimum = 0.0;
    double maximum = 0.0;
  };

  // Configuring thread, never the consumer thread. Stops the stream (joining
  // the consumer), removes the default-device listener, disposes the unit
  // and the converter. A restart queued to the main thread that has not run
  // yet finds the card gone and only logs the failure.
  ~AFInputSoundcard() override;

  // ---------------------------------------------------------------- configuration
  // Any thread.
  bool isInput() const override { return true; }
  // Configuring thread; reads the platform. The selected device's
  // kAudioDevicePropertyBufferFrameSizeRange; (0, 0) without a device or
  // when the read fails.
  BufferLengthRange bufferLengthRange() const;
  // Configuring thread; reads the platform. Stores length, clamped into the
  // device's range (a range of (0, 0) keeps it) and never above
  // AFMemory::kOverhang, the longest block the ring can hand out
  // contiguously. Reaches the device at the next start.
  void setBufferLength(int32_t length) override;
  // Configuring thread, stream stopped (start calls it). Builds a fresh
  // device unit on the selected (else the default input) device: input on,
  // output off, our input callback, client format at the device's nominal
  // rate, then setupBufferList. False at the first required step that fails,
  // leaving what was set so far.
  bool setupAudioUnit();
  // Configuring thread, stream stopped. Negotiates the frame size, channels
  // and channel map with the unit and lays the ring out. False at the first
  // failing platform call.
  bool setupBufferList();
  // Configuring thread, stream stopped. Initialises the unit and switches
  // its input on and its output off; statuses are not reported.
  void enable();
  // Configuring thread (takes the short stream lock). The unit's
  // kAudioOutputUnitProperty_IsRunning; false without a unit.
  bool isRunning() override;
  // Configuring thread; allocates and creates the consumer thread. Starts
  // the stream with a fresh unit and exactly one consumer; true when the
  // unit started or was running already. False when the delegate takes no
  // input blocks, the unit cannot be built or the platform refuses.
  bool start() override;
  // Configuring thread, never from the delegate's input call. Stops the
  // unit, marks the ring's end and joins the consumer (after its current
  // block, at once when it is waiting). Does not sleep.
  void stop() override;
  // Configuring thread. Sent when the device rate or the resampling rate
  // changed: a running card restarts, a stopped one asks for a new converter.
  void changeSamplingRate() override;
  // Configuring thread. Stores the quality index (0..4) and applies it to
  // the converter in use; the consumer may go on converting meanwhile.
  void setResamplingQuality(int32_t index) override;
  // Configuring thread. The stored index.
  int32_t resamplingQuality() const override { return resamplingQuality_; }

  // ---------------------------------------------------------------- observation (any thread, never blocks)
  // While started: the rate scalar of the latest device cycle; else 1.0.
  double rateScalar() override;
  // Input lost because the consumer fell more than a ring span behind: how
  // many device blocks overwrote unread samples, and how many samples.
  uint64_t overrunSamples() const { return memory_.overrunSamples(); }
  uint64_t overruns() const { return memory_.overruns(); }
  // True from the moment the consumer sees a failed render until the
  // restart it queued to the main thread has run.
  bool restartPending() const { return restartPending_.load(std::memory_order_acquire); }
  // The ring and scratch blocks, for reading positions and counts.
  const AFMemory& memory() const { return memory_; }

  // ---------------------------------------------------------------- I/O thread
  // The platform's audio I/O thread, once per device cycle, through the
  // unit's input callback. Must not allocate, lock a blocking mutex, log or
  // wait. Renders min(frames, 4096) frames into the ring at the producer
  // position, publishes them and wakes the consumer; returns 0. On a failed
  // render it records the status, wakes the consumer (which has the card
  // restarted on the main thread) and returns -1. The buffer list is not
  // used.
  int32_t processInput(platform::audio::AudioBufferList* bufferList,
                       platform::audio::AudioUnitRenderActionFlags* flags,
                       const platform::audio::AudioTimeStamp* timeStamp, uint32_t bus, uint32_t frames) noexcept;

  // ---------------------------------------------------------------- consumer thread
  // The name the consumer thread goes by (top, gdb, /proc).
  static constexpr const char* kConsumerThreadName = "specan-input";
  // The consumer thread's bodies (start picks one): wait for samples,
  // deliver, until the ring's end. They may take the short converter lock
  // and queue work to the main thread, never wait for the configuring
  // thread, and hold no lock while the delegate runs.
  void nonResamplingThread();
  void resamplingThread();
  // Consumer thread. Delivers every complete block of bufferLength samples
  // that is available, pointers into the ring; the first block after a
  // start is dropped.
  void consumeRingBuffer();
  // Consumer thread; allocates. (Re)builds the converter from the client
  // rate to the resampling rate (48 kHz below 100 Hz); logs and leaves none
  // when the platform refuses, and is tried again after a pause.
  void createRateConverter();
  // Consumer thread. Delivers the converted block (bufferLength samples per
  // channel); the first after a start or a rebuild is dropped.
  void sendResampledData();

 private:
  friend class AFSoundcard;  // create<AFInputSoundcard>() makes cards
  explicit AFInputSoundcard(std::shared_ptr<AFList> list);


  // Shared by the card and the restarts it queued to the main thread, so a
  // restart that runs after the card has gone finds it gone.
  struct RestartLink;

  static platform::audio::OSStatus inputCallback(void* card, platform::audio::AudioUnitRenderActionFlags* flags,
                                                 const platform::audio::AudioTimeStamp* timeStamp, uint32_t bus,
                                                 uint32_t frames, platform::audio::AudioBufferList* data);
  static platform::audio::OSStatus converterInput(platform::audio::AudioConverterRef converter,
                                                  uint32_t* ioNumberDataPackets,
                                                  platform::audio::AudioBufferList* ioData,
                                                  platform::audio::AudioStreamPacketDescription** descriptions,
                                                  void* card);
  static void restartTask(void* link);

  // The stream steps, with streamLock_ held.
  bool startStream();
  void stopStream();
  // Marks the ring's end, wakes the consumer and joins it, if there is one.
  void endConsumer();
  // Converter input: n samples per channel from the ring, waiting for the
  // producer; silence once the stream has ended (consumer thread).
  uint32_t supplyConverterInput(uint32_t requested, platform::audio::AudioBufferList* list);
  // Consumer: after a failed render, queues one restart to the main thread.
  void queueRestartAfterFailedRender();
  // Main thread, after the failure was logged: stops the card and starts a
  // card that was started again.
  void restartAfterFailedRender();

  AFMemory memory_;
  std::atomic<bool> started_{false};

  std::mutex streamLock_;  // serialises start/stop/teardown; never taken by the I/O or consumer thread
  std::thread consumer_;
  // The hand-over from the producer to the consumer: "samples were published
  // (or the stream ended) since the consumer last looked".
  platform::audio::rt::WakeSignal wake_;
  std::atomic<double> lastRateScalar_{1.0};
  std::atomic<bool> renderFailed_{false};
  std::atomic<int32_t> renderStatus_{0};
  std::atomic<bool> restartPending_{false};
  RestartLink* restartLink_;
  // Guards rateConverter_ while it is replaced (consumer) or its quality is
  // set (configuring thread); never held during a fill or a delivery.
  mutable std::mutex converterLock_;
};
