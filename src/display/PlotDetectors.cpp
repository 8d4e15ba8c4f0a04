#include "display/PlotDetectors.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "dsp/PlotTrace.h"
#include "plot/TruncToInt.h"

namespace display {

float valueAt(const TraceData* trace, int bin) {
  int k = bin < 0 ? -bin : bin;
  const int last = std::clamp(trace->bins - 1, 0, TraceData::kCapacity - 1);
  if (k > last) k = last;
  return trace->averaged[k];
}

void detectColumn(const TraceData* input, int a, int b, float fraction, DetectedData* output, int column,
                  int lastKnownBin) {
  float mn, mx, mean;
  int flags = 0;
  // A column that holds no whole bin, or only the one its left edge lies
  // in, interpolates at its left edge as the narrower columns beside it do:
  // read as bin a alone it would break the line between them with a tick
  // at every bin boundary. A bin not measured yet is not interpolated to.
  const bool interpolates = b <= a || (b == a + 1 && truncToInt(fraction) + 1 <= lastKnownBin);
  if (!interpolates) {
    const int last = std::clamp(input->bins - 1, 0, TraceData::kCapacity - 1);
    float v = valueAt(input, a);
    mn = mx = v;
    float sum = v;
    auto scan = [&](auto valueOf) {
      for (int k = a + 1; k < b; ++k) {
        v = valueOf(k);
        if (v > mx) {
          flags |= 1;
          mx = v;
        }
        if (v < mn) {
          flags |= 2;
          mn = v;
        }
        sum += v;
      }
    };
    if (a >= 0 && b - 1 <= last) {
      // The usual case: every bin of the column lies in the trace.
      const float* values = input->averaged;
      scan([values](int k) { return values[k]; });
    } else {
      scan([input](int k) { return valueAt(input, k); });
    }
    mean = sum / static_cast<float>(b - a);
  } else {
    // Narrower than a bin: interpolate between the two nearest bins.
    const int k = truncToInt(fraction);
    const float t = fraction - static_cast<float>(k);
    mean = (1 - t) * valueAt(input, k) + t * valueAt(input, k + 1);
    mn = mx = mean;
  }
  output->min[column] = mn;
  output->max[column] = mx;
  output->mean[column] = mean;
  output->updown[column] = flags;
}

void detectPixel(const PlotGeometry& geometry, int column, const TraceData* input, DetectedData* output) {
  if (column < 0 || column + 1 >= DetectedData::kColumns) return;
  const int a = geometry.binAt(column);
  const int b = geometry.binAt(column + 1);
  detectColumn(input, a, b, geometry.fractionalBinAt(column), output, column, std::numeric_limits<int>::max());
}

void detectReferencePixel(const PlotGeometry& geometry, int column, const TraceData* input, DetectedData* output,
                          float scale) {
  if (column < 0 || column + 1 >= DetectedData::kColumns) return;
  const int a = truncToInt(scale * static_cast<float>(geometry.binAt(column)));
  const int b = truncToInt(scale * static_cast<float>(geometry.binAt(column + 1)));
  detectColumn(input, a, b, scale * geometry.fractionalBinAt(column), output, column,
               std::numeric_limits<int>::max());
}

const float* detectorValues(int mode, DetectedData* detected, int last) {
  switch (mode) {
    case 0:
      return detected->mean;
    case 1:
      return detected->max;
    case 2:
      return detected->min;
    default: {
      const bool minimumMode = mode == 3;
      for (int i = 0; i <= last; ++i) {
        if (detected->updown[i] == 3) {
          if (i & 1) {
            detected->rosenfell[i] = std::max(detected->max[i - 1], detected->max[i]);
          } else {
            detected->rosenfell[i] = minimumMode ? detected->min[i] : detected->mean[i];
          }
        } else {
          detected->rosenfell[i] = detected->max[i];
        }
      }
      return detected->rosenfell;
    }
  }
}

float binsPerHertzOf(const TraceData* trace) {
  if (trace->binsPerHertz > 0 && std::isfinite(trace->binsPerHertz)) return trace->binsPerHertz;
  if (trace->bins > 0 && trace->samplingRate > 0) return static_cast<float>(trace->bins) / (trace->samplingRate / 2);
  return 0;
}

}  // namespace display
