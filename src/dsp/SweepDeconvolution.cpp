#include "dsp/SweepDeconvolution.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <numbers>

#include "dsp/FFT.h"

namespace dsp {

namespace {

using std::numbers::pi;
using Complex = std::complex<double>;

// The regularisation, relative to the sweep's strongest bin: inside the band
// the sweep's |X|² is at most 40 dB below it (a 1/f spectrum over 13 octaves),
// so the division there is exact to 10⁻⁶.
constexpr double kEpsilon = 1e-10;
constexpr int kLargestExponent = 24;

int exponentFor(int64_t n) {
  int e = 1;
  while ((int64_t{1} << e) < n && e < kLargestExponent) ++e;
  return e;
}

// The band shape B(f): 1 on the sweep's clean band, 0 outside [f1, f2],
// raised cosines in log frequency over the fades between. The sweep still
// has energy there, so the division lifts no noise; outside it a recording
// holds only what the sweep did not excite (a harmonic of f2, hum, noise).
double bandShape(double f, double f1, double cleanLow, double cleanHigh, double f2) {
  if (f <= f1 || f >= f2) return 0;
  if (f < cleanLow) return 0.5 - 0.5 * std::cos(pi * std::log(f / f1) / std::log(cleanLow / f1));
  if (f > cleanHigh) return 0.5 + 0.5 * std::cos(pi * std::log(f / cleanHigh) / std::log(f2 / cleanHigh));
  return 1;
}

// Weight of a Tukey window at t ∈ [−before, after]: half-Hann over the outer
// half of each side, 1 between.
double tukey(int64_t t, int64_t before, int64_t after) {
  if (t < 0) {
    const double half = 0.5 * static_cast<double>(before);
    const double into = static_cast<double>(t + before);
    return into >= half || half <= 0 ? 1.0 : 0.5 - 0.5 * std::cos(pi * into / half);
  }
  const double half = 0.5 * static_cast<double>(after);
  const double left = static_cast<double>(after - t);
  return left >= half || half <= 0 ? 1.0 : 0.5 - 0.5 * std::cos(pi * left / half);
}

double wrapDegrees(double x) { return x - 360.0 * std::ceil((x - 180.0) / 360.0); }

}  // namespace

SweepDeconvolution::SweepDeconvolution(const LogSweep& sweep, int64_t recordingLength) : sweep_(sweep) {
  const double rate = sweep_.rateSamples();
  const int64_t shortestTail = static_cast<int64_t>(std::ceil(rate / 8));
  recordingLength_ = std::max(recordingLength, sweep_.length() + shortestTail);
  const int64_t tail = recordingLength_ - sweep_.length();

  // Each response's window: half the gap to the harmonic arriving before it,
  // half the gap to the one after (the linear one: the tail).
  constexpr int kOrders = SweepResponse::kHighestOrder;
  auto gapAfter = [&](int n) {  // between Hn+1's arrival and Hn's
    return static_cast<int64_t>(std::floor(sweep_.harmonicLead(n + 1) - sweep_.harmonicLead(n)));
  };
  int64_t longest = 0;
  for (int n = 1; n <= kOrders; ++n) {
    Window& w = windows_[n - 1];
    w.before = gapAfter(n) / 2;
    w.after = n == 1 ? tail : gapAfter(n - 1) - gapAfter(n - 1) / 2;
    longest = std::max(longest, w.before + w.after + 1);
  }
  // Nothing wraps: the recording, then the harmonics' responses before t = 0.
  const int64_t needed = recordingLength_ + static_cast<int64_t>(std::ceil(sweep_.harmonicLead(kOrders))) +
                         windows_[kOrders - 1].before + 1;
  const int exponent = exponentFor(needed);
  size_ = 1 << exponent;
  // Four times the longest window: the spectrum between bins is read by
  // linear interpolation, good to 10⁻³ dB on a smooth response.
  const int frameExponent = exponentFor(4 * longest);
  frameSize_ = 1 << frameExponent;

  fft_ = std::make_unique<FFT>(exponent);
  frameFft_ = std::make_unique<FFT>(frameExponent);
  const size_t n = static_cast<size_t>(size_);
  inverse_ = reinterpret_cast<float*>(fftwf_alloc_complex(n));
  work_ = reinterpret_cast<float*>(fftwf_alloc_complex(n));
  measuredIr_ = fftwf_alloc_real(n);
  referenceIr_ = fftwf_alloc_real(n);
  frame_ = reinterpret_cast<float*>(fftwf_alloc_complex(static_cast<size_t>(frameSize_)));
  measuredSum_.assign(static_cast<size_t>(recordingLength_), 0.0f);
  referenceSum_.assign(static_cast<size_t>(recordingLength_), 0.0f);
  std::memset(measuredIr_, 0, sizeof(float) * n);
  std::memset(referenceIr_, 0, sizeof(float) * n);

  // The sweep's DFT and its regularised inverse, stored as conj(X⁻¹)/N: the
  // inverse transform is done as a forward one of the conjugate.
  std::memset(work_, 0, sizeof(float) * 2 * n);
  std::vector<float> samples(static_cast<size_t>(sweep_.length()));
  sweep_.render(0, static_cast<int>(sweep_.length()), samples.data());
  for (size_t i = 0; i < samples.size(); ++i) work_[2 * i] = samples[i];
  fft_->transformComplex(work_);
  double strongest = 0;
  for (size_t k = 0; k < n; ++k)
    strongest = std::max(strongest, static_cast<double>(work_[2 * k]) * work_[2 * k] +
                                        static_cast<double>(work_[2 * k + 1]) * work_[2 * k + 1]);
  const double f1 = sweep_.startHz(), f2 = sweep_.endHz();
  const double cleanLow = sweep_.cleanLowHz(), cleanHigh = sweep_.cleanHighHz();
  const double binHz = sweep_.sampleRate() / static_cast<double>(size_);
  for (size_t k = 0; k < n; ++k) {
    const double f = static_cast<double>(std::min(k, n - k)) * binHz;
    const Complex x(work_[2 * k], work_[2 * k + 1]);
    const double b = bandShape(f, f1, cleanLow, cleanHigh, f2);
    const Complex c = x * (b / ((std::norm(x) + kEpsilon * strongest) * static_cast<double>(size_)));
    inverse_[2 * k] = static_cast<float>(c.real());
    inverse_[2 * k + 1] = static_cast<float>(c.imag());
  }
}

SweepDeconvolution::~SweepDeconvolution() {
  fftwf_free(frame_);
  fftwf_free(referenceIr_);
  fftwf_free(measuredIr_);
  fftwf_free(work_);
  fftwf_free(inverse_);
}

bool SweepDeconvolution::add(const float* measured, const float* reference) noexcept {
  if (!measured) return false;
  if (count_ > 0 && (reference != nullptr) != hasReference_) return false;
  hasReference_ = reference != nullptr;
  const size_t n = static_cast<size_t>(recordingLength_);
  for (size_t i = 0; i < n; ++i) measuredSum_[i] += measured[i];
  if (reference)
    for (size_t i = 0; i < n; ++i) referenceSum_[i] += reference[i];
  ++count_;
  return true;
}

void SweepDeconvolution::clear() noexcept {
  std::fill(measuredSum_.begin(), measuredSum_.end(), 0.0f);
  std::fill(referenceSum_.begin(), referenceSum_.end(), 0.0f);
  count_ = 0;
  hasReference_ = false;
  deconvolved_ = false;
}

bool SweepDeconvolution::deconvolve() noexcept {
  deconvolved_ = false;
  if (count_ == 0) return false;
  // Both channels in one complex transform, the measurement as the real part
  // and the reference as the imaginary: X⁻¹ is Hermitian (the sweep is
  // real), so the product's inverse holds both responses the same way.
  const size_t n = static_cast<size_t>(size_);
  const size_t m = static_cast<size_t>(recordingLength_);
  const float scale = 1.0f / static_cast<float>(count_);
  std::memset(work_, 0, sizeof(float) * 2 * n);
  for (size_t i = 0; i < m; ++i) {
    work_[2 * i] = measuredSum_[i] * scale;
    work_[2 * i + 1] = hasReference_ ? referenceSum_[i] * scale : 0.0f;
  }
  fft_->transformComplex(work_);
  // IDFT(Z·X⁻¹) = conj(DFT(conj(Z)·conj(X⁻¹)))/N, the last two factors stored.
  for (size_t k = 0; k < n; ++k) {
    const float zr = work_[2 * k], zi = -work_[2 * k + 1];
    const float cr = inverse_[2 * k], ci = inverse_[2 * k + 1];
    work_[2 * k] = zr * cr - zi * ci;
    work_[2 * k + 1] = zr * ci + zi * cr;
  }
  fft_->transformComplex(work_);
  for (size_t i = 0; i < n; ++i) {
    measuredIr_[i] = work_[2 * i];
    referenceIr_[i] = hasReference_ ? -work_[2 * i + 1] : 0.0f;
  }
  peak_ = peakOf(measuredIr_);
  referencePeak_ = hasReference_ ? peakOf(referenceIr_) : 0.0;
  deconvolved_ = true;
  return true;
}

double SweepDeconvolution::peakOf(const float* ir) const noexcept {
  // The linear response lies after H2's window and within the tail.
  const int64_t n = size_;
  auto sample = [&](int64_t t) { return static_cast<double>(ir[((t % n) + n) % n]); };
  const Window& w = windows_[0];
  int64_t best = 0;
  for (int64_t t = -w.before; t <= w.after; ++t)
    if (std::fabs(sample(t)) > std::fabs(sample(best))) best = t;
  // The response is band-limited below f2 < half the rate, so between
  // samples it is their Hann-windowed sinc interpolation; its |h| is
  // searched on a 1/64-sample grid within a sample of the highest one and
  // refined by a parabola there. A parabola through the samples themselves
  // would place a peak 0.25 samples off by 0.16 samples.
  constexpr int kTaps = 32;
  constexpr int kSteps = 64;
  auto between = [&](double t) {
    double sum = 0;
    for (int m = -kTaps; m <= kTaps; ++m) {
      const double x = t - m;
      const double sinc = std::fabs(x) < 1e-12 ? 1.0 : std::sin(pi * x) / (pi * x);
      const double hann = std::fabs(x) >= kTaps + 1 ? 0.0 : 0.5 + 0.5 * std::cos(pi * x / (kTaps + 1));
      sum += sample(best + m) * sinc * hann;
    }
    return std::fabs(sum);
  };
  int top = 0;
  double level = between(0);
  for (int i = -kSteps; i <= kSteps; ++i) {
    const double v = between(static_cast<double>(i) / kSteps);
    if (v > level) level = v, top = i;
  }
  const double step = 1.0 / kSteps;
  const double left = between((top - 1) * step), right = between((top + 1) * step);
  const double curvature = left - 2 * level + right;
  const double offset = curvature < 0 ? 0.5 * (left - right) / curvature : 0.0;
  return static_cast<double>(best) + (top + std::clamp(offset, -0.5, 0.5)) * step;
}

void SweepDeconvolution::transformWindow(const float* ir, int64_t origin, const Window& window) const noexcept {
  // The response as the real part, t·h as the imaginary: one transform gives
  // both spectra (unpacked where they are read).
  const int64_t n = size_, frame = frameSize_;
  auto sample = [&](int64_t t) { return static_cast<double>(ir[((t % n) + n) % n]); };
  std::memset(frame_, 0, sizeof(float) * 2 * static_cast<size_t>(frame));
  for (int64_t t = -window.before; t <= window.after; ++t) {
    const double h = sample(origin + t) * tukey(t, window.before, window.after);
    const size_t at = static_cast<size_t>(((t % frame) + frame) % frame);
    frame_[2 * at] = static_cast<float>(h);
    frame_[2 * at + 1] = static_cast<float>(static_cast<double>(t) * h);
  }
  frameFft_->transformComplex(frame_);
}

}  // namespace dsp

