// The sound-file object: a container backend (AudioFileBackend.h) seen in the
// client data format, with a rate converter between the two when their rates
// differ.

#include "platform/audio/ExtAudioFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/audio/AudioFileBackend.h"
#include "platform/audio/UnitSupport.h"

namespace platform::audio {

namespace {

constexpr uint32_t kChunk = 4096;  // frames moved through the scratch buffers at a time
// Returned by the write side's input procedure when the caller's frames are
// all handed over: the converter stops there and keeps its history.
constexpr OSStatus kInputPaused = OSStatus(fourCC("wait"));

// Whether path is a regular file that can be opened for reading, as a
// status. The open does not wait: a named pipe without a writer is refused
// at once, as folders, devices and sockets are.
OSStatus checkReadable(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? kAudioFileFileNotFoundError : kAudioFilePermissionsError;
  struct stat info {};
  const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  ::close(fd);
  return regular ? noErr : kAudioFileInvalidFileError;
}

}  // namespace

namespace {

// The backend for the file at path, a regular file that can be read: the
// first of libsndfile and FFmpeg that opens it, or libmpg123 for MPEG audio.
// *stated gets the rate and channel count of a file whose header was read
// (all 0 otherwise).
OSStatus openBackend(const char* path, std::unique_ptr<file::Backend>& backend, AudioStreamBasicDescription* stated) {
  *stated = {};
  // MPEG audio never reaches libsndfile, whose decoder would talk on
  // standard error. A file that only its name calls MPEG, and that is not,
  // is told by its bytes alone; one whose first frame libmpg123 refuses is
  // damaged.
  const file::MpegGuess mpeg = file::guessMpegAudio(path);
  if (mpeg != file::MpegGuess::None) {
    const OSStatus status = file::openMpg123(path, backend, stated);
    if (status == noErr || mpeg == file::MpegGuess::ByContent)
      return status == kAudioFileUnsupportedFileTypeError ? kAudioFileInvalidFileError : status;
    *stated = {};
  }
  OSStatus status = file::openSndfile(path, backend, stated, mpeg == file::MpegGuess::ByName);
  if (status != noErr) {
    // Not one of libsndfile's: perhaps MPEG-4. A file both refuse keeps the
    // more telling of the two reasons.
    AudioStreamBasicDescription other{};
    const OSStatus libav = file::openLibav(path, backend, &other);
    if (libav == noErr || status == kAudioFileUnsupportedFileTypeError) {
      status = libav;
      *stated = other;
    }
  }
  return status;
}

}  // namespace

class ExtAudioFileInstance {
 public:
  ExtAudioFileInstance(std::unique_ptr<file::Backend> backend, bool writing)
      : backend_(std::move(backend)), writing_(writing) {
    const uint32_t channels = backend_->format().mChannelsPerFrame;
    client_ = floatFormat(backend_->format().mSampleRate, channels);
    interleaved_.resize(size_t(kChunk) * channels);
    planar_.resize(size_t(kChunk) * channels);
  }
  ~ExtAudioFileInstance() {
    if (converter_) AudioConverterDispose(converter_);
  }

  const AudioStreamBasicDescription& fileFormat() const { return backend_->format(); }
  const AudioStreamBasicDescription& clientFormat() const { return client_; }
  AudioConverterRef converter() const { return converter_; }
  bool writing() const { return writing_; }
  uint32_t channels() const { return backend_->format().mChannelsPerFrame; }

  int64_t length() const { return writing_ ? backend_->tell() : backend_->length(); }

  int64_t tell() const {
    if (writing_ || !converter_) return backend_->tell();
    return base_ + int64_t(std::llround(double(clientFrames_) * fileFormat().mSampleRate / client_.mSampleRate));
  }

  OSStatus setClientFormat(const AudioStreamBasicDescription& f) {
    if (f.mFormatID != kAudioFormatLinearPCM) return kExtAudioFileError_NonPCMClientFormat;
    if (!isFloatPcm(f, true) || f.mChannelsPerFrame != channels() || f.mSampleRate < 1)
      return kExtAudioFileError_InvalidDataFormat;
    AudioConverterRef next = nullptr;
    if (f.mSampleRate != fileFormat().mSampleRate) {
      const AudioStreamBasicDescription fileSide = floatFormat(fileFormat().mSampleRate, channels());
      const AudioStreamBasicDescription clientSide = floatFormat(f.mSampleRate, channels());
      OSStatus status = writing_ ? AudioConverterNew(&clientSide, &fileSide, &next)
                                 : AudioConverterNew(&fileSide, &clientSide, &next);
      // Converted frames keep the file's time line: no lag at the start, and
      // nothing beyond its end.
      const uint32_t prime = kConverterPrimeMethod_Normal;
      if (status == noErr) status = AudioConverterSetProperty(next, kAudioConverterPrimeMethod, sizeof prime, &prime);
      if (status != noErr) {
        if (next) AudioConverterDispose(next);
        return status;
      }
    }
    const int64_t position = tell();
    OSStatus status = noErr;
    if (converter_) {
      // What the old converter holds belongs to the file: written out, or
      // read again from the position reached (a file that cannot seek goes
      // on from where its reading got to).
      if (writing_)
        status = drainWriter();
      else
        (void)backend_->seek(position);
      AudioConverterDispose(converter_);
    }
    converter_ = next;
    client_ = f;
    base_ = position;
    clientFrames_ = 0;
    return status;
  }

