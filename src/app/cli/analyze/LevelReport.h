#pragma once
// The levels `specan analyze` reports beside the peak: the span's overall
// mean-square level and, when asked, its fractional-octave bands, read from
// the analysed trace (already weighted), and the texts that carry them: a
// JSON object per file and a CSV of the bands.

#include <optional>
#include <string>
#include <vector>

#include "dsp/FrequencyWeighting.h"
#include "dsp/LevelUnits.h"
#include "dsp/OctaveBands.h"

struct TraceData;

namespace analyze {

struct LevelReport {
  dsp::Weighting weighting = dsp::Weighting::Z;
  double overallPower = 0;  // mean square over the span; 0 without power
  struct Band {
    dsp::OctaveBand band;
    double power = 0;  // mean square
    bool resolved = false;
  };
  std::vector<Band> bands;
};

// The trace's levels over lower … upper Hz at the RBW; bands of 1/fraction
// octave (none for 0) whose mid-bands lie in the span, from the first bin
// above 0 Hz.
LevelReport measureLevels(const TraceData& trace, double lower, double upper, double rbw, int fraction,
                          dsp::Weighting weighting);

// 10·log10 of a mean square, or none without power.
std::optional<double> decibels(double power);

// "nominal_hz,center_hz,lower_hz,upper_hz,level_db,resolved" and a row per
// band; a level without power is left empty. In another unit than the
// designed dB the level column is named after it ("level_dbu", "level_v").
std::string bandsCsv(const LevelReport& report, const dsp::LevelScale& scale = {});

// What the JSON line says of a file besides its levels.
struct FileFacts {
  std::string file;
  double samplingRate = 0;
  double seconds = 0;
  int channels = 0;
  std::optional<double> peakFrequency, peakLevel;  // none: no peak with power in the span
  double averagedSeconds = 0;                      // 0: not the whole file in one mean
};

// One JSON object on one line, without the newline. Its "level_db" values
// stay in the designed dB; "units" names the unit ("dB" by default), and in
// another unit a "level" beside each (and "overall_level") gives the level
// in it. moreMembers ("\"name\":value", comma-joined) end the object.
std::string jsonLine(const FileFacts& facts, const LevelReport& report, bool withBands,
                     const dsp::LevelScale& scale = {}, const std::string& moreMembers = {});

}  // namespace analyze