namespace dsp {

namespace {

// One point of a window's spectra: the response's and that of t·h.
struct Spectra {
  Complex h, th;
};

// Unpacks the transform of h + j·t·h at a fractional bin, linearly between
// the bins either side.
Spectra spectraAt(const float* z, int size, double bin) {
  auto unpack = [&](int64_t k) {
    const int64_t n = size;
    const size_t a = static_cast<size_t>(((k % n) + n) % n), b = static_cast<size_t>(((-k % n) + n) % n);
    const Complex p(z[2 * a], z[2 * a + 1]), q(z[2 * b], -z[2 * b + 1]);
    return Spectra{0.5 * (p + q), Complex(0, -0.5) * (p - q)};
  };
  const double below = std::floor(bin);
  const double part = bin - below;
  const Spectra s0 = unpack(static_cast<int64_t>(below)), s1 = unpack(static_cast<int64_t>(below) + 1);
  return Spectra{s0.h + part * (s1.h - s0.h), s0.th + part * (s1.th - s0.th)};
}

// Running sums over the bins 0 … size/2 of a window's spectra, for the
// readings of smoothing intervals: of |H|², of Re{T·conj H} (the group
// delay's numerator, T the spectrum of t·h) and of H. In long double, so
// that an interval far below the loudest bins keeps its digits.
class SpectrumSums {
 public:
  struct Band {
    int bins = 0;
    double power = 0;       // Σ|H|²
    double delayPower = 0;  // Σ Re{T·conj H}
    Complex h;              // ΣH
  };

