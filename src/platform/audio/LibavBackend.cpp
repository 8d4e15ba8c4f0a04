// MPEG-4 audio files through FFmpeg: any audio stream its MPEG-4 and ADTS
// demuxers find and its decoders decode, read; AAC-LC written into .m4a.
// Built as a module of its own (specan-libav.so) that the program loads the
// first time it needs it (LibavLoader.cpp), so that FFmpeg's libraries are
// loaded for MPEG-4 files only; its two entry points are at the end.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <vector>

#include "platform/audio/AudioFileBackend.h"

namespace platform::audio::file {

namespace {

// Only these demuxers may claim a file: whatever else FFmpeg would guess from
// a file's first bytes (playlists that name other files among them) stays out.
constexpr char kDemuxers[] = "mov,aac";
// Frames decoded and dropped before a seek target, so that the decoder's
// overlap with the previous packet is rebuilt before the first frame handed out.
constexpr int64_t kSeekPreroll = 4096;

// FFmpeg takes a name with a colon for a protocol; a path is always a file.
std::string fileURL(const std::string& path) { return "file:" + path; }

AudioFormatID formatOf(AVCodecID codec) {
  switch (codec) {
    case AV_CODEC_ID_AAC: return kAudioFormatMPEG4AAC;
    case AV_CODEC_ID_ALAC: return kAudioFormatAppleLossless;
    case AV_CODEC_ID_MP3: return kAudioFormatMPEGLayer3;
    case AV_CODEC_ID_FLAC: return kAudioFormatFLAC;
    case AV_CODEC_ID_OPUS: return kAudioFormatOpus;
    case AV_CODEC_ID_VORBIS: return kAudioFormatVorbis;
    default: return kAudioFormatOtherCompressed;
  }
}

// Sample j of channel c of a decoded frame, as a float at full scale ±1.
float sampleOf(const AVFrame* f, int channels, int c, int j) {
  const auto format = AVSampleFormat(f->format);
  const bool planar = av_sample_fmt_is_planar(format);
  const uint8_t* base = f->extended_data[planar ? c : 0];
  const int i = planar ? j : j * channels + c;
  switch (av_get_packed_sample_fmt(format)) {
    case AV_SAMPLE_FMT_U8: return (float(base[i]) - 128.0f) / 128.0f;
    case AV_SAMPLE_FMT_S16: return float(reinterpret_cast<const int16_t*>(base)[i]) / 32768.0f;
    case AV_SAMPLE_FMT_S32: return float(double(reinterpret_cast<const int32_t*>(base)[i]) / 2147483648.0);
    case AV_SAMPLE_FMT_S64: return float(double(reinterpret_cast<const int64_t*>(base)[i]) / 9223372036854775808.0);
    case AV_SAMPLE_FMT_FLT: return reinterpret_cast<const float*>(base)[i];
    case AV_SAMPLE_FMT_DBL: return float(reinterpret_cast<const double*>(base)[i]);
    default: return 0.0f;
  }
}

class LibavReader final : public Backend {
 public:
  ~LibavReader() override {
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&decoder_);
    avformat_close_input(&container_);
  }

