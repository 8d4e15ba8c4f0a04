// AIFF, WAVE, CAF and the other files libsndfile reads.

#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/audio/AudioFileBackend.h"

namespace platform::audio::file {

namespace {

OSStatus statusOf(int sfError) {
  switch (sfError) {
    case SF_ERR_NO_ERROR:
      return noErr;
    case SF_ERR_UNRECOGNISED_FORMAT:
      return kAudioFileUnsupportedFileTypeError;
    case SF_ERR_MALFORMED_FILE:
      return kAudioFileInvalidFileError;
    case SF_ERR_UNSUPPORTED_ENCODING:
      return kAudioFileUnsupportedDataFormatError;
    default:
      return kAudioFileUnspecifiedError;
  }
}

// The encoding of a file read, as a stream description; the byte order is
// libsndfile's own answer for the raw data, not a guess from the container.
AudioStreamBasicDescription describe(SNDFILE* file, const SF_INFO& info) {
  AudioStreamBasicDescription f{};
  f.mSampleRate = info.samplerate;
  f.mChannelsPerFrame = uint32_t(info.channels);
  const int major = info.format & SF_FORMAT_TYPEMASK;
  const int sub = info.format & SF_FORMAT_SUBMASK;
  uint32_t bits = 0;
  AudioFormatFlags flags = 0;
  switch (sub) {
    case SF_FORMAT_PCM_S8: bits = 8; flags = kAudioFormatFlagIsSignedInteger; break;
    case SF_FORMAT_PCM_U8: bits = 8; break;
    case SF_FORMAT_PCM_16: bits = 16; flags = kAudioFormatFlagIsSignedInteger; break;
    case SF_FORMAT_PCM_24: bits = 24; flags = kAudioFormatFlagIsSignedInteger; break;
    case SF_FORMAT_PCM_32: bits = 32; flags = kAudioFormatFlagIsSignedInteger; break;
    case SF_FORMAT_FLOAT: bits = 32; flags = kAudioFormatFlagIsFloat; break;
    case SF_FORMAT_DOUBLE: bits = 64; flags = kAudioFormatFlagIsFloat; break;
    default: break;
  }
  if (bits && major != SF_FORMAT_FLAC) {
    f.mFormatID = kAudioFormatLinearPCM;
    if (bits > 8 && sf_command(file, SFC_RAW_DATA_NEEDS_ENDSWAP, nullptr, 0) == SF_TRUE)
      flags |= kAudioFormatFlagIsBigEndian;
    f.mFormatFlags = flags | kAudioFormatFlagIsPacked;
    f.mBitsPerChannel = bits;
    f.mBytesPerFrame = f.mBytesPerPacket = bits / 8 * f.mChannelsPerFrame;
    f.mFramesPerPacket = 1;
    return f;
  }
  if (sub == SF_FORMAT_ULAW || sub == SF_FORMAT_ALAW) {
    f.mFormatID = sub == SF_FORMAT_ULAW ? kAudioFormatULaw : kAudioFormatALaw;
    f.mBitsPerChannel = 8;
    f.mBytesPerFrame = f.mBytesPerPacket = f.mChannelsPerFrame;
    f.mFramesPerPacket = 1;
    return f;
  }
  if (major == SF_FORMAT_FLAC) f.mFormatID = kAudioFormatFLAC;
  else if (sub >= SF_FORMAT_ALAC_16 && sub <= SF_FORMAT_ALAC_32) f.mFormatID = kAudioFormatAppleLossless;
  else if (sub == SF_FORMAT_VORBIS) f.mFormatID = kAudioFormatVorbis;
  else if (sub == SF_FORMAT_OPUS) f.mFormatID = kAudioFormatOpus;
  else if (sub == SF_FORMAT_MPEG_LAYER_III) f.mFormatID = kAudioFormatMPEGLayer3;
  else f.mFormatID = kAudioFormatOtherCompressed;
  return f;
}

// A file read through libsndfile's virtual I/O. libsndfile then knows it by
// its bytes alone (it has no name to guess a format from), and may be shown
// a few of them replaced: the size of a CAF data chunk that states -1. A
// CAF's last chunk may, and then runs to the end of the file (an encoder
// that could not go back to write the size leaves it so); libsndfile (up to
// 1.2.0 at least) refuses such a file as malformed, so it is shown the size
// the chunk really has.
class PatchedFile {
 public:
  ~PatchedFile() {
    if (fd_ >= 0) ::close(fd_);
  }