  void build(const float* z, int size) {
    const int half = size / 2;
    power_.assign(static_cast<size_t>(half) + 2, 0.0L);
    delay_.assign(power_.size(), 0.0L);
    re_.assign(power_.size(), 0.0L);
    im_.assign(power_.size(), 0.0L);
    for (int k = 0; k <= half; ++k) {
      const Spectra s = spectraAt(z, size, k);
      const size_t at = static_cast<size_t>(k);
      power_[at + 1] = power_[at] + std::norm(s.h);
      delay_[at + 1] = delay_[at] + (s.th * std::conj(s.h)).real();
      re_[at + 1] = re_[at] + s.h.real();
      im_[at + 1] = im_[at] + s.h.imag();
    }
  }

  // The bins from ceil(lowBin) to floor(highBin), inside 0 … size/2.
  Band over(double lowBin, double highBin) const {
    const long last = static_cast<long>(power_.size()) - 2;
    const long from = std::max(0L, static_cast<long>(std::ceil(lowBin)));
    const long to = std::min(last, static_cast<long>(std::floor(highBin)));
    Band b;
    if (to < from) return b;
    const size_t i = static_cast<size_t>(from), j = static_cast<size_t>(to) + 1;
    b.bins = static_cast<int>(to - from + 1);
    b.power = static_cast<double>(power_[j] - power_[i]);
    b.delayPower = static_cast<double>(delay_[j] - delay_[i]);
    b.h = Complex(static_cast<double>(re_[j] - re_[i]), static_cast<double>(im_[j] - im_[i]));
    return b;
  }