  OSStatus open(const std::string& path, AudioStreamBasicDescription* stated) {
    AVDictionary* options = nullptr;
    av_dict_set(&options, "format_whitelist", kDemuxers, 0);
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    const int opened = avformat_open_input(&container_, fileURL(path).c_str(), nullptr, &options);
    av_dict_free(&options);
    if (opened < 0)
      return opened == AVERROR_INVALIDDATA ? kAudioFileUnsupportedFileTypeError : kAudioFileInvalidFileError;
    if (avformat_find_stream_info(container_, nullptr) < 0) return kAudioFileInvalidFileError;
    const AVCodec* codec = nullptr;
    stream_ = av_find_best_stream(container_, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (stream_ < 0 || !codec) return stream_ == AVERROR_DECODER_NOT_FOUND ? kAudioFileUnsupportedDataFormatError
                                                                           : kAudioFileUnsupportedFileTypeError;
    const AVStream* st = container_->streams[stream_];
    const AVCodecParameters* par = st->codecpar;
    channels_ = par->ch_layout.nb_channels;
    rate_ = par->sample_rate;
    if (const OSStatus status = checkStatedFormat(channels_, rate_, stated); status != noErr) return status;
    decoder_ = avcodec_alloc_context3(codec);
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    if (!decoder_ || !packet_ || !frame_) return kAudio_MemFullError;
    if (avcodec_parameters_to_context(decoder_, par) < 0 || avcodec_open2(decoder_, codec, nullptr) < 0)
      return kAudioFileUnsupportedDataFormatError;
    timeBase_ = st->time_base;

    format_.mSampleRate = rate_;
    format_.mFormatID = formatOf(par->codec_id);
    if (par->codec_id == AV_CODEC_ID_AAC)
      format_.mFormatFlags = par->profile >= 0 ? AudioFormatFlags(par->profile + 1) : kMPEG4Object_AAC_LC;
    format_.mChannelsPerFrame = uint32_t(channels_);
    format_.mFramesPerPacket = uint32_t(std::max(par->frame_size, 0));
    if (st->duration > 0)
      length_ = av_rescale_q(st->duration, timeBase_, AVRational{1, rate_});
    else if (container_->duration > 0)
      length_ = av_rescale_q(container_->duration, AVRational{1, AV_TIME_BASE}, AVRational{1, rate_});
    // An MPEG-4 index states the length; a raw stream's is guessed from its bit rate.
    exactLength_ = length_ > 0 && container_->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE;
    return noErr;
  }

  OSStatus read(float* frames, uint32_t count, uint32_t* done) override {
    *done = 0;
    // The stated length ends the stream: the encoder's padding of the last
    // packet is no part of it.
    if (exactLength_) count = uint32_t(std::clamp<int64_t>(length_ - position_, 0, count));
    while (*done < count) {
      if (pendingUsed_ == pendingFrames_) {
        bool got = false;
        const OSStatus status = decode(&got);
        if (status != noErr && *done == 0) return status;
        if (status != noErr || !got) break;
      }
      const uint32_t n = std::min<uint32_t>(count - *done, uint32_t(pendingFrames_ - pendingUsed_));
      std::copy_n(pending_.data() + pendingUsed_ * size_t(channels_), size_t(n) * channels_,
                  frames + size_t(*done) * channels_);
      pendingUsed_ += n;
      *done += n;
    }
    position_ += *done;
    return noErr;
  }

  OSStatus write(const float*, uint32_t) override { return kAudioFileOperationNotSupportedError; }

  OSStatus seek(int64_t frame) override {
    if (frame < 0 || (exactLength_ && frame > length_)) return kExtAudioFileError_InvalidSeek;
    // Near the start the preroll reaches before frame 0: that lands on the
    // encoder's priming packets, which the decoder needs as much.
    const int64_t start = frame - kSeekPreroll;
    const int64_t ts = av_rescale_q(start, AVRational{1, rate_}, timeBase_);
    if (av_seek_frame(container_, stream_, ts, AVSEEK_FLAG_BACKWARD) < 0 &&
        (start >= 0 || av_seek_frame(container_, stream_, 0, AVSEEK_FLAG_BACKWARD) < 0))
      return kExtAudioFileError_InvalidSeek;
    avcodec_flush_buffers(decoder_);
    pendingFrames_ = pendingUsed_ = 0;
    inputEnded_ = drained_ = false;
    nextStart_ = start;
    discardBefore_ = frame;
    position_ = frame;
    return noErr;
  }

  int64_t tell() const override { return position_; }

 private:
  // Decodes until a frame yields samples at or after discardBefore_ (*got),
  // or the stream ends. A damaged packet is skipped; a decoder that fails
  // ends the stream there.
  OSStatus decode(bool* got) {
    while (!drained_) {
      const int received = avcodec_receive_frame(decoder_, frame_);
      if (received == 0) {
        const OSStatus status = takeFrame();
        av_frame_unref(frame_);
        if (status != noErr) return status;
        if (pendingFrames_ > 0) {
          *got = true;
          return noErr;
        }
        continue;
      }
      if (received != AVERROR(EAGAIN)) {
        drained_ = true;
        return received == AVERROR_EOF ? noErr : kAudioFileInvalidFileError;
      }
      if (av_read_frame(container_, packet_) < 0) {
        if (inputEnded_) {
          drained_ = true;
          break;
        }
        inputEnded_ = true;
        avcodec_send_packet(decoder_, nullptr);
        continue;
      }
      if (packet_->stream_index == stream_) avcodec_send_packet(decoder_, packet_);
      av_packet_unref(packet_);
    }
    return noErr;
  }

  // The decoded frame's samples from discardBefore_ on, interleaved into pending_.
  OSStatus takeFrame() {
    if (frame_->ch_layout.nb_channels != channels_) return kAudioFileUnsupportedDataFormatError;
    int64_t start = nextStart_;
    if (frame_->best_effort_timestamp != AV_NOPTS_VALUE)
      start = av_rescale_q(frame_->best_effort_timestamp, timeBase_, AVRational{1, rate_});
    const int n = frame_->nb_samples;
    nextStart_ = start + n;
    const int skip = int(std::clamp<int64_t>(discardBefore_ - start, 0, n));
    pending_.resize(size_t(n - skip) * channels_);
    for (int j = skip; j < n; ++j)
      for (int c = 0; c < channels_; ++c)
        pending_[size_t(j - skip) * channels_ + c] = sampleOf(frame_, channels_, c, j);
    pendingFrames_ = size_t(n - skip);
    pendingUsed_ = 0;
    return noErr;
  }

  AVFormatContext* container_ = nullptr;
  AVCodecContext* decoder_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;
  int stream_ = -1;
  int channels_ = 0;
  int rate_ = 0;
  AVRational timeBase_{1, 1};
  std::vector<float> pending_;  // decoded, interleaved, not yet read
  size_t pendingFrames_ = 0, pendingUsed_ = 0;
  int64_t position_ = 0;       // the frame the next read starts with
  int64_t nextStart_ = 0;      // first frame of the next decoded frame, when it carries no time
  int64_t discardBefore_ = 0;  // decoded frames before this one are dropped (priming, seek preroll)
  bool inputEnded_ = false, drained_ = false;
  bool exactLength_ = false;  // length_ ends the stream
};

class LibavWriter final : public Backend {
 public:
  ~LibavWriter() override {
    if (container_ && container_->pb) avio_closep(&container_->pb);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&encoder_);
    avformat_free_context(container_);
  }

