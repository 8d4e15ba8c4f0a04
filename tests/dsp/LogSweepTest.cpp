// The swept-sine measurement's arithmetic on synthetic recordings: the
// synchronized exponential sweep (Novák, Lotton & Simon, "Synchronized
// Swept-Sine: Theory, Application, and Implementation", JAES 63(10), 2015:
// with f1·L whole, x(t) = sin(2πf1L(e^{t/L} − 1)) equals their
// sin(2πf1L·e^{t/L}), whose n-th harmonic is the sweep L·ln n earlier), and
// its deconvolution into the linear and harmonic impulse responses (Farina,
// "Simultaneous measurement of impulse response and distortion with a
// swept-sine technique", AES 108th Convention, preprint 5093, 2000) read as
// frequency responses at 48 points per octave.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <numbers>
#include <vector>

#include "QuietPlanner.h"
#include "dsp/LogSweep.h"
#include "dsp/SweepDeconvolution.h"
#include "support/AllocationCounter.h"

namespace {

using std::numbers::pi;

constexpr double kRate = 48000;

dsp::LogSweep sweepOf(int log2Length, double peak = 0.5, double highestHz = 20000) {
  dsp::LogSweepSettings s;
  s.sampleRate = kRate;
  s.length = int64_t{1} << log2Length;
  s.lowestHz = 20;
  s.highestHz = highestHz;
  s.peak = peak;
  return dsp::LogSweep(s);
}

std::vector<float> rendered(const dsp::LogSweep& sweep, int64_t length) {
  std::vector<float> x(static_cast<size_t>(length));
  sweep.render(0, static_cast<int>(length), x.data());
  return x;
}

// Whole cycles of x over [from, to), between its first and its last rising
// zero crossing, each placed by linear interpolation.
struct Crossings {
  double first = -1, last = -1;
  int cycles = -1;
};

Crossings zeroCrossings(const std::vector<float>& x, size_t from, size_t to) {
  double first = -1, last = -1;
  int cycles = -1;
  for (size_t i = from; i + 1 < to; ++i)
    if (x[i] < 0 && x[i + 1] >= 0) {
      last = static_cast<double>(i) + x[i] / (x[i] - x[i + 1]);
      if (first < 0) first = last;
      ++cycles;
    }
  return {first, last, cycles};
}

// The samples' average frequency between two crossings against the sweep's:
// f1·L·(e^{t2/L} − e^{t1/L}) cycles in t2 − t1.
double measuredOverExpected(const dsp::LogSweep& sweep, const Crossings& c) {
  const double expected = (sweep.frequencyAt(c.last) - sweep.frequencyAt(c.first)) * sweep.rateSamples() /
                          (c.last - c.first);
  return c.cycles * kRate / (c.last - c.first) / expected;
}

// The largest |error|, of all or of those read at or above a frequency.
double worst(const std::vector<double>& errors) {
  double w = 0;
  for (double e : errors) w = std::max(w, std::fabs(e));
  return w;
}

double worstFrom(double hz, const std::vector<double>& frequencies, const std::vector<double>& errors) {
  double w = 0;
  for (size_t i = 0; i < errors.size(); ++i)
    if (frequencies[i] >= hz) w = std::max(w, std::fabs(errors[i]));
  return w;
}

TEST(LogSweep, ASweepStartsAndEndsWithAMarginAroundItsSpanInWholeCycles) {
  const dsp::LogSweep sweep = sweepOf(18);
  // Twice 20 kHz is past 0.95 of half the rate: f2 stops there.
  EXPECT_DOUBLE_EQ(sweep.endHz(), 0.95 * kRate / 2);
  // Two octaves below 20 Hz, lowered to a whole number of cycles.
  EXPECT_LE(sweep.startHz(), 5.0);
  EXPECT_GT(sweep.startHz(), 4.0);
  // f1·L is a whole number of cycles, and T = L·ln(f2/f1).
  EXPECT_GE(sweep.cycles(), 1);
  EXPECT_NEAR(sweep.startHz() * sweep.rateSeconds(), static_cast<double>(sweep.cycles()), 1e-9);
  EXPECT_NEAR(sweep.frequencyAt(0), sweep.startHz(), 1e-12);
  EXPECT_NEAR(sweep.frequencyAt(static_cast<double>(sweep.length())), sweep.endHz(), 1e-6);
  EXPECT_LE(sweep.cleanLowHz(), 20.0);
  EXPECT_GE(sweep.cleanHighHz(), 20000.0);

  // The samples' own frequency where the fades end and begin, within 0.2 %.
  const std::vector<float> x = rendered(sweep, sweep.length());
  const size_t in = static_cast<size_t>(sweep.fadeInLength());
  const size_t out = static_cast<size_t>(sweep.length() - sweep.fadeOutLength());
  const size_t lowStretch = static_cast<size_t>(3 * kRate / sweep.cleanLowHz());  // three cycles
  EXPECT_NEAR(measuredOverExpected(sweep, zeroCrossings(x, in, in + lowStretch)), 1.0, 2e-3);
  EXPECT_NEAR(measuredOverExpected(sweep, zeroCrossings(x, out - 600, out)), 1.0, 2e-3);

  // The level is the peak; nothing before the start or after the end.
  float peak = 0;
  for (float v : x) peak = std::max(peak, std::fabs(v));
  EXPECT_LE(peak, 0.5f);
  EXPECT_GT(peak, 0.4999f);
  EXPECT_EQ(x.front(), 0.0f);

  // Played block by block, past both ends, without allocating.
  std::vector<float> pieces(x.size() + 300 + 400 + 512, 1.0f);
  {
    testsupport::AllocationScope scope;
    for (int64_t at = -300; at < sweep.length() + 400; at += 512)
      sweep.render(at, 512, pieces.data() + (at + 300));
    EXPECT_EQ(scope.allocations(), 0);
  }
  for (size_t i = 0; i < 300; ++i) ASSERT_EQ(pieces[i], 0.0f);
  for (size_t i = 0; i < x.size(); ++i) ASSERT_EQ(pieces[i + 300], x[i]) << i;
  for (size_t i = x.size() + 300; i < x.size() + 700; ++i) ASSERT_EQ(pieces[i], 0.0f);
}

// A wire with a delay of 1234 samples, and of 1234.5, and a gain of one half
// averaged from recordings at 0.4 and 0.6 of the sweep, with the sweep itself
// as the reference channel (a loopback without delay).
TEST(SweepDeconvolution, ADelayAndAGainAreReadExactly) {
  const dsp::LogSweep sweep = sweepOf(18);
  const int64_t length = sweep.length() + 16384;
  const std::vector<float> x = rendered(sweep, length);
  constexpr int64_t kDelay = 1234;
  std::vector<float> delayed(static_cast<size_t>(length), 0.0f);
  std::copy(x.begin(), x.end() - kDelay, delayed.begin() + kDelay);

  dsp::SweepDeconvolution d(sweep, length);
  ASSERT_TRUE(d.add(delayed.data(), x.data()));
  ASSERT_TRUE(d.deconvolve());
  dsp::SweepResponse r = d.response();
  ASSERT_TRUE(r.valid);
  EXPECT_TRUE(r.absolutePhase);
  EXPECT_NEAR(r.peakSample, 1234.0, 1e-3);
  EXPECT_NEAR(r.delaySamples, 1234.0, 1e-3);
  ASSERT_EQ(r.frequencyHz.size(), size_t{479});  // 20 Hz … 20 kHz at 48 per octave
  std::vector<double> magnitude, phase, wrapped, delay;
  for (size_t i = 0; i < r.frequencyHz.size(); ++i) {
    const double f = r.frequencyHz[i];
    magnitude.push_back(r.magnitudeDb[i]);
    phase.push_back(r.unwrappedPhaseDeg[i] + 360 * f * kDelay / kRate);
    const double expected = -360 * f * kDelay / kRate;
    wrapped.push_back(std::remainder(r.phaseDeg[i] - expected, 360.0));
    EXPECT_GT(r.phaseDeg[i], -180.0);
    EXPECT_LE(r.phaseDeg[i], 180.0);
    delay.push_back(r.groupDelayMs[i] - 1000.0 * kDelay / kRate);
  }
  std::printf("delay: %.2g dB, unwrapped %.2g°, wrapped %.2g°, %.2g ms (%.2g ms from 100 Hz)\n", worst(magnitude),
              worst(phase), worst(wrapped), worst(delay), worstFrom(100, r.frequencyHz, delay));
  EXPECT_LT(worst(magnitude), 0.01);
  EXPECT_LT(worst(phase), 0.5);
  EXPECT_LT(worst(wrapped), 0.5);
  // Near 20 Hz the window around the response cuts the ringing of the
  // sweep's lower band edge: 0.1 ms there, 1 µs from 100 Hz.
  EXPECT_LT(worst(delay), 0.1);
  EXPECT_LT(worstFrom(100, r.frequencyHz, delay), 1e-3);

  // Without the reference the time starts at the response's own peak: the
  // delay counts from the sweep's start and the phase is what remains.
  d.clear();
  ASSERT_TRUE(d.add(delayed.data(), nullptr));
  ASSERT_TRUE(d.deconvolve());
  r = d.response();
  EXPECT_FALSE(r.absolutePhase);
  EXPECT_NEAR(r.delaySamples, 1234.0, 1e-3);
  EXPECT_LT(worst(r.unwrappedPhaseDeg), 0.5);
  EXPECT_LT(worst(r.groupDelayMs), 0.1);

  // Half a sample more, by a Hann-windowed sinc of 64 taps symmetric about
  // its centre (so a pure delay of 1234.5 samples, its ripple aside): the
  // peak is read between samples.
  constexpr int kHalfTaps = 32;
  std::vector<float> between(static_cast<size_t>(length), 0.0f);
  const int64_t start = kDelay + 1 - kHalfTaps;  // + the taps' centre, 31.5
  for (int64_t m = 0; m < length; ++m) {
    double v = 0;
    for (int k = 0; k < 2 * kHalfTaps; ++k) {
      const int64_t from = m - start - k;
      if (from < 0 || from >= length) continue;
      const double t = k - (kHalfTaps - 0.5);
      v += x[static_cast<size_t>(from)] * std::sin(pi * t) / (pi * t) * (0.5 + 0.5 * std::cos(pi * t / kHalfTaps));
    }
    between[static_cast<size_t>(m)] = static_cast<float>(v);
  }
  d.clear();
  ASSERT_TRUE(d.add(between.data(), x.data()));
  ASSERT_TRUE(d.deconvolve());
  r = d.response();
  std::printf("half a sample: %.4f\n", r.delaySamples);
  EXPECT_NEAR(r.delaySamples, 1234.5, 0.01);

  // A gain of −6.02 dB, as the average of two recordings.
  std::vector<float> quieter(x.size()), louder(x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    quieter[i] = 0.4f * x[i];
    louder[i] = 0.6f * x[i];
  }
  d.clear();
  {
    testsupport::AllocationScope scope;
    ASSERT_TRUE(d.add(quieter.data(), x.data()));
    ASSERT_TRUE(d.add(louder.data(), x.data()));
    EXPECT_FALSE(d.add(louder.data(), nullptr));  // every recording has a reference or none
    ASSERT_TRUE(d.deconvolve());
    EXPECT_EQ(scope.allocations(), 0);
  }
  r = d.response();
  EXPECT_EQ(r.recordings, 2);
  EXPECT_NEAR(r.delaySamples, 0.0, 1e-3);
  magnitude.clear();
  for (double m : r.magnitudeDb) magnitude.push_back(m - 20 * std::log10(0.5));
  std::printf("gain: %.2g dB, %.2g°\n", worst(magnitude), worst(r.phaseDeg));
  EXPECT_LT(worst(magnitude), 0.01);
  EXPECT_LT(worst(r.phaseDeg), 0.5);
}

// What the reference and the measurement share on the way, here a
// first-order all-pass (a = 0.5: its phase far from linear, its peak not
// where its delay is), comes out of the phase with the reference: a delay of
// 100 samples after it reads as that delay alone.
TEST(SweepDeconvolution, WithAReferenceThePathBothShareLeavesThePhase) {
  const dsp::LogSweep sweep = sweepOf(18);
  const int64_t length = sweep.length() + 16384;
  const std::vector<float> x = rendered(sweep, length);
  constexpr double kA = 0.5;
  constexpr int64_t kDelay = 100;
  std::vector<float> shared(x.size()), delayed(x.size(), 0.0f);
  double previousIn = 0, previousOut = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    const double y = -kA * x[i] + previousIn + kA * previousOut;
    previousIn = x[i];
    previousOut = y;
    shared[i] = static_cast<float>(y);
  }
  std::copy(shared.begin(), shared.end() - kDelay, delayed.begin() + kDelay);
  dsp::SweepDeconvolution d(sweep, length);
  ASSERT_TRUE(d.add(delayed.data(), shared.data()));
  ASSERT_TRUE(d.deconvolve());
  const dsp::SweepResponse r = d.response();
  EXPECT_NEAR(r.delaySamples, kDelay, 1e-3);
  std::vector<double> phase, delay;
  for (size_t i = 0; i < r.frequencyHz.size(); ++i) {
    phase.push_back(std::remainder(r.phaseDeg[i] + 360 * r.frequencyHz[i] * kDelay / kRate, 360.0));
    delay.push_back(r.groupDelayMs[i] - 1000.0 * kDelay / kRate);
  }
  EXPECT_LT(worst(phase), 0.5);
  EXPECT_LT(worstFrom(100, r.frequencyHz, delay), 1e-3);
}

