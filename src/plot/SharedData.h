#pragma once
// The plot state the controller owns and hands by pointer to both plot views,
// and the colour palettes they draw with. Plain records: no toolkit types, so
// every layer (controller, settings, views) can hold them. All readers and
// writers run on the main thread.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dsp/DistortionAnalysis.h"
#include "dsp/Intermodulation.h"
#include "dsp/LevelUnits.h"

#include "plot/FrequencyAxis.h"
#include "ui/Color.h"

class WindowResponse;
namespace dsp {
class SensorResponse;
}

// A palette entry: a colour of the controls (ui::Color, sRGB components in
// 0 … 1) or none. Entries start as none (no colour chosen yet); drawing with
// none leaves the element undrawn.
struct RGBAColor {
  float red = 0.0f;
  float green = 0.0f;
  float blue = 0.0f;
  float alpha = 0.0f;
  bool isSet = false;

  constexpr RGBAColor() = default;
  constexpr RGBAColor(const ui::Color& c) : red(c.red), green(c.green), blue(c.blue), alpha(c.alpha), isSet(true) {}
  static constexpr RGBAColor none() { return RGBAColor{}; }
  static constexpr RGBAColor rgba(float r, float g, float b, float a) { return RGBAColor(ui::Color{r, g, b, a}); }
  constexpr bool operator==(const RGBAColor&) const = default;
};

// Seven colours, in this order. The controller keeps two: the screen palette
// and the print/export palette; a view holds one by pointer.
struct ColorPalette {
  RGBAColor graticule;   // grid and plot frame
  RGBAColor curve;       // live trace
  RGBAColor background;  // plot area
  RGBAColor caption;     // texts and scales
  RGBAColor marker;      // point-marker dot
  RGBAColor avgMarker;   // band-marker line
  RGBAColor reference;   // reference trace
};

// The measurements a bench analyzer adds to the plain marker readout, each
// off until the user asks for it. The controller sets them (and keeps them
// in the settings); both views read them when they detect and draw.
struct MeasureState {
  int32_t traceMode = 0;       // what the live trace holds (TraceMode): 0 the average, 1 max hold, 2 min hold
  uint8_t precisePeak = 0;     // a peak marker reads a sine's frequency and level between bins
  uint8_t deltaMarker = 0;     // the marker also reads its difference to the anchor
  uint8_t noiseMarker = 0;     // the marker also reads the noise density around it, dB/Hz
  uint8_t peakTable = 0;       // the ten highest peaks of the span are listed
  uint8_t normalise = 0;       // with a reference shown: the live trace relative to it
  uint8_t distortion = 0;      // the distortion readout beside the plot
  // The readout's band and noise weighting, and its latest reading, which
  // the controller's meter writes after every spectrum it reads (not valid
  // while there is none: the readout off, just configured, or sweeping).
  struct Distortion {
    double upperHz = 20000;  // the band's upper limit; 0: half the rate
    uint8_t weightNoise = 0; // the noise (SNR, noise level) A-weighted
    dsp::DistortionReading reading;
    // With a standard chosen, the readout reads the intermodulation of its
    // two tones instead of the harmonic distortion of one: 0 none, 1 SMPTE
    // (60 Hz and 7 kHz, 4:1), 2 CCIF (19 and 20 kHz, 1:1).
    uint8_t intermodulation = 0;
    dsp::IntermodulationReading imd;
    // The stepped sweep over frequency: each point's settled THD and THD+N
    // in dB (−inf: no harmonic in reach), in the order measured; the views
    // draw them as two curves while the readout is on.
    struct SweepPoint {
      double hz = 0;
      double thdDb = 0;
      double thdnDb = 0;
      double levelDbfs = 0;           // the tone's
      dsp::DistortionReading reading; // the whole reading, for the export
    };
    std::vector<SweepPoint> sweep;
    uint8_t sweeping = 0;  // the sweep is under way
    // The points were stepped over the tone's level at one frequency: the
    // views draw them against the level (levelDbfs) across the plot, not
    // against frequency.
    uint8_t overLevel = 0;
  } distortionReadout;
  // Where the marker stood when the delta marker was switched on. The
  // controller clears `valid`; the screen's next marker reading sets it.
  struct Anchor {
    float frequency = 0;  // Hz
    float dB = 0;
    uint8_t valid = 0;
  } anchor;
  // The engine's window, for the peak reading and the noise bandwidth; null
  // or of another bin count than the trace: readings go without it.
  const WindowResponse* window = nullptr;
};

