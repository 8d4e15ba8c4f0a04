#pragma once
// Power spectrum of one block whose length is a power of two, on FFTW single
// precision. The scaling is the one the engine's window normalisation and the
// display's dB scale rest on:
//   transform:      power[0] = 2·X[0]²  (DC, which has no image; X[N/2] has no element),
//                   power[k] = 4·|X[k]|² for 1 ≤ k < N/2,
//   transformReal:  power[j] = |Y[j ± N/2]|², the complex DFT with its halves
//                   swapped so that zero frequency sits at index N/2,
// with X, Y the unscaled DFT (no division by N or by any window sum).
//
// Plans come from FFTPlanner (dsp/FFTPlanner.h): building an FFT never runs a
// measurement, and the transforms never plan or allocate.

#include <atomic>

struct fftwf_plan_s;

class FFT {
 public:
  // log2n is the size exponent, not the number of points (1 ≤ log2n ≤ 24).
  // Allocates every buffer the transforms use. Any thread.
  explicit FFT(int log2n);
  ~FFT();
  FFT(const FFT&) = delete;
  FFT& operator=(const FFT&) = delete;

  int length() const noexcept { return size; }
  int exponent() const noexcept { return log2n; }

  // Real forward transform of length() samples into length()/2 power values.
  // No allocation, no locking. One thread at a time per object.
  void transform(const float* input, float* power) noexcept;

  // Complex forward transform of length() points (real and imaginary parts)
  // into length() power values, most negative frequency first.
  void transformReal(const float* re, const float* im, float* power) noexcept;

  // Complex forward DFT of length() interleaved points (re, im) in place,
  // unscaled: z[k] ← Σ z[n]·e^{−2πjkn/N}. The inverse is conj(DFT(conj(z)))/N.
  // A buffer from fftwf_alloc_complex is transformed where it is; any other
  // goes through the object's own. No allocation, no locking.
  void transformComplex(float* z) noexcept;

 private:
  int log2n;
  int size;
  float* aligned;          // aligned copy of an input the plan cannot read in place
  float* spectrum;         // size/2 + 1 complex values of the real transform
  float* complexData;      // size complex values of the complex transform
  const std::atomic<fftwf_plan_s*>* realPlan;  // best plan known; may improve
  fftwf_plan_s* complexPlan;
};
