#pragma once
// The distortion readout of `specan analyze --distortion`: the file analysed
// a second time on the analyzer's own controller (FileAnalysis.h), with the
// seven-term Blackman–Harris window whatever --window says, so that what the
// readout finds below the fundamental is the file's and not the window's
// leakage, and at the RBW asked for but at most 3.16 Hz, so that a 20 Hz
// fundamental's lobe keeps clear of 0 Hz and of its second harmonic's. The
// trace is read unweighted and unsmoothed; the weighting asked for weights
// the noise (dsp/DistortionAnalysis.h). Then the texts that carry it: the
// summary line's end and the JSON's member.
//
// Main thread only, as FileAnalysis.

#include <functional>
#include <optional>
#include <string>

#include "app/cli/analyze/AnalyzeOptions.h"
#include "dsp/DistortionAnalysis.h"

namespace analyze {

// The readout's RBW tag: the options' own, at most 3.16 Hz (tag 5).
int distortionBandwidthTag(const Options& options);

// Analyses the file at path again as the readouts read it (their window and
// RBW, the options' channel, averages and times), then calls read with the
// window's response and the trace. False, with the cause in *cause, when the
// file cannot be analysed so; read is not called then.
bool analyseForReadout(const Options& options, const std::string& path, std::string* cause,
                       const std::function<void(const WindowResponse&, const TraceData&)>& read);

// Analyses the file at path for its distortion. None, with the cause in
// *cause, when the file cannot be analysed at the readout's RBW (too short
// for its window, among others); a reading that is not valid when the band
// holds no fundamental resolved from its harmonics.
std::optional<dsp::DistortionReading> readDistortion(const Options& options, const std::string& path,
                                                     std::string* cause);

// ", THD -80.00 dB, THD+N -79.95 dB" for the summary line; ", no
// fundamental resolved for the distortion readout" for a reading that is
// not valid ("THD none" with no harmonic in reach).
std::string distortionSummary(const dsp::DistortionReading& reading);

// "\"distortion\":{…}" (null for a reading that is not valid): levels in
// dB with two decimals (mean square; the harmonics' relative to the
// fundamental, null out of reach or without power), percentages to six
// significant digits, frequencies to a thousandth of a hertz.
std::string distortionJson(const dsp::DistortionReading& reading);

}  // namespace analyze