// A digital band-pass biquad (bilinear-transform cookbook form, 0 dB at its
// centre) at 1 kHz with Q 0.707 applied to a 2^18-sample sweep at 48 kHz,
// against its H(e^{jω}): 20 Hz – 20 kHz are all above −40 dB (−31 dB at the
// ends).
TEST(SweepDeconvolution, ABandPassReadsAsItsTransferFunction) {
  const dsp::LogSweep sweep = sweepOf(18);
  const int64_t length = sweep.length() + 16384;
  const std::vector<float> x = rendered(sweep, length);
  const double w0 = 2 * pi * 1000 / kRate, alpha = std::sin(w0) / (2 * 0.707);
  const double a0 = 1 + alpha;
  const double b[3] = {alpha / a0, 0, -alpha / a0};
  const double a[3] = {1, -2 * std::cos(w0) / a0, (1 - alpha) / a0};
  std::vector<float> y(x.size());
  double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    const double v = b[0] * x[i] + b[1] * x1 + b[2] * x2 - a[1] * y1 - a[2] * y2;
    x2 = x1, x1 = x[i], y2 = y1, y1 = v;
    y[i] = static_cast<float>(v);
  }
  dsp::SweepDeconvolution d(sweep, length);
  ASSERT_TRUE(d.add(y.data(), x.data()));
  ASSERT_TRUE(d.deconvolve());
  const dsp::SweepResponse r = d.response();
  ASSERT_TRUE(r.valid);
  std::vector<double> magnitude, phase;
  for (size_t i = 0; i < r.frequencyHz.size(); ++i) {
    const std::complex<double> z = std::polar(1.0, -2 * pi * r.frequencyHz[i] / kRate);  // z⁻¹
    const std::complex<double> h = (b[0] + b[1] * z + b[2] * z * z) / (a[0] + a[1] * z + a[2] * z * z);
    const double db = 20 * std::log10(std::abs(h));
    if (db < -40) continue;
    magnitude.push_back(r.magnitudeDb[i] - db);
    phase.push_back(std::remainder(r.phaseDeg[i] - std::arg(h) * 180 / pi, 360.0));
  }
  ASSERT_EQ(magnitude.size(), r.frequencyHz.size());
  std::printf("band-pass: %.2g dB, %.2g°\n", worst(magnitude), worst(phase));
  EXPECT_LT(worst(magnitude), 0.1);
  EXPECT_LT(worst(phase), 2.0);
}

