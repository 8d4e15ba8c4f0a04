#pragma once
// The intermodulation readout of `specan analyze --imd=smpte|ccif`: the file
// analysed a second time as the distortion readout analyses it
// (DistortionReport.h: the seven-term Blackman–Harris window, at most
// 3.16 Hz RBW), its two tones and their products read over 20 Hz to half
// the rate (dsp/Intermodulation.h). Then the texts that carry it: the
// summary line's end and the JSON's member.
//
// Main thread only, as FileAnalysis.

#include <optional>
#include <string>

#include "app/cli/analyze/AnalyzeOptions.h"
#include "dsp/Intermodulation.h"

namespace analyze {

// Analyses the file at path for the intermodulation of the tones the options
// name (the standard's by default). None, with the cause in *cause, when the
// file cannot be analysed at the readout's RBW; a reading that is not valid
// when the tones are not found apart, with power.
std::optional<dsp::IntermodulationReading> readIntermodulation(const Options& options, const std::string& path,
                                                               std::string* cause);

// ", IMD (SMPTE) -80.00 dB" for the summary line ("none" with no order in
// reach); ", no tones resolved for the IMD (CCIF) readout" for a reading
// that is not valid.
std::string intermodulationSummary(const dsp::IntermodulationReading& reading);

// "\"intermodulation\":{…}" (null for a reading that is not valid):
// standard, f1_hz, f2_hz, imd_db, imd_percent, products [{order,
// frequency_hz, level_db, in_band}] and orders [{order, level_db, percent,
// in_band}]; levels in dB with two decimals relative to the standard's
// reference (null out of reach or without power), percentages to six
// significant digits, frequencies to a thousandth of a hertz.
std::string intermodulationJson(const dsp::IntermodulationReading& reading);

}  // namespace analyze