struct SharedData {
  struct Span {
    float startFrequency = 0.0f;  // Hz, lower edge of the analysed span
    float endFrequency = 0.0f;    // Hz, upper edge
    float bandwidth = 0.0f;       // Hz, resolution bandwidth
  };
  struct Marker {
    int32_t index = 0;             // bin the marker sits on
    int32_t binClicked = 0;        // bin under the last marker click
    int32_t cachedBinClicked = 0;  // binClicked for which index was last searched; -1 = not yet
    float valueClicked = 0.0f;     // y of the click relative to the scale's top
  };
  struct Track {
    float pixel = -10.0f;       // plot column of the bin measured last in a sweep; -10 = none
    float lowest = 1000000.0f;  // lowest column detected in the current sweep
    float highest = -1.0f;      // highest column detected in the current sweep
  };

  Span span;
  display::AxisScale axisScale = display::AxisScale::linear;  // how the frequency axis runs
  // What the views make of the traces before they show them (the traces
  // themselves stay as measured): a frequency weighting, 0 none (Z), 1 A,
  // 2 C (dsp::Weighting), and 1/smoothing-octave smoothing, 0 none.
  struct Treatment {
    int32_t weighting = 0;
    int32_t smoothing = 0;
    bool operator==(const Treatment&) const = default;
  } treatment;
  // The unit the views and the exports read levels in, with the input's
  // calibration taken into it (the designed dB by default), and the sensor's
  // response they take out of every trace beside the weighting (null: none).
  dsp::LevelScale levelScale;
  std::shared_ptr<const dsp::SensorResponse> sensorResponse;
  // What calibrated them, as the exports' header says it ("0 dBFS = +4.00
  // dBu, response of mic.txt"); empty for the designed dB.
  std::string levelsCalibration;
  int32_t bands = 0;  // the views draw 1/bands-octave band levels as bars; 0 none
  // A log sweep's readings beside its magnitude (which is the live trace):
  // the phase in degrees, wrapped to (−180, 180] and unwrapped, the group
  // delay in ms, and the second and third harmonics in dB relative to the
  // fundamental (NaN out of reach), at frequencyHz; the views draw them
  // while `shown` is set, the phase or the group delay (rightScale) on a
  // scale of its own at the plot's right.
  struct SweptResponse {
    enum RightScale : uint8_t { wrappedPhase = 0, unwrappedPhase = 1, groupDelay = 2 };
    std::vector<double> frequencyHz, phaseDeg, unwrappedPhaseDeg, groupDelayMs, h2Db, h3Db;
    uint8_t shown = 0;
    uint8_t absolutePhase = 0;  // from a reference channel; else from the impulse response's peak
    uint8_t rightScale = wrappedPhase;
    // The right scale's range and the step of its labels, in degrees or ms.
    double scaleLow = -180, scaleHigh = 180, scaleStep = 90;
  } sweptResponse;
  float refScale = 1.0f;  // reference level as a linear power factor, 10^(dB/10)
  Marker marker;
  Track track;
  int32_t detectorMode = 4;  // 0 average, 1 peak, 2 minimum, 3 rosenfell, 4 rosenfell with average
  int32_t trackedBin = 0;    // bin passed with the latest trace; -1 when not sweeping
  int32_t lowestBin = 0;     // lowest bin received in the current sweep
  int32_t highestBin = 0;    // highest bin received in the current sweep
  uint8_t ready = 0;         // launch has wired every control; the views draw nothing before
  uint8_t hasData = 0;       // the first trace has reached the display; never cleared
  uint8_t hasReference = 0;  // reserved
  uint8_t printDate = 0;     // the views draw dateString
  // Strings: empty means none.
  std::string title;              // plot title (a copy of the title field)
  std::string dateString;         // "yyyy-MM-dd HHmm" of the latest trace; " " once a view attaches
  std::string secondsDateString;  // "yyyy-MM-dd HHmmss" of the latest trace (export file names)
  MeasureState measure;
};