// A comb, y = x + a·x delayed by D samples, read with third-octave
// smoothing against the averages over each interval [ω_l, ω_h] of its
// H = 1 + a·e^{−jωD}. With m = (e^{−jω_l D} − e^{−jω_h D}) / (jD(ω_h − ω_l)),
// the mean of e^{−jωD} there: the mean of |H|² is 1 + a² + 2a·Re m, that of
// Re{T·conj H} (T = aD·e^{−jωD}, the spectrum of t·h) is a²D + aD·Re m, and
// the mean of H is 1 + a·m. Unsmoothed, the comb swings 9.5 dB at a = 0.5.
TEST(SweepDeconvolution, SmoothingReadsThePowerDelayAndPhaseAveragedOverEachInterval) {
  constexpr double kA = 0.5, kD = 48;
  const dsp::LogSweep sweep = sweepOf(18);
  const int64_t length = sweep.length() + 16384;
  const std::vector<float> x = rendered(sweep, length);
  std::vector<float> y(x.size());
  for (size_t i = 0; i < x.size(); ++i) y[i] = x[i] + (i >= kD ? static_cast<float>(kA) * x[i - size_t{48}] : 0.0f);
  dsp::SweepDeconvolution d(sweep, length);
  ASSERT_TRUE(d.add(y.data(), nullptr));
  ASSERT_TRUE(d.deconvolve());
  dsp::SweepReadingSettings third;
  third.smoothing = 3;
  const dsp::SweepResponse r = d.response(third), plain = d.response();
  ASSERT_EQ(r.frequencyHz.size(), plain.frequencyHz.size());
  const double half = std::exp2(1.0 / 6);
  std::vector<double> level, delay, phase;
  double lowest = 0, highest = 0;
  for (size_t i = 0; i < r.frequencyHz.size(); ++i) {
    const double f = r.frequencyHz[i];
    if (f < 200 || f > 15000) continue;
    const double wl = 2 * pi * f / half / kRate, wh = 2 * pi * f * half / kRate;
    const std::complex<double> m = (std::polar(1.0, -wl * kD) - std::polar(1.0, -wh * kD)) /
                                   (std::complex<double>(0, kD * (wh - wl)));
    const double power = 1 + kA * kA + 2 * kA * m.real();
    level.push_back(r.magnitudeDb[i] - 10 * std::log10(power));
    delay.push_back(r.groupDelayMs[i] - 1000 * (kA * kA * kD + kA * kD * m.real()) / power / kRate);
    phase.push_back(std::remainder(r.phaseDeg[i] - std::arg(1.0 + kA * m) * 180 / pi, 360.0));
    lowest = std::min(lowest, plain.magnitudeDb[i]);
    highest = std::max(highest, plain.magnitudeDb[i]);
  }
  std::printf("comb, 1/3 octave: %.2g dB, %.2g ms, %.2g°; unsmoothed %.1f … %.1f dB\n", worst(level), worst(delay),
              worst(phase), lowest, highest);
  EXPECT_GT(highest - lowest, 9.0);
  EXPECT_LT(worst(level), 0.02);
  EXPECT_LT(worst(delay), 0.002);
  EXPECT_LT(worst(phase), 0.2);
}

