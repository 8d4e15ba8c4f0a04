#include "dsp/FFT.h"

#include <fftw3.h>

#include <algorithm>
#include <cstring>

#include "dsp/FFTPlanner.h"

namespace {

// |z|² of interleaved complex values, times a factor: the only work the
// transform adds to FFTW's. Built for AVX2 as well as the baseline; the CPU
// picks once (a plain function pointer: sanitizers do not run ifunc resolvers).
using PowerPass = void (*)(const float*, float*, int, float);

void powerBaseline(const float* __restrict z, float* __restrict power, int count, float factor) {
  for (int k = 0; k < count; ++k) power[k] = factor * (z[2 * k] * z[2 * k] + z[2 * k + 1] * z[2 * k + 1]);
}

#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target("avx2")]] void powerAvx2(const float* __restrict z, float* __restrict power, int count, float factor) {
  for (int k = 0; k < count; ++k) power[k] = factor * (z[2 * k] * z[2 * k] + z[2 * k + 1] * z[2 * k + 1]);
}

PowerPass choosePowerPass() { return __builtin_cpu_supports("avx2") ? powerAvx2 : powerBaseline; }
#else
PowerPass choosePowerPass() { return powerBaseline; }
#endif

void powerOf(const float* z, float* power, int count, float factor) {
  static const PowerPass pass = choosePowerPass();
  pass(z, power, count, factor);
}

}  // namespace

FFT::FFT(int exponent) : log2n(std::clamp(exponent, 1, 24)), size(1 << log2n) {
  aligned = fftwf_alloc_real(size);
  spectrum = reinterpret_cast<float*>(fftwf_alloc_complex(size / 2 + 1));
  complexData = reinterpret_cast<float*>(fftwf_alloc_complex(size));
  FFTPlanner::plansFor(log2n, &realPlan, &complexPlan);
}

FFT::~FFT() {
  fftwf_free(complexData);
  fftwf_free(spectrum);
  fftwf_free(aligned);
}

void FFT::transform(const float* input, float* power) noexcept {
  // A plan runs on new arrays only with the alignment it was made for; our
  // buffers have it, a caller's may not. The real transform keeps its input.
  float* in = const_cast<float*>(input);
  if (fftwf_alignment_of(in) != 0) {
    std::memcpy(aligned, input, sizeof(float) * static_cast<size_t>(size));
    in = aligned;
  }
  fftwf_execute_dft_r2c(realPlan->load(std::memory_order_acquire), in,
                        reinterpret_cast<fftwf_complex*>(spectrum));
  const int half = size / 2;
  const float* x = spectrum;
  // FFTW gives X[k]; the power is that of 2·X[k], the one-sided density
  // (a tone's energy at +f and −f together). The DC term has no image: it
  // gets half that weight, so a constant reads its own square as a sine of
  // the same mean square reads it. The Nyquist term has no element; a tone
  // there shows in the bins below half the rate, through the window's lobe,
  // and never at 0 Hz.
  powerOf(x, power, half, 4.0f);
  power[0] = 2.0f * x[0] * x[0];
}

void FFT::transformReal(const float* re, const float* im, float* power) noexcept {
  float* z = complexData;
  for (int i = 0; i < size; ++i) {
    z[2 * i] = re[i];
    z[2 * i + 1] = im[i];
  }
  fftwf_complex* data = reinterpret_cast<fftwf_complex*>(z);
  fftwf_execute_dft(complexPlan, data, data);
  const int half = size / 2;
  for (int j = 0; j < size; ++j) {
    int k = j < half ? j + half : j - half;
    power[j] = z[2 * k] * z[2 * k] + z[2 * k + 1] * z[2 * k + 1];
  }
}

void FFT::transformComplex(float* z) noexcept {
  // The complex plan is in place on an aligned buffer; FFTW runs it on
  // another in-place array only with the same alignment.
  if (fftwf_alignment_of(z) == 0) {
    fftwf_complex* data = reinterpret_cast<fftwf_complex*>(z);
    fftwf_execute_dft(complexPlan, data, data);
    return;
  }
  const size_t bytes = sizeof(float) * 2 * static_cast<size_t>(size);
  std::memcpy(complexData, z, bytes);
  fftwf_complex* data = reinterpret_cast<fftwf_complex*>(complexData);
  fftwf_execute_dft(complexPlan, data, data);
  std::memcpy(z, complexData, bytes);
}