  OSStatus read(uint32_t* ioFrames, AudioBufferList* list) {
    const uint32_t c = channels();
    uint32_t wanted = *ioFrames;
    *ioFrames = 0;
    if (list->mNumberBuffers < c) return kAudio_ParamError;
    for (uint32_t b = 0; b < c; ++b) {
      if (!list->mBuffers[b].mData) return kAudio_ParamError;
      wanted = std::min(wanted, list->mBuffers[b].mDataByteSize / 4);
    }
    if (writing_) return kAudioFileOperationNotSupportedError;
    uint32_t done = 0;
    OSStatus status = noErr;
    while (done < wanted && status == noErr) {
      const uint32_t ask = std::min(wanted - done, kChunk);
      uint32_t got = 0;
      if (converter_) {
        AudioBufferList out;
        out.mNumberBuffers = c;
        for (uint32_t b = 0; b < c; ++b)
          out.mBuffers[b] = {1, ask * 4, static_cast<float*>(list->mBuffers[b].mData) + done};
        got = ask;
        status = AudioConverterFillComplexBuffer(converter_, &ExtAudioFileInstance::supplyFileFrames, this, &got, &out,
                                                 nullptr);
        clientFrames_ += got;
      } else {
        status = backend_->read(interleaved_.data(), ask, &got);
        for (uint32_t b = 0; b < c; ++b) {
          float* to = static_cast<float*>(list->mBuffers[b].mData) + done;
          for (uint32_t i = 0; i < got; ++i) to[i] = interleaved_[size_t(i) * c + b];
        }
      }
      done += got;
      if (got < ask) break;
    }
    *ioFrames = done;
    for (uint32_t b = 0; b < c; ++b) list->mBuffers[b].mDataByteSize = done * 4;
    return status;
  }

  OSStatus write(uint32_t frames, const AudioBufferList* list) {
    const uint32_t c = channels();
    if (list->mNumberBuffers < c) return kAudio_ParamError;
    for (uint32_t b = 0; b < c; ++b)
      if (!list->mBuffers[b].mData || list->mBuffers[b].mDataByteSize / 4 < frames) return kAudio_ParamError;
    if (!writing_) return kAudioFileOperationNotSupportedError;
    for (uint32_t done = 0; done < frames;) {
      const uint32_t n = std::min(frames - done, kChunk);
      OSStatus status;
      if (converter_) {
        for (uint32_t b = 0; b < c; ++b) source_[b] = static_cast<const float*>(list->mBuffers[b].mData) + done;
        sourceFrames_ = n;
        status = pumpWriter();
      } else {
        for (uint32_t b = 0; b < c; ++b) {
          const float* from = static_cast<const float*>(list->mBuffers[b].mData) + done;
          for (uint32_t i = 0; i < n; ++i) interleaved_[size_t(i) * c + b] = from[i];
        }
        status = backend_->write(interleaved_.data(), n);
      }
      if (status != noErr) return status;
      done += n;
    }
    return noErr;
  }

  OSStatus seek(int64_t frame) {
    if (writing_) return kAudioFileOperationNotSupportedError;
    if (frame < 0) return kExtAudioFileError_InvalidSeek;
    const OSStatus status = backend_->seek(frame);
    if (status != noErr) return status;
    if (converter_) AudioConverterReset(converter_);
    base_ = frame;
    clientFrames_ = 0;
    return noErr;
  }

  OSStatus finish() {
    OSStatus status = noErr;
    if (writing_ && converter_) status = drainWriter();
    const OSStatus finished = backend_->finish();
    return status != noErr ? status : finished;
  }

