#include "display/PlotCaptions.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include "plot/TruncToInt.h"

namespace display {

TextAttributes PlotCaptions::createAttributeForFontSize(float size, int alignment) {
  TextAttributes attributes;
  attributes.size = size;
  attributes.alignment = alignment;
  attributes.foreground = RGBAColor::rgba(1, 1, 1, 1);
  return attributes;
}

void PlotCaptions::setScaleFont(float scaleSize, float infoSize) {
  scaleFontSize_ = scaleSize;
  scale_ = createAttributeForFontSize(scaleFontSize_, 1);
  centeredScale_ = createAttributeForFontSize(scaleFontSize_, 2);
  captionFontSize_ = scaleFontSize_;
  caption_ = createAttributeForFontSize(captionFontSize_, -1);
  infoFontSize_ = infoSize;
  left_ = createAttributeForFontSize(infoFontSize_, 0);
  center_ = createAttributeForFontSize(infoFontSize_, 2);
  right_ = createAttributeForFontSize(infoFontSize_, 1);
}

void PlotCaptions::fitToPlot(float width, float height) {
  float s = static_cast<float>(std::sqrt(static_cast<double>(width) * height) * 10 / 480);
  if (!(s >= 10)) s = 10;  // also a negative area (NaN)
  if (s > 12) s = 12;
  if (std::fabs(s - scaleFontSize_) > 0.1f) {
    captionFontSize_ = scaleFontSize_ = s;
    infoFontSize_ = s * 1.1f;
    caption_.size = s;
    scale_.size = s;
    centeredScale_.size = s;
    left_.size = infoFontSize_;
    center_.size = infoFontSize_;
    right_.size = infoFontSize_;
  }
}

void PlotCaptions::setColor(const RGBAColor& color) {
  caption_.foreground = color;
  scale_.foreground = color;
  centeredScale_.foreground = color;
  left_.foreground = color;
  center_.foreground = color;
  right_.foreground = color;
}

void PlotCaptions::updateBandwidth(float bandwidth) {
  if (cachedBandwidth_ == bandwidth) return;
  cachedBandwidth_ = bandwidth;
  const int whole = truncToInt(bandwidth);
  const char* format = whole == 3 ? "RBW  %.2f Hz" : whole == 31 ? "RBW  %.1f Hz" : "RBW  %.0f Hz";
  char text[64];
  std::snprintf(text, sizeof text, format, static_cast<double>(bandwidth));
  bandwidthString_.assign(text);
}

void PlotCaptions::makeDateStrings(SharedData& shared) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[64];
  // Assigning into the existing strings reuses their storage after the first trace.
  std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H%M", &local);
  shared.dateString.assign(text, n);
  n = std::strftime(text, sizeof text, "%Y-%m-%d %H%M%S", &local);
  shared.secondsDateString.assign(text, n);
}

std::string PlotCaptions::markerReadoutText(const MeasureReadout& readout, const MarkerCache& marker,
                                            const dsp::LevelScale& scale, const char* weighting) {
  char text[128];
  char level[64];
  if (readout.precise) {
    // The peak reading: a sine's frequency and level between bins.
    std::snprintf(text, sizeof text, "Marker:  %.2f Hz   %s", static_cast<double>(readout.frequency),
                  scale.format(level, sizeof level, readout.dB, 2, scale.signsLevels(), weighting));
  } else if (!marker.hasPower) {
    // A bin without power has no level to read.
    std::snprintf(text, sizeof text, "Marker:  %.0f Hz   no power", static_cast<double>(marker.frequency));
  } else {
    // The bin as it is; "~" where the peak reading was asked for but the
    // sine lies too close to its image to be read between bins.
    std::snprintf(text, sizeof text, "Marker:  %s%.0f Hz   %s", readout.uncertain ? "~" : "",
                  static_cast<double>(marker.frequency), scale.format(level, sizeof level, marker.dB, 1, scale.signsLevels(), weighting));
  }
  return text;
}

}  // namespace display
