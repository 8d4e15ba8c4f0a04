#pragma once
// What the controls hold at first launch, before any settings are read: the
// colour wells, the export and print settings and the analysis controls. The
// window and its preferences start from these, and so does every analysis
// run without a window, so that both draw and export alike.

#include <array>

#include "dsp/WindowShape.h"
#include "ui/Color.h"

namespace interface_defaults {

struct ColorWellDefault {
  const char* label;  // as the preferences show it
  ui::Color color;
};

// The thirteen wells: the window background, the screen's background,
// graticule, curve, caption, marker and reference, then the print colours
// in that order from the background on.
inline constexpr std::array<ColorWellDefault, 13> kColorWells = {{
    {"Window background", {0.22f, 0.22f, 0.24f, 1.0f}},
    {"Plot background", {0.0f, 0.0f, 0.0f, 1.0f}},
    {"Graticule", {0.45f, 0.45f, 0.45f, 1.0f}},
    {"Curve", {1.0f, 0.85f, 0.2f, 1.0f}},
    {"Captions", {0.85f, 0.85f, 0.85f, 1.0f}},
    {"Marker", {1.0f, 0.3f, 0.3f, 1.0f}},
    {"Reference trace", {0.3f, 0.7f, 1.0f, 1.0f}},
    {"Background", {1.0f, 1.0f, 1.0f, 1.0f}},
    {"Graticule", {0.6f, 0.6f, 0.6f, 1.0f}},
    {"Curve", {0.0f, 0.2f, 0.8f, 1.0f}},
    {"Captions", {0.0f, 0.0f, 0.0f, 1.0f}},
    {"Marker", {0.9f, 0.0f, 0.0f, 1.0f}},
    {"Reference trace", {0.0f, 0.6f, 0.2f, 1.0f}},
}};

// Export and print: the page in points, the image formats by title (the
// first is chosen), the exported files' name prefix, the print colours
// with a border.
inline constexpr const char* kPrintWidth = "800";
inline constexpr const char* kPrintHeight = "500";
inline constexpr std::array<const char*, 3> kImageFormats = {"PNG", "JPEG", "TIFF"};
inline constexpr const char* kExportNamePrefix = "~/spectrum";
inline constexpr bool kUseDisplayColorsForPrinting = false;
inline constexpr bool kPrintBorder = true;

// The analysis controls: item tags of the pop-ups (InterfaceMenus.h) and
// the fields' texts.
inline constexpr int kBandwidthTag = 10;  // 10 Hz
inline constexpr int kWindowTag = static_cast<int>(WindowShape::Gaussian);
inline constexpr const char* kLowerSpan = "0";
inline constexpr const char* kUpperSpan = "24000";
inline constexpr int kDetectorTag = 4;  // Rosenfell average
inline constexpr const char* kTraceAverage = "1";
inline constexpr const char* kReferenceLevel = "0";
inline constexpr int kDivisionTag = 10;  // 10 dB per division
inline constexpr int kAxisTag = 0;       // linear
inline constexpr int kSmoothingTag = 0;  // off
inline constexpr int kWeightingTag = 0;  // Z, none
inline constexpr int kBandsTag = 0;      // no bands
inline constexpr int kLogSweepLengthTag = 18;  // 262144 samples, 5.5 s at 48 kHz

// The window opens (before any settings file is written) on the audio band
// on a logarithmic axis; the commands keep the linear defaults above.
inline constexpr int kWindowAxisTag = 1;
inline constexpr const char* kWindowLowerSpan = "20";
inline constexpr const char* kWindowUpperSpan = "20000";

}  // namespace interface_defaults
