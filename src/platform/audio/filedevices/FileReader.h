#pragma once
// One sound file read ahead of a device's I/O: a reader thread of its own
// reads the file (converting it to the device's rate) into a lock-free ring,
// and the device's I/O thread takes one cycle at a time out of it.
//
// Units: frames and rates in hertz; samples are 32-bit float, one plane per
// channel. Ring positions count frames since the reader was made.
//
// Threads
//   - take() runs on the device's I/O thread: it reads atomics and the ring,
//     and may wake the reader (a WakeSignal notify); it never touches the
//     file, allocates, locks or waits.
//   - The reader thread alone reads, seeks and converts the file.
//   - setRate, playOnce, loop and readyFor: any thread but the I/O thread;
//     they only hand a request to the reader and return.
//   The ring has one writer (the reader thread) and one reader (whoever
//   holds the device's I/O: its clock thread, or a stepping test); its
//   positions are an rt::RingPositions. To drop what it
//   read ahead (a new rate, back to the start) the reader briefly keeps
//   take() out through a configuration handshake; a cycle that meets it
//   gives silence.

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/audio/ExtAudioFile.h"
#include "platform/audio/UnitSupport.h"
#include "platform/audio/rt/SampleRing.h"
#include "platform/audio/rt/WakeSignal.h"

namespace platform::audio::files {

class FileReader {
 public:
  // Frames read ahead at most: 1.4 s at 48 kHz, 0.34 s at 192 kHz.
  static constexpr uint32_t kCapacity = 65536;

  // Takes the open file over (it is disposed with the reader) and starts
  // reading it from its start at rate; loop says what happens at its end.
  FileReader(ExtAudioFileRef file, uint32_t channels, double rate, bool loop);
  // Ends the reader thread and disposes of the file.
  ~FileReader();
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  // From now on the file is read converted to rate; what was read ahead at
  // the old rate is dropped, and the file goes on from where the I/O thread
  // had got to in it.
  void setRate(double rate);
  // Plays the file from its start to its end, then gives silence.
  void playOnce();
  // Plays the file over and over, from where it is (from its start when
  // it had ended).
  void loop();

  // The I/O thread: fills frames samples of each of the channels planes in
  // out. Frames the file has not delivered are silence: past the file's end
  // when it plays once, or where the reader fell behind (counted in
  // underrunFrames). Returns the frames of the file that it gave.
  uint32_t take(uint32_t frames, float* const* out) noexcept;

  // True when every request has been taken up and take(frames) would find
  // the frames read, or the file's end. Any thread; a stepping test waits
  // for it before each cycle.
  bool readyFor(uint32_t frames) const;
  // Frames given as silence because the reader had fallen behind.
  uint64_t underrunFrames() const { return underruns_.load(std::memory_order_relaxed); }
  uint32_t channels() const { return channels_; }

 private:
  static constexpr uint64_t kNoEnd = UINT64_MAX;

  void run();
  // The reader thread: takes up a waiting request; true when it did.
  void takeRequest();
  // The reader thread: reads until the ring is full, the file ended (when it
  // plays once) or a request is waiting.
  void fill();
  void markEnd();
  void seekToStart();
  // Goes to that time of the file; reading goes on from there.
  void seekTo(double seconds);
  // The time of the file at the I/O thread's position in the ring.
  double playbackTime() const;
  // Drops whatever was read ahead, and the end mark.
  void discardReadAhead();
  // Any thread: hands a request to the reader.
  void request();
  void wakeReader() noexcept;

  const uint32_t channels_;
  ExtAudioFileRef file_;
  double fileRate_ = 0;     // the file's own
  int64_t fileLength_ = 0;  // frames at the file's rate; 0 when unknown
  std::vector<float> ring_;  // channels_ planes of kCapacity frames
  AudioBufferList list_{};   // the reader's view of the ring for one read

  // Ring positions: the reader thread produces, the I/O thread consumes (and
  // the reader drops what is unread while it holds the handshake).
  rt::RingPositions positions_{kCapacity};
  ConfigHandshake handshake_;
  // Where the file ended while it plays once; kNoEnd while it plays on.
  std::atomic<uint64_t> end_{kNoEnd};
  std::atomic<uint64_t> underruns_{0};

  // Requests, in the order given: the latest rate and mode, and whether the
  // file goes back to its start.
  std::mutex requestLock_;
  double requestedRate_;
  bool requestedLoop_;
  bool requestedRewind_ = false;
  std::atomic<uint64_t> requests_{0};
  std::atomic<uint64_t> requestsDone_{0};

  // The reader thread's own state.
  double rate_ = 0;
  bool loop_ = true;
  bool atEnd_ = false;
  bool nothingSinceStart_ = true;  // no frame read since the last seek to the start
  // Where the ring meets the file: the frame written at an origin's position
  // is the file's at its time, and the frames after it follow on until the
  // next origin (the file was sought). The latest kOrigins are kept: the ring
  // may hold many passes of a short looping file.
  struct Origin {
    uint64_t position = 0;
    double time = 0;
  };
  static constexpr uint32_t kOrigins = 64;
  std::array<Origin, kOrigins> origins_{};
  uint64_t originCount_ = 0;
  void addOrigin(double time);

  std::atomic<bool> quit_{false};
  rt::WakeSignal wake_;
  std::thread thread_;
};

}  // namespace platform::audio::files