 private:
  // Reading: the converter's input, read from the file in file frames.
  static OSStatus supplyFileFrames(AudioConverterRef, uint32_t* ioPackets, AudioBufferList* data,
                                   AudioStreamPacketDescription**, void* user) {
    auto* self = static_cast<ExtAudioFileInstance*>(user);
    const uint32_t c = self->channels();
    uint32_t got = 0;
    const OSStatus status = self->backend_->read(self->interleaved_.data(), std::min(*ioPackets, kChunk), &got);
    *ioPackets = status == noErr ? got : 0;
    for (uint32_t b = 0; b < c; ++b) {
      float* plane = self->planar_.data() + size_t(b) * kChunk;
      for (uint32_t i = 0; i < got; ++i) plane[i] = self->interleaved_[size_t(i) * c + b];
      data->mBuffers[b] = {1, got * 4, plane};
    }
    return status;
  }

  // Writing: the converter's input, the caller's frames once, then a pause.
  static OSStatus supplyClientFrames(AudioConverterRef, uint32_t* ioPackets, AudioBufferList* data,
                                     AudioStreamPacketDescription**, void* user) {
    auto* self = static_cast<ExtAudioFileInstance*>(user);
    if (self->sourceFrames_ == 0) {
      *ioPackets = 0;
      return self->draining_ ? noErr : kInputPaused;
    }
    const uint32_t n = std::min(*ioPackets, self->sourceFrames_);
    for (uint32_t b = 0; b < self->channels(); ++b) {
      data->mBuffers[b] = {1, n * 4, const_cast<float*>(self->source_[b])};
      self->source_[b] += n;
    }
    self->sourceFrames_ -= n;
    *ioPackets = n;
    return noErr;
  }

  // Converts until the converter asks for more than the caller gave (or,
  // draining, until it has given out what it held), writing each block.
  OSStatus pumpWriter() {
    const uint32_t c = channels();
    for (;;) {
      AudioBufferList out;
      out.mNumberBuffers = c;
      for (uint32_t b = 0; b < c; ++b) out.mBuffers[b] = {1, kChunk * 4, planar_.data() + size_t(b) * kChunk};
      uint32_t produced = kChunk;
      OSStatus status = AudioConverterFillComplexBuffer(converter_, &ExtAudioFileInstance::supplyClientFrames, this,
                                                        &produced, &out, nullptr);
      const bool paused = status == kInputPaused;
      if (paused) status = noErr;
      for (uint32_t i = 0; i < produced; ++i)
        for (uint32_t b = 0; b < c; ++b) interleaved_[size_t(i) * c + b] = planar_[size_t(b) * kChunk + i];
      if (status == noErr && produced > 0) status = backend_->write(interleaved_.data(), produced);
      if (status != noErr || paused || (draining_ && produced < kChunk)) return status;
    }
  }

  OSStatus drainWriter() {
    sourceFrames_ = 0;
    draining_ = true;
    const OSStatus status = pumpWriter();
    draining_ = false;
    return status;
  }

