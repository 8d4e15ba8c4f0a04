#include "audio/AFSoundfile.h"

#include <algorithm>
#include <cmath>

#include "ui/Panels.h"

namespace pa = platform::audio;

namespace {

struct FileType {
  uint32_t type;
  const char* extension;
  const char* filter;
};

constexpr FileType kFileTypes[] = {
    {AFSoundfile::kTypeAIFF, "aif", "AIFF sound files (*.aif *.aiff)"},
    {AFSoundfile::kTypeWAVE, "wav", "WAVE sound files (*.wav)"},
    {AFSoundfile::kTypeCAF, "caf", "Core Audio files (*.caf)"},
    {AFSoundfile::kTypeM4A, "m4a", "MPEG-4 audio files (*.m4a)"},
};

const FileType* fileType(uint32_t type) {
  for (const FileType& t : kFileTypes)
    if (t.type == type) return &t;
  return nullptr;
}

// 16-bit signed integer linear PCM, packed.
pa::AudioStreamBasicDescription pcm16(double rate, uint32_t channels, bool bigEndian) {
  pa::AudioStreamBasicDescription d{};
  d.mSampleRate = rate;
  d.mFormatID = pa::kAudioFormatLinearPCM;
  d.mFormatFlags = pa::kAudioFormatFlagIsSignedInteger | pa::kAudioFormatFlagIsPacked |
                   (bigEndian ? pa::kAudioFormatFlagIsBigEndian : 0);
  d.mBytesPerPacket = d.mBytesPerFrame = 2 * channels;
  d.mFramesPerPacket = 1;
  d.mChannelsPerFrame = channels;
  d.mBitsPerChannel = 16;
  return d;
}

}  // namespace

AFSoundfile::AFSoundfile(bool isInput) { commonInit(isInput); }

std::unique_ptr<AFSoundfile> AFSoundfile::initAsInput() { return std::unique_ptr<AFSoundfile>(new AFSoundfile(true)); }

std::unique_ptr<AFSoundfile> AFSoundfile::initAsOutput() {
  std::unique_ptr<AFSoundfile> file(new AFSoundfile(false));
  file->samplingRate_ = 44100.0f;
  file->channels_ = 2;
  std::fill_n(file->zeros_, kZerosLength, 0.0f);
  return file;
}

AFSoundfile::~AFSoundfile() { close(); }

void AFSoundfile::commonInit(bool isInput) {
  isInput_ = isInput;
  url_.clear();
  audioFileRef_ = nullptr;
  bufferLength_ = kBufferLength;
  channelMask_ = 0;
  rateConverter_ = nullptr;
  resamplingRate_ = 0.0f;
  resamplingQuality_ = 3;
  duration_ = 1;
}

const char* AFSoundfile::extensionForType(uint32_t type) {
  const FileType* t = fileType(type);
  return t ? t->extension : "audio";
}

std::optional<pa::AudioStreamBasicDescription> AFSoundfile::descriptionForType(uint32_t type, float rate,
                                                                              int32_t channels) {
  switch (type) {
    case kTypeAIFF:
      return pcm16(rate, uint32_t(channels), true);
    case kTypeWAVE:
      return pcm16(rate, uint32_t(channels), false);
    case kTypeCAF:
      return pcm16(44100.0, 2, true);
    case kTypeM4A: {
      pa::AudioStreamBasicDescription d{};
      d.mSampleRate = rate;
      d.mFormatID = pa::kAudioFormatMPEG4AAC;
      d.mFormatFlags = pa::kMPEG4Object_AAC_LC;
      d.mFramesPerPacket = 1024;
      d.mChannelsPerFrame = 2;
      return d;
    }
    default:
      return std::nullopt;
  }
}

// ---------------------------------------------------------------- reading

int32_t AFSoundfile::open() {
  if (!isInput_) return kErrorReadOnWritingFile;
  close();
  const std::optional<std::vector<std::string>> locations = openPanel();
  if (!locations) return kErrorPanelCancelled;
  if (locations->empty() || locations->front().empty()) return kErrorNoLocation;
  return openURL(locations->front());
}

std::optional<std::vector<std::string>> AFSoundfile::openPanel() {
  ui::Panels* panels = ui::Panels::instance();
  if (!panels) return std::nullopt;
  std::string filter = "Sound files (";
  for (const std::string& extension : pa::AudioFileReadableExtensions()) filter += "*." + extension + " ";
  filter.back() = ')';
  const std::optional<std::string> path = panels->runOpenPanel("Open Sound File", "", filter);
  if (!path) return std::nullopt;
  if (path->empty()) return std::vector<std::string>{};
  return std::vector<std::string>{*path};
}

