#pragma once
// The spectrogram as one static page, in the print view's conventions (its
// palette, its Helvetica texts sized by PlotCaptions for the plot's area,
// the frequency axis laid out by the plot's own PlotGeometry): the history
// in the plot rectangle, newest row at the top; the time axis on the left
// in seconds, the frequency axis below (the logarithmic axis's labels, or
// the span's edges on the linear one), the RBW caption, and the colour
// legend on the right with the dB range.
//
// Main thread only; the spectrogram and the geometry must outlive the call.

#include <QImage>
#include <string>
#include <vector>

#include "display/PlotGeometry.h"
#include "plot/SharedData.h"

namespace display {

class Spectrogram;

struct SpectrogramPageContent {
  const Spectrogram* spectrogram = nullptr;
  // Laid out on the page's bounds (margins kSpectrogramPageMargins) and
  // scaled for the traces the rows came from.
  const PlotGeometry* geometry = nullptr;
  double startSeconds = 0;  // the bottom edge of the oldest row
  double endSeconds = 0;    // the top edge of the newest row
  double startFrequency = 0, endFrequency = 0;  // Hz, the span
  float bandwidth = 10;                          // Hz, for the RBW caption
  const char* levelUnit = "dB";
  ColorPalette palette;  // the print palette
};

// The page's margins: the plot's, with room on the right for the legend.
inline constexpr PlotMargins kSpectrogramPageMargins{50, 50, 64, 30};

// A label of the time axis.
struct TimeLabel {
  double seconds = 0;
  std::string text;
};

// The labels from start to end seconds, every 1, 2 or 5 times a power of
// ten seconds, at least about 40 points apart over a height of that many
// points; the first at or after start, the last at or before end.
std::vector<TimeLabel> timeLabels(double start, double end, double height);

// The page of the geometry's bounds, one pixel per point: RGB32 when the
// palette's background is opaque, else premultiplied ARGB32.
QImage renderSpectrogramPage(const SpectrogramPageContent& content);

}  // namespace display
