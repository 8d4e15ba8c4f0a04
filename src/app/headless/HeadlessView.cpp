#include "app/headless/HeadlessView.h"

#include <algorithm>
#include <memory>
#include <cmath>
#include <mutex>

#include "dsp/PeakReading.h"
#include "dsp/PlotTrace.h"

void HeadlessView::setSharedData(SharedData* shared) {
  shared_ = shared;
  if (!shared_) return;
  // As the display leaves it when it attaches: nothing received yet.
  shared_->lowestBin = 1048576;
  shared_->highestBin = -1;
  shared_->dateString.assign(1, ' ');
  shared_->secondsDateString = shared_->dateString;
}

void HeadlessView::addTraceData(TraceData* trace) {
  ++tracesReceived_;
  addTraceDataBin(trace, -1);
}

void HeadlessView::addTraceDataBin(TraceData* trace, int bin) {
  trace_ = trace;
  if (!shared_) return;
  shared_->trackedBin = bin;
  shared_->hasData = 1;
  if (bin < 0 && trace) {
    // A whole trace, as the display counts it when it redraws one.
    shared_->lowestBin = 0;
    shared_->highestBin = trace->bins;
  }
}

void HeadlessView::clearPlot() {
  marker_.type = display::MarkerCache::kNone;
  marker_.valid = 0;
  if (!shared_) return;
  shared_->lowestBin = 1048576;
  shared_->highestBin = -1;
}

bool HeadlessView::placePeakMarker() {
  marker_ = display::MarkerCache{};
  peak_ = Peak{};
  if (!trace_ || !shared_) return false;
  std::lock_guard<std::mutex> hold(trace_->lock);
  weighting_ = shared_->treatment.weighting != 0 || shared_->sensorResponse;
  if (weighting_) {
    weigher_.setTreatment(dsp::TraceTreatment::of(shared_->treatment.weighting, 0, shared_->sensorResponse.get()));
    if (!weighted_) weighted_ = std::make_unique<TraceData>();
    weigher_.treat(*trace_, *weighted_);
  }
  const TraceData* trace = measuredTrace();
  const int bins = std::clamp(trace->bins, 0, TraceData::kCapacity);
  const float bph = trace->binsPerHertz;
  if (bins == 0 || !(bph > 0)) return false;
  // The bins whose frequencies lie inside the span, as the CSV export has them.
  const double binsPerHertz = bph;
  const double first = std::max(0.0, std::ceil(shared_->span.startFrequency * binsPerHertz - 1e-9));
  const double last = std::min(static_cast<double>(bins - 1), std::floor(shared_->span.endFrequency * binsPerHertz + 1e-9));
  if (first > last) return false;
  // The highest local maximum inside the span: a bin at the span's edge
  // that its neighbour outside the span tops is a slope, not a peak.
  // Bin 0 has half the weight of the others (DC has no image): a constant's
  // lobe is compared with its full weight there, so its peak is at 0 Hz.
  const float* v = trace->averaged;
  auto lobe = [v](int j) { return j == 0 ? 2 * v[0] : v[j]; };
  int k = -1;
  for (int j = static_cast<int>(first); j <= static_cast<int>(last); ++j) {
    const bool peak = (j == 0 || lobe(j) >= lobe(j - 1)) && (j == bins - 1 || lobe(j) >= lobe(j + 1));
    if (peak && (k < 0 || lobe(j) > lobe(k))) k = j;
  }
  slopeOnly_ = k < 0;
  if (k < 0) k = static_cast<int>(first);
  const float value = v[k];
  // The display's reading of a marker on bin k (its scale's linearScale).
  const auto linearScale = static_cast<float>((1.0 / bins) * shared_->refScale / bins);
  marker_.type = display::MarkerCache::kPeak;
  marker_.frequency = static_cast<float>(k) / bph;
  marker_.dB = display::MarkerCache::levelOf(value, linearScale);
  marker_.valid = slopeOnly_ ? 0 : 1;
  marker_.hasPower = value > 0 ? 1 : 0;  // the page's readout says "no power" then
  peak_ = {marker_.frequency, marker_.dB, value > 0 && std::isfinite(value) && !slopeOnly_};
  peak_.slope = slopeOnly_;
  peak_.silent = std::all_of(v, v + bins, [](float x) { return !(x > 0); });
  const WindowResponse* window = shared_->measure.window;
  if (window && window->valid() && window->bins() == trace->bins && window->samplingRate() == trace->samplingRate) {
    const PeakReading p = readPeakAt(*window, trace->averaged, bins, k, bph);
    if (p.valid && std::isfinite(p.level)) {
      peak_.frequency = p.frequency;
      peak_.level = p.level + 10 * std::log10(shared_->refScale);
      peak_.uncertain = p.uncertain;
    }
  }
  return true;
}