  // The file at path as it is; null when it cannot be opened.
  static std::unique_ptr<PatchedFile> unchanged(const std::string& path) {
    auto file = std::unique_ptr<PatchedFile>(new PatchedFile(::open(path.c_str(), O_RDONLY | O_CLOEXEC)));
    if (file->fd_ < 0) return nullptr;
    const off_t end = ::lseek(file->fd_, 0, SEEK_END);
    if (end < 0) return nullptr;
    file->length_ = end;
    return file;
  }

  // The file at path when it is a CAF whose data chunk states -1, else null.
  static std::unique_ptr<PatchedFile> forOpenEndedCaf(const std::string& path) {
    std::unique_ptr<PatchedFile> file = unchanged(path);
    unsigned char head[12];
    if (!file || file->length_ < 8 || ::pread(file->fd_, head, 8, 0) != 8 || std::memcmp(head, "caff", 4) != 0)
      return nullptr;
    // File header (8 bytes), then chunks of type (4), size (8, big-endian) and contents.
    for (sf_count_t at = 8; at + 12 <= file->length_;) {
      if (::pread(file->fd_, head, 12, at) != 12) return nullptr;
      uint64_t size = 0;
      for (int i = 4; i < 12; ++i) size = size << 8 | head[i];
      const auto stated = static_cast<int64_t>(size);
      if (std::memcmp(head, "data", 4) == 0 && stated == -1) {
        const uint64_t actual = uint64_t(file->length_ - (at + 12));
        for (int i = 0; i < 8; ++i) file->patch_[i] = static_cast<unsigned char>(actual >> (8 * (7 - i)));
        file->patchAt_ = at + 4;
        file->patched_ = true;
        return file;
      }
      if (stated < 0 || stated > file->length_ - (at + 12)) return nullptr;
      at += 12 + stated;
    }
    return nullptr;
  }

  SNDFILE* open(SF_INFO* info) {
    static SF_VIRTUAL_IO io = {&PatchedFile::fileLength, &PatchedFile::seek, &PatchedFile::read, &PatchedFile::write,
                               &PatchedFile::tell};
    return sf_open_virtual(&io, SFM_READ, info, this);
  }

 private:
  explicit PatchedFile(int fd) : fd_(fd) {}
  static PatchedFile& of(void* user) { return *static_cast<PatchedFile*>(user); }
  static sf_count_t fileLength(void* user) { return of(user).length_; }
  static sf_count_t seek(sf_count_t offset, int whence, void* user) {
    PatchedFile& f = of(user);
    const sf_count_t base = whence == SEEK_CUR ? f.position_ : whence == SEEK_END ? f.length_ : 0;
    if (base + offset < 0) return -1;
    f.position_ = base + offset;
    return f.position_;
  }
  static sf_count_t read(void* to, sf_count_t count, void* user) {
    PatchedFile& f = of(user);
    const ssize_t got = ::pread(f.fd_, to, size_t(count), f.position_);
    if (got <= 0) return 0;
    // The replaced bytes that fall within what was read.
    auto* bytes = static_cast<unsigned char*>(to);
    if (f.patched_)
      for (sf_count_t i = std::max(f.patchAt_, f.position_); i < std::min(f.patchAt_ + 8, f.position_ + got); ++i)
        bytes[i - f.position_] = f.patch_[i - f.patchAt_];
    f.position_ += got;
    return got;
  }
  static sf_count_t write(const void*, sf_count_t, void*) { return 0; }
  static sf_count_t tell(void* user) { return of(user).position_; }

