#include "dsp/Spectrum.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr double kTwoPi = 6.283185307;
constexpr double kFourPi = 12.566370614;

// A window whose noise bandwidth misses the RBW by more than this is resized
// (see setResolutionBandwidth). The window formulas land within it for most
// lengths; they miss it for short Hann and Blackman windows, whose L points
// span only L − 1 periods of the shape, and for Gaussians whose frame was not
// shortened, where the σ rule drifts to 2 % narrow.
constexpr double kBandwidthTolerance = 0.009;
// A resized window aims at the RBW to this (Hann and Blackman can get no
// closer than their nearest point count).
constexpr double kBandwidthTarget = 0.001;
constexpr int kResizePasses = 4;

bool isEnginePowerOfTwo(int value, int below) {
  for (int m = Spectrum::kMinExponent; m < below; ++m)
    if (value == (1 << m)) return true;
  return false;
}

}  // namespace

Spectrum::Spectrum(float rbw, float rate, WindowShape shape) {
  for (int row = 0; row <= kMaxExponent; ++row) window[row] = WindowEntry{nullptr, 1 << row};
  // Neither buffer is filled here: each configuration clears the ring's
  // first 2·N floats, the only ones it uses, and every transform writes the
  // time buffer's first N before it reads them. The pages past the
  // configured length are never touched, so a short FFT's engine costs the
  // memory of its own length only.
  inputRing = new float[2 * static_cast<size_t>(kMaxLength)];
  timeBuffer = fftwf_alloc_real(kMaxLength);  // aligned: the FFT reads it in place
  // Zeroed, and untouched past the bins a spectrum writes.
  outputBuffer = static_cast<float*>(std::calloc(kMaxLength / 2, sizeof(float)));
  if (!outputBuffer) throw std::bad_alloc();
  result = SpectrumResult{outputBuffer, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  dropped = SpectrumResult{droppedOutput, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  setResolutionBandwidth(rbw, rate, shape, rate / 2);
}

Spectrum::~Spectrum() {
  for (WindowEntry& row : window) delete[] row.array;
  std::free(outputBuffer);
  fftwf_free(timeBuffer);
  delete[] inputRing;
}

bool Spectrum::setResolutionBandwidth(float rbw, float rate, WindowShape shape, float spanFraction) {
  if (static_cast<unsigned>(shape) > static_cast<unsigned>(WindowShape::BlackmanHarris7)) shape = WindowShape::Gaussian;
  // A bandwidth or rate that is not a positive number has no window; keep the
  // configuration we have.
  if (!(rbw > 0) || !(rate > 0) || !std::isfinite(rbw) || !std::isfinite(rate) || std::isnan(spanFraction))
    return false;

  // The comparison is made under the lock too: reconfigurations may come from
  // more than one thread.
  std::lock_guard guard(lock);
  if (rbw == bandwidth_ && rate == samplingRate_ && shape == windowShape_ && spanFraction == span_) return false;
  bandwidth_ = rbw;
  samplingRate_ = rate;
  windowShape_ = shape;
  span_ = spanFraction;

  // The shortest FFT whose full-length window is narrower than the RBW.
  const float noiseBandwidth = rate * minWindowBandwidth[static_cast<int>(shape)];
  int e = kMinExponent;
  float f = noiseBandwidth / static_cast<float>(1 << e);
  while (!(rbw > f) && e < kMaxExponent) {
    ++e;
    f = noiseBandwidth / static_cast<float>(1 << e);
  }
  // A narrow span gets finer bins from a longer FFT; the window stays as long.
  if (e <= 17 && static_cast<double>(spanFraction) < 0.2) {
    int k = static_cast<double>(spanFraction) < 0.04 ? 3 : static_cast<double>(spanFraction) < 0.08 ? 2 : 1;
    int zoomed = std::min(e + k, 18);
    f = f * std::ldexp(1.0f, -(zoomed - e));
    e = zoomed;
  }
  fftSize_ = e;
  fftBufferLength = 1 << e;
  clearRing();

  // The window's share of the buffer: minWindowBandwidth·rate/rbw points, so
  // that its noise bandwidth is the RBW at the actual sampling rate.
  float fraction = static_cast<float>(static_cast<double>(f) * static_cast<double>(rate) /
                                      static_cast<double>(static_cast<float>(rbw * rate)));
  if (!fft || fft->exponent() != e) {
    fft.reset();
    fft = std::make_unique<FFT>(e);
  }

  // Only the current row is read by the computation, so only it is built.
  WindowEntry& row = window[e];
  if (!row.array) row.array = new float[kMaxLength];
  makeWindow(e, fftBufferLength, fraction);

  // The noise bandwidth the row really has. Where the window formulas miss
  // the RBW by more than the tolerance, the length is scaled by the miss
  // (the bandwidth goes as the inverse of the length) and the row rebuilt,
  // keeping the best of a few passes. A window that already fills the buffer
  // cannot grow: when even 2^19 points are too few, the window keeps filling
  // the buffer and its bandwidth stays above the RBW. That happens for RBWs
  // up to minWindowBandwidth bins of 2^19, 0.13 to 0.15 Hz at 44.1 kHz and
  // 0.55 to 0.66 Hz at 192 kHz, so for none of the RBWs the interface offers
  // (1 Hz at 192 kHz takes 2/3 of 2^19 points). The Gaussian then becomes
  // the buffer-filling Hann of 1.5 bins, narrower than RBWs between 1.5 and
  // 1.8 bins of 2^19.
  double miss = rowNoiseBandwidth(e) / static_cast<double>(rbw);
  if (std::abs(miss - 1) > kBandwidthTolerance) {
    float best = fraction;
    double bestMiss = miss;
    for (int pass = 0; pass < kResizePasses && std::abs(miss - 1) > kBandwidthTarget; ++pass) {
      if (miss > 1 && fraction >= 1.0f) break;  // already fills the buffer
      fraction = std::min(static_cast<float>(static_cast<double>(fraction) * miss), 1.0f);
      makeWindow(e, fftBufferLength, fraction);
      miss = rowNoiseBandwidth(e) / static_cast<double>(rbw);
      if (std::abs(miss - 1) < std::abs(bestMiss - 1)) {
        best = fraction;
        bestMiss = miss;
      }
    }
    if (best != fraction) makeWindow(e, fftBufferLength, best);
  }
  if (evenHop_ > 0) evenHop_ = chooseEvenHop();
  return true;
}

void Spectrum::setEvenSchedule(bool on) {
  std::lock_guard guard(lock);
  evenHop_ = on && fft ? chooseEvenHop() : 0;
  clearRing();
}

// The sum of the squared coefficients of every window holding a sample
// depends only on the sample's place between two window starts: for a hop
// H it is, at place j, the sum of w[j + iH]² over i. The first hop whose
// sums over the H places stay within the ripple wins.
int Spectrum::chooseEvenHop() const noexcept {
  const int n = fftBufferLength;
  const int points = std::clamp(window[fftSize_].windowedBins, 1, n);
  const float* w = window[fftSize_].array + (n - points);
  int tried = 0;
  for (int parts = 2;; ++parts) {
    const int hop = std::max(1, static_cast<int>(std::lround(static_cast<double>(points - 1) / parts)));
    if (hop == 1) return 1;
    if (hop == tried) continue;
    tried = hop;
    double least = 0, most = 0;
    for (int j = 0; j < hop; ++j) {
      double sum = 0;
      for (int i = j; i < points; i += hop) sum += static_cast<double>(w[i]) * static_cast<double>(w[i]);
      least = j == 0 ? sum : std::min(least, sum);
      most = std::max(most, sum);
    }
    if (least > 0 && most <= least * kEvenWeightRipple) return hop;
  }
}

// fs·Σw²/(Σw)² over the row's non-zero points, in Hz.
double Spectrum::rowNoiseBandwidth(int row) const noexcept {
  const WindowEntry& entry = window[row];
  const int length = 1 << row;
  const int points = std::clamp(entry.windowedBins, 1, length);
  double sum = 0, squares = 0;
  for (int i = length - points; i < length; ++i) {
    const double w = entry.array[i];
    sum += w;
    squares += w * w;
  }
  return sum > 0 ? static_cast<double>(samplingRate_) * squares / (sum * sum) : 0.0;
}

// The result record and the output buffer are left alone: only the compute
// calls write them, so whoever reads a returned record on the computing thread
// never meets a clear or reconfiguration made from another thread.
void Spectrum::clearRing() noexcept {
  bufferIndex = 0;
  availableBuffer = 0;
  receivedSinceClear = 0;
  appendedSinceClear_ = 0;
  evenTaken_ = 0;
  evenNextEnd_ = 0;
  evenSpectra_ = 0;
  std::fill_n(inputRing, 2 * static_cast<size_t>(fftBufferLength), 0.0f);
}

void Spectrum::clearBuffer() {
  std::lock_guard guard(lock);
  clearRing();
}

void Spectrum::append(const float* samples, int count) noexcept {
  const int n = fftBufferLength;
  if (count <= 0 || !samples) return;
  appendedSinceClear_ += count;
  int total = availableBuffer + count;
  // Only the newest N samples of a longer block can matter.
  if (count > n) {
    samples += count - n;
    count = n;
  }
  // Every sample goes to p and p + N, so the N newest are always contiguous.
  // A block that does not divide N wraps in two pieces.
  int first = std::min(count, n - bufferIndex);
  std::memcpy(inputRing + bufferIndex, samples, sizeof(float) * static_cast<size_t>(first));
  std::memcpy(inputRing + bufferIndex + n, samples, sizeof(float) * static_cast<size_t>(first));
  int rest = count - first;
  if (rest > 0) {
    std::memcpy(inputRing, samples + first, sizeof(float) * static_cast<size_t>(rest));
    std::memcpy(inputRing + n, samples + first, sizeof(float) * static_cast<size_t>(rest));
  }
  bufferIndex = (bufferIndex + count) % n;
  availableBuffer = std::min(total, n);
  receivedSinceClear = std::min(receivedSinceClear + count, n);
}

// True when every non-zero point of the window falls on a sample received
// since the last clear: a spectrum taken earlier would window part of the
// zeroed ring and read low.
bool Spectrum::windowIsFilled() const noexcept {
  return receivedSinceClear >= window[fftSize_].windowedBins;
}

void Spectrum::computeSpectrum() noexcept {
  const int n = fftBufferLength;
  const float* newest = inputRing + bufferIndex;
  const float* w = window[fftSize_].array;
  for (int i = 0; i < n; ++i) timeBuffer[i] = newest[i] * w[i];
  fft->transform(timeBuffer, outputBuffer);
}

SpectrumResult* Spectrum::compute(const float* samples, int count) noexcept {
  std::unique_lock guard(lock, std::try_to_lock);
  // A block that meets a reconfiguration is lost.
  if (!guard.owns_lock() || !fft) return &dropped;
  const int n = fftBufferLength;
  const int bins = n / 2;
  count = samples ? std::max(count, 0) : 0;
  result.bins = bins;
  result.windowedBins = window[fftSize_].windowedBins;
  result.availableBuffer = availableBuffer;

  const int total = availableBuffer + count;
  append(samples, count);
  bool due;
  if (total >= n) {
    accumulatedData += count;
    due = accumulatedData >= bins;
  } else {
    // While the ring fills, spectra come at 2^14, 2^15, … samples held, once
    // the window lies within them (its older, zeroed part is then outside it).
    due = isEnginePowerOfTwo(availableBuffer, fftSize_) && windowIsFilled();
    if (!due) std::fill_n(outputBuffer, bins, 0.0f);
  }
  if (due) {
    accumulatedData = 0;
    computeSpectrum();
    result.validBins = bins;
  } else {
    result.validBins = 0;
  }
  return &result;
}

SpectrumResult* Spectrum::computeWithOverlap(const float* samples, int count) noexcept {
  std::unique_lock guard(lock, std::try_to_lock);
  if (!guard.owns_lock() || !fft) return &dropped;
  const int bins = fftBufferLength / 2;
  count = samples ? std::max(count, 0) : 0;
  result.bins = bins;
  result.windowedBins = window[fftSize_].windowedBins;
  result.availableBuffer = availableBuffer;

  append(samples, count);
  // One spectrum per quarter window, but not more often than every second
  // block, so that a sweep advances one bin per spectrum; none before the
  // window lies within the samples received since the last clear.
  const int hop = std::max(2 * count, window[fftSize_].windowedBins / 4);
  if (availableBuffer < hop || !windowIsFilled()) {
    result.validBins = 0;
    return &result;
  }
  computeSpectrum();
  availableBuffer = 0;
  result.validBins = bins;
  return &result;
}

SpectrumResult* Spectrum::computeEvenly(const float* samples, int count, int* taken) noexcept {
  count = samples ? std::max(count, 0) : 0;
  *taken = count;
  std::unique_lock guard(lock, std::try_to_lock);
  if (!guard.owns_lock() || !fft || evenHop_ <= 0) return &dropped;
  const int bins = fftBufferLength / 2;
  result.bins = bins;
  result.windowedBins = window[fftSize_].windowedBins;
  result.availableBuffer = availableBuffer;
  result.validBins = 0;
  if (evenNextEnd_ == 0) evenNextEnd_ = result.windowedBins;
  // Up to the end of the next window: append() keeps the newest N samples,
  // and the window lies at the newest end of them.
  const int take = static_cast<int>(std::min<int64_t>(count, evenNextEnd_ - evenTaken_));
  *taken = take;
  append(samples, take);
  evenTaken_ += take;
  if (evenTaken_ == evenNextEnd_) {
    computeSpectrum();
    evenNextEnd_ += evenHop_;
    ++evenSpectra_;
    result.validBins = bins;
  }
  return &result;
}

void Spectrum::fill(const float* samples, int count) noexcept {
  // Like the compute calls, a block that meets a reconfiguration is lost.
  std::unique_lock guard(lock, std::try_to_lock);
  if (!guard.owns_lock() || !fft) return;
  append(samples, std::max(count, 0));
}

int Spectrum::overlapHop(int count) const noexcept {
  return std::max({1, 2 * count, window[fftSize_].windowedBins / 4});
}

int Spectrum::windowedBins() const noexcept { return window[fftSize_].windowedBins; }

float Spectrum::binsPerSecond(int count) const noexcept {
  return samplingRate_ / static_cast<float>(overlapHop(count));
}

int Spectrum::sweepStepLimit(int count, double lossDb) const noexcept {
  const WindowEntry& row = window[fftSize_];
  const int points = row.windowedBins;
  if (!row.array || points < 2 || fftBufferLength <= 0) return 1;
  const float* w = row.array + (fftBufferLength - points);
  const double centre = 0.5 * (points - 1);
  double sum = 0;
  for (int n = 0; n < points; ++n) sum += w[n];
  if (!(sum > 0)) return 1;
  const double hop = overlapHop(count);
  const double perStep = 1.0 / (static_cast<double>(fftBufferLength) * hop);
  // The tone may lie what it rises in kSweepTimingSpectra spectra off the
  // bin at the window's centre: the generator takes a retune at the start
  // of its next block, a server's latency readings jitter by a cycle or so,
  // and a server under load delivers the input in bursts.
  const double offsetPerStep = kSweepTimingSpectra / fftBufferLength;
  auto loss = [&](double step) {
    const double rate = std::numbers::pi * step * perStep;
    const double offset = 2 * std::numbers::pi * step * offsetPerStep;
    double re = 0, im = 0;
    for (int n = 0; n < points; ++n) {
      const double t = n - centre;
      const double phase = rate * t * t + offset * t;
      re += w[n] * std::cos(phase);
      im += w[n] * std::sin(phase);
    }
    return -10.0 * std::log10((re * re + im * im) / (sum * sum));
  };
  // The loss grows with the rate until the chirp leaves the window's main
  // lobe, far beyond the steps worth trying.
  constexpr double kLargest = 4096;
  double good = 1, bad = 2;
  if (loss(good) > lossDb) return 1;
  while (bad <= kLargest && loss(bad) <= lossDb) {
    good = bad;
    bad *= 2;
  }
  if (bad > kLargest) return static_cast<int>(good);
  for (int k = 0; k < 20 && bad - good > 0.5; ++k) {
    const double middle = 0.5 * (good + bad);
    (loss(middle) <= lossDb ? good : bad) = middle;
  }
  return static_cast<int>(good);
}

float Spectrum::goertzel(const float* values, float tone, int length) const noexcept {
  if (length <= 0) return 0;
  const double coefficient = 2.0 * static_cast<double>(tone);
  double s1 = 0, s2 = 0;
  for (int i = 0; i < length; ++i) {
    double s = static_cast<double>(values[i]) + coefficient * s1 - s2;
    s2 = s1;
    s1 = s;
  }
  return static_cast<float>(s1 * s1 + s2 * s2 - coefficient * s1 * s2);
}

// Scales a row so that its coefficients sum to length/(2√2): a sinusoid
// centred on a bin then reads its mean-square value after division by bins².
void Spectrum::normalise(float* array, int length) noexcept {
  float sum = 0;
  for (int i = 0; i < length; ++i) sum += array[i];
  const float gain = static_cast<float>(static_cast<double>(length) /
                                        (static_cast<double>(sum) * 2.8284271247461903));
  for (int i = 0; i < length; ++i) array[i] *= gain;
}

void Spectrum::makeWindow(int row, int length, float fraction) noexcept {
  switch (windowShape_) {
    case WindowShape::Blackman: makeBlackmanWindow(row, length, fraction); break;
    case WindowShape::Hann: makeHannWindow(row, length, fraction); break;
    case WindowShape::FlatTop: makeFlatTopWindow(row, length, fraction); break;
    case WindowShape::BlackmanHarris7: makeBlackmanHarris7Window(row, length, fraction); break;
    default: makeGaussianWindow(row, length, fraction); break;
  }
}

namespace {

// Hann and Blackman are zero at both ends: fewer than three points would
// leave nothing to normalise.
constexpr int kMinPoints = 3;

int pointsFor(float base, float fraction, int length) {
  // Capped before the conversion: a very small RBW asks for more points than
  // an int holds, and the window then fills the buffer.
  const double wanted = static_cast<double>(base * fraction) + 0.5;
  const int points = wanted < length ? static_cast<int>(wanted) : length;
  return std::clamp(points, std::min(kMinPoints, length), length);
}

}  // namespace

void Spectrum::makeHannWindow(int row, int length, float fraction) noexcept {
  float* array = window[row].array;
  const int points = pointsFor(static_cast<float>(length), fraction, length);
  std::fill_n(array, length, 0.0f);
  float* start = array + (length - points);
  const double step = kTwoPi / (points - 1);
  for (int n = 0; n < points; ++n) start[n] = static_cast<float>(0.5 - 0.5 * std::cos(n * step));
  window[row].windowedBins = points;
  normalise(array, length);
}

void Spectrum::makeBlackmanWindow(int row, int length, float fraction) noexcept {
  float* array = window[row].array;
  const int points = pointsFor(static_cast<float>(1 << row), fraction, length);
  std::fill_n(array, length, 0.0f);
  float* start = array + (length - points);
  const float last = static_cast<float>(points - 1);
  for (int n = 0; n < points; ++n) {
    const float b = static_cast<float>(n) / last;
    start[n] = static_cast<float>(0.42 - 0.5 * std::cos(kTwoPi * b) + 0.08 * std::cos(kFourPi * b));
  }
  window[row].windowedBins = points;
  normalise(array, length);
}

// A five-term flat-top: its main lobe is flat to within a few thousandths of
// a dB over a bin, so a sine reads its level wherever it falls, at the price
// of a noise bandwidth of 3.81 bins (the window is that much longer for the
// same RBW). Highest side lobe about −95 dB.
void Spectrum::makeFlatTopWindow(int row, int length, float fraction) noexcept {
  constexpr double a[5] = {1.0, 1.9383379, 1.3045202, 0.4028270, 0.0350665};
  float* array = window[row].array;
  const int points = pointsFor(static_cast<float>(1 << row), fraction, length);
  std::fill_n(array, length, 0.0f);
  float* start = array + (length - points);
  const double step = kTwoPi / (points - 1);
  for (int n = 0; n < points; ++n) {
    // cos 2z, 3z and 4z from cos z (Chebyshev): one cosine per point.
    const double c = std::cos(n * step), c2 = c * c;
    const double cos2 = 2 * c2 - 1, cos3 = (4 * c2 - 3) * c, cos4 = 8 * c2 * (c2 - 1) + 1;
    start[n] = static_cast<float>(a[0] - a[1] * c + a[2] * cos2 - a[3] * cos3 + a[4] * cos4);
  }
  window[row].windowedBins = points;
  normalise(array, length);
}

// The seven-term Blackman–Harris of Albrecht ("A family of cosine-sum
// windows for high-resolution measurements", ICASSP 2001): side lobes below
// −180 dB, a main lobe of ±7 bins of its own length, a noise bandwidth of
// 2.6319 bins. Each cosine is taken on its own in double precision: the
// recurrence of the flat-top would leave its rounding in the side lobes.
void Spectrum::makeBlackmanHarris7Window(int row, int length, float fraction) noexcept {
  constexpr double a[7] = {0.27105140069342, 0.43329793923448, 0.21812299954311, 0.06592544638803,
                           0.01081174209837, 0.00077658482522, 0.00001388721735};
  float* array = window[row].array;
  const int points = pointsFor(static_cast<float>(1 << row), fraction, length);
  std::fill_n(array, length, 0.0f);
  float* start = array + (length - points);
  const double step = 2 * std::numbers::pi / (points - 1);
  for (int n = 0; n < points; ++n) {
    double value = a[0];
    for (int k = 1; k < 7; ++k) value += (k % 2 ? -a[k] : a[k]) * std::cos(k * n * step);
    start[n] = static_cast<float>(value);
  }
  window[row].windowedBins = points;
  normalise(array, length);
}

void Spectrum::makeGaussianWindow(int row, int length, float fraction) noexcept {
  if (static_cast<double>(fraction) > 0.999)
    makeHannWindow(row, length, fraction);
  else
    generateGaussian(row, 1 << row, fraction);
}

// A Hann window times a Gaussian. Short windows are built as a shorter frame
// (halved until the fraction exceeds 0.3) so that the Gaussian stays well
// inside its frame.
void Spectrum::generateGaussian(int row, int length, float fraction) noexcept {
  float* array = window[row].array;
  int frame = length;
  float x = fraction;
  for (int halvings = 0; static_cast<double>(x) <= 0.3 && halvings < 8; ++halvings) {
    x = x + x;
    frame /= 2;
  }
  const float t = static_cast<float>(1.878 / static_cast<double>(x));
  const float t2 = t * t;
  const float sigma = static_cast<float>(
      0.5787 / static_cast<double>(static_cast<float>(std::sqrt(static_cast<double>(t2) - 2.25))));

  std::fill_n(array, length, 0.0f);
  float* start = array + (length - frame);
  const double centre = (frame - 1) * 0.5;
  const double step = kTwoPi / (frame - 1);
  const double width = static_cast<double>(sigma) * centre;
  for (int n = 0; n < frame; ++n) {
    const double d = (n - centre) / width;
    start[n] = static_cast<float>((0.5 - 0.5 * std::cos(n * step)) * std::exp(-0.5 * d * d));
  }
  window[row].windowedBins = frame;
  normalise(array, length);
}