 private:
  std::vector<long double> power_, delay_, re_, im_;
};

// A point of the reading: the magnitude, the phase's spectrum (only its
// angle counts) and the group delay in samples.
struct Reading {
  double magnitude = 0;
  Complex h;
  double delay = 0;
};

// The reading at f, unsmoothed (between the bins either side) or over the
// 1/N-octave interval around it, cut to lowHz … highHz (where the sweep
// measured: outside, the band shape has taken the response away).
class PointReader {
 public:
  PointReader(int size, double binsPerHz, int smoothing, double lowHz, double highHz)
      : size_(size), binsPerHz_(binsPerHz),
        halfWidth_(smoothing > 0 ? std::exp2(1.0 / (2.0 * smoothing)) : 1.0), lowBin_(lowHz * binsPerHz),
        highBin_(highHz * binsPerHz), smoothing_(smoothing > 0) {}

  // The window's spectra were just transformed into z.
  void take(const float* z) {
    z_ = z;
    if (smoothing_) sums_.build(z, size_);
  }

  Reading at(double f) const {
    Reading r;
    if (smoothing_) {
      const SpectrumSums::Band b =
          sums_.over(std::max(f / halfWidth_ * binsPerHz_, lowBin_), std::min(f * halfWidth_ * binsPerHz_, highBin_));
      if (b.bins >= 2) {
        r.magnitude = std::sqrt(b.power / b.bins);
        r.h = b.h;
        r.delay = b.power > 0 ? b.delayPower / b.power : 0.0;
        return r;
      }
    }
    const Spectra s = spectraAt(z_, size_, f * binsPerHz_);
    r.magnitude = std::abs(s.h);
    r.h = s.h;
    r.delay = std::norm(s.h) > 0 ? (s.th / s.h).real() : 0.0;
    return r;
  }

