#include "dsp/Intermodulation.h"

#include <algorithm>
#include <cmath>

#include "dsp/PlotTrace.h"

namespace dsp {

namespace {

// A product: its order and its frequency as multiples of the tones'.
struct ProductPlan {
  int order, low, high;
};

// SMPTE: f2 − n·f1 and f2 + n·f1 for n = 1 … 4, pair n of order n + 1.
constexpr ProductPlan kSmpteProducts[] = {{2, -1, 1}, {2, 1, 1}, {3, -2, 1}, {3, 2, 1},
                                          {4, -3, 1}, {4, 3, 1}, {5, -4, 1}, {5, 4, 1}};
// CCIF: f2 − f1, then 2·f1 − f2 and 2·f2 − f1.
constexpr ProductPlan kCcifProducts[] = {{2, -1, 1}, {3, 2, -1}, {3, -1, 2}};

}  // namespace

const char* intermodulationStandardName(IntermodulationStandard standard) noexcept {
  return standard == IntermodulationStandard::Ccif ? "CCIF" : "SMPTE";
}

double standardLowTone(IntermodulationStandard standard) noexcept {
  return standard == IntermodulationStandard::Ccif ? 19000 : 60;
}

double standardHighTone(IntermodulationStandard standard) noexcept {
  return standard == IntermodulationStandard::Ccif ? 20000 : 7000;
}

bool IntermodulationAnalysis::configure(const WindowResponse& response, const IntermodulationSettings& settings) {
  layout_.bins = 0;
  if (!response.valid() || !(response.noiseBandwidthBins() > 0)) return false;
  response_ = response;
  settings_ = settings;
  if (!(settings_.f1Hz > 0)) settings_.f1Hz = standardLowTone(settings.standard);
  if (!(settings_.f2Hz > 0)) settings_.f2Hz = standardHighTone(settings.standard);
  const int bins = response.bins();
  binsPerHertz_ = PlotTrace::binsPerHertz(bins, response.samplingRate());
  const double nyquist = 0.5 * static_cast<double>(response.samplingRate());
  upper_ = settings.upperHz > 0 ? std::min(settings.upperHz, nyquist) : nyquist;
  LobeLayout layout;
  layout.first = std::max(1, static_cast<int>(std::ceil(settings.lowerHz * binsPerHertz_)));
  layout.last = std::min(bins - 1, static_cast<int>(std::floor(upper_ * binsPerHertz_)));
  if (layout.last < layout.first) return false;
  layout.reach = static_cast<int>(std::ceil(mainLobeHalfWidth(response))) + 1;
  layout.bins = bins;
  layout_ = layout;
  return true;
}

IntermodulationReading IntermodulationAnalysis::analyse(const TraceData& trace) const noexcept {
  return analyse(trace.averaged, std::clamp(trace.bins, 0, TraceData::kCapacity));
}

IntermodulationReading IntermodulationAnalysis::analyse(const float* power, int bins) const noexcept {
  IntermodulationReading r;
  r.standard = settings_.standard;
  if (!configured() || !power || bins != layout_.bins) return r;
  const int reach = layout_.reach;

  // The tones: the highest bin within a lobe of each frequency set, read
  // between bins. Each lobe must keep clear of its image's below 0 Hz and
  // above half the rate, and of the other's.
  double at[2];
  const double nominal[2] = {settings_.f1Hz, settings_.f2Hz};
  for (int t = 0; t < 2; ++t) {
    const LobeSpan around = layout_.lobeAt(nominal[t] * binsPerHertz_);
    if (around.size() <= 0) return r;
    const PeakReading peak = readPeak(response_, power, bins, around.first, around.last, binsPerHertz_);
    if (!peak.valid || !(peak.power > 0)) return r;
    at[t] = peak.bin + peak.offset;
    if (!(at[t] > 2 * reach) || at[t] + reach > bins - 1) return r;
  }
  if (!(std::abs(at[1] - at[0]) > 2 * reach)) return r;
  r.f1Hz = at[0] / binsPerHertz_;
  r.f2Hz = at[1] / binsPerHertz_;

  // The products' places, and which are in reach: inside the band, their
  // lobes on the trace and clear of the tones' and of each other's.
  const bool ccif = settings_.standard == IntermodulationStandard::Ccif;
  const ProductPlan* plans = ccif ? kCcifProducts : kSmpteProducts;
  r.productCount = ccif ? static_cast<int>(std::size(kCcifProducts)) : static_cast<int>(std::size(kSmpteProducts));
  double centre[IntermodulationReading::kMostProducts];
  for (int i = 0; i < r.productCount; ++i) {
    IntermodulationProduct& p = r.products[static_cast<size_t>(i)];
    p.order = plans[i].order;
    p.lowMultiple = plans[i].low;
    p.highMultiple = plans[i].high;
    centre[i] = p.lowMultiple * at[0] + p.highMultiple * at[1];
    p.frequency = centre[i] / binsPerHertz_;
    p.inBand = p.frequency >= settings_.lowerHz && p.frequency <= upper_ && centre[i] - reach >= 0 &&
               centre[i] + reach <= bins - 1 && std::abs(centre[i] - at[0]) > 2 * reach &&
               std::abs(centre[i] - at[1]) > 2 * reach;
  }
  for (int i = 0; i < r.productCount; ++i)
    for (int j = 0; j < r.productCount; ++j)
      if (i != j && std::abs(centre[i] - centre[j]) <= 2 * reach) r.products[static_cast<size_t>(i)].inBand = false;

  // The lobes the noise beside each is read outside of: the tones' and the
  // products' in reach.
  LobeSpan spans[2 + IntermodulationReading::kMostProducts];
  int count = 0;
  spans[count++] = layout_.lobeAt(at[0]);
  spans[count++] = layout_.lobeAt(at[1]);
  for (int i = 0; i < r.productCount; ++i)
    if (r.products[static_cast<size_t>(i)].inBand) spans[count++] = layout_.lobeAt(centre[i]);

  // A tone's bins add up to its mean square times the noise bandwidth.
  const double toMeanSquare = 1.0 / (static_cast<double>(bins) * bins * response_.noiseBandwidthBins());
  auto toneAt = [&](LobeSpan s) {
    const double perBin = std::max(0.0, layout_.noiseBeside(power, s, spans, count));
    return std::max(0.0, lobeSum(power, s) - perBin * s.size()) * toMeanSquare;
  };
  r.f1Power = toneAt(spans[0]);
  r.f2Power = toneAt(spans[1]);
  if (!(r.f1Power > 0) || !(r.f2Power > 0)) return r;
  r.f1Db = powerDecibels(r.f1Power);
  r.f2Db = powerDecibels(r.f2Power);
  r.referenceAmplitude = ccif ? std::sqrt(r.f1Power) + std::sqrt(r.f2Power) : std::sqrt(r.f2Power);
  const double reference2 = r.referenceAmplitude * r.referenceAmplitude;

  // Each order: the amplitudes of its products summed, when all are in
  // reach.
  r.orderCount = ccif ? 2 : IntermodulationReading::kSidebandPairs;
  for (int o = 0; o < r.orderCount; ++o) {
    IntermodulationOrder& order = r.orders[static_cast<size_t>(o)];
    order.order = o + 2;
    order.inBand = true;
  }
  int next = 2;
  for (int i = 0; i < r.productCount; ++i) {
    IntermodulationProduct& p = r.products[static_cast<size_t>(i)];
    IntermodulationOrder& order = r.orders[static_cast<size_t>(p.order - 2)];
    if (!p.inBand) {
      order.inBand = false;
      continue;
    }
    p.power = toneAt(spans[next++]);
    p.levelDb = powerDecibels(p.power / reference2);
    order.ratio += std::sqrt(p.power) / r.referenceAmplitude;
  }
  for (int o = 0; o < r.orderCount; ++o) {
    IntermodulationOrder& order = r.orders[static_cast<size_t>(o)];
    if (!order.inBand) {
      order.ratio = 0;
      continue;
    }
    order.levelDb = powerDecibels(order.ratio * order.ratio);
    order.percent = 100 * order.ratio;
    r.imdRatio += order.ratio * order.ratio;
    ++r.ordersInBand;
  }
  r.imdRatio = std::sqrt(r.imdRatio);
  r.imdDb = powerDecibels(r.imdRatio * r.imdRatio);
  r.imdPercent = 100 * r.imdRatio;
  r.valid = true;
  return r;
}

}  // namespace dsp