int32_t AFSoundfile::openURL(const std::string& path) {
  if (!isInput_) return kErrorReadOnWritingFile;
  // Whatever happens below, nothing of an earlier file stays.
  close();
  pa::ExtAudioFileRef file = nullptr;
  pa::OSStatus status = pa::ExtAudioFileOpenURL(path.c_str(), &file);
  if (status != pa::noErr) return status;
  pa::AudioStreamBasicDescription format{};
  uint32_t size = sizeof format;
  status = pa::ExtAudioFileGetProperty(file, pa::kExtAudioFileProperty_FileDataFormat, &size, &format);
  if (status != pa::noErr) {
    pa::ExtAudioFileDispose(file);
    return status;
  }
  audioFileRef_ = file;
  fileDescriptor_ = format;
  url_ = path;
  duration_ = 1;
  int64_t length = 0;
  size = sizeof length;
  if (pa::ExtAudioFileGetProperty(file, pa::kExtAudioFileProperty_FileLengthFrames, &size, &length) == pa::noErr &&
      length >= 1)
    duration_ = length;
  status = setupFileProperties();
  if (status != 0) close();
  return status;
}

int32_t AFSoundfile::getBuffers(float* const* buffers, int32_t n, int32_t s) {
  if (!isInput_) return kErrorReadOnWritingFile;
  if (n < 0 || s < 0 || (n > 0 && !buffers)) return pa::kAudio_ParamError;
  const int32_t c = fileChannels();
  int32_t k = n;
  if (n != c) {
    // The mapped channels go to the first buffers; fewer buffers than
    // mapped channels would send some past the end of the caller's array.
    if (n < numberOfMappedChannels_) return pa::kAudio_ParamError;
    k = numberOfMappedChannels_;
    for (int32_t i = k; i < n; ++i) std::fill_n(buffers[i], s, 0.0f);
  }
  // Pieces of at most bufferLength frames, the size the list entries and
  // the discard buffer are made for.
  float* shifted[kMaxChannels];
  int32_t done = 0;
  int32_t status = 0;
  while (done < s) {
    const int32_t piece = std::min(bufferLength_, s - done);
    for (int32_t i = 0; i < k; ++i) shifted[i] = buffers[i] + done;
    int32_t got = 0;
    status = getBuffersInner(shifted, k, piece, &got);
    done += got;
    if (status != 0 || got < piece) break;
  }
  // Past the end of the file the caller gets silence, not what its buffers held.
  for (int32_t i = 0; i < k && done < s; ++i) std::fill(buffers[i] + done, buffers[i] + s, 0.0f);
  return status;
}

int32_t AFSoundfile::getBuffersInner(float* const* buffers, int32_t k, int32_t s, int32_t* framesRead) {
  if (framesRead) *framesRead = 0;
  const int32_t c = fileChannels();
  s = std::clamp(s, 0, bufferLength_);
  for (int32_t i = numberOfMappedChannels_; i < k; ++i) std::fill_n(buffers[i], s, 0.0f);
  resampledBufferList_.mNumberBuffers = uint32_t(c);
  for (int32_t j = 0; j < c; ++j) {
    const int32_t to = inverseChannelMap_[j];
    resampledBufferList_.mBuffers[j] = {1, uint32_t(bufferLength_) * 4, (to >= 0 && to < k) ? buffers[to] : zeros_};
  }
  uint32_t frames = uint32_t(s);
  const pa::OSStatus status = pa::ExtAudioFileRead(audioFileRef_, &frames, &resampledBufferList_);
  if (framesRead) *framesRead = int32_t(frames);
  return status;
}

void AFSoundfile::cueTo(float seconds) {
  if (!isInput_ || !audioFileRef_) return;
  const double frame = double(seconds) * fileDescriptor_.mSampleRate;
  if (!(std::fabs(frame) < 9.0e18)) return;
  (void)pa::ExtAudioFileSeek(audioFileRef_, int64_t(frame));
}

// ---------------------------------------------------------------- writing

