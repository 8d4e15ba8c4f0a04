#pragma once
// The frequency weightings of IEC 61672-1:2013: A, C and Z (none), as a
// level in dB and as a power gain per trace bin.
//
// A and C are the standard's analytic expressions, with poles f1 = 20.60 Hz,
// f2 = 107.7 Hz, f3 = 737.9 Hz and f4 = 12194 Hz computed as the standard
// computes them from fr = 1 kHz, fL = 10^1.5 Hz, fH = 10^3.9 Hz, D² = 1/2 and
// fA = 10^2.45 Hz. Each is normalised to exactly 0 dB at 1 kHz; the
// standard's constants A1000 = −2.000 dB and C1000 = −0.062 dB are the same
// normalisation rounded to 0.001 dB, so the two differ by less than 0.001 dB.
//
// No state; any thread.

#include <optional>
#include <string_view>

namespace dsp {

// The number is the weighting's as settings keep it.
enum class Weighting { Z = 0, A = 1, C = 2 };

// The weighting's relative response in dB at f Hz: 0 at 1 kHz; for A and C
// −infinity at and below 0 Hz; Z is 0 everywhere.
double weightingDb(Weighting weighting, double f) noexcept;
// The same as a power gain, 10^(dB/10): 0 at and below 0 Hz for A and C.
double weightingPowerGain(Weighting weighting, double f) noexcept;

// The weighting a stored number or a menu tag stands for: 1 A, 2 C, any
// other Z.
Weighting weightingOf(int number) noexcept;

// "A", "C", "Z".
const char* weightingName(Weighting weighting) noexcept;
// The unit a weighted level is shown in: "dB(A)", "dB(C)", and "dB" for Z.
const char* levelUnit(Weighting weighting) noexcept;
// The weighting of a name "A", "C" or "Z" in either case, or none.
std::optional<Weighting> weightingFromName(std::string_view name) noexcept;

// gains[k] = the weighting's power gain at bin k of a trace (k / binsPerHertz
// Hz), for k < bins; bin 0 gets 0 for A and C. Allocates nothing.
void fillWeightingGains(Weighting weighting, double binsPerHertz, int bins, float* gains) noexcept;

}  // namespace dsp