 private:
  int size_;
  double binsPerHz_, halfWidth_, lowBin_, highBin_;
  bool smoothing_;
  const float* z_ = nullptr;
  SpectrumSums sums_;
};

}  // namespace

SweepResponse SweepDeconvolution::response(const SweepReadingSettings& settings) const {
  SweepResponse r;
  r.recordings = count_;
  if (!deconvolved_) return r;
  r.valid = true;
  r.absolutePhase = hasReference_;
  r.peakSample = peak_;
  r.delaySamples = hasReference_ ? peak_ - referencePeak_ : peak_;

  const double rate = sweep_.sampleRate();
  const double low = std::max(settings.lowHz, sweep_.cleanLowHz());
  const double high = std::min(settings.highHz, sweep_.cleanHighHz());
  const double perOctave = std::max(settings.pointsPerOctave, 1.0);
  const int points = high > low ? static_cast<int>(std::floor(perOctave * std::log2(high / low) + 1e-9)) + 1 : 0;
  r.frequencyHz.resize(static_cast<size_t>(points));
  for (int i = 0; i < points; ++i) r.frequencyHz[static_cast<size_t>(i)] = low * std::exp2(i / perOctave);
  const double binsPerHz = static_cast<double>(frameSize_) / rate;
  PointReader reader(frameSize_, binsPerHz, settings.smoothing, sweep_.cleanLowHz(),
                     std::min(sweep_.cleanHighHz(), rate / 2));

  // With a reference, its own spectrum and group delay at every point,
  // around its own peak: what the output and input share (converters, a
  // rate converter's phase) comes out of the phase with it.
  std::vector<Complex> referenceH;
  std::vector<double> referenceDelay;
  const int64_t referenceCentre = std::llround(referencePeak_);
  if (hasReference_) {
    transformWindow(referenceIr_, referenceCentre, windows_[0]);
    reader.take(frame_);
    for (int i = 0; i < points; ++i) {
      const Reading s = reader.at(r.frequencyHz[static_cast<size_t>(i)]);
      referenceH.push_back(s.h);
      referenceDelay.push_back(s.delay);
    }
  }

  // The linear response, rotated to its own peak so that its spectrum is
  // smooth between bins; the rest of the way to the origin is exact.
  const int64_t centre = std::llround(peak_);
  const double shift =
      static_cast<double>(centre) - (hasReference_ ? static_cast<double>(referenceCentre) : peak_);  // samples
  transformWindow(measuredIr_, centre, windows_[0]);
  reader.take(frame_);
  std::vector<double> fundamental(static_cast<size_t>(points));
  r.magnitudeDb.resize(static_cast<size_t>(points));
  r.phaseDeg.resize(static_cast<size_t>(points));
  r.unwrappedPhaseDeg.resize(static_cast<size_t>(points));
  r.groupDelayMs.resize(static_cast<size_t>(points));
  double previousPhase = 0, previousDelay = 0, previousHz = 0;
  for (int i = 0; i < points; ++i) {
    const size_t at = static_cast<size_t>(i);
    const double f = r.frequencyHz[at];
    const Reading s = reader.at(f);
    fundamental[at] = s.magnitude;
    r.magnitudeDb[at] = 20 * std::log10(s.magnitude);
    // Group delay −dφ/dω = Re{DFT(t·h)/DFT(h)}, in samples from the peak.
    double delay = s.delay;
    double phase = std::arg(s.h) * 180 / pi;
    if (hasReference_) {
      delay -= referenceDelay[at];
      phase = std::norm(referenceH[at]) > 0 ? std::arg(s.h / referenceH[at]) * 180 / pi : phase;
    }
    if (i > 0) {
      // Unwrapped towards where the group delay says the phase went.
      const double expected = previousPhase - 360 * (f - previousHz) * 0.5 * (delay + previousDelay) / rate;
      phase += 360 * std::round((expected - phase) / 360);
    }
    previousPhase = phase;
    previousDelay = delay;
    previousHz = f;
    const double unwrapped = phase - 360 * f * shift / rate;
    r.unwrappedPhaseDeg[at] = unwrapped;
    r.phaseDeg[at] = wrapDegrees(unwrapped);
    r.groupDelayMs[at] = 1000 * (delay + shift) / rate;
  }

  // The harmonics, each read at n·f against the fundamental at f.
  const double nyquist = rate / 2;
  const double clean = std::min(sweep_.cleanHighHz(), nyquist);
  r.harmonicDb.assign(SweepResponse::kHighestOrder - 1,
                      std::vector<double>(static_cast<size_t>(points), std::numeric_limits<double>::quiet_NaN()));
  for (int order = 2; order <= SweepResponse::kHighestOrder; ++order) {
    const int64_t arrival = std::llround(peak_ - sweep_.harmonicLead(order));
    transformWindow(measuredIr_, arrival, windows_[order - 1]);
    reader.take(frame_);
    std::vector<double>& levels = r.harmonicDb[static_cast<size_t>(order - 2)];
    for (int i = 0; i < points; ++i) {
      const size_t at = static_cast<size_t>(i);
      const double f = order * r.frequencyHz[at];
      if (f > clean || !(fundamental[at] > 0)) continue;
      levels[at] = 20 * std::log10(reader.at(f).magnitude / fundamental[at]);
    }
  }
  return r;
}

}  // namespace dsp
