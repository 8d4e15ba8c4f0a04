#pragma once
// The plot's texts as the views keep them: the fonts of each kind of text
// and their sizes for the plot's area, the bandwidth caption, the date
// strings and the marker's readout line. Formatting only; drawing them is
// the renderer's.

#include <string>

#include "plot/MarkerCache.h"
#include "plot/SharedData.h"
#include "display/PlotMeasure.h"
#include "dsp/LevelUnits.h"

namespace display {

// Font, alignment and colour of one kind of text.
struct TextAttributes {
  float size = 10;
  int alignment = -1;  // -1 none, 0 left, 1 right, 2 centre
  RGBAColor foreground = RGBAColor::rgba(1, 1, 1, 1);
};

class PlotCaptions {
 public:
  static TextAttributes createAttributeForFontSize(float size, int alignment);

  // Scale and caption texts of scaleSize, information texts of infoSize,
  // all in white until a colour is set.
  void setScaleFont(float scaleSize, float infoSize);
  // The sizes for a plot of width x height points: 10 to 12 points, growing
  // with the plot's area; the information a tenth larger. A change of less
  // than 0.1 points keeps the present sizes.
  void fitToPlot(float width, float height);
  // Foreground colour of every text.
  void setColor(const RGBAColor& color);
  // The bandwidth caption for a resolution bandwidth in Hz.
  void updateBandwidth(float bandwidth);
  // Both date strings of the shared state, from the present local time;
  // they reuse their storage after the first.
  static void makeDateStrings(SharedData& shared);
  // The marker's line below the plot: the peak reading's frequency and
  // level, or the bin's (after "~" when the peak reading was uncertain).
  // Levels in the scale's unit, with a weighting's letter ("A", "C") when
  // not null: "dB", "dBu(A)".
  static std::string markerReadoutText(const MeasureReadout& readout, const MarkerCache& marker,
                                       const dsp::LevelScale& scale = {}, const char* weighting = nullptr);

  float scaleFontSize() const { return scaleFontSize_; }
  float infoFontSize() const { return infoFontSize_; }
  float captionFontSize() const { return captionFontSize_; }
  const TextAttributes& caption() const { return caption_; }
  const TextAttributes& scale() const { return scale_; }
  // The frequency axis's labels: the scale's size, centred.
  const TextAttributes& centeredScale() const { return centeredScale_; }
  const TextAttributes& left() const { return left_; }
  const TextAttributes& center() const { return center_; }
  const TextAttributes& right() const { return right_; }
  const std::string& bandwidthString() const { return bandwidthString_; }

 private:
  float captionFontSize_ = 0;
  float scaleFontSize_ = 0;
  float infoFontSize_ = 0;
  TextAttributes caption_;
  TextAttributes scale_;
  TextAttributes centeredScale_;
  TextAttributes left_;
  TextAttributes center_;
  TextAttributes right_;
  float cachedBandwidth_ = 3.16f;
  std::string bandwidthString_ = "RBW 3.16 Hz";
};

}  // namespace display
