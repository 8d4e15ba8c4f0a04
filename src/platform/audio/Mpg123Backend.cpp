// MPEG audio (layers I to III) through libmpg123, kept quiet. libsndfile
// reads these files through libmpg123 too, but leaves the decoder's notes
// on ("Note: Illegal Audio-MPEG-Header …" for every stretch of junk it
// skips), and they would reach standard error without the file's name,
// also when the file reads well. Here what goes wrong reaches the caller as
// a status, as for the other containers.

#include <mpg123.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/audio/AudioFileBackend.h"

namespace platform::audio::file {

namespace {

// The first four bytes of an MPEG audio frame: the sync, then a version,
// layer, bit rate and sampling rate that are not reserved. (ADTS AAC shares
// the sync but has layer 0.)
bool isFrameHeader(const unsigned char* h) {
  if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return false;
  const int version = (h[1] >> 3) & 3, layer = (h[1] >> 1) & 3;
  const int bitRate = h[2] >> 4, rate = (h[2] >> 2) & 3;
  return version != 1 && layer != 0 && bitRate != 15 && rate != 3;
}

bool hasMpegExtension(const std::string& path) {
  const std::size_t dot = path.rfind('.');
  if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return false;
  std::string extension = path.substr(dot + 1);
  for (char& c : extension) c = char(std::tolower(static_cast<unsigned char>(c)));
  return extension == "mp1" || extension == "mp2" || extension == "mp3" || extension == "mpga";
}

class Mpg123Reader final : public Backend {
 public:
  ~Mpg123Reader() override {
    if (handle_) {
      mpg123_close(handle_);
      mpg123_delete(handle_);
    }
  }

  OSStatus open(const std::string& path, AudioStreamBasicDescription* stated) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { mpg123_init(); });
    int error = MPG123_OK;
    handle_ = mpg123_new(nullptr, &error);
    if (!handle_) return kAudio_MemFullError;
    // Quiet, gapless (the encoder's delay and padding left out, as the
    // stream's LAME header states them), 32-bit float at the stream's own
    // rate and channel count.
    mpg123_param(handle_, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_GAPLESS | MPG123_FORCE_FLOAT, 0.0);
    mpg123_param(handle_, MPG123_REMOVE_FLAGS, MPG123_AUTO_RESAMPLE, 0.0);
    // A seek decodes this many frames ahead of the target and drops them.
    // A layer III frame's data may begin up to 511 bytes back (the bit
    // reservoir), which at the lowest bit rates is seven frames, and its
    // first granule overlaps the frame before: the library's 4 leave a
    // sparsely coded stretch silent after a seek. Two more to spare.
    mpg123_param(handle_, MPG123_PREFRAMES, 10, 0.0);
    mpg123_format_none(handle_);
    const long* rates = nullptr;
    size_t count = 0;
    mpg123_rates(&rates, &count);
    for (size_t i = 0; i < count; ++i) mpg123_format(handle_, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_FLOAT_32);
    if (mpg123_open(handle_, path.c_str()) != MPG123_OK) return kAudioFileInvalidFileError;
    long rate = 0;
    int channels = 0, encoding = 0;
    if (mpg123_getformat(handle_, &rate, &channels, &encoding) != MPG123_OK || encoding != MPG123_ENC_FLOAT_32)
      return kAudioFileUnsupportedFileTypeError;
    if (const OSStatus status = checkStatedFormat(channels, double(rate), stated); status != noErr) return status;
    // A stream without a header frame stating its length has it only
    // estimated from its bit rate: the frames are counted instead.
    long accurate = 0;
    if (mpg123_getstate(handle_, MPG123_ACCURATE, &accurate, nullptr) != MPG123_OK || !accurate)
      mpg123_scan(handle_);
    const off_t length = mpg123_length(handle_);
    length_ = length > 0 ? int64_t(length) : 0;
    mpg123_frameinfo info{};
    const bool layer3 = mpg123_info(handle_, &info) != MPG123_OK || info.layer == 3;
    channels_ = channels;
    format_.mSampleRate = double(rate);
    format_.mFormatID = layer3 ? kAudioFormatMPEGLayer3 : kAudioFormatOtherCompressed;
    format_.mChannelsPerFrame = uint32_t(channels);
    return noErr;
  }

  OSStatus read(float* frames, uint32_t count, uint32_t* done) override {
    *done = 0;
    const size_t frameBytes = sizeof(float) * size_t(channels_);
    auto* to = reinterpret_cast<unsigned char*>(frames);
    size_t got = 0;
    while (*done < count && !ended_) {
      const int status = mpg123_read(handle_, to + size_t(*done) * frameBytes, size_t(count - *done) * frameBytes, &got);
      *done += uint32_t(got / frameBytes);
      if (status == MPG123_DONE) {
        ended_ = true;
      } else if (status == MPG123_NEW_FORMAT) {
        long rate = 0;
        int channels = 0, encoding = 0;
        // The stream changes its rate or channel count part way.
        if (mpg123_getformat(handle_, &rate, &channels, &encoding) != MPG123_OK || channels != channels_ ||
            double(rate) != format_.mSampleRate)
          return kAudioFileUnsupportedDataFormatError;
      } else if (status != MPG123_OK) {
        return *done > 0 ? noErr : kAudioFileInvalidFileError;
      } else if (got == 0) {
        break;  // nothing decoded and no end either: taken as the end
      }
    }
    position_ += *done;
    return noErr;
  }

  OSStatus write(const float*, uint32_t) override { return kAudioFileOperationNotSupportedError; }

  OSStatus seek(int64_t frame) override {
    if (frame < 0 || (length_ > 0 && frame > length_)) return kExtAudioFileError_InvalidSeek;
    if (mpg123_seek(handle_, off_t(frame), SEEK_SET) < 0) return kExtAudioFileError_InvalidSeek;
    ended_ = false;
    position_ = frame;
    return noErr;
  }

  int64_t tell() const override { return position_; }

 private:
  mpg123_handle* handle_ = nullptr;
  int channels_ = 0;
  int64_t position_ = 0;
  bool ended_ = false;
};

}  // namespace

MpegGuess guessMpegAudio(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return MpegGuess::None;
  unsigned char head[10] = {};
  bool mpeg = std::fread(head, 1, 4, file) == 4 && isFrameHeader(head);
  if (!mpeg && std::memcmp(head, "ID3", 3) == 0 && std::fread(head + 4, 1, 6, file) == 6) {
    // An ID3v2 tag (its size syncsafe, a footer when flagged) ahead of the
    // first frame; other streams (AAC, FLAC) may carry one too.
    long size = 10 + (long(head[6] & 0x7f) << 21 | long(head[7] & 0x7f) << 14 | long(head[8] & 0x7f) << 7 |
                      long(head[9] & 0x7f));
    if (head[5] & 0x10) size += 10;
    mpeg = std::fseek(file, size, SEEK_SET) == 0 && std::fread(head, 1, 4, file) == 4 && isFrameHeader(head);
  }
  std::fclose(file);
  return mpeg ? MpegGuess::ByContent : hasMpegExtension(path) ? MpegGuess::ByName : MpegGuess::None;
}

OSStatus openMpg123(const std::string& path, std::unique_ptr<Backend>& out, AudioStreamBasicDescription* stated) {
  auto reader = std::make_unique<Mpg123Reader>();
  const OSStatus status = reader->open(path, stated);
  if (status == noErr) out = std::move(reader);
  return status;
}

}  // namespace platform::audio::file
