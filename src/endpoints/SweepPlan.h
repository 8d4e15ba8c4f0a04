#pragma once
// Where a tracking sweep goes next, and how the tone gets there.
//
// On the linear axis every bin is measured, one per spectrum, the tone
// rising one bin a spectrum: the next bin is always b + 1. On the
// logarithmic axis a plot column (or a chosen fraction of an octave) needs
// one point: after bin b the next point lies gap(b) = round(pointRatio·b)
// bins on, at least one. The tone may rise at most maxStepBins a spectrum
// before a spectrum centred on it reads its level low, so the sweep either
// rises min(gap, maxStepBins) bins a spectrum, measuring the bins it passes
// on the way, or, where the points lie so far apart that rising would take
// more spectra than a jump, jumps to the next point and holds the tone there
// for settleSpectra spectra while the window fills with it alone. The gaps
// grow with frequency, so a sweep rises first and jumps above some
// frequency. Neither path ever passes the span's upper edge bin unmeasured.
//
// Main thread, on the controller's sweep record.

#include <cstdint>

struct Sweep;

namespace sweep_plan {

// The largest level loss, dB, a spectrum may show for a tone rising through
// its window.
inline constexpr double kStepLossDb = 0.05;
// Two spectra of a point that agree this closely, dB, show the window holds
// the point's tone alone; at most kConfirmations spectra are waited for.
inline constexpr double kSettledDb = 0.02;
inline constexpr int32_t kConfirmations = 8;

// Bins from bin to the next point: 1 on the linear axis.
int32_t pointGap(const Sweep& sweep, int32_t bin);
// Bins the tone rises per spectrum around bin while it sweeps.
int32_t risingStep(const Sweep& sweep, int32_t bin);
// Whether the sweep reaches the point after bin by a jump and a hold.
bool jumpsAfter(const Sweep& sweep, int32_t bin);
// The bin of the spectrum after the one of bin.
int32_t nextBin(const Sweep& sweep, int32_t bin);
// The bin the sweep was at `spectra` rising spectra before bin, never
// below lowest (bin − spectra on the linear axis).
int32_t binBefore(const Sweep& sweep, int32_t bin, int32_t spectra, int32_t lowest);
// Sets the tone's lead, speed and hold for the spectrum of currentBin:
// reached by a jump, the tone sits on the bin and holds for settleSpectra
// spectra, then until two spectra agree (settled()); else it leads by the bins the sweep rises in leadSpectra spectra
// and rises at the speed of the step there.
void tune(Sweep& sweep, bool jumped);
// After a jump's hold, with each spectrum's power at the point: true when
// the point may be taken (this spectrum and the one before agree within
// kSettledDb, or kConfirmations spectra have been waited for), else false
// and the spectrum is to be thrown away.
bool settled(Sweep& sweep, float power);

}  // namespace sweep_plan
