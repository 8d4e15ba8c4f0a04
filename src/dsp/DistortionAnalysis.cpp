#include "dsp/DistortionAnalysis.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "dsp/PlotTrace.h"

namespace dsp {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

}  // namespace

bool DistortionAnalysis::configure(const WindowResponse& response, const DistortionSettings& settings) {
  bins_ = 0;
  if (!response.valid() || !(response.noiseBandwidthBins() > 0)) return false;
  response_ = response;
  settings_ = settings;
  const int bins = response.bins();
  binsPerHertz_ = PlotTrace::binsPerHertz(bins, response.samplingRate());
  const double nyquist = 0.5 * static_cast<double>(response.samplingRate());
  layout_.first = std::max(1, static_cast<int>(std::ceil(settings.lowerHz * binsPerHertz_)));
  upper_ = std::min(settings.upperHz, nyquist);
  layout_.last = std::min(bins - 1, static_cast<int>(std::floor(upper_ * binsPerHertz_)));
  if (layout_.last < layout_.first) return false;

  lobe_ = mainLobeHalfWidth(response);
  layout_.reach = static_cast<int>(std::ceil(lobe_)) + 1;
  layout_.bins = bins;

  gains_.clear();
  if (settings.noiseWeighting != Weighting::Z) {
    gains_.assign(static_cast<size_t>(bins), 0.0f);
    fillWeightingGains(settings.noiseWeighting, binsPerHertz_, bins, gains_.data());
  }
  blocks_.configure(layout_.first, layout_.last, !gains_.empty());
  bins_ = bins;
  return true;
}

DistortionReading DistortionAnalysis::analyse(const TraceData& trace) const noexcept {
  return analyse(trace.averaged, std::clamp(trace.bins, 0, TraceData::kCapacity));
}

DistortionReading DistortionAnalysis::analyse(const float* power, int bins) const noexcept {
  DistortionReading r;
  if (!configured() || !power || bins != bins_) return r;
  const int first = layout_.first, last = layout_.last, reach = layout_.reach;

  // The fundamental: the highest bin of the band, or the highest within a
  // lobe of the frequency given, read between bins.
  // One pass over the band sums its blocks for the runs below and, when no
  // frequency is given, finds its highest bin.
  const float* gains = gains_.empty() ? nullptr : gains_.data();
  PeakReading peak;
  if (settings_.fundamentalHz > 0) {
    blocks_.sumBlocks(power, gains);
    const LobeSpan around = layout_.lobeAt(settings_.fundamentalHz * binsPerHertz_);
    peak = readPeak(response_, power, bins, around.first, around.last, binsPerHertz_);
  } else {
    peak = readPeakAt(response_, power, bins, blocks_.scan(power, gains), binsPerHertz_);
  }
  if (!peak.valid || !(peak.power > 0)) return r;
  const double k1 = peak.bin + peak.offset;
  // Its lobe must keep clear of its image's below 0 Hz and of the second
  // harmonic's.
  if (!(k1 > 2 * reach)) return r;
  r.fundamentalHz = peak.frequency;

  // The lobes left out of the noise: the fundamental's and every harmonic's
  // below half the rate, in rising order.
  LobeSpan spans[DistortionReading::kHighestOrder];
  int count = 0;
  for (int order = 1; order <= DistortionReading::kHighestOrder; ++order) {
    const double centre = order * k1;
    if (centre + reach > bins - 1) break;
    spans[count++] = layout_.lobeAt(centre);
  }

  // The band's bins outside the lobes, in the runs between them, weighted
  // too.
  double outside = 0, outsideWeighted = 0;
  int outsideBins = 0;
  auto takeRun = [&](int from, int to) {
    from = std::max(from, first);
    to = std::min(to, last);
    if (to < from) return;
    const double sum = blocks_.sum(power, from, to);
    outside += sum;
    outsideWeighted += gains ? blocks_.weightedSum(power, gains, from, to) : sum;
    outsideBins += to - from + 1;
  };
  int runFrom = first;
  for (int i = 0; i < count; ++i) {
    takeRun(runFrom, spans[i].first - 1);
    runFrom = std::max(runFrom, spans[i].last + 1);
  }
  takeRun(runFrom, last);
  const double globalPerBin = outsideBins > 0 ? outside / outsideBins : 0;

  // A tone's bins add up to its mean square times the noise bandwidth.
  const double toMeanSquare = 1.0 / (static_cast<double>(bins) * bins * response_.noiseBandwidthBins());
  double noise = outsideWeighted;
  double band = outside;  // the band's power: the runs' and the lobes' in it
  double fundamentalLobeInBand = 0, fundamentalFill = 0;
  for (int i = 0; i < count; ++i) {
    const LobeSpan s = spans[i];
    double perBin = layout_.noiseBeside(power, s, spans, count);
    if (perBin < 0) perBin = globalPerBin;
    // The lobe, and its bins within the band (all of them but at the band's
    // ends).
    const double lobe = binSum(power, s.first, s.last);
    const int inFirst = std::max(s.first, first), inLast = std::min(s.last, last);
    const int inBandBins = std::max(0, inLast - inFirst + 1);
    double inBand = 0, gainInBand = inBandBins;
    if (inBandBins > 0) {
      inBand = inFirst == s.first && inLast == s.last ? lobe : binSum(power, inFirst, inLast);
      if (gains) {
        gainInBand = 0;
        for (int k = inFirst; k <= inLast; ++k) gainInBand += static_cast<double>(gains[k]);
      }
    }
    band += inBand;
    // The noise the lobe hides, as its neighbours hold it per bin, through
    // the lobe's own gains.
    noise += perBin * gainInBand;
    const double tone = std::max(0.0, lobe - perBin * (s.last - s.first + 1)) * toMeanSquare;
    if (i == 0) {
      r.fundamentalPower = tone;
      fundamentalLobeInBand = inBand;
      fundamentalFill = perBin * inBandBins;
      continue;
    }
    HarmonicReading& h = r.harmonics[static_cast<size_t>(i - 1)];
    h.power = tone;
  }
  if (!(r.fundamentalPower > 0)) return r;
  r.fundamentalDb = powerDecibels(r.fundamentalPower);

  for (int order = 2; order <= DistortionReading::kHighestOrder; ++order) {
    HarmonicReading& h = r.harmonics[static_cast<size_t>(order - 2)];
    h.order = order;
    h.frequency = order * r.fundamentalHz;
    h.inBand = order - 1 < count && h.frequency <= upper_;
    if (!h.inBand) {
      h.power = 0;
      h.levelDb = 0;
      continue;
    }
    h.levelDb = powerDecibels(h.power / r.fundamentalPower);
    r.thdRatio += h.power / r.fundamentalPower;
    ++r.harmonicsInBand;
  }
  r.thdDb = powerDecibels(r.thdRatio);
  r.thdPercent = 100 * std::sqrt(r.thdRatio);
  r.thdnRatio = std::max(0.0, band - fundamentalLobeInBand + fundamentalFill) * toMeanSquare / r.fundamentalPower;
  r.thdnDb = powerDecibels(r.thdnRatio);
  r.thdnPercent = 100 * std::sqrt(r.thdnRatio);
  r.sinadDb = -r.thdnDb;
  r.noisePower = noise * toMeanSquare;
  r.noiseDb = powerDecibels(r.noisePower);
  r.snrDb = r.noisePower > 0 ? powerDecibels(r.fundamentalPower / r.noisePower) : kInfinity;
  r.valid = true;
  return r;
}

}  // namespace dsp
