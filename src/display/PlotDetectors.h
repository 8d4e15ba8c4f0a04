#pragma once
// The detectors: each pixel column of the plot reduced from the trace bins
// it covers to their minimum, maximum and mean (and whether the values rose
// or fell past all earlier ones), and the values the chosen detector draws.
// Arithmetic on the trace and the geometry's column maps only.

#include "display/PlotGeometry.h"

struct TraceData;

namespace display {

// Per-column results of the detectors. Index = pixel column.
struct DetectedData {
  static constexpr int kColumns = PlotGeometry::kColumns;
  float min[kColumns];
  float max[kColumns];
  float mean[kColumns];
  float rosenfell[kColumns];
  int updown[kColumns];  // 1: values rose past all earlier ones, 2: fell below them, 3: both
};

// A bin's value; bins left of 0 Hz read their mirror image, and none reads
// past the trace's last bin (a reference recorded at another rate maps
// beyond it).
float valueAt(const TraceData* trace, int bin);

// Detects bins a … b − 1 into the column; bins past lastKnownBin (a
// sweep's front) are not read by interpolation.
void detectColumn(const TraceData* input, int a, int b, float fraction, DetectedData* output, int column,
                  int lastKnownBin);

// The column as the geometry maps it onto the trace's bins.
void detectPixel(const PlotGeometry& geometry, int column, const TraceData* input, DetectedData* output);

// The column of a reference whose bin k lies at the live trace's bin k / scale.
void detectReferencePixel(const PlotGeometry& geometry, int column, const TraceData* input, DetectedData* output,
                          float scale);

// The values the detector mode draws for columns 0 … last: 0 the mean, 1 the
// maximum, 2 the minimum, 3 and above the rosenfell detector (filled in
// here), which in a column that rose and fell takes the maximum of the
// column pair on odd columns and the minimum (mode 3) or the mean on even ones.
const float* detectorValues(int mode, DetectedData* detected, int last);

// Bins per hertz of a trace; a record that lacks them (a reference file
// without the key) has them from its bin count and rate, or 0.
float binsPerHertzOf(const TraceData* trace);

}  // namespace display
