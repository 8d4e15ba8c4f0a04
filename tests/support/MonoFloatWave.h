#pragma once
// A mono 32-bit float WAVE file read back by a test (through libsndfile, not
// the program's own sound-file layer): its rate, its samples and where the
// loudest of them is; none when the file is not such a WAVE file.

#include <sndfile.h>

#include <cmath>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

struct MonoFloatWave {
  int rate = 0;
  std::vector<float> samples;
  std::size_t loudest = 0;
};

inline std::optional<MonoFloatWave> readMonoFloatWave(const std::string& path) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) return std::nullopt;
  MonoFloatWave wave;
  wave.rate = info.samplerate;
  wave.samples.resize(static_cast<std::size_t>(info.frames));
  const bool read = sf_readf_float(file, wave.samples.data(), info.frames) == info.frames;
  sf_close(file);
  if (!read || info.format != (SF_FORMAT_WAV | SF_FORMAT_FLOAT) || info.channels != 1) return std::nullopt;
  for (std::size_t i = 0; i < wave.samples.size(); ++i)
    if (std::fabs(wave.samples[i]) > std::fabs(wave.samples[wave.loudest])) wave.loudest = i;
  return wave;
}

}  // namespace testsupport