  OSStatus create(const std::string& path, const AudioStreamBasicDescription& f) {
    const int channels = int(f.mChannelsPerFrame);
    const int rate = int(std::lround(f.mSampleRate));
    if (f.mFormatID != kAudioFormatMPEG4AAC || (f.mFormatFlags != 0 && f.mFormatFlags != kMPEG4Object_AAC_LC) ||
        channels < 1 || channels > 8 || rate < 1)
      return kAudioFileUnsupportedDataFormatError;
    if (avformat_alloc_output_context2(&container_, nullptr, "ipod", path.c_str()) < 0 || !container_)
      return kAudioFileUnspecifiedError;
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (!codec) return kAudioFileUnsupportedDataFormatError;
    encoder_ = avcodec_alloc_context3(codec);
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    stream_ = avformat_new_stream(container_, nullptr);
    if (!encoder_ || !packet_ || !frame_ || !stream_) return kAudio_MemFullError;
    encoder_->sample_fmt = AV_SAMPLE_FMT_FLTP;
    encoder_->sample_rate = rate;
    av_channel_layout_default(&encoder_->ch_layout, channels);
    encoder_->bit_rate = 64000 * channels;
    encoder_->profile = FF_PROFILE_AAC_LOW;
    encoder_->time_base = AVRational{1, rate};
    if (container_->oformat->flags & AVFMT_GLOBALHEADER) encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    // Refused here (a rate AAC does not offer) before anything is created.
    if (avcodec_open2(encoder_, codec, nullptr) < 0) return kAudioFileUnsupportedDataFormatError;
    if (avcodec_parameters_from_context(stream_->codecpar, encoder_) < 0) return kAudioFileUnspecifiedError;
    stream_->time_base = encoder_->time_base;

    frame_->format = AV_SAMPLE_FMT_FLTP;
    frame_->sample_rate = rate;
    frame_->nb_samples = encoder_->frame_size;
    if (av_channel_layout_copy(&frame_->ch_layout, &encoder_->ch_layout) < 0 || av_frame_get_buffer(frame_, 0) < 0)
      return kAudio_MemFullError;

    if (avio_open(&container_->pb, fileURL(path).c_str(), AVIO_FLAG_WRITE) < 0) return kAudioFilePermissionsError;
    if (avformat_write_header(container_, nullptr) < 0) {
      avio_closep(&container_->pb);
      std::remove(path.c_str());
      return kAudioFileUnspecifiedError;
    }
    channels_ = channels;
    format_ = f;
    format_.mFormatFlags = kMPEG4Object_AAC_LC;
    format_.mFramesPerPacket = uint32_t(encoder_->frame_size);
    return noErr;
  }

