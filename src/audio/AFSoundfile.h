#pragma once
// The file counterpart of a sound card: reads or writes a sound file in the
// cards' sample form (32-bit float, one buffer per channel) with their
// channel selection (channelMask) and, when a resampling rate is set, at that
// rate. An object is made for reading or for writing and keeps that direction
// for life. Files are chosen with the installed ui::Panels, or named by path.
//
// Units: buffers hold samples; durations and positions are in seconds of
// the file's own rate; rates are in hertz.
//
// Statuses: 0 is success; the -400 family below, or the sound-file layer's
// own status (platform/audio/ExtAudioFile.h) passed on unchanged. Nothing
// is logged and nothing throws.
//
// Threads: one thread at a time (the panels need the main thread). Reads and
// writes touch the file system: not for a real-time thread.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/AFResampling.h"
#include "platform/audio/ExtAudioFile.h"

class AFSoundfile final : public AFResampling {
 public:
  static constexpr int32_t kErrorReadOnWritingFile = -400;  // reading operation (or open) on a writing object
  static constexpr int32_t kErrorWriteOnReadingFile = -401;  // writing operation on a reading object
  static constexpr int32_t kErrorPanelCancelled = -402;      // the open or save panel was cancelled
  static constexpr int32_t kErrorNoLocation = -403;          // the open panel gave no file
  static constexpr int32_t kErrorUnsupportedType = -404;     // a file type outside the table below

  // File types: 'AIFF' (aif), 'WAVE' (wav), 'caff' (caf) and 'm4af' (m4a).
  static constexpr uint32_t kTypeAIFF = platform::audio::kAudioFileAIFFType;
  static constexpr uint32_t kTypeWAVE = platform::audio::kAudioFileWAVEType;
  static constexpr uint32_t kTypeCAF = platform::audio::kAudioFileCAFType;
  static constexpr uint32_t kTypeM4A = platform::audio::kAudioFileM4AType;

  static constexpr int32_t kBufferLength = 512;  // frames a buffer entry announces; longer calls go in pieces
  static constexpr int32_t kZerosLength = 4096;

  // A sound file is made only for one direction.
  AFSoundfile() = delete;
  static std::unique_ptr<AFSoundfile> initAsInput();
  // Writing: samplingRate 44100 and channels 2 until set.
  static std::unique_ptr<AFSoundfile> initAsOutput();
  ~AFSoundfile() override;

  // The extension of a type ("audio" outside the table).
  static const char* extensionForType(uint32_t type);
  // The stream description a type is written with: 16-bit linear PCM for
  // AIFF and WAVE at rate with channels; CAF always 44100 Hz stereo; AAC-LC
  // stereo at rate for M4A. None outside the table.
  static std::optional<platform::audio::AudioStreamBasicDescription> descriptionForType(uint32_t type, float rate,
                                                                                       int32_t channels);

  // ---------------------------------------------------------------- reading
  // Closes any open file, lets the user choose one (open panel) and opens it.
  // -400 on a writing object (no panel shown), -402 when cancelled, -403
  // when the panel gave no file, else as openURL.
  int32_t open();
  // The open panel, restricted to the sound files the layer reads: the chosen
  // files, or none unless confirmed.
  std::optional<std::vector<std::string>> openPanel();
  // Closes any open file and opens path. On failure the object is left
  // closed: no location, no duration, no channel map of an earlier file.
  int32_t openURL(const std::string& path);
  // Reads s frames into n caller buffers of at least s samples each. With n
  // equal to the file's channel count, file channel j goes to buffer j (or
  // per the mask); otherwise the mapped channels go to buffers 0 up to
  // numberOfMappedChannels - 1, which the caller must provide (else
  // kAudio_ParamError, nothing read). Buffers that get no channel, and what
  // lies past the end of the file, are cleared. -400 on a writing object.
  int32_t getBuffers(float* const* buffers, int32_t n, int32_t s);
  // One read of at most kBufferLength frames with count k (see getBuffers);
  // *framesRead, when given, says how many frames the file gave.
  int32_t getBuffersInner(float* const* buffers, int32_t k, int32_t s, int32_t* framesRead = nullptr);
  // Reading with a file open: the next read starts at seconds × the file's
  // rate (a position outside the file is ignored).
  void cueTo(float seconds);