std::optional<std::string> AFSoundfile::savePanelWithFileType(uint32_t type) {
  ui::Panels* panels = ui::Panels::instance();
  if (!panels) return std::nullopt;
  const FileType* t = fileType(type);
  // The desktop's save dialog always offers new folders; it has no switch
  // for hiding the extension.
  std::optional<std::string> path = panels->runSavePanel(
      "Save Sound File", std::string("soundfile.") + extensionForType(type), t ? t->filter : "All files (*)");
  if (path && path->empty()) return std::nullopt;
  return path;
}

int32_t AFSoundfile::createWithFileTypeDescriptor(uint32_t type, const pa::AudioStreamBasicDescription& descriptor) {
  if (isInput_) return kErrorWriteOnReadingFile;
  close();
  const std::optional<std::string> path = savePanelWithFileType(type);
  if (!path) return kErrorPanelCancelled;
  return createURLTypeDescriptorOverWrite(*path, type, descriptor, true);
}

int32_t AFSoundfile::createWithFileTypeSamplingRateChannels(uint32_t type, float rate, int32_t channels) {
  const std::optional<pa::AudioStreamBasicDescription> descriptor = descriptionForType(type, rate, channels);
  if (!descriptor) return kErrorUnsupportedType;
  return createWithFileTypeDescriptor(type, *descriptor);
}

int32_t AFSoundfile::createAIFFWithSamplingRate(float rate) {
  return createWithFileTypeSamplingRateChannels(kTypeAIFF, rate, 2);
}
int32_t AFSoundfile::createWAVWithSamplingRate(float rate) {
  return createWithFileTypeSamplingRateChannels(kTypeWAVE, rate, 2);
}
int32_t AFSoundfile::createCAFWithSamplingRate(float rate) {
  return createWithFileTypeSamplingRateChannels(kTypeCAF, rate, 2);
}
int32_t AFSoundfile::createAACWithSamplingRate(float rate) {
  return createWithFileTypeSamplingRateChannels(kTypeM4A, rate, 2);
}

int32_t AFSoundfile::createURLTypeDescriptorOverWrite(const std::string& path, uint32_t type,
                                                      const pa::AudioStreamBasicDescription& descriptor,
                                                      bool overWrite) {
  if (isInput_) return kErrorWriteOnReadingFile;
  close();
  pa::ExtAudioFileRef file = nullptr;
  pa::OSStatus status = pa::ExtAudioFileCreateWithURL(path.c_str(), type, &descriptor, nullptr,
                                                      overWrite ? pa::kAudioFileFlags_EraseFile : 0, &file);
  if (status != pa::noErr) return status;
  audioFileRef_ = file;
  fileDescriptor_ = descriptor;
  url_ = path;
  status = setupFileProperties();
  if (status != 0) close();
  return status;
}

int32_t AFSoundfile::createURLTypeSamplingRateChannelsOverWrite(const std::string& path, uint32_t type, float rate,
                                                                int32_t channels, bool overWrite) {
  const std::optional<pa::AudioStreamBasicDescription> descriptor = descriptionForType(type, rate, channels);
  if (!descriptor) return kErrorUnsupportedType;
  return createURLTypeDescriptorOverWrite(path, type, *descriptor, overWrite);
}

int32_t AFSoundfile::putBuffers(float* const* buffers, int32_t n, int32_t s) {
  if (isInput_) return kErrorWriteOnReadingFile;
  if (n < 0 || s < 0 || (n > 0 && !buffers)) return pa::kAudio_ParamError;
  const int32_t c = fileChannels();
  const int32_t k = std::min(numberOfMappedChannels_, n);
  // Pieces of at most bufferLength frames: silent channels read zeros, which
  // holds no more than that.
  for (int32_t done = 0; done < s;) {
    const int32_t piece = std::min(bufferLength_, s - done);
    resampledBufferList_.mNumberBuffers = uint32_t(c);
    for (int32_t j = 0; j < c; ++j) {
      const int32_t from = k == c ? j : inverseChannelMap_[j];
      float* data = (from >= 0 && from < k) ? buffers[from] + done : zeros_;
      resampledBufferList_.mBuffers[j] = {1, uint32_t(bufferLength_) * 4, data};
    }
    const pa::OSStatus status = pa::ExtAudioFileWrite(audioFileRef_, uint32_t(piece), &resampledBufferList_);
    if (status != pa::noErr) return status;
    done += piece;
  }
  return 0;
}

// ---------------------------------------------------------------- configuration