  OSStatus read(float*, uint32_t, uint32_t* done) override {
    *done = 0;
    return kAudioFileOperationNotSupportedError;
  }

  OSStatus write(const float* frames, uint32_t count) override {
    if (finished_) return kAudioFileOperationNotSupportedError;
    while (count > 0) {
      if (filled_ == 0 && av_frame_make_writable(frame_) < 0) return kAudio_MemFullError;
      const uint32_t n = std::min<uint32_t>(count, uint32_t(encoder_->frame_size - filled_));
      for (int c = 0; c < channels_; ++c) {
        float* plane = reinterpret_cast<float*>(frame_->extended_data[c]) + filled_;
        for (uint32_t i = 0; i < n; ++i) plane[i] = frames[size_t(i) * channels_ + c];
      }
      filled_ += int(n);
      written_ += n;
      frames += size_t(n) * channels_;
      count -= n;
      if (filled_ == encoder_->frame_size) {
        const OSStatus status = encode(frame_);
        if (status != noErr) return status;
      }
    }
    return noErr;
  }

  OSStatus seek(int64_t) override { return kAudioFileOperationNotSupportedError; }
  int64_t tell() const override { return written_; }

  OSStatus finish() override {
    if (finished_) return noErr;
    finished_ = true;
    // A short last frame is padded by the encoder; the packets' durations
    // keep the real length for the file's index.
    OSStatus status = filled_ > 0 ? encode(frame_) : noErr;
    if (status == noErr) status = encode(nullptr);
    if (av_write_trailer(container_) < 0 && status == noErr) status = kAudioFileUnspecifiedError;
    if (avio_closep(&container_->pb) < 0 && status == noErr) status = kAudioFileUnspecifiedError;
    return status;
  }

 private:
  // Sends the filled part of frame (null: the end) and writes what comes out.
  OSStatus encode(AVFrame* frame) {
    if (frame) {
      frame->nb_samples = filled_;
      frame->pts = pts_;
      pts_ += filled_;
      filled_ = 0;
    }
    if (avcodec_send_frame(encoder_, frame) < 0) return kAudioFileUnspecifiedError;
    for (;;) {
      const int received = avcodec_receive_packet(encoder_, packet_);
      if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return noErr;
      if (received < 0) return kAudioFileUnspecifiedError;
      av_packet_rescale_ts(packet_, encoder_->time_base, stream_->time_base);
      packet_->stream_index = stream_->index;
      if (av_interleaved_write_frame(container_, packet_) < 0) return kAudioFileUnspecifiedError;
    }
  }

  AVFormatContext* container_ = nullptr;
  AVCodecContext* encoder_ = nullptr;
  AVStream* stream_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  int channels_ = 0;
  int filled_ = 0;  // samples in frame_ not yet encoded
  int64_t pts_ = 0;
  int64_t written_ = 0;
  bool finished_ = false;
};

// FFmpeg's own messages would go to stderr; failures reach callers as statuses.
void quietLibav() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

}  // namespace

// The module's entry points, looked up by their C names: each hands over a
// backend the caller owns (deleted through Backend's virtual destructor) or
// null.
extern "C" __attribute__((visibility("default"))) OSStatus specan_libav_open(const char* path, Backend** out,
                                                                            AudioStreamBasicDescription* stated) {
  quietLibav();
  *out = nullptr;
  auto reader = std::make_unique<LibavReader>();
  const OSStatus status = reader->open(path, stated);
  if (status == noErr) *out = reader.release();
  return status;
}

extern "C" __attribute__((visibility("default"))) OSStatus specan_libav_create(
    const char* path, AudioFileTypeID type, const AudioStreamBasicDescription* format, Backend** out) {
  quietLibav();
  *out = nullptr;
  if (type != kAudioFileM4AType) return kAudioFileUnsupportedFileTypeError;
  auto writer = std::make_unique<LibavWriter>();
  const OSStatus status = writer->create(path, *format);
  if (status == noErr) *out = writer.release();
  return status;
}

}  // namespace platform::audio::file