  std::unique_ptr<file::Backend> backend_;
  bool writing_;
  AudioStreamBasicDescription client_{};
  AudioConverterRef converter_ = nullptr;
  std::vector<float> interleaved_;  // kChunk frames as the backend takes them
  std::vector<float> planar_;       // kChunk frames a channel, the converter's side
  // Reading through the converter: the file frame where conversion
  // (re)started, and the client frames read since.
  int64_t base_ = 0;
  int64_t clientFrames_ = 0;
  // Writing through the converter: the caller's frames not yet handed over.
  const float* source_[kAudioBufferListCapacity] = {};
  uint32_t sourceFrames_ = 0;
  bool draining_ = false;
};

OSStatus ExtAudioFileOpenURL(const char* path, ExtAudioFileRef* outExtAudioFile) {
  if (!path || !outExtAudioFile) return kAudio_ParamError;
  *outExtAudioFile = nullptr;
  if (const OSStatus status = checkReadable(path); status != noErr) return status;
  std::unique_ptr<file::Backend> backend;
  AudioStreamBasicDescription stated{};
  if (const OSStatus status = openBackend(path, backend, &stated); status != noErr) return status;
  *outExtAudioFile = new ExtAudioFileInstance(std::move(backend), false);
  return noErr;
}

OSStatus ExtAudioFileGetStatedFormat(const char* path, AudioStreamBasicDescription* outFormat) {
  if (!path || !outFormat) return kAudio_ParamError;
  *outFormat = {};
  if (const OSStatus status = checkReadable(path); status != noErr) return status;
  std::unique_ptr<file::Backend> backend;
  AudioStreamBasicDescription stated{};
  const OSStatus status = openBackend(path, backend, &stated);
  if (stated.mChannelsPerFrame == 0 && stated.mSampleRate == 0) return status == noErr ? kAudioFileInvalidFileError : status;
  *outFormat = stated;
  return noErr;
}

OSStatus ExtAudioFileCreateWithURL(const char* path, AudioFileTypeID type, const AudioStreamBasicDescription* format,
                                   const AudioChannelLayout*, uint32_t flags, ExtAudioFileRef* outExtAudioFile) {
  if (!path || !format || !outExtAudioFile) return kAudio_ParamError;
  *outExtAudioFile = nullptr;
  if (type != kAudioFileAIFFType && type != kAudioFileWAVEType && type != kAudioFileCAFType &&
      type != kAudioFileM4AType)
    return kAudioFileUnsupportedFileTypeError;
  struct stat info {};
  if (!(flags & kAudioFileFlags_EraseFile) && ::stat(path, &info) == 0) return kAudioFilePermissionsError;
  std::unique_ptr<file::Backend> backend;
  const OSStatus status = type == kAudioFileM4AType ? file::createLibav(path, type, *format, backend)
                                                    : file::createSndfile(path, type, *format, backend);
  if (status != noErr) return status;
  *outExtAudioFile = new ExtAudioFileInstance(std::move(backend), true);
  return noErr;
}

OSStatus ExtAudioFileDispose(ExtAudioFileRef file) {
  if (!file) return kAudio_ParamError;
  const OSStatus status = file->writing() ? file->finish() : noErr;
  delete file;
  return status;
}

OSStatus ExtAudioFileRead(ExtAudioFileRef file, uint32_t* ioNumberFrames, AudioBufferList* ioData) {
  if (!file || !ioNumberFrames || !ioData) return kAudio_ParamError;
  return file->read(ioNumberFrames, ioData);
}

OSStatus ExtAudioFileWrite(ExtAudioFileRef file, uint32_t numberFrames, const AudioBufferList* ioData) {
  if (!file || !ioData) return kAudio_ParamError;
  return file->write(numberFrames, ioData);
}

OSStatus ExtAudioFileSeek(ExtAudioFileRef file, int64_t frameOffset) {
  if (!file) return kAudio_ParamError;
  return file->seek(frameOffset);
}

OSStatus ExtAudioFileTell(ExtAudioFileRef file, int64_t* outFrameOffset) {
  if (!file || !outFrameOffset) return kAudio_ParamError;
  *outFrameOffset = file->tell();
  return noErr;
}

OSStatus ExtAudioFileGetProperty(ExtAudioFileRef file, ExtAudioFilePropertyID id, uint32_t* ioDataSize,
                                 void* outData) {
  if (!file || !ioDataSize || !outData) return kAudio_ParamError;
  auto give = [&](const void* value, uint32_t size) {
    if (*ioDataSize < size) return kExtAudioFileError_InvalidPropertySize;
    std::memcpy(outData, value, size);
    *ioDataSize = size;
    return noErr;
  };
  switch (id) {
    case kExtAudioFileProperty_FileDataFormat:
      return give(&file->fileFormat(), sizeof(AudioStreamBasicDescription));
    case kExtAudioFileProperty_ClientDataFormat:
      return give(&file->clientFormat(), sizeof(AudioStreamBasicDescription));
    case kExtAudioFileProperty_FileLengthFrames: {
      const int64_t length = file->length();
      return give(&length, sizeof length);
    }
    case kExtAudioFileProperty_AudioConverter: {
      const AudioConverterRef converter = file->converter();
      return give(&converter, sizeof converter);
    }
    default:
      return kExtAudioFileError_InvalidProperty;
  }
}

OSStatus ExtAudioFileSetProperty(ExtAudioFileRef file, ExtAudioFilePropertyID id, uint32_t dataSize,
                                 const void* data) {
  if (!file || !data) return kAudio_ParamError;
  if (id != kExtAudioFileProperty_ClientDataFormat) return kExtAudioFileError_InvalidProperty;
  if (dataSize != sizeof(AudioStreamBasicDescription)) return kExtAudioFileError_InvalidPropertySize;
  AudioStreamBasicDescription format;
  std::memcpy(&format, data, sizeof format);
  return file->setClientFormat(format);
}

std::vector<std::string> AudioFileReadableExtensions() {
  std::vector<std::string> extensions;
  file::addSndfileExtensions(extensions);
  for (const char* e : {"m4a", "mp4", "aac"}) extensions.emplace_back(e);
  std::sort(extensions.begin(), extensions.end());
  extensions.erase(std::unique(extensions.begin(), extensions.end()), extensions.end());
  return extensions;
}

}  // namespace platform::audio
