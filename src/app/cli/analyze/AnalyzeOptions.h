#pragma once
// The options of `specan analyze` and their checks. Every value is checked
// here against what the analyzer's own controls offer (the RBW, window and
// detector menus, the export size limits), so a mistake is found before any
// file is read. What depends on a file (its channels, its length, its band)
// is checked when that file is analysed.

#include <optional>
#include <string>
#include <vector>

#include "app/controller/InterfaceDefaults.h"
#include "app/controller/LevelOptions.h"
#include "dsp/FrequencyWeighting.h"
#include "dsp/Intermodulation.h"
#include "plot/FrequencyAxis.h"

namespace analyze {

struct Options {
  // Items of the menus (InterfaceMenus.h) by tag; the window's defaults.
  int bandwidthTag = interface_defaults::kBandwidthTag;  // 10·log10(RBW in Hz)
  int windowTag = interface_defaults::kWindowTag;
  int detectorTag = interface_defaults::kDetectorTag;
  std::optional<double> lowerSpan;  // Hz; none: from 0
  std::optional<double> upperSpan;  // Hz; none: to half the file's rate
  int channel = 1;                  // 1-based
  std::optional<double> averages;   // none: every spectrum of the file
  double from = 0;                  // seconds into the file
  std::optional<double> to;         // seconds into the file; none: its end
  std::string csv;                  // "" none, "-" standard output, else a file or folder
  std::string png;                  // "" none, else a file or folder
  std::string spectrogram;          // "" none, else a PNG file or folder (SpectrogramExport.h)
  std::optional<int> width;         // points of the exported page; none: the window's default
  std::optional<int> height;
  display::AxisScale axis = display::AxisScale::linear;  // the image's frequency axis
  int bands = 0;                                         // 1/N-octave bands; 0 none
  dsp::Weighting weighting = dsp::Weighting::Z;
  int smoothing = 0;  // 1/N-octave smoothing of the CSV's and the image's trace; 0 none
  bool json = false;  // a JSON object per file in place of the summary line
  // The distortion readout (DistortionReport.h) over its measurement band.
  bool distortion = false;
  double bandLower = 20, bandUpper = 20000;  // Hz; the upper limit reads to half the rate at most
  double fundamental = 0;  // Hz; 0: the band's highest peak
  // The intermodulation readout (IntermodulationReport.h) of its tones.
  std::optional<dsp::IntermodulationStandard> imd;  // none: no readout
  double lowTone = 0, highTone = 0;                  // Hz; 0: the standard's
  option_values::LevelOptions levels;  // the unit and the input's calibration
  int jobs = 0;  // files analysed at a time, each in a process of its own; 0: one per processor
  // The sound files, those of the folders given with --recursive among them.
  std::vector<std::string> files;
};

// What parsing gave: the options, or an exit status with the line to say
// (on standard output for --help, else on standard error).
struct Parsed {
  std::optional<Options> options;
  int status = 0;
  std::string message;
};

// Parses the arguments that follow "analyze". Options and files may come in
// any order; "--" ends the options.
Parsed parse(const std::vector<std::string>& arguments);

// The help text of `specan analyze --help`.
const char* usage();

}  // namespace analyze
