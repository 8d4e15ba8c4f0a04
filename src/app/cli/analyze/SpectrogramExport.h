#pragma once
// `specan analyze --spectrogram`: a sound file's spectrum over time, drawn
// as the window's spectrogram draws it (display/Spectrogram.h), into an
// image of the page's size. It takes every spectrum of the file's analysis
// (FileAnalysis, over its range: --from, --to; its RBW, window, detector and
// span) by itself, as the engine made it, in the same pass that makes the
// summary line, the CSV and the plot's image.
//
// The image's rows stand for equal lengths of the range, bottom to top
// (the newest at the top, as in the window). A spectrum belongs to the row
// that holds the middle of its window; a row that holds several is their
// per-bin highest power, mapped once onto the columns, so that a short
// event is not lost; a row no window's middle falls in (a range with fewer
// spectra than rows, or the half windows at either end) shows the spectrum
// before it, or the first. The time axis is in seconds from the file's
// start. Levels are the engine's, 0 dB on the reference line, treated as
// the window's plot treats its trace: a row's highest power weighted (A or
// C), the sensor's response taken out and smoothed over a fraction of an
// octave, as --weighting, the levels' response and --smoothing say. The
// weighting's gains are the same for every spectrum, so the row's highest
// weighted power is its highest power weighted.
//
// Main thread only; the audio provider, the main thread and the Qt
// application are the caller's (AnalyzeCommand.cpp), as for FileAnalysis.

#include <QImage>
#include <memory>
#include <string>

#include "app/cli/analyze/FileAnalysis.h"
#include "dsp/TraceTreatment.h"
#include "display/PlotGeometry.h"
#include "display/Spectrogram.h"
#include "display/SpectrogramPage.h"

class SpectrogramExport {
 public:
  // The page's size unless --size gives one.
  static constexpr int kDefaultWidth = 800;
  static constexpr int kDefaultHeight = 500;

  // Listens to the analysis's spectra; the analysis must outlive this
  // object, and run() afterwards.
  SpectrogramExport(const analyze::Options& options, FileAnalysis& analysis);
  ~SpectrogramExport();
  SpectrogramExport(const SpectrogramExport&) = delete;
  SpectrogramExport& operator=(const SpectrogramExport&) = delete;

  // After the analysis's successful run: the last rows; false with the
  // cause when no spectrum came.
  bool finish(std::string* cause);
  // After finish(): the page, and the page written whole or not at all as a
  // PNG to path (false with the reason in *error).
  QImage image() const;
  bool writeImage(const std::string& path, std::string* error) const;

  // After finish(): the rows (the oldest at the bottom), the page's geometry
  // that mapped them, and the seconds from the file's start of the bottom
  // edge of the oldest row and the top edge of the newest.
  const display::Spectrogram& spectrogram() const { return spectrogram_; }
  const display::PlotGeometry& geometry() const { return geometry_; }
  double startSeconds() const { return start_; }
  double endSeconds() const { return end_; }
  int64_t spectra() const { return spectra_; }

 private:
  static void takeSpectrum(void* context, const SpectrumResult* result, float samplingRate);
  // Lays the page out for the first spectrum's bins.
  void configure(int bins, float samplingRate);
  void take(const SpectrumResult& result, float samplingRate);
  // The gathered row into the history as row `row` (from the bottom).
  void addGathered(int row);

  analyze::Options options_;
  FileAnalysis& analysis_;
  display::PlotGeometry geometry_{display::kSpectrogramPageMargins};
  display::Spectrogram spectrogram_;
  std::unique_ptr<TraceData> gathered_;  // the per-bin highest power of the row's spectra
  dsp::TraceTreater treater_;
  std::unique_ptr<TraceData> treated_;  // the gathered row treated; null without a treatment
  int gatheredRow_ = -1;
  bool configured_ = false;
  int64_t spectra_ = 0;
  double hop_ = 0, window_ = 0, rate_ = 0;  // samples, samples, Hz
  double rowSeconds_ = 0;
  double start_ = 0, end_ = 0;
};

// The spectrogram written to path; false with the cause.
bool writeSpectrogram(SpectrogramExport& spectrogram, const std::string& path, std::string* cause);
