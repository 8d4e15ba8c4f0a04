#pragma once
// What the sound-file layer (ExtAudioFile.cpp) needs of a container library:
// one open file, in interleaved 32-bit float frames at the file's own rate
// and channel count. libsndfile serves AIFF, WAVE, CAF and the rest it reads
// (SndfileBackend.cpp) but MPEG audio, which libmpg123 serves
// (Mpg123Backend.cpp); FFmpeg serves MPEG-4 audio (LibavBackend.cpp, a
// module loaded on demand by LibavLoader.cpp).
// Used by one thread at a time, like the file object that owns it.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/audio/ExtAudioFile.h"

namespace platform::audio::file {

class Backend {
 public:
  virtual ~Backend() = default;
  Backend() = default;
  Backend(const Backend&) = delete;
  Backend& operator=(const Backend&) = delete;

  // The file's data format: 1 to kAudioBufferListCapacity channels, a rate
  // from 1 Hz to kAudioHighestSampleRate.
  const AudioStreamBasicDescription& format() const { return format_; }
  // Reading: the length the file states (0 when unknown).
  int64_t length() const { return length_; }

  // Reads up to count frames into frames (count × channels floats); *done is
  // the number read, 0 at the end.
  virtual OSStatus read(float* frames, uint32_t count, uint32_t* done) = 0;
  // Appends count frames.
  virtual OSStatus write(const float* frames, uint32_t count) = 0;
  // Reading: the next read starts at frame.
  virtual OSStatus seek(int64_t frame) = 0;
  // Where the next read starts, or how many frames were written.
  virtual int64_t tell() const = 0;
  // Writing: completes the file (encoder drained, header and index written).
  // Called once, before destruction; a backend destroyed without it leaves
  // what was written so far.
  virtual OSStatus finish() { return noErr; }

 protected:
  AudioStreamBasicDescription format_{};
  int64_t length_ = 0;
};

// Each returns noErr and the backend, or a status and null. Existence and
// permission of the path are checked by the caller. A file refused for its
// channel count or rate (checkStatedFormat) leaves them in *stated, when given.
// byContent: libsndfile tells the format by the file's bytes alone, not by
// its name's extension either.
OSStatus openSndfile(const std::string& path, std::unique_ptr<Backend>& out,
                     AudioStreamBasicDescription* stated = nullptr, bool byContent = false);
OSStatus createSndfile(const std::string& path, AudioFileTypeID type, const AudioStreamBasicDescription& format,
                       std::unique_ptr<Backend>& out);
// FFmpeg's: its module is loaded on the first call (LibavLoader.cpp);
// without it, kAudioFileUnsupportedFileTypeError.
OSStatus openLibav(const std::string& path, std::unique_ptr<Backend>& out,
                   AudioStreamBasicDescription* stated = nullptr);
OSStatus openMpg123(const std::string& path, std::unique_ptr<Backend>& out,
                    AudioStreamBasicDescription* stated = nullptr);

// Whether a file is MPEG audio: by its first frame's header (after an ID3v2
// tag, if any), or only by its name's extension (.mp1, .mp2, .mp3, .mpga).
enum class MpegGuess { None, ByName, ByContent };
MpegGuess guessMpegAudio(const std::string& path);
OSStatus createLibav(const std::string& path, AudioFileTypeID type, const AudioStreamBasicDescription& format,
                     std::unique_ptr<Backend>& out);
// Whether FFmpeg's module is loaded (loading it if it is not yet).
bool libavLoaded();

// Whether a file stating channels and rate can be read: noErr,
// kAudioFileUnsupportedChannelCountError or kAudioFileUnsupportedSampleRateError
// (no channels at all: kAudioFileUnsupportedDataFormatError); *stated, when
// given, gets the two values.
OSStatus checkStatedFormat(int64_t channels, double rate, AudioStreamBasicDescription* stated);

// Extensions of what libsndfile reads.
void addSndfileExtensions(std::vector<std::string>& extensions);

}  // namespace platform::audio::file
