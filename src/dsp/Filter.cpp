#include "dsp/Filter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

Filter::Refusal Filter::init() { return {}; }

Filter::Filter(float bandwidth, int length, int ratio, const float* gains)
    : n(std::max(length, 1)), decimationRatio_(ratio), bandwidth_(bandwidth), window(gains) {
  forwardTaps = new float[n];
  if (n < 3) {
    // One or two taps are all window ends, where the Nuttall window is zero:
    // normalising would divide rounding noise by itself. Pass the signal
    // through instead.
    std::fill_n(forwardTaps, n, 0.0f);
    forwardTaps[0] = 1;
  } else {
    float sum = 0;
    for (int i = 0; i < n; ++i) {
      const float b = static_cast<float>(i) / static_cast<float>(n - 1);
      const double w = 0.355768 - 0.487396 * std::cos(6.283185307 * b) + 0.144232 * std::cos(12.566370614 * b) -
                       0.012604 * std::cos(18.849555921 * b);
      const float x = static_cast<float>((i - 0.5 * n) * 2.0 * static_cast<double>(bandwidth));
      const double s = std::fabs(static_cast<double>(x)) < 0.0001 ? 1.0 : std::sin(3.1415926535 * x) / (3.1415926535 * x);
      forwardTaps[i] = static_cast<float>(s * w);
      sum += forwardTaps[i];
    }
    for (int i = 0; i < n; ++i) forwardTaps[i] /= sum;
  }

  // A decimation period must fit in the history, or a piece of one period
  // would be written past its end.
  blockCapacity = std::max(kMaxBlock, decimationRatio_);
  fir = new FirState{n, new float[n], new float[static_cast<size_t>(n) + static_cast<size_t>(blockCapacity)](), 0};
  // Stored reversed: the convolution below correlates the history with them.
  for (int i = 0; i < n; ++i) fir->coefficients[i] = forwardTaps[n - 1 - i];
}

Filter::~Filter() {
  delete[] fir->history;
  delete[] fir->coefficients;
  delete fir;
  delete[] forwardTaps;
}

const float* Filter::taps() const noexcept { return forwardTaps; }

int Filter::filter(const float* in, float* out, int count) noexcept {
  if (count <= 0) return 0;
  const int ratio = std::max(decimationRatio_, 1);
  // The history holds one block of at most 4096 samples (or one decimation
  // period); longer blocks go in pieces that keep the decimation phase (a
  // multiple of the ratio).
  const int piece = blockCapacity - blockCapacity % ratio;
  int written = 0;
  for (int done = 0; done < count; done += piece) {
    int c = std::min(piece, count - done);
    written += filterPiece(in + done, out + written, c);
  }
  if (window) {
    for (int m = 0; m < written; ++m) out[m] *= window[m];
  }
  return written;
}

int Filter::filterPiece(const float* in, float* out, int count) noexcept {
  const int length = fir->length;
  float* history = fir->history;
  int p = fir->position;
  if (count + length + p > blockCapacity) {
    std::memmove(history, history + p, sizeof(float) * static_cast<size_t>(length));
    p = 0;
  }
  std::memcpy(history + p + length, in, sizeof(float) * static_cast<size_t>(count));
  const float* taps = fir->coefficients;
  const int ratio = std::max(decimationRatio_, 1);
  // Only whole decimation periods produce an output, so the count returned
  // is the count written.
  const int outputs = count / ratio;
  // out[j] = Σ tap[k]·history[p + L − 1 + j·ratio − k]: the reversed taps
  // against the L samples that precede input j·ratio of the block.
  const float* base = history + p;
  for (int j = 0; j < outputs; ++j) {
    const float* x = base + j * ratio;
    float acc = 0;
    for (int k = 0; k < length; ++k) acc += x[k] * taps[k];
    out[j] = acc;
  }
  fir->position = p + count;
  return outputs;
}
