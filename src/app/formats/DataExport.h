#pragma once
// The trace as numbers: a CSV file with the analysis settings in comment
// lines, then one row per bin of the displayed span with its frequency and
// its level in dB as the markers read it (and the reference's level at that
// frequency when one is shown). Numbers are written with a decimal point
// whatever the locale, so any spreadsheet or script reads them.

#include <string>

#include "dsp/LevelUnits.h"

struct TraceData;

struct TraceExportSettings {
  float resolutionBandwidth = 0;  // Hz
  std::string window;             // the window menu's title
  std::string detector;           // the detector menu's title
  float samplingRate = 0;         // Hz
  float startFrequency = 0;       // Hz, the displayed span
  float endFrequency = 0;
  float refScale = 1;             // the reference level as a power factor
  // With a reference: one level per row, the live trace relative to the
  // reference (their ratio in dB, plus the reference level), as the plot
  // shows it while normalising.
  bool normalised = false;
  // A tracking sweep's trace: its description, said in place of the count of
  // averaged traces (a sweep averages none; each bin is its own spectrum).
  std::string sweep;
  // A recording analysed whole: the seconds of signal the trace's mean
  // stands for (AppDelegate::recordingSecondsAveraged), written after the
  // averaged traces when above 0.
  double averagedSeconds = 0;
  // What the levels went through, said in the header: a weighting ("A",
  // "C"; none for "" or "Z") and 1/smoothing-octave smoothing (0 none).
  std::string weighting;
  int smoothing = 0;
  // The unit the levels are written in; the columns are named after it
  // ("level_dbu", "reference_v"), the designed dB keeping "level_db". A
  // normalised trace is a ratio and stays in dB. What calibrated the unit,
  // said in the header when not empty ("0 dBFS = +4.00 dBu").
  dsp::LevelScale levels;
  std::string calibration;
};

// The CSV text of trace (and of reference when not null).
std::string traceCsv(const TraceExportSettings& settings, const TraceData& trace, const TraceData* reference);
