#pragma once
// The spectrum engine: turns the blocks of one input channel into linear
// power spectra. Its configuration (RBW, sampling rate, window type, span)
// picks a power-of-two FFT length between 2^14 and 2^19 and a window whose
// coefficients sum to N/(2√2), so that a sinusoid of amplitude A centred on a
// bin gives output[k] = A²·N²/8 and output[k] / bins² reads A²/2, whatever the
// window's length and shape.
//
// Threads: the compute calls and fill() run on the thread that processes the
// blocks (the main thread), one at a time; so do the accessors. Reconfiguration and clearBuffer() take the lock
// and may run on any thread; a compute call that meets them only tries the
// lock and drops its block, returning a record with validBins 0 and bins 0.
// The result record and its output buffer are written by the compute calls
// only, so the computing thread can read them while another thread
// reconfigures; the output buffer is never replaced.

#include <cstdint>
#include <memory>
#include <mutex>

#include "dsp/FFT.h"
#include "dsp/WindowShape.h"
#include "platform/BlockLength.h"

// What the engine returns for every block.
struct SpectrumResult {
  float* output;        // bins power values; bin k at k·samplingRate/N. Engine-owned.
  int bins;             // N/2
  int validBins;        // bins when this call produced a new spectrum, else 0
  int windowedBins;     // non-zero window points (the Gaussian's frame length)
  int availableBuffer;  // samples held before this call's block was added
  float scale, lower, upper;  // unused, 0
  int mode;
  uint8_t hasData;
};

// One row of the window table: a window right-aligned in N floats.
struct WindowEntry {
  float* array;      // null until first needed
  int windowedBins;  // non-zero points L (Gaussian: frame length M)
};

class Spectrum {
 public:
  static constexpr int kMinExponent = 14;
  static constexpr int kMaxExponent = 19;
  static constexpr int kMaxLength = 1 << kMaxExponent;

  // Allocates the ring, the time buffer and the output buffer (about 7 MiB),
  // then configures for rbw/samplingRate/shape at full span.
  Spectrum(float rbw, float samplingRate, WindowShape shape);
  ~Spectrum();
  Spectrum(const Spectrum&) = delete;
  Spectrum& operator=(const Spectrum&) = delete;

  // Reconfigures; false when all four values equal the current ones (nothing
  // changes then). span = (upper − lower frequency)·2/samplingRate; below 0.2
  // it lengthens the FFT (finer bins) while the window stays. Every effective
  // reconfiguration clears the ring. Holds the lock throughout. Any thread.
  // A value outside the five shapes is taken as the Gaussian. The flat-top's
  // noise bandwidth is the RBW like the others', and a sine between two bins
  // reads within 0.01 dB of its level. The seven-term Blackman–Harris's too:
  // its window is 2.63 noise bandwidths long where the Blackman's is 1.73,
  // and its leakage lies below −180 dB, for readings of distortion and
  // noise far below a full-scale tone.
  bool setResolutionBandwidth(float rbw, float samplingRate, WindowShape shape, float span);

  // Normal analysis: a spectrum every N/2 samples once the ring is full, and
  // at 2^14, 2^15, … samples while it fills, but only where the window's
  // non-zero points lie within the samples received since the last clear.
  // count must divide N (the block length does). Never allocates, never waits.
  SpectrumResult* compute(const float* samples, int count) noexcept;

  // Sweep analysis: a spectrum every max(2·count, windowedBins/4) samples,
  // the first once the ring holds the window's length since the last clear.
  SpectrumResult* computeWithOverlap(const float* samples, int count) noexcept;

  // Analysis of a recording taken whole (a sound file): a window every
  // evenHop() samples, the first ending on the windowedBins()-th sample
  // received since the last clear, so that every sample but those of the
  // first and last window lengths lies in as many windows as any other, at
  // the same summed squared weight (see evenHop). Takes the samples up to the
  // end of the next window, at most count, appends them and says in *taken
  // how many; the record holds a spectrum (validBins = bins) when they
  // completed a window. Call it again with the rest of the block until it is
  // all taken. A call that meets a reconfiguration takes the whole block and
  // drops it, as the other compute calls do. Only with setEvenSchedule(true).
  SpectrumResult* computeEvenly(const float* samples, int count, int* taken) noexcept;
  // Turns the schedule of computeEvenly on or off; on, every configuration
  // picks its hop (a pass over the window per candidate hop). Clears the
  // ring. Any thread.
  void setEvenSchedule(bool on);
  bool evenSchedule() const noexcept { return evenHop_ > 0; }
  // The hop of computeEvenly, 0 with the schedule off: the longest of
  // (L − 1)/2, (L − 1)/3, … rounded to whole samples (at least 1), L the
  // window's points, at which the window's squared coefficients summed over
  // the windows holding a sample differ from one sample to another by at
  // most kEvenWeightRipple. Hann, Blackman and the flat-top are sums of
  // cosines over L − 1 samples, their squares too, with twice the harmonics:
  // the sum is flat once the hop parts L − 1 into more pieces than the
  // square's highest harmonic, but for the rounding. That is a third of the
  // window for Hann and a fifth for Blackman; for the flat-top an eighth,
  // its square's highest harmonic being too weak to matter. The Gaussian's
  // square is smooth and narrower than its frame: an eleventh of the frame
  // at RBW 10 Hz, a few samples for the shortest frames.
  int evenHop() const noexcept { return evenHop_; }
  // The largest ratio of two samples' summed squared weights evenHop allows
  // (0.01 dB).
  static constexpr double kEvenWeightRipple = 1.0023;
  // Spectra computeEvenly made since the last clear. Together they weigh as
  // much as evenHop() · evenSpectra() samples at the weight of a sample away
  // from the ends: the length of signal their mean stands for.
  int64_t evenSpectra() const noexcept { return evenSpectra_; }

