// The plot's markers: the live and reference markers' bins, values and
// positions, placed by a click on the screen, followed at every drawing, and
// placed anew from their frequency for a printed page.

#include <algorithm>
#include <cmath>

#include "display/PlotContent.h"
#include "dsp/PlotTrace.h"
#include "plot/TruncToInt.h"

namespace display {

void PlotContent::placeMarker(int type, double x, double y) {
  markerCache_.type = kNoMarker;
  markerCache_.valid = 0;
  if (type == kNoMarker || !traceData_ || !shared_) return;
  const int column = std::clamp(truncToInt(x - plotBounds().x()), 0, kColumns - 1);
  // On the logarithmic axis a low column is narrower than a bin: the bin
  // nearest its centre.
  shared_->marker.binClicked = geometry_.axis().logarithmic()
                                   ? static_cast<int>(std::lround(geometry_.fractionalBinAt(column)))
                                   : geometry_.binAt(column) + 2;
  shared_->marker.valueClicked = static_cast<float>(y - scale().top);
  shared_->marker.cachedBinClicked = -1;
  markerCache_.type = type;
  needsMarkerUpdate_ = 1;
}

void PlotContent::updateScreenMarkers() {
  const PlotScale& scale = geometry_.scale();
  if (!scale.valid || markerCache_.type == kNoMarker || !traceData_ || !shared_) return;
  const int lo = std::max(shared_->lowestBin, scale.firstBin);
  const int hi = std::min(shared_->highestBin, scale.endBin);
  SharedData::Marker& marker = shared_->marker;

  if (marker.binClicked != marker.cachedBinClicked) {
    // A new click: the trace point nearest to it, counting a bin of
    // horizontal distance like 1.4 points of vertical distance.
    const int c = marker.binClicked;
    marker.cachedBinClicked = c;
    const int from = std::max(c - 20, lo);
    const int to = std::min(c + 20, hi);
    double best = 1e12;
    // Clicked where nothing is measured yet (ahead of a sweep): the clicked bin.
    int index = from < to ? from : c;
    for (int k = from; k < to; ++k) {
      const double value = valueAt(shownTrace(), k) * scale.linearScale;
      const double o = scale.logScale * std::log10(value) - marker.valueClicked;
      const double d = o * o + 2.0 * static_cast<double>(c - k) * (c - k);
      if (d < best) {
        best = d;
        index = k;
      }
    }
    marker.index = index;
  }

  const bool idle = callbacks_.trackingGeneratorIdle && callbacks_.trackingGeneratorIdle();
  const int r = cacheMarkerIndex(marker.index, lo, hi, false);
  if (!idle) marker.index = r;
  if (referenceData_) cacheReferenceMarkerIndex(r, lo, hi, false);
}

void PlotContent::updatePageMarkers() {
  // A marker the screen has not placed yet keeps its record as it is: the
  // page then shows its shape but no readout.
  if (!traceData_ || markerCache_.type == kNoMarker || !markerCache_.valid) return;
  // The frequency was made from a whole bin; rounding finds that bin again
  // where the float product falls just short of it.
  const PlotScale& scale = geometry_.scale();
  const int index =
      static_cast<int>(std::lround(static_cast<double>(markerCache_.frequency * traceData_->binsPerHertz)));
  const int k = cacheMarkerIndex(index, scale.firstBin, scale.endBin, true);
  if (referenceData_) cacheReferenceMarkerIndex(k, scale.firstBin, scale.endBin, true);
}

namespace {

// The band of the band marker: 5 % of the displayed bins, at least 2 bins.
struct Band {
  int start;
  int end;
};

Band bandAround(int c, int hi, const PlotScale& scale) {
  int w = truncToInt((scale.endBin - scale.firstBin) * 0.025);
  if (w < 2) w = 1;
  int s = std::max(c - w, 0);
  const int e = std::min(s + 2 * w, hi);
  if (s == hi) s = s - 1;
  return {s, e};
}

}  // namespace

void PlotContent::markerBand(int bin, int highest, int& start, int& end) const {
  const Band band = bandAround(bin, highest, geometry_.scale());
  start = band.start;
  end = band.end;
}

int PlotContent::cacheMarkerIndex(int bin, int lowest, int highest, bool /*ignoreCache*/) {
  const TraceData* trace = shownTrace();
  if (!trace) return bin;
  const PlotScale& scale = geometry_.scale();
  const float bph = trace->binsPerHertz;
  auto v = [&](int k) { return valueAt(trace, k); };
  int k = bin;
  float value;

  const int type = markerCache_.type;
  if (type == kBandMarker) {
    const Band band = bandAround(bin, highest, scale);
    float sum = 0;
    for (int j = band.start; j < band.end; ++j) sum += v(j);
    value = sum / static_cast<float>(band.end - band.start);
    markerCache_.lowerFrequency = static_cast<float>(band.start) / bph;
    markerCache_.upperFrequency = static_cast<float>(band.end) / bph;
  } else if (type == kPeakMarker || type == kMinimumMarker) {
    const bool peak = type == kPeakMarker;
    // "better(x, y)": x is at least as high (peak) or as low (minimum) as y.
    auto atLeast = [peak](float x, float y) { return peak ? x >= y : x <= y; };
    int a = std::max(bin - 20, lowest);
    int b = std::min(bin + 20, highest);
    const bool idle = callbacks_.trackingGeneratorIdle && callbacks_.trackingGeneratorIdle();
    if (idle) {
      // Bracket the extremum, moving 20 bins at a time toward it.
      for (int step = 0; step < 100; ++step) {
        const int m = (a + b) / 2;
        if (atLeast(v(m), v(a)) && atLeast(v(m), v(b))) break;
        if (atLeast(v(a), v(m))) {
          if (a - 20 <= lowest) {
            a = lowest;
            b = m;
            break;
          }
          b = m;
          a = a - 20;
        } else {
          if (b + 20 >= highest) {
            a = m;
            b = highest;
            break;
          }
          a = m;
          b = b + 20;
        }
      }
    }
    // No measured bin near the marker (a sweep has not reached it yet): it
    // stays on its bin until the sweep gets there, instead of stepping
    // toward the measured part and settling on its edge.
    k = a < b ? a : bin;
    if (a < b) {
      float best = v(a);
      for (int j = a + 1; j < b; ++j) {
        const float x = v(j);
        if (peak ? x > best : x < best) {
          best = x;
          k = j;
        }
      }
    }
    value = v(k);
  } else {
    value = v(bin);
  }

  markerCache_.frequency = static_cast<float>(k) / bph;
  markerCache_.dB = MarkerCache::levelOf(value, scale.linearScale);
  markerCache_.hasPower = value > 0 ? 1 : 0;
  markerCache_.h = geometry_.x0() + static_cast<float>(geometry_.columnOfBin(k));
  // Without power the dot goes below the plot with the trace.
  markerCache_.v = value > 0 ? scale.top + markerCache_.dB * scale.logScale / 10 : noPowerY();
  markerCache_.valid = 1;
  return k;
}

void PlotContent::cacheReferenceMarkerIndex(int bin, int /*lowest*/, int highest, bool ignoreCache) {
  const TraceData* reference = referenceTrace();
  if (!reference || !traceData_) return;
  const PlotScale& scale = geometry_.scale();
  const float bph = traceData_->binsPerHertz;
  const float frequency = static_cast<float>(bin) / bph;
  if (!ignoreCache && referenceMarkerCached_ && std::fabs(referenceMarkerCache_.frequency - frequency) < 0.01f) {
    return;
  }
  referenceMarkerCached_ = 1;

  // The live bins are read at the same frequencies in the reference.
  const float s = referenceBinsPerBin();
  auto referenceBin = [s](int k) { return truncToInt(static_cast<double>(s * static_cast<float>(k))); };
  float value;
  if (markerCache_.type == kBandMarker) {
    const Band band = bandAround(bin, highest, scale);
    const int start = referenceBin(band.start);
    const int end = std::max(referenceBin(band.end), start + 1);
    float sum = 0;
    for (int j = start; j < end; ++j) sum += valueAt(reference, j);
    value = sum / static_cast<float>(end - start);
    referenceMarkerCache_.lowerFrequency = static_cast<float>(band.start) / bph;
    referenceMarkerCache_.upperFrequency = static_cast<float>(band.end) / bph;
  } else {
    value = valueAt(reference, referenceBin(bin));
  }
  value *= referencePowerFactor();
  if (normalising()) value = unityPower();
  referenceMarkerCache_.frequency = frequency;
  referenceMarkerCache_.dB = static_cast<float>(10 * std::log10(static_cast<double>(value * scale.linearScale)));
  referenceMarkerCache_.h = geometry_.x0() + static_cast<float>(geometry_.columnOfBin(bin));
  referenceMarkerCache_.v = scale.top + referenceMarkerCache_.dB * scale.logScale / 10;
  referenceMarkerCache_.valid = 1;
}

}  // namespace display
