#include "platform/audio/filedevices/FileReader.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

namespace platform::audio::files {

namespace {

constexpr uint32_t kReadFrames = 4096;  // frames a file read asks for at most
// The reader reads only when at least this much room is free, so that it
// reads in sizeable pieces; the I/O thread wakes it once half the ring is left.
constexpr uint32_t kMinRoom = 1024;
// How long an idle reader sleeps when nothing wakes it.
constexpr auto kIdleWait = std::chrono::milliseconds(50);

}  // namespace

FileReader::FileReader(ExtAudioFileRef file, uint32_t channels, double rate, bool loop)
    : channels_(channels),
      file_(file),
      ring_(size_t(channels) * kCapacity, 0.0f),
      requestedRate_(rate),
      requestedLoop_(loop) {
  AudioStreamBasicDescription format{};
  uint32_t size = sizeof format;
  if (ExtAudioFileGetProperty(file_, kExtAudioFileProperty_FileDataFormat, &size, &format) == noErr)
    fileRate_ = format.mSampleRate;
  size = sizeof fileLength_;
  if (ExtAudioFileGetProperty(file_, kExtAudioFileProperty_FileLengthFrames, &size, &fileLength_) != noErr)
    fileLength_ = 0;
  // The first request sets the client format: the reader converts from the
  // start when the device runs at another rate than the file.
  requests_.store(1, std::memory_order_release);
  thread_ = std::thread([this] { run(); });
}

FileReader::~FileReader() {
  quit_.store(true, std::memory_order_release);
  wake_.notify();
  thread_.join();
  if (file_) ExtAudioFileDispose(file_);
}

// ---------------------------------------------------------------- requests

void FileReader::request() {
  requests_.fetch_add(1, std::memory_order_acq_rel);
  wakeReader();
}

void FileReader::setRate(double rate) {
  {
    std::lock_guard lock(requestLock_);
    requestedRate_ = rate;
  }
  request();
}

void FileReader::playOnce() {
  {
    std::lock_guard lock(requestLock_);
    requestedLoop_ = false;
    requestedRewind_ = true;
  }
  request();
}

void FileReader::loop() {
  {
    std::lock_guard lock(requestLock_);
    requestedLoop_ = true;
  }
  request();
}

void FileReader::wakeReader() noexcept { wake_.notify(); }

// ---------------------------------------------------------------- the reader thread

void FileReader::run() {
  while (!quit_.load(std::memory_order_acquire)) {
    takeRequest();
    fill();
    if (requests_.load(std::memory_order_acquire) != requestsDone_.load(std::memory_order_relaxed)) continue;
    (void)wake_.waitFor(kIdleWait);
  }
}

void FileReader::takeRequest() {
  const uint64_t serial = requests_.load(std::memory_order_acquire);
  if (serial == requestsDone_.load(std::memory_order_relaxed)) return;
  double rate;
  bool loop, rewind;
  {
    std::lock_guard lock(requestLock_);
    rate = requestedRate_;
    loop = requestedLoop_;
    rewind = requestedRewind_;
    requestedRewind_ = false;
  }
  bool discard = false;
  if (rate != rate_) {
    const double time = playbackTime();
    const AudioStreamBasicDescription client = floatFormat(rate, channels_);
    if (ExtAudioFileSetProperty(file_, kExtAudioFileProperty_ClientDataFormat, sizeof client, &client) == noErr)
      rate_ = rate;
    if (!rewind) seekTo(time);
    discard = true;
  }
  if (rewind) {
    seekToStart();
    discard = true;
  }
  loop_ = loop;
  if (discard) {
    discardReadAhead();
  } else if (loop_) {
    // Looping again after the end of a single play: the reader goes back to
    // the start (in fill) and the frames it reads follow the end at once.
    end_.store(kNoEnd, std::memory_order_release);
  }
  requestsDone_.store(serial, std::memory_order_release);
}

void FileReader::seekToStart() {
  (void)ExtAudioFileSeek(file_, 0);
  atEnd_ = false;
  nothingSinceStart_ = true;
  addOrigin(0);
}

void FileReader::addOrigin(double time) {
  origins_[originCount_++ % kOrigins] = {positions_.written(), time};
}

void FileReader::seekTo(double seconds) {
  int64_t frame = std::max<int64_t>(0, std::llround(seconds * fileRate_));
  if (fileLength_ > 0) frame = std::min(frame, fileLength_);
  if (frame == 0 || ExtAudioFileSeek(file_, frame) != noErr) {
    seekToStart();
    return;
  }
  atEnd_ = false;
  nothingSinceStart_ = false;  // the file gave frames before this point
  addOrigin(double(frame) / fileRate_);
}

double FileReader::playbackTime() const {
  if (!(rate_ > 0) || originCount_ == 0) return 0;
  const uint64_t r = positions_.consumed();
  const uint64_t kept = std::min<uint64_t>(originCount_, kOrigins);
  for (uint64_t i = 1; i <= kept; ++i) {
    const Origin& o = origins_[(originCount_ - i) % kOrigins];
    if (o.position <= r) return o.time + double(r - o.position) / rate_;
  }
  return origins_[(originCount_ - kept) % kOrigins].time;  // older than any kept: about there
}

void FileReader::discardReadAhead() {
  ConfigHandshake::Scope scope(handshake_);
  const uint64_t w = positions_.discardUnread();
  end_.store(atEnd_ && !loop_ ? w : kNoEnd, std::memory_order_release);
}

void FileReader::markEnd() {
  if (end_.load(std::memory_order_relaxed) == kNoEnd)
    end_.store(positions_.written(), std::memory_order_release);
}

void FileReader::fill() {
  for (;;) {
    if (quit_.load(std::memory_order_acquire) ||
        requests_.load(std::memory_order_acquire) != requestsDone_.load(std::memory_order_relaxed))
      return;
    if (atEnd_) {
      // A file that gives nothing from its start (empty, or unreadable)
      // ends even when it loops, rather than being sought over and over.
      if (!loop_ || nothingSinceStart_) {
        markEnd();
        return;
      }
      seekToStart();
    }
    uint64_t w;
    const uint64_t room = positions_.writeIndex(w);
    if (room < kMinRoom) return;
    const uint32_t at = uint32_t(w % kCapacity);
    const uint32_t n = uint32_t(std::min<uint64_t>({room, uint64_t(kCapacity - at), uint64_t(kReadFrames)}));
    list_.mNumberBuffers = channels_;
    for (uint32_t ch = 0; ch < channels_; ++ch)
      list_.mBuffers[ch] = {1, n * 4, ring_.data() + size_t(ch) * kCapacity + at};
    uint32_t got = n;
    if (ExtAudioFileRead(file_, &got, &list_) != noErr) got = 0;
    if (got > 0) {
      nothingSinceStart_ = false;
      positions_.writeUpdate(w + got);
    }
    if (got < n) atEnd_ = true;
  }
}

bool FileReader::readyFor(uint32_t frames) const {
  if (requests_.load(std::memory_order_acquire) != requestsDone_.load(std::memory_order_acquire)) return false;
  return end_.load(std::memory_order_acquire) != kNoEnd || positions_.filled() >= frames;
}

// ---------------------------------------------------------------- the I/O thread

uint32_t FileReader::take(uint32_t frames, float* const* out) noexcept {
  if (!handshake_.enter()) {
    // The reader is dropping what it read ahead: this cycle is silent.
    for (uint32_t ch = 0; ch < channels_; ++ch) std::fill_n(out[ch], frames, 0.0f);
    return 0;
  }
  uint64_t r;
  const uint64_t filled = positions_.readIndex(r);
  const uint64_t e = end_.load(std::memory_order_acquire);
  const uint64_t limit = std::min(r + filled, e);
  const uint32_t n = limit > r ? uint32_t(std::min<uint64_t>(limit - r, frames)) : 0;
  for (uint32_t ch = 0; ch < channels_; ++ch) {
    rt::copyOutOfRing(ring_.data() + size_t(ch) * kCapacity, kCapacity, r, out[ch], n);
    std::fill(out[ch] + n, out[ch] + frames, 0.0f);
  }
  if (n < frames && e == kNoEnd) underruns_.fetch_add(frames - n, std::memory_order_relaxed);
  positions_.readUpdate(r + n);
  handshake_.leave();
  if (filled - n < kCapacity / 2) wakeReader();
  return n;
}

}  // namespace platform::audio::files