  // Appends a block to the ring without computing; like the compute calls it
  // only tries the lock and drops a block that meets a reconfiguration.
  void fill(const float* samples, int count) noexcept;

  // Empties the ring. Takes the lock, so a compute call meeting it drops its block.
  void clearBuffer();

  int bins() const noexcept { return fftBufferLength / 2; }
  int span() const noexcept { return fftBufferLength / 2; }  // the bin count, as bins()
  float samplingRate() const noexcept { return samplingRate_; }
  WindowShape windowShape() const noexcept { return windowShape_; }
  // The shape's number, as the window menu's tags and the settings keep it.
  int windowType() const noexcept { return static_cast<int>(windowShape_); }
  // Samples between two spectra in overlap mode for blocks of count samples.
  int overlapHop(int count = platform::kBlockLength) const noexcept;
  // The current window's non-zero points (the Gaussian's frame length).
  int windowedBins() const noexcept;
  // Spectra per second in overlap mode for blocks of count samples: one per
  // hop, so that a sweep that rises one bin per spectrum moves at the pace
  // the spectra come in (for short windows the hop is two blocks, longer
  // than a quarter window).
  float binsPerSecond(int count = platform::kBlockLength) const noexcept;

  // The most bins a tone may rise per spectrum of overlap mode (blocks of
  // count samples) while the spectrum of the bin it passes near the centre
  // of the window reads its level at most lossDb low: a linear chirp through
  // the window, up to what it rises in kSweepTimingSpectra spectra off the
  // bin (a retune takes effect with the generator's next block, a server's
  // latency readings jitter, its input comes in bursts under load),
  // |Σ w(n)·exp(i(π·r·n² + 2π·d·n))|²
  // against (Σ w(n))², r the chirp's rate in cycles per sample², d the offset
  // in cycles per sample. At least 1. A pass over the window for each of
  // some thirty trial steps; same thread as the reconfiguration.
  int sweepStepLimit(int count, double lossDb) const noexcept;
  // The spectra by which a sweep's timing may be off (see sweepStepLimit).
  static constexpr double kSweepTimingSpectra = 4;

  // Single-bin Goertzel power; tone is the cosine of the bin's angular frequency.
  float goertzel(const float* values, float tone, int length) const noexcept;

  // Inspection (same thread as the reconfiguration).
  float bandwidth() const noexcept { return bandwidth_; }
  float spanFraction() const noexcept { return span_; }
  int fftSize() const noexcept { return fftSize_; }
  int fftLength() const noexcept { return fftBufferLength; }
  const WindowEntry& windowEntry(int row) const noexcept { return window[row]; }
  int availableSamples() const noexcept { return availableBuffer; }
  // Samples appended since the last clear (not capped at the ring's
  // length): after a compute call that made a spectrum, the place of its
  // window's newest sample, counted from the clear.
  int64_t samplesSinceClear() const noexcept { return appendedSinceClear_; }
  int accumulatedSamples() const noexcept { return accumulatedData; }
  // fs·Σw²/(Σw)² of the current row, in Hz: the RBW the window gives.
  double noiseBandwidth() const noexcept { return fft ? rowNoiseBandwidth(fftSize_) : 0.0; }

 private:
  void clearRing() noexcept;
  void append(const float* samples, int count) noexcept;
  void computeSpectrum() noexcept;
  bool windowIsFilled() const noexcept;
  double rowNoiseBandwidth(int row) const noexcept;
  int chooseEvenHop() const noexcept;
  void normalise(float* array, int length) noexcept;
  void makeWindow(int row, int length, float fraction) noexcept;
  void makeHannWindow(int row, int length, float fraction) noexcept;
  void makeBlackmanWindow(int row, int length, float fraction) noexcept;
  void makeGaussianWindow(int row, int length, float fraction) noexcept;
  void makeFlatTopWindow(int row, int length, float fraction) noexcept;
  void makeBlackmanHarris7Window(int row, int length, float fraction) noexcept;
  void generateGaussian(int row, int length, float fraction) noexcept;

  WindowEntry window[kMaxExponent + 1];
  std::unique_ptr<FFT> fft;
  SpectrumResult result;
  SpectrumResult dropped;  // returned for a block that met the lock; never written after construction
  float samplingRate_ = 0;
  float bandwidth_ = 0;
  float span_ = 0;
  WindowShape windowShape_ = WindowShape::Blackman;
  // Noise bandwidth in bins of each shape filling the whole buffer, in the
  // order of WindowShape.
  float minWindowBandwidth[5] = {1.728f, 1.808f, 1.5f, 3.8112f, 2.6319f};
  float* inputRing = nullptr;   // 2·kMaxLength: every sample at p and p + N
  float* timeBuffer = nullptr;  // kMaxLength
  float* outputBuffer = nullptr;  // kMaxLength/2, allocated once, never replaced
  float droppedOutput[1] = {0};
  int fftSize_ = 0;
  int fftBufferLength = 0;
  int bufferIndex = 0;
  int availableBuffer = 0;
  int accumulatedData = 0;
  int receivedSinceClear = 0;  // samples appended since the last clear, never above N
  int64_t appendedSinceClear_ = 0;  // the same, not capped
  // computeEvenly: the hop (0: off), samples taken since the last clear, the
  // count at which the next window ends (0: the window's length, the first)
  // and the spectra made.
  int evenHop_ = 0;
  int64_t evenTaken_ = 0;
  int64_t evenNextEnd_ = 0;
  int64_t evenSpectra_ = 0;
  std::mutex lock;
};