int32_t AFSoundfile::setupFileProperties() {
  const int32_t c = fileChannels();
  const int32_t status = createClientBuffers(c, float(fileDescriptor_.mSampleRate));
  if (status != 0) return status;
  setAudioConverterQuality();
  makeChannelMapForMask(channelMask_, c);
  rateConverter_ = nullptr;
  uint32_t size = sizeof rateConverter_;
  (void)pa::ExtAudioFileGetProperty(audioFileRef_, pa::kExtAudioFileProperty_AudioConverter, &size, &rateConverter_);
  return 0;
}

int32_t AFSoundfile::createClientBuffers(int32_t channels, float samplingRate) {
  pa::AudioStreamBasicDescription client{};
  client.mSampleRate = resamplingRate_ >= 100.0f ? resamplingRate_ : samplingRate;
  client.mFormatID = pa::kAudioFormatLinearPCM;
  client.mFormatFlags =
      pa::kAudioFormatFlagIsFloat | pa::kAudioFormatFlagIsAlignedHigh | pa::kAudioFormatFlagIsNonInterleaved;
  client.mBytesPerPacket = client.mBytesPerFrame = 4;
  client.mFramesPerPacket = 1;
  client.mChannelsPerFrame = uint32_t(channels);
  client.mBitsPerChannel = 32;
  const pa::OSStatus status =
      pa::ExtAudioFileSetProperty(audioFileRef_, pa::kExtAudioFileProperty_ClientDataFormat, sizeof client, &client);
  if (status != pa::noErr) return status;
  clientSideDescriptor_ = client;
  channels = std::clamp(channels, 0, kMaxChannels);
  resampledBufferList_.mNumberBuffers = uint32_t(channels);
  for (int32_t i = 0; i < channels; ++i) resampledBufferList_.mBuffers[i] = {1, uint32_t(bufferLength_) * 4, nullptr};
  return 0;
}

void AFSoundfile::setAudioConverterQuality() {
  pa::AudioConverterRef converter = nullptr;
  uint32_t size = sizeof converter;
  if (pa::ExtAudioFileGetProperty(audioFileRef_, pa::kExtAudioFileProperty_AudioConverter, &size, &converter) !=
      pa::noErr)
    return;
  rateConverter_ = converter;
  if (converter) setResamplingQualityIndex(resamplingQuality_);
}

void AFSoundfile::setResamplingRate(float rate) {
  AFResampling::setResamplingRate(rate);
  if (audioFileRef_) setupFileProperties();
}

void AFSoundfile::setResamplingQuality(int32_t index) {
  resamplingQuality_ = index;
  if (audioFileRef_) setAudioConverterQuality();
}

void AFSoundfile::setChannelMask(int32_t mask) {
  AFResampling::setChannelMask(mask);
  if (audioFileRef_) makeChannelMapForMask(mask, fileChannels());
}

void AFSoundfile::setSamplingRate(float rate) {
  if (isInput_) return;
  samplingRate_ = rate;
  if (audioFileRef_) setupFileProperties();
}

void AFSoundfile::setChannels(int32_t channels) {
  if (isInput_) return;
  channels_ = channels;
  if (audioFileRef_) setupFileProperties();
}

// ---------------------------------------------------------------- state

float AFSoundfile::samplingRate() const { return audioFileRef_ ? float(fileDescriptor_.mSampleRate) : 0.0f; }

int32_t AFSoundfile::channels() const { return audioFileRef_ ? fileChannels() : 0; }

float AFSoundfile::duration() const {
  if (!audioFileRef_) return 1.0f;
  if (isInput_) return float(double(duration_) / fileDescriptor_.mSampleRate);
  return elapsed();
}

float AFSoundfile::elapsed() const {
  if (!audioFileRef_) return 0.0f;
  int64_t position = 0;
  if (pa::ExtAudioFileTell(audioFileRef_, &position) != pa::noErr || position < 0) return 0.0f;
  return float(double(position) / fileDescriptor_.mSampleRate);
}

void AFSoundfile::close() {
  url_.clear();
  if (audioFileRef_) pa::ExtAudioFileDispose(audioFileRef_);
  audioFileRef_ = nullptr;
  duration_ = 0;
  // The converter belonged to the file; the format and channel maps
  // described it. None of them may reach the next file.
  rateConverter_ = nullptr;
  fileDescriptor_ = {};
  clientSideDescriptor_ = {};
  resampledBufferList_.mNumberBuffers = 0;
  numberOfMappedChannels_ = 0;
  std::fill_n(channelMap_, kMaxChannels, -1);
  std::fill_n(inverseChannelMap_, kMaxChannels, -1);
}