  int fd_ = -1;
  sf_count_t length_ = 0;
  sf_count_t position_ = 0;
  sf_count_t patchAt_ = 0;
  bool patched_ = false;  // patch_ replaces the 8 bytes at patchAt_
  unsigned char patch_[8] = {};
};

class SndfileBackend final : public Backend {
 public:
  SndfileBackend(SNDFILE* file, const SF_INFO& info, bool writing, std::unique_ptr<PatchedFile> source = nullptr)
      : source_(std::move(source)), file_(file), writing_(writing) {
    format_ = describe(file, info);
    length_ = writing ? 0 : std::max<sf_count_t>(info.frames, 0);
    clip_ = writing && !(format_.mFormatFlags & kAudioFormatFlagIsFloat);
  }
  ~SndfileBackend() override { sf_close(file_); }

  // Small reads (the cards' 512 frames) are served from a read-ahead of
  // kAheadFrames, so that the file is read in large pieces.
  OSStatus read(float* frames, uint32_t count, uint32_t* done) override {
    *done = 0;
    if (writing_) return kAudioFileOperationNotSupportedError;
    const size_t channels = format_.mChannelsPerFrame;
    while (*done < count) {
      if (aheadUsed_ == aheadFrames_) {
        if (count - *done >= kAheadFrames) {  // a large read goes straight through
          const sf_count_t got = sf_readf_float(file_, frames + size_t(*done) * channels, count - *done);
          if (got < 0) return kAudioFileInvalidFileError;
          *done += uint32_t(got);
          position_ += got;
          break;
        }
        ahead_.resize(size_t(kAheadFrames) * channels);
        const sf_count_t got = sf_readf_float(file_, ahead_.data(), kAheadFrames);
        if (got < 0) return kAudioFileInvalidFileError;
        aheadFrames_ = uint32_t(got);
        aheadUsed_ = 0;
        if (got == 0) break;
      }
      const uint32_t n = std::min(count - *done, aheadFrames_ - aheadUsed_);
      std::copy_n(ahead_.data() + size_t(aheadUsed_) * channels, size_t(n) * channels,
                  frames + size_t(*done) * channels);
      aheadUsed_ += n;
      *done += n;
      position_ += n;
    }
    return noErr;
  }

  OSStatus write(const float* frames, uint32_t count) override {
    if (!writing_) return kAudioFileOperationNotSupportedError;
    if (clip_) {
      // Integer samples are clipped here, not by libsndfile: its own clipping
      // (up to 1.2.0) rounds down, half a step of offset on every sample.
      const size_t n = size_t(count) * format_.mChannelsPerFrame;
      clipped_.resize(std::max(clipped_.size(), n));
      for (size_t i = 0; i < n; ++i) clipped_[i] = std::clamp(frames[i], -1.0f, 1.0f);
      frames = clipped_.data();
    }
    const sf_count_t put = sf_writef_float(file_, frames, count);
    if (put > 0) position_ += put;
    return put == sf_count_t(count) ? noErr : kAudioFileUnspecifiedError;
  }

  OSStatus seek(int64_t frame) override {
    if (writing_) return kAudioFileOperationNotSupportedError;
    if (sf_seek(file_, frame, SEEK_SET) < 0) return kExtAudioFileError_InvalidSeek;
    aheadFrames_ = aheadUsed_ = 0;
    position_ = frame;
    return noErr;
  }

  int64_t tell() const override { return position_; }

  OSStatus finish() override {
    if (writing_) sf_write_sync(file_);
    return statusOf(sf_error(file_));
  }

