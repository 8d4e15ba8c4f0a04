#pragma once
// Intermodulation of two tones read from a trace, as a bench audio analyzer
// reads it from a spectrum:
//
//   SMPTE/DIN (modulation distortion): a low tone f1 (60 Hz) and a high tone
//     f2 (7 kHz) of a quarter its amplitude. A nonlinearity modulates f2 by
//     f1, which puts sidebands at f2 ± n·f1; sideband pair n is order n + 1.
//     Each order reads the amplitudes of its two sidebands summed, over f2's
//     (the modulation they stand for), and the reading is the root-sum of
//     the orders in reach: pairs n = 1 … 4.
//   CCIF (difference-frequency distortion): two tones of equal amplitude,
//     f1 = 19 kHz and f2 = 20 kHz. The second order reads the difference
//     tone f2 − f1, the third the amplitudes of 2·f1 − f2 and 2·f2 − f1
//     summed, each over the two tones' amplitudes summed (twice either's, the
//     peak of the pair); the reading is the root-sum of the two orders.
//
// Units are the trace's (Spectrum.h): power per bin, which divided by bins²
// is mean square. Tones and products are read as their lobes' sums over the
// window's noise bandwidth, the noise beside each lobe taken off
// (LobeSums.h): exact on and between bins. Amplitudes are RMS; a product's
// level and an order's are amplitude ratios in dB (20·log10) relative to the
// order's reference: f2's amplitude for SMPTE, the tones' summed for CCIF.
//
// The tones are the highest peaks within a lobe of the frequencies set,
// read between bins; the products lie where those frequencies put them. A
// product outside the band, whose lobe reaches 0 Hz or half the rate, or
// meets a tone's lobe or another product's, is out of reach: reported so,
// with no level, and its order left out of the reading, never counted as
// nothing.
//
// Threads: configure() allocates (the response's copy) and belongs where
// the engine is configured; analyse() allocates nothing, takes no lock and may run on any
// thread that owns the trace's values for the call.

#include <array>

#include "dsp/LobeSums.h"
#include "dsp/PeakReading.h"

struct TraceData;

namespace dsp {

enum class IntermodulationStandard : int { Smpte = 0, Ccif = 1 };

// "SMPTE" and "CCIF", as readings name them.
const char* intermodulationStandardName(IntermodulationStandard standard) noexcept;
// The standard's tones in Hz: 60 and 7000 (SMPTE), 19000 and 20000 (CCIF).
double standardLowTone(IntermodulationStandard standard) noexcept;
double standardHighTone(IntermodulationStandard standard) noexcept;

struct IntermodulationSettings {
  IntermodulationStandard standard = IntermodulationStandard::Smpte;
  double f1Hz = 0;        // the low tone; 0: the standard's
  double f2Hz = 0;        // the high tone; 0: the standard's
  double lowerHz = 20;    // the band the products are read in
  double upperHz = 0;     // 0: to half the rate; at most half the rate
};

struct IntermodulationProduct {
  int order = 0;                  // 2 … 5
  int lowMultiple = 0;            // frequency = lowMultiple·f1 + highMultiple·f2
  int highMultiple = 0;
  double frequency = 0;           // Hz, from the tones as read
  bool inBand = false;            // false: out of reach, no level
  double power = 0;               // mean square, the noise under its lobe taken off (≥ 0)
  double levelDb = 0;             // amplitude over the reference; −inf for no power
};

struct IntermodulationOrder {
  int order = 0;
  bool inBand = false;            // every product of the order in reach
  double ratio = 0;               // its products' amplitudes summed, over the reference
  double levelDb = 0;             // 20·log10(ratio); −inf for none
  double percent = 0;
};

struct IntermodulationReading {
  static constexpr int kSidebandPairs = 4;
  static constexpr int kMostProducts = 2 * kSidebandPairs;
  static constexpr int kMostOrders = kSidebandPairs;

  bool valid = false;             // both tones found with power, their lobes apart
  IntermodulationStandard standard = IntermodulationStandard::Smpte;
  double f1Hz = 0, f2Hz = 0;      // read between bins
  double f1Power = 0, f2Power = 0;  // mean square
  double f1Db = 0, f2Db = 0;
  double referenceAmplitude = 0;  // RMS: f2's (SMPTE) or both tones' summed (CCIF)
  std::array<IntermodulationProduct, kMostProducts> products{};
  int productCount = 0;           // SMPTE 8: f2 − f1, f2 + f1, f2 − 2·f1, …; CCIF 3
  std::array<IntermodulationOrder, kMostOrders> orders{};
  int orderCount = 0;             // SMPTE 4 (orders 2 … 5); CCIF 2
  int ordersInBand = 0;
  double imdRatio = 0;            // root-sum of the in-reach orders' ratios
  double imdDb = 0, imdPercent = 0;  // −inf dB with no order in reach
};

class IntermodulationAnalysis {
 public:
  // Takes the window's response (a copy) and the settings. False, and
  // nothing to analyse, for a response not prepared or a band without bins.
  bool configure(const WindowResponse& response, const IntermodulationSettings& settings);
  bool configured() const noexcept { return layout_.bins > 0; }

  // The readings of a trace of the configured bin count; not valid for
  // another, for tones without power, or tones whose lobes meet each other's
  // or their images'. Allocates nothing.
  IntermodulationReading analyse(const float* power, int bins) const noexcept;
  IntermodulationReading analyse(const TraceData& trace) const noexcept;

 private:
  WindowResponse response_;
  IntermodulationSettings settings_;  // with the tones filled in
  LobeLayout layout_;
  float binsPerHertz_ = 0;
  double upper_ = 0;  // Hz, the band's upper limit within half the rate
};

}  // namespace dsp
