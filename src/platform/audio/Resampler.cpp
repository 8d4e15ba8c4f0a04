// libsoxr set-up for the converter and the varispeed unit.

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/audio/UnitSupport.h"

namespace platform::audio {

bool isFloatPcm(const AudioStreamBasicDescription& f, bool requireNonInterleaved) {
  if (f.mFormatID != kAudioFormatLinearPCM || !(f.mFormatFlags & kAudioFormatFlagIsFloat) ||
      (f.mFormatFlags & kAudioFormatFlagIsBigEndian) || f.mBitsPerChannel != 32)
    return false;
  if (f.mChannelsPerFrame == 0 || f.mChannelsPerFrame > kAudioBufferListCapacity) return false;
  if (!(f.mSampleRate > 0) || f.mSampleRate > kAudioHighestSampleRate) return false;
  if (requireNonInterleaved && !(f.mFormatFlags & kAudioFormatFlagIsNonInterleaved)) return false;
  return true;
}

namespace {

// Produces `frames` frames from silence, feeding only as much input as the
// output needs (what a render or a fill does), so the resampler's queues
// reach the size that real blocks of this length need.
void produceFromSilence(soxr_t s, unsigned channels, bool split, double ratio, std::size_t frames,
                        std::vector<float>& in, std::vector<float>& out) {
  std::vector<const float*> inPtr(channels, in.data());
  std::vector<float*> outPtr(channels);
  std::size_t done = 0, pending = 0;
  for (int guard = 0; guard < 256 && done < frames; ++guard) {
    for (unsigned c = 0; c < channels; ++c) outPtr[c] = out.data() + c * frames + done;
    std::size_t idone = 0, odone = 0;
    soxr_in_t ip = split ? static_cast<soxr_in_t>(inPtr.data()) : static_cast<soxr_in_t>(in.data());
    soxr_out_t op = split ? static_cast<soxr_out_t>(outPtr.data()) : static_cast<soxr_out_t>(out.data() + done * channels);
    if (soxr_process(s, ip, pending, &idone, op, frames - done, &odone)) return;
    pending -= idone;
    done += odone;
    if (done < frames && pending == 0)
      pending = std::min<std::size_t>(std::size_t(std::ceil(double(frames - done) * ratio)) + 1, in.size() / (split ? 1 : channels));
  }
}

// Runs blocks of silence of the largest size through the resampler, at the
// extreme ratios for a variable one, so that its queues reach their working
// size now rather than on an audio thread later. The highest ratio comes
// first: libsoxr's variable-rate resampler (0.1.3) that first enters its
// top octave after it has run below a ratio of 1 reads memory it never
// wrote from then on, and plays whatever the heap held there (NaN, once
// in a while, which silences the output for good). It comes last as well:
// the resampler then goes down to the ratio it plays at, and keeps its
// full half-band filters (going up it would take the short ones).
void warmUp(soxr_t s, unsigned channels, bool split, bool variable, double maxRatio, double ratio,
            std::size_t maxBlock) {
  const double top = variable ? maxRatio : ratio;
  const std::size_t inFrames = std::size_t(double(maxBlock) * top) + 64;
  std::vector<float> in(inFrames * (split ? 1 : channels), 0.0f);
  std::vector<float> out(maxBlock * channels, 0.0f);
  const int rounds = variable ? 7 : 3;
  for (int round = 0; round < rounds; ++round) {
    const double r = variable ? (round % 2 ? ratio * 0.25 : maxRatio * 0.999) : ratio;
    if (variable) soxr_set_io_ratio(s, r, 0);
    for (std::size_t block : {maxBlock, std::size_t(17), maxBlock / 2 + 3})
      produceFromSilence(s, channels, split, r, block, in, out);
  }
  if (variable) {
    soxr_set_io_ratio(s, ratio, 0);
    produceFromSilence(s, channels, split, ratio, maxBlock, in, out);
  }
}

}  // namespace

SoxrHandle createFixedResampler(double inRate, double outRate, unsigned channels, bool split, int qualityIndex,
                                std::size_t maxBlock, bool warm) {
  static constexpr unsigned long recipes[5] = {SOXR_QQ, SOXR_LQ, SOXR_MQ, SOXR_HQ, SOXR_VHQ};
  const soxr_datatype_t type = split ? SOXR_FLOAT32_S : SOXR_FLOAT32_I;
  const soxr_io_spec_t io = soxr_io_spec(type, type);
  const soxr_quality_spec_t q = soxr_quality_spec(recipes[std::clamp(qualityIndex, 0, 4)], 0);
  const soxr_runtime_spec_t rt = soxr_runtime_spec(1);
  soxr_error_t error = nullptr;
  soxr_t s = soxr_create(inRate, outRate, channels, &error, &io, &q, &rt);
  if (!s || error) {
    if (s) soxr_delete(s);
    return nullptr;
  }
  if (warm) warmUp(s, channels, split, false, inRate / outRate, inRate / outRate, maxBlock);
  return s;
}

SoxrHandle createVariableResampler(double maxRatio, double ratio, unsigned channels, std::size_t maxBlock) {
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_S, SOXR_FLOAT32_S);
  const soxr_quality_spec_t q = soxr_quality_spec(SOXR_HQ, SOXR_VR);
  const soxr_runtime_spec_t rt = soxr_runtime_spec(1);
  soxr_error_t error = nullptr;
  soxr_t s = soxr_create(maxRatio, 1.0, channels, &error, &io, &q, &rt);
  if (!s || error) {
    if (s) soxr_delete(s);
    return nullptr;
  }
  if (soxr_set_io_ratio(s, ratio, 0)) {
    soxr_delete(s);
    return nullptr;
  }
  warmUp(s, channels, true, true, maxRatio, ratio, maxBlock);
  return s;
}

void clearResampler(SoxrHandle s, unsigned channels, bool split, bool variable, double, double ratio,
                    std::size_t maxBlock) {
  if (!s) return;
  // Silence pushed through the whole filter, and everything it held drained,
  // leaves the resampler as good as new without freeing its queues (which
  // soxr_clear would, making the next blocks allocate again).
  const double delay = soxr_delay(s);
  const std::size_t zeros = std::size_t(std::ceil((delay + 64) * std::max(ratio, 1.0))) + 256;
  std::vector<float> in(256 * (split ? 1 : channels), 0.0f);
  std::vector<float> out(maxBlock * channels, 0.0f);
  std::vector<const float*> inPtr(channels, in.data());
  std::vector<float*> outPtr(channels);
  for (unsigned c = 0; c < channels; ++c) outPtr[c] = out.data() + c * maxBlock;
  soxr_in_t ip = split ? static_cast<soxr_in_t>(inPtr.data()) : static_cast<soxr_in_t>(in.data());
  soxr_out_t op = split ? static_cast<soxr_out_t>(outPtr.data()) : static_cast<soxr_out_t>(out.data());
  std::size_t fed = 0;
  for (int guard = 0; guard < 4096; ++guard) {
    std::size_t idone = 0, odone = 0;
    const std::size_t n = fed < zeros ? 256 : 0;
    if (soxr_process(s, ip, n, &idone, op, maxBlock, &odone)) break;
    fed += idone;
    if (fed >= zeros && odone == 0) break;
  }
  (void)variable;
}

void deleteResampler(SoxrHandle s) {
  if (s) soxr_delete(s);
}

}  // namespace platform::audio