// y = s + a·s² + b·s³ of the sweep s of amplitude A: s² = A²(1 − cos 2φ)/2
// and s³ = A³(3 sin φ − sin 3φ)/4, so H2 = a·A/2 and H3 = b·A²/4 of the
// fundamental's amplitude, which the cube raises by 3bA²/4. Each is read at
// n·f against the fundamental at f, wherever n·f is inside the clean band.
// The sweep stops at 7.6 kHz so that its third harmonic stays below half the
// rate: computed on samples, a higher one would fold back as a falling sweep,
// which a converter's anti-alias filter keeps out of a real recording and
// which no deconvolution gathers into a response (H2 then reads 3 dB off
// where the folded H3 crosses it).
TEST(SweepDeconvolution, AStaticNonlinearitysHarmonicsReadAtTheirLevels) {
  constexpr double kA = 0.5, kSquare = 0.01, kCube = 0.001;
  const dsp::LogSweep sweep = sweepOf(18, kA, 3800);
  ASSERT_LT(3 * sweep.endHz(), kRate / 2);
  const int64_t length = sweep.length() + 16384;
  const std::vector<float> x = rendered(sweep, length);
  std::vector<float> y(x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    const double s = x[i];
    y[i] = static_cast<float>(s + kSquare * s * s + kCube * s * s * s);
  }
  dsp::SweepDeconvolution d(sweep, length);
  ASSERT_TRUE(d.add(y.data(), nullptr));
  ASSERT_TRUE(d.deconvolve());
  const dsp::SweepResponse r = d.response();
  const double fundamental = 1 + 3 * kCube * kA * kA / 4;
  const double expected[2] = {20 * std::log10(kSquare * kA / 2 / fundamental),
                              20 * std::log10(kCube * kA * kA / 4 / fundamental)};
  std::vector<double> gain;
  for (double m : r.magnitudeDb) gain.push_back(m - 20 * std::log10(fundamental));
  EXPECT_LT(worst(gain), 0.01);
  for (int order = 2; order <= 3; ++order) {
    std::vector<double> errors;
    for (size_t i = 0; i < r.frequencyHz.size(); ++i) {
      const double level = r.harmonicDb[static_cast<size_t>(order - 2)][i];
      const bool reached = order * r.frequencyHz[i] <= sweep.cleanHighHz();
      EXPECT_EQ(std::isnan(level), !reached) << order << " at " << r.frequencyHz[i];
      if (reached) errors.push_back(level - expected[order - 2]);
    }
    EXPECT_GT(errors.size(), size_t{300});  // 20 Hz up to 2.3 kHz at least
    std::printf("H%d at %.2f dB: %.2g dB\n", order, expected[order - 2], worst(errors));
    EXPECT_LT(worst(errors), 0.5) << "H" << order;
  }
  // Smoothed, the flat harmonics read as before, up to the band's top: each
  // is averaged over its own interval around n·f, inside the clean band.
  dsp::SweepReadingSettings sixth;
  sixth.smoothing = 6;
  const dsp::SweepResponse smoothed = d.response(sixth);
  std::vector<double> smoothedGain;
  for (double m : smoothed.magnitudeDb) smoothedGain.push_back(m - 20 * std::log10(fundamental));
  EXPECT_LT(worst(smoothedGain), 0.01) << "to the grid's ends";
  for (int order = 2; order <= 3; ++order) {
    std::vector<double> errors;
    for (size_t i = 0; i < smoothed.frequencyHz.size(); ++i)
      if (order * smoothed.frequencyHz[i] <= sweep.cleanHighHz())
        errors.push_back(smoothed.harmonicDb[static_cast<size_t>(order - 2)][i] - expected[order - 2]);
    EXPECT_LT(worst(errors), 0.5) << "H" << order << " smoothed";
  }
  // The nonlinearity has no fourth or fifth power.
  for (int order = 4; order <= 5; ++order) {
    double highest = -1000;
    for (double level : r.harmonicDb[static_cast<size_t>(order - 2)])
      if (!std::isnan(level)) highest = std::max(highest, level);
    std::printf("H%d: highest %.1f dB\n", order, highest);
    EXPECT_LT(highest, -110.0) << "H" << order;
  }
}

}  // namespace