  // ---------------------------------------------------------------- writing
  // The save panel proposing "soundfile." + the type's extension: the chosen
  // path, or none unless confirmed.
  std::optional<std::string> savePanelWithFileType(uint32_t type);
  // Closes any open file, asks for a location (-402 when cancelled) and
  // creates the file there, replacing one that exists. -401 on a reading object.
  int32_t createWithFileTypeDescriptor(uint32_t type, const platform::audio::AudioStreamBasicDescription& descriptor);
  // The same with the type's own description (-404 outside the table).
  int32_t createWithFileTypeSamplingRateChannels(uint32_t type, float rate, int32_t channels);
  // Stereo files of each type.
  int32_t createAIFFWithSamplingRate(float rate);
  int32_t createWAVWithSamplingRate(float rate);
  int32_t createCAFWithSamplingRate(float rate);
  int32_t createAACWithSamplingRate(float rate);
  // Creates path without a panel; overWrite replaces an existing file.
  int32_t createURLTypeDescriptorOverWrite(const std::string& path, uint32_t type,
                                           const platform::audio::AudioStreamBasicDescription& descriptor,
                                           bool overWrite);
  int32_t createURLTypeSamplingRateChannelsOverWrite(const std::string& path, uint32_t type, float rate,
                                                     int32_t channels, bool overWrite);
  // Writes s frames from n caller buffers of at least s samples each: file
  // channel j takes the buffer its mapped channel names, silence when there
  // is no such buffer. -401 on a reading object.
  int32_t putBuffers(float* const* buffers, int32_t n, int32_t s);

  // ---------------------------------------------------------------- configuration
  // Client format, converter quality and channel maps for the open file.
  int32_t setupFileProperties();
  // The client format for channels at the file's rate, or at the resampling
  // rate when one of at least 100 Hz is set; then the buffer list.
  int32_t createClientBuffers(int32_t channels, float samplingRate);
  // Applies resamplingQuality to the file's rate converter, if it has one.
  void setAudioConverterQuality();
  void setResamplingRate(float rate) override;
  void setResamplingQuality(int32_t index) override;
  int32_t resamplingQuality() const override { return resamplingQuality_; }
  void setChannelMask(int32_t mask) override;
  // Writing only (ignored when reading).
  void setSamplingRate(float rate);
  void setChannels(int32_t channels);

  // ---------------------------------------------------------------- state
  // The file's rate and channel count; 0 without a file.
  float samplingRate() const;
  int32_t channels() const;
  // Seconds: 1.0 without a file; the file's length when reading; elapsed()
  // when writing.
  float duration() const;
  // Seconds from the file's start to the current position; 0 without a file.
  float elapsed() const;
  // Drops the file (a written file is completed) and its channel maps.
  void close();
  // The open file's path, empty without one.
  const std::string& url() const { return url_; }
  bool isInput() const { return isInput_; }
  bool isOpen() const { return audioFileRef_ != nullptr; }
  const platform::audio::AudioStreamBasicDescription& fileDescriptor() const { return fileDescriptor_; }
  const platform::audio::AudioStreamBasicDescription& clientSideDescriptor() const { return clientSideDescriptor_; }

 private:
  explicit AFSoundfile(bool isInput);
  void commonInit(bool isInput);
  int32_t fileChannels() const { return int32_t(fileDescriptor_.mChannelsPerFrame); }

  bool isInput_ = true;
  std::string url_;
  platform::audio::ExtAudioFileRef audioFileRef_ = nullptr;
  platform::audio::AudioStreamBasicDescription fileDescriptor_{};
  platform::audio::AudioStreamBasicDescription clientSideDescriptor_{};
  int32_t bufferLength_ = kBufferLength;
  int64_t duration_ = 1;  // frames
  float zeros_[kZerosLength] = {};
  platform::audio::AudioBufferList resampledBufferList_{};
  float samplingRate_ = 0.0f;
  int32_t channels_ = 0;
};
