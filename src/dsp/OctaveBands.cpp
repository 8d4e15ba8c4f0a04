#include "dsp/OctaveBands.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <limits>

namespace dsp {

namespace {

// Butterworth order of the band filter: |H|² = 1 / (1 + (c·Q·(Ω − 1/Ω))^(2N)).
constexpr int kOrder = 4;
constexpr int kMaxFraction = 24;

int validFraction(int b) noexcept { return b >= 1 && b <= kMaxFraction ? b : 1; }

// Q of the band: 1 / (G^(1/(2b)) − G^(−1/(2b))), so that Q·(Ω − 1/Ω) = ±1
// at the band edges.
double bandQ(int b) noexcept {
  const double half = std::pow(kOctaveRatio, 0.5 / b);
  return 1.0 / (half - 1.0 / half);
}

double power8(double x) noexcept {
  const double x2 = x * x, x4 = x2 * x2;
  return x4 * x4;
}

// The filter's effective bandwidth on the natural-log frequency scale,
// ∫ |H|² d(ln f), for a = 2·c·Q. With Ω = e^u, Ω − 1/Ω = 2·sinh u; then
// v = a·sinh u turns it into 2·∫₀^∞ dv / ((1 + v^8)·√(a² + v²)), smooth and
// negligible beyond v = 16 (the tail is below 16^−8/8 relative).
double logEffectiveBandwidth(double a) noexcept {
  constexpr int kSteps = 4096;  // Simpson, even
  constexpr double kEnd = 16.0;
  const double h = kEnd / kSteps;
  auto integrand = [a](double v) { return 1.0 / ((1.0 + power8(v)) * std::sqrt(a * a + v * v)); };
  double sum = integrand(0.0) + integrand(kEnd);
  for (int i = 1; i < kSteps; ++i) sum += integrand(i * h) * (i % 2 ? 4.0 : 2.0);
  return 2.0 * sum * h / 3.0;
}

// The narrowing c that gives band fraction b the ideal band's effective
// bandwidth ln(G)/b. An order-4 Butterworth with its −3 dB points on the
// band edges is π/(8·sin(π/8)) = 1.026 times too wide for narrow bands;
// for octave bands the logarithmic scale changes that a little.
double solveNarrowing(int b) noexcept {
  const double q = bandQ(b), target = std::log(kOctaveRatio) / b;
  double lo = 0.8, hi = 1.3;  // the width falls as c rises
  for (int i = 0; i < 60; ++i) {
    const double c = 0.5 * (lo + hi);
    (logEffectiveBandwidth(2.0 * c * q) > target ? lo : hi) = c;
  }
  return 0.5 * (lo + hi);
}

// c·Q of band fraction b, solved on first use. Two threads that meet here
// first both solve it and store the same value.
double narrowedQ(int b) noexcept {
  static std::array<std::atomic<double>, kMaxFraction + 1> cache{};  // 0: not solved yet
  std::atomic<double>& entry = cache[static_cast<size_t>(validFraction(b))];
  double value = entry.load(std::memory_order_relaxed);
  if (value == 0.0) {
    value = solveNarrowing(validFraction(b)) * bandQ(validFraction(b));
    entry.store(value, std::memory_order_relaxed);
  }
  return value;
}

// (c·Q·(Ω − 1/Ω))^(2N): the power response is 1 / (1 + this).
double shapeTerm(int b, double frequency, double midBand) noexcept {
  const double omega = frequency / midBand;
  return power8(narrowedQ(b) * (omega - 1.0 / omega));
}

// The preferred third-octave values of one decade.
constexpr double kThirdOctaveNominals[10] = {1.0, 1.25, 1.6, 2.0, 2.5, 3.15, 4.0, 5.0, 6.3, 8.0};

double roundSignificant(double value, int digits) noexcept {
  const double scale = std::pow(10.0, std::floor(std::log10(value)) - digits + 1);
  return std::round(value / scale) * scale;
}

// The largest x whose band's mid-band frequency lies at or below f.
int bandIndexBelow(int b, double f) noexcept {
  const double position = b * std::log10(f / kReferenceFrequency) / std::log10(kOctaveRatio);
  // odd b: f = f_r·G^(x/b); even b: f = f_r·G^((2x+1)/(2b)).
  return static_cast<int>(std::floor(b % 2 ? position : position - 0.5));
}

}  // namespace

bool isBandFraction(int b) noexcept { return b == 1 || b == 3 || b == 6 || b == 12 || b == 24; }

double midBandFrequency(int b, int x) noexcept {
  const double exponent = b % 2 ? double(x) / b : (2.0 * x + 1.0) / (2.0 * b);
  return kReferenceFrequency * std::pow(kOctaveRatio, exponent);
}

double lowerEdge(int b, double midBand) noexcept { return midBand * std::pow(kOctaveRatio, -0.5 / b); }
double upperEdge(int b, double midBand) noexcept { return midBand * std::pow(kOctaveRatio, 0.5 / b); }

double nominalFrequency(int b, double midBand) noexcept {
  if (!(midBand > 0)) return 0;
  if (b == 1 || b == 3) {
    // Third-octave band n (octave band x is third-octave band 3x) lies n/10
    // decades from 1 kHz.
    const int n = static_cast<int>(std::lround(10.0 * std::log10(midBand / kReferenceFrequency)));
    const int decade = n >= 0 ? n / 10 : -((-n + 9) / 10);
    return kReferenceFrequency * std::pow(10.0, decade) * kThirdOctaveNominals[n - 10 * decade];
  }
  const double leading = midBand / std::pow(10.0, std::floor(std::log10(midBand)));
  return roundSignificant(midBand, leading < 5.0 ? 3 : 2);
}

std::string bandLabel(double nominal) {
  const bool kilo = nominal >= 999.5;
  char text[32];
  std::snprintf(text, sizeof text, "%.4g%s", kilo ? nominal / 1000.0 : nominal, kilo ? "k" : "");
  return text;
}

std::vector<OctaveBand> octaveBands(int b, double lowest, double highest) {
  std::vector<OctaveBand> bands;
  if (!isBandFraction(b) || !(lowest > 0) || !(highest >= lowest)) return bands;
  // A band whose nominal frequency lies in the range may have its exact one
  // up to about 1 % outside it: start a band early, end a band late.
  for (int x = bandIndexBelow(b, lowest) - 1; x <= bandIndexBelow(b, highest) + 1; ++x) {
    OctaveBand band;
    band.index = x;
    band.center = midBandFrequency(b, x);
    band.nominal = nominalFrequency(b, band.center);
    const bool exactIn = band.center >= lowest && band.center <= highest;
    const bool nominalIn = band.nominal >= lowest && band.nominal <= highest;
    if (!exactIn && !nominalIn) continue;
    band.lower = lowerEdge(b, band.center);
    band.upper = upperEdge(b, band.center);
    band.label = bandLabel(band.nominal);
    bands.push_back(std::move(band));
  }
  return bands;
}

double bandAttenuationDb(int b, double frequency, double midBand) noexcept {
  if (!(frequency > 0)) return std::numeric_limits<double>::infinity();
  return 10.0 * std::log10(1.0 + shapeTerm(b, frequency, midBand));
}

double bandPowerResponse(int b, double frequency, double midBand) noexcept {
  if (!(frequency > 0)) return 0.0;
  return 1.0 / (1.0 + shapeTerm(b, frequency, midBand));
}

void BandAnalysis::configure(int b, double lowest, double highest, double binsPerHertz, int bins,
                             double noiseBandwidthHz) {
  bands_ = octaveBands(b, lowest, highest);
  bins_ = bins > 0 && binsPerHertz > 0 && noiseBandwidthHz > 0 ? bins : 0;
  binsPerHertz_ = binsPerHertz;
  noiseBandwidth_ = noiseBandwidthHz;
  scale_ = bins_ ? 1.0 / (binsPerHertz * noiseBandwidthHz * double(bins) * bins) : 0.0;
  spans_.assign(bands_.size(), Span{});
  resolved_.assign(bands_.size(), false);
  weights_.clear();
  if (!bins_) return;

  // The band filter falls below kBandStopDb where |c·Q·(Ω − 1/Ω)| exceeds
  // (10^(stop/10) − 1)^(1/(2N)); Ω − 1/Ω = d at Ω = (d + √(d² + 4)) / 2.
  const double reach = std::pow(std::pow(10.0, kBandStopDb / 10.0) - 1.0, 0.5 / kOrder);
  const double d = reach / narrowedQ(b);
  const double omegaStop = 0.5 * (d + std::sqrt(d * d + 4.0));
  const double highestBin = (bins - 1) / binsPerHertz;

  size_t total = 0;
  for (size_t i = 0; i < bands_.size(); ++i) {
    const OctaveBand& band = bands_[i];
    const int first = std::max(1, static_cast<int>(std::ceil(band.center / omegaStop * binsPerHertz)));
    const int last = std::min(bins - 1, static_cast<int>(std::floor(band.center * omegaStop * binsPerHertz)));
    spans_[i] = Span{first, std::max(0, last - first + 1), static_cast<int>(total)};
    total += static_cast<size_t>(spans_[i].count);
    resolved_[i] = band.upper - band.lower >= kResolvedBandwidths * noiseBandwidthHz && band.upper <= highestBin;
  }
  weights_.resize(total);
  for (size_t i = 0; i < bands_.size(); ++i) {
    const Span& span = spans_[i];
    for (int j = 0; j < span.count; ++j)
      weights_[static_cast<size_t>(span.offset + j)] =
          static_cast<float>(bandPowerResponse(b, (span.first + j) / binsPerHertz, bands_[i].center));
  }
}

bool BandAnalysis::resolved(int band) const noexcept {
  return band >= 0 && static_cast<size_t>(band) < resolved_.size() && resolved_[static_cast<size_t>(band)];
}

void BandAnalysis::measure(const float* power, int bins, const float* binGain, double* levels) const noexcept {
  const bool valid = bins_ > 0 && bins == bins_;
  for (size_t i = 0; i < spans_.size(); ++i) {
    if (!valid) {
      levels[i] = 0.0;
      continue;
    }
    const Span& span = spans_[i];
    const float* w = weights_.data() + span.offset;
    const float* p = power + span.first;
    // Four partial sums: independent chains the processor overlaps.
    double sum[4] = {0, 0, 0, 0};
    int j = 0;
    if (binGain) {
      const float* g = binGain + span.first;
      for (; j + 4 <= span.count; j += 4)
        for (int u = 0; u < 4; ++u) sum[u] += double(w[j + u] * g[j + u]) * p[j + u];
      for (; j < span.count; ++j) sum[0] += double(w[j] * g[j]) * p[j];
    } else {
      for (; j + 4 <= span.count; j += 4)
        for (int u = 0; u < 4; ++u) sum[u] += double(w[j + u]) * p[j + u];
      for (; j < span.count; ++j) sum[0] += double(w[j]) * p[j];
    }
    levels[i] = ((sum[0] + sum[1]) + (sum[2] + sum[3])) * scale_;
  }
}

double BandAnalysis::overallPower(const float* power, int bins, double lowest, double highest,
                                  const float* binGain) const noexcept {
  if (!bins_ || bins != bins_) return 0.0;
  const int first = std::max(0, static_cast<int>(std::ceil(lowest * binsPerHertz_)));
  const int last = std::min(bins - 1, static_cast<int>(std::floor(highest * binsPerHertz_)));
  // Four partial sums: independent chains the processor overlaps.
  double sum[4] = {0, 0, 0, 0};
  int k = first;
  if (binGain) {
    for (; k + 4 <= last + 1; k += 4)
      for (int u = 0; u < 4; ++u) sum[u] += double(binGain[k + u]) * power[k + u];
    for (; k <= last; ++k) sum[0] += double(binGain[k]) * power[k];
  } else {
    for (; k + 4 <= last + 1; k += 4)
      for (int u = 0; u < 4; ++u) sum[u] += double(power[k + u]);
    for (; k <= last; ++k) sum[0] += double(power[k]);
  }
  return ((sum[0] + sum[1]) + (sum[2] + sum[3])) * scale_;
}

}  // namespace dsp