 private:
  std::unique_ptr<PatchedFile> source_;  // what file_ reads, when not the path itself; outlives it
  SNDFILE* file_;
  bool writing_;
  bool clip_ = false;  // integer samples: keep ±1.0 from wrapping round
  std::vector<float> clipped_;
  static constexpr uint32_t kAheadFrames = 8192;
  std::vector<float> ahead_;
  uint32_t aheadFrames_ = 0, aheadUsed_ = 0;  // read ahead, and of that handed out
  int64_t position_ = 0;  // the next frame a read hands out
};

// The libsndfile format for a stream description of linear PCM, or 0.
int sndfileFormat(AudioFileTypeID type, const AudioStreamBasicDescription& f) {
  int major = 0;
  switch (type) {
    case kAudioFileAIFFType: major = SF_FORMAT_AIFF; break;
    case kAudioFileWAVEType: major = SF_FORMAT_WAV; break;
    case kAudioFileCAFType: major = SF_FORMAT_CAF; break;
    default: return 0;
  }
  if (f.mFormatID != kAudioFormatLinearPCM || (f.mFormatFlags & kAudioFormatFlagIsNonInterleaved)) return 0;
  int sub = 0;
  if (f.mFormatFlags & kAudioFormatFlagIsFloat) {
    sub = f.mBitsPerChannel == 32 ? SF_FORMAT_FLOAT : f.mBitsPerChannel == 64 ? SF_FORMAT_DOUBLE : 0;
  } else {
    switch (f.mBitsPerChannel) {
      // WAVE keeps 8-bit samples unsigned; the others signed.
      case 8: sub = major == SF_FORMAT_WAV ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_S8; break;
      case 16: sub = SF_FORMAT_PCM_16; break;
      case 24: sub = SF_FORMAT_PCM_24; break;
      case 32: sub = SF_FORMAT_PCM_32; break;
      default: return 0;
    }
  }
  if (!sub) return 0;
  const int endian = f.mBitsPerChannel <= 8                            ? SF_ENDIAN_FILE
                     : (f.mFormatFlags & kAudioFormatFlagIsBigEndian) ? SF_ENDIAN_BIG
                                                                      : SF_ENDIAN_LITTLE;
  return major | sub | endian;
}

}  // namespace

OSStatus openSndfile(const std::string& path, std::unique_ptr<Backend>& out, AudioStreamBasicDescription* stated,
                     bool byContent) {
  SF_INFO info{};
  std::unique_ptr<PatchedFile> patched = PatchedFile::forOpenEndedCaf(path);
  if (!patched && byContent) patched = PatchedFile::unchanged(path);
  SNDFILE* file = patched ? patched->open(&info) : sf_open(path.c_str(), SFM_READ, &info);
  if (!file) {
    const OSStatus status = statusOf(sf_error(nullptr));
    return status ? status : kAudioFileUnspecifiedError;
  }
  if (const OSStatus status = checkStatedFormat(info.channels, info.samplerate, stated); status != noErr) {
    sf_close(file);
    return status;
  }
  out = std::make_unique<SndfileBackend>(file, info, false, std::move(patched));
  return noErr;
}

OSStatus createSndfile(const std::string& path, AudioFileTypeID type, const AudioStreamBasicDescription& f,
                       std::unique_ptr<Backend>& out) {
  SF_INFO info{};
  info.format = sndfileFormat(type, f);
  info.channels = int(f.mChannelsPerFrame);
  info.samplerate = int(std::lround(f.mSampleRate));
  if (!info.format) return kAudioFileUnsupportedDataFormatError;
  if (info.channels < 1 || info.channels > int(kAudioBufferListCapacity) || info.samplerate < 1 ||
      !sf_format_check(&info))
    return kAudioFileUnsupportedDataFormatError;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!file) return kAudioFilePermissionsError;
  out = std::make_unique<SndfileBackend>(file, info, true);
  return noErr;
}

void addSndfileExtensions(std::vector<std::string>& extensions) {
  int count = 0;
  sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &count, sizeof count);
  for (int i = 0; i < count; ++i) {
    SF_FORMAT_INFO info{};
    info.format = i;
    if (sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &info, sizeof info) != 0 || !info.extension) continue;
    // Header-less files cannot be opened without being told their format.
    if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_RAW) continue;
    extensions.emplace_back(info.extension);
    if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_AIFF) {
      extensions.emplace_back("aif");
      extensions.emplace_back("aifc");
    } else if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_OGG) {
      extensions.emplace_back("ogg");
      extensions.emplace_back("opus");
    } else if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG) {
      extensions.emplace_back("mp3");
      extensions.emplace_back("mp2");
    }
  }
}

}  // namespace platform::audio::file
