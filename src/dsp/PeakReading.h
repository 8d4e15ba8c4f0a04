#pragma once
// Readings of a trace through the shape of the window that made it: the
// frequency and level of a sine that falls between two bins, and the noise
// density under a band of bins.
//
// Units are the trace's (Spectrum.h): linear power per bin, which divided by
// bins² is mean-square amplitude. A sine centred on a bin reads its
// mean-square there; a sine δ bins away from it reads Γ(δ) times less, where
// Γ is the window's own power response, |W(δ)|²/|W(0)|². WindowResponse
// takes Γ from the engine's window once per configuration; the readings then
// invert it around the highest bin.
//
// A real sine at k0 bins has an image at −k0 (and, past the Nyquist
// frequency, at 2·bins − k0) whose response adds to the bins near a tone
// close to either edge. There the readings fit both responses instead,
// through the window's amplitude response W(δ)/W(0), and say when the two
// lobes lie too close together to tell apart.
//
// Threads: prepare() allocates and belongs where the engine is configured;
// the readings allocate nothing, take no lock and may run on any thread that
// owns the trace's values for the call (the main thread, under the trace's
// lock, for the live trace).

#include <vector>

class Spectrum;
struct TraceData;

class WindowResponse {
 public:
  // Power response samples from 0 to flank() + 1 bins of offset.
  static constexpr int kSteps = 1024;
  // Amplitude response samples from 0 to 16 noise bandwidths of offset, 256
  // to the noise bandwidth.
  static constexpr int kAmplitudeSteps = 4096;

  // Takes the engine's current window (its row, FFT length and rate).
  // Called on the thread that configures the engine, with no block being
  // computed meanwhile.
  void prepare(const Spectrum& engine);
  // The same from a window's non-zero points, transformed in fftLength
  // points at samplingRate.
  void prepare(const float* window, int points, int fftLength, float samplingRate);
  void clear() { bins_ = 0; }

  // A response has been taken.
  bool valid() const noexcept { return bins_ > 0; }
  // The configuration's bin count (fftLength / 2) and rate; a trace of
  // another bin count was made with another window.
  int bins() const noexcept { return bins_; }
  float samplingRate() const noexcept { return samplingRate_; }
  // fs·Σw²/(Σw)², in Hz: what white noise reads per bin, divided by its
  // one-sided density (the window's equivalent noise bandwidth).
  double noiseBandwidth() const noexcept { return noiseBandwidth_; }
  // The same in bins.
  double noiseBandwidthBins() const noexcept { return noiseBandwidthBins_; }
  // The two bins whose ratio a peak reading uses lie this many bins either
  // side of the highest one: half the noise bandwidth, at least 1, so that
  // they sit on the main lobe's flanks where the ratio says most.
  int flank() const noexcept { return flank_; }
  // How far from the highest bin the sine may lie: half a bin beyond the
  // lobe's top, the offsets where it reads within 0.01 dB of its highest.
  // Half a bin for a lobe that falls from its centre at once; more where
  // the lobe is flat over several bins (a window much shorter than the FFT,
  // or the flat-top, whose lobe rises by 0.004 dB off its centre).
  double reach() const noexcept { return reach_; }
  // Γ(offset): the power a sine reads `offset` bins from its own frequency,
  // relative to what it reads there. Symmetric; offsets beyond 2·flank() + 1
  // bins read the value there.
  double relativePower(double offset) const noexcept;

  // W(offset)/W(0) for the window centred on its own points: real, as the
  // window is symmetric, and negative on alternate side lobes. 0 beyond
  // imageReach().
  double relativeAmplitude(double offset) const noexcept;
  // The offset in bins beyond which |W/W(0)| stays below 10⁻⁴ (−80 dB): a
  // sine's image farther than this from every bin a reading uses shifts its
  // level by less than 0.001 dB, and the reading leaves the image out.
  double imageReach() const noexcept { return imageReach_; }
  // ln Γ, interpolated: the natural logarithm of relativePower, of a valid
  // response.
  double logResponse(double offset) const noexcept;

 private:

  std::vector<double> logPower_;  // ln Γ at kSteps + 1 offsets evenly from 0 to span_ bins
  double span_ = 1;
  std::vector<double> amplitude_;  // W/W(0) at kAmplitudeSteps + 1 offsets from 0 to amplitudeSpan_ bins
  double amplitudeSpan_ = 1;
  double imageReach_ = 0;
  int bins_ = 0;
  float samplingRate_ = 0;
  double noiseBandwidth_ = 0;
  double noiseBandwidthBins_ = 0;
  int flank_ = 1;
  double reach_ = 0.5;
};

struct PeakReading {
  bool valid = false;
  int bin = 0;           // the highest bin
  double offset = 0;     // bins from it to the sine: within the response's reach(), or
                         // within 2·flank() near an edge
  double frequency = 0;  // Hz, (bin + offset) / binsPerHertz
  double power = 0;      // the trace's units: what the bin would read with the sine on it
  double level = 0;      // dB: 10·log10(power / bins²), the sine's mean-square; −inf for no power
  // The sine lies so close to 0 Hz or to the Nyquist frequency that its lobe
  // and its image's cannot be told apart, or the bins do not fit one sine
  // and its image. The reading is then the bin's own (offset 0).
  bool uncertain = false;
};

// The sine around bin `bin` of a trace of `bins` power values at
// binsPerHertz: its offset from the ratio of the powers flank() bins either
// side, inverted through Γ within reach(), and its power as the bin's over
// Γ(offset). Where the sine's image lies within imageReach() of those bins,
// or a flank lies beyond the trace, the sine and its image are fitted
// together to seven bins across two flanks around the bin, moved off the
// trace's ends (see PeakReading::uncertain). A response of another bin
// count gives the bin's own frequency and power (valid, offset 0).
PeakReading readPeakAt(const WindowResponse& response, const float* power, int bins, int bin,
                       float binsPerHertz) noexcept;
// The same around the highest bin of first … last (inclusive; the first of
// equal ones). Not valid for an empty range or trace.
PeakReading readPeak(const WindowResponse& response, const float* power, int bins, int first, int last,
                     float binsPerHertz) noexcept;
PeakReading readPeak(const WindowResponse& response, const TraceData& trace, int first, int last) noexcept;

// Mean-square per hertz under bins first … last − 1: their mean power over
// bins², divided by the window's noise bandwidth in Hz. White noise of
// variance σ² at rate fs reads its one-sided density σ²/(fs/2). 0 for an
// empty band or a bandwidth that is not positive.
double noiseDensity(const float* power, int bins, int first, int last, double noiseBandwidth) noexcept;
