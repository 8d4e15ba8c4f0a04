#pragma once
// Fractional-octave bands of the base-ten system (IEC 61260-1:2014) read
// from a trace: their mid-band and edge frequencies, nominal labels, the
// band filter's shape, and the band levels a trace's bins add up to.
//
// Units are the trace's (Spectrum.h): linear power per bin, which divided by
// bins² is mean-square amplitude (a full-scale sine reads 0.5). Every window
// has the RBW as its equivalent noise bandwidth, so the bins of one sine add
// up to its mean square times RBW / bin width, and white noise of density D
// reads D·RBW in every bin. A band's level is therefore
//   (bin width / RBW) · Σ w(f_k) · P_k / bins²,
// w the band filter's power response: the mean-square value the band filter
// would pass, a sine at mid-band reading its own mean square.
//
// The band filter is a Butterworth band-pass of order 4 in Ω − 1/Ω
// (Ω = f / f_m), narrowed so that its effective bandwidth on a logarithmic
// frequency scale is the band's own, ln(G)/b: pink noise reads the same
// level in every band and white noise the band's width times its density.
// Its relative attenuation lies within the class 1 acceptance limits of
// IEC 61260-1:2014 at every frequency, for every band fraction offered.
//
// No state but BandAnalysis's tables; the free functions may run on any
// thread. BandAnalysis: configure() allocates and belongs where the trace is
// configured; measure() and overallPower() allocate nothing, take no lock and
// may run on any thread that owns the trace's values for the call.

#include <string>
#include <vector>

namespace dsp {

// The base-ten octave ratio G = 10^(3/10) and the reference frequency.
inline constexpr double kOctaveRatio = 1.99526231496887960135;
inline constexpr double kReferenceFrequency = 1000.0;

// Band fractions offered: octave (1), third (3), sixth, twelfth and
// twenty-fourth octave bands. b is the bandwidth designator's denominator.
bool isBandFraction(int b) noexcept;

// The exact mid-band frequency of band x (x = 0 holds 1 kHz for odd b; for
// even b 1 kHz is the lower edge of band 0): f_r·G^(x/b) for odd b,
// f_r·G^((2x+1)/(2b)) for even b.
double midBandFrequency(int b, int x) noexcept;
// The band edges: f_m·G^(−1/(2b)) and f_m·G^(1/(2b)).
double lowerEdge(int b, double midBand) noexcept;
double upperEdge(int b, double midBand) noexcept;

// The nominal mid-band frequency a band is named by: for octave and third
// octave bands the preferred values (10, 12.5, 16, 20, 25, 31.5, 40, 50, 63,
// 80 Hz and their powers of ten); for the other fractions the exact value
// rounded to three significant digits when its leading digit is 1 to 4 and
// to two when it is 5 to 9.
double nominalFrequency(int b, double midBand) noexcept;
// The label of a nominal frequency: hertz below 1 kHz, kilohertz with a "k"
// from 1 kHz up, no trailing zeros ("31.5", "800", "1k", "1.25k", "20k").
std::string bandLabel(double nominal);

struct OctaveBand {
  int index = 0;        // x of midBandFrequency
  double center = 0;    // exact mid-band frequency, Hz
  double lower = 0;     // band edges, Hz
  double upper = 0;
  double nominal = 0;   // nominal mid-band frequency, Hz
  std::string label;    // bandLabel(nominal)
};

// Every band of fraction b whose exact or nominal mid-band frequency lies
// within [lowest, highest], in ascending order; 20 Hz … 20 kHz gives the
// 20 Hz (exactly 19.95 Hz) and 20 kHz third-octave bands. Empty for a
// fraction isBandFraction refuses or an empty range.
std::vector<OctaveBand> octaveBands(int b, double lowest, double highest);

// The band filter's relative attenuation in dB at `frequency` for the band
// of fraction b at `midBand`: 0 at mid-band, rising on both sides, +infinity
// at and below 0 Hz. b from 1 to 24; any other b is taken as 1.
double bandAttenuationDb(int b, double frequency, double midBand) noexcept;
// The same as a power gain, 10^(−attenuation/10): 1 at mid-band.
double bandPowerResponse(int b, double frequency, double midBand) noexcept;
// The band filter's attenuation at which BandAnalysis stops weighing bins:
// the bins beyond weigh nothing, which attenuates more than any acceptance
// limit asks, and what the skirt beyond would add to noise is below 10^-6
// of the band's power.
inline constexpr double kBandStopDb = 60.0;

// Band levels from a trace of one configuration (bins, bin spacing, RBW).
class BandAnalysis {
 public:
  // A band is resolved when it is at least this many noise bandwidths wide
  // (upper − lower edge ≥ kResolvedBandwidths · RBW). Then a sine anywhere
  // in the band, spread over the window's main lobe, reads within the class
  // 1 acceptance limits with at least 0.25 dB to spare, and at mid-band
  // within 0.02 dB of its level, whatever the window shape. In a band two
  // noise bandwidths wide a sine just inside the lower band edge (the
  // breakpoint of the limits at Ω = G^(−3/8) for octave bands) reads beyond
  // them with every window (OctaveBandsTest).
  static constexpr double kResolvedBandwidths = 3.0;

  // Chooses the bands of fraction b in [lowest, highest] (octaveBands) and
  // per band the bins it weighs, where the band filter attenuates by less
  // than kBandStopDb, with their power weights. The trace has `bins` values,
  // bin k at k / binsPerHertz Hz, and the RBW noiseBandwidthHz. Allocates.
  void configure(int b, double lowest, double highest, double binsPerHertz, int bins, double noiseBandwidthHz);

  const std::vector<OctaveBand>& bands() const noexcept { return bands_; }
  int bins() const noexcept { return bins_; }
  double binsPerHertz() const noexcept { return binsPerHertz_; }
  double noiseBandwidth() const noexcept { return noiseBandwidth_; }
  // Whether band i can be read from this trace: kResolvedBandwidths noise
  // bandwidths wide, and its upper edge below the trace's highest bin (a
  // band the Nyquist frequency cuts reads low).
  bool resolved(int band) const noexcept;

  // levels[i] = band i's mean-square level (linear; a full-scale sine at
  // mid-band reads 0.5) from a trace's power values. binGain, when not null,
  // holds a power gain per bin (a frequency weighting's) applied before the
  // band filter. `bins` must be the configured count; for another one every
  // level is 0. levels has bands().size() values. Allocates nothing.
  void measure(const float* power, int bins, const float* binGain, double* levels) const noexcept;

  // The mean-square level of every bin from lowest to highest Hz (bin width
  // / RBW · Σ P_k / bins², times binGain[k] when not null): the span's
  // overall level. A sine within half a main lobe of either end reads part
  // of its power. 0 for another bin count. Allocates nothing.
  double overallPower(const float* power, int bins, double lowest, double highest,
                      const float* binGain) const noexcept;

 private:
  struct Span {
    int first = 0;   // first bin weighed
    int count = 0;   // bins weighed
    int offset = 0;  // into weights_
  };
  std::vector<OctaveBand> bands_;
  std::vector<Span> spans_;
  std::vector<float> weights_;  // the spans' power responses, back to back
  std::vector<bool> resolved_;
  int bins_ = 0;
  double binsPerHertz_ = 0;
  double noiseBandwidth_ = 0;
  double scale_ = 0;  // bin width / (RBW · bins²)
};

}  // namespace dsp
