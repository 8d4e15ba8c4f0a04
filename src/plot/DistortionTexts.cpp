#include "plot/DistortionTexts.h"

#include <cmath>
#include <cstdio>

#include "plot/SharedData.h"

namespace display {

namespace {

// "20 kHz", "22.05 kHz", "500 Hz".
void frequencyText(char* out, std::size_t size, double hz) {
  if (hz >= 1000) {
    std::snprintf(out, size, "%g kHz", std::round(hz / 10) / 100);
  } else {
    std::snprintf(out, size, "%g Hz", std::round(hz));
  }
}

// A ratio of powers in dB and in percent of amplitude ("-80.00 dB  0.0100 %").
void ratioText(char* out, std::size_t size, const char* name, double dB, double percent) {
  if (!std::isfinite(dB)) {
    std::snprintf(out, size, "%s  none", name);
  } else {
    std::snprintf(out, size, "%s  %.2f dB  %.3g %%", name, dB, percent);
  }
}

// The intermodulation reading's lines: the standard, the band, both tones,
// the reading and each order, or why there is none.
template <typename Next>
void intermodulationTexts(const MeasureState::Distortion& d, const char* upper, const dsp::LevelScale& levels,
                          double offset, bool sign, Next& next) {
  constexpr std::size_t n = DistortionTexts::kLength;
  const dsp::IntermodulationReading& r = d.imd;
  const auto standard = d.intermodulation == 2 ? dsp::IntermodulationStandard::Ccif : dsp::IntermodulationStandard::Smpte;
  char low[32], high[32];
  frequencyText(low, sizeof low, dsp::standardLowTone(standard));
  frequencyText(high, sizeof high, dsp::standardHighTone(standard));
  std::snprintf(next(), n, "Intermodulation (%s)  %s + %s", dsp::intermodulationStandardName(standard), low, high);
  std::snprintf(next(), n, "Band  20 Hz – %s", upper);
  if (!r.valid) {
    std::snprintf(next(), n, "No tone pair resolved");
    return;
  }
  char level[64];
  std::snprintf(next(), n, "f1  %.2f Hz  %s", r.f1Hz, levels.format(level, sizeof level, r.f1Db + offset, 2, sign));
  std::snprintf(next(), n, "f2  %.2f Hz  %s", r.f2Hz, levels.format(level, sizeof level, r.f2Db + offset, 2, sign));
  char name[32];
  std::snprintf(name, sizeof name, "IMD (%s)", dsp::intermodulationStandardName(standard));
  if (r.ordersInBand == 0) {
    std::snprintf(next(), n, "%s  no product in reach", name);
  } else {
    ratioText(next(), n, name, r.imdDb, r.imdPercent);
  }
  for (int i = 0; i < r.orderCount; ++i) {
    const dsp::IntermodulationOrder& o = r.orders[static_cast<size_t>(i)];
    std::snprintf(name, sizeof name, "Order %d", o.order);
    if (!o.inBand) {
      std::snprintf(next(), n, "%s  out of reach", name);
    } else {
      ratioText(next(), n, name, o.levelDb, o.percent);
    }
  }
}

}  // namespace

void makeDistortionTexts(const SharedData& shared, DistortionTexts& texts) {
  const MeasureState::Distortion& d = shared.measure.distortionReadout;
  const dsp::DistortionReading& r = d.reading;
  const dsp::LevelScale& levels = shared.levelScale;
  const double offset = 10 * std::log10(static_cast<double>(shared.refScale));
  const bool sign = levels.signsLevels();
  texts.count = 0;
  auto next = [&texts]() -> char* { return texts.lines[static_cast<size_t>(texts.count++)].data(); };
  constexpr std::size_t n = DistortionTexts::kLength;

  char upper[32] = "half the rate";
  if (d.upperHz > 0) frequencyText(upper, sizeof upper, d.upperHz);
  if (d.intermodulation) {
    intermodulationTexts(d, upper, levels, offset, sign, next);
    return;
  }
  std::snprintf(next(), n, "Distortion  20 Hz – %s%s", upper, d.weightNoise ? "  noise (A)" : "");
  if (d.sweeping || !d.sweep.empty())
    std::snprintf(next(), n, "Sweep  %zu points%s: THD+N, THD", d.sweep.size(), d.sweeping ? " so far" : "");
  if (!r.valid) {
    std::snprintf(next(), n, "No fundamental resolved");
    return;
  }
  char level[64];
  std::snprintf(next(), n, "Fundamental  %.2f Hz  %s", r.fundamentalHz,
                levels.format(level, sizeof level, r.fundamentalDb + offset, 2, sign));
  ratioText(next(), n, "THD", r.thdDb, r.thdPercent);
  ratioText(next(), n, "THD+N", r.thdnDb, r.thdnPercent);
  std::snprintf(next(), n, "SINAD  %.2f dB   SNR  %.2f dB", r.sinadDb, r.snrDb);
  std::snprintf(next(), n, "Noise  %s", levels.format(level, sizeof level, r.noiseDb + offset, 2, sign,
                                                     d.weightNoise ? "A" : nullptr));
  for (const dsp::HarmonicReading& h : r.harmonics) {
    char* line = next();
    if (!h.inBand) {
      std::snprintf(line, n, "H%d  %.1f Hz  out of reach", h.order, h.frequency);
    } else if (!std::isfinite(h.levelDb)) {
      std::snprintf(line, n, "H%d  %.1f Hz  below the noise", h.order, h.frequency);
    } else {
      std::snprintf(line, n, "H%d  %.1f Hz  %.2f dBc  %s", h.order, h.frequency, h.levelDb,
                    levels.format(level, sizeof level, r.fundamentalDb + h.levelDb + offset, 2, sign));
    }
  }
}

}  // namespace display
