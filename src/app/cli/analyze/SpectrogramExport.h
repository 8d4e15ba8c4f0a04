#pragma once
// `specan analyze --spectrogram`: a sound file's spectrum over time, drawn
// as the window's spectrogram draws it (display/Spectrogram.h), into an
// image of the page's size. The file is analysed by the analyzer's own
// controller as FileAnalysis does, over the same range (--from, --to), with
// the same RBW, window, detector and span, but each spectrum taken by itself
// (an average of one) and mapped into a row.
//
// The image's rows stand for equal lengths of the range, bottom to top
// (the newest at the top, as in the window): a spectrum goes into the row
// that holds the middle of its window; more than one in a row keep per
// column the highest level, so that a short event is not lost; a row no
// window's middle falls in (a range with fewer spectra than rows, or the
// half-windows at either end) shows the spectrum before it, or the first.
// The time axis is in seconds from the file's start.
//
// Main thread only; the audio provider, the main thread and the Qt
// application are the caller's (AnalyzeCommand.cpp), as for FileAnalysis.

#include <QImage>
#include <string>

#include "app/cli/analyze/FileAnalysis.h"
#include "display/PlotGeometry.h"
#include "display/Spectrogram.h"
#include "display/SpectrogramPage.h"

class SpectrogramExport {
 public:
  // The page's size unless --size gives one.
  static constexpr int kDefaultWidth = 800;
  static constexpr int kDefaultHeight = 500;

  explicit SpectrogramExport(const analyze::Options& options, const option_values::Levels& levels = {});
  SpectrogramExport(const SpectrogramExport&) = delete;
  SpectrogramExport& operator=(const SpectrogramExport&) = delete;

  // Analyses the file at path; false with the cause (FileAnalysis::run's).
  bool run(const std::string& path, std::string* cause);
  // After a successful run: the page, and the page written whole or not at
  // all as a PNG to path (false with the reason in *error).
  QImage image() const;
  bool writeImage(const std::string& path, std::string* error) const;

  // After a successful run: the rows (the oldest at the bottom), the page's
  // geometry that mapped them, and the seconds from the file's start of the
  // bottom edge of the oldest row and the top edge of the newest.
  const display::Spectrogram& spectrogram() const { return spectrogram_; }
  const display::PlotGeometry& geometry() const { return geometry_; }
  double startSeconds() const { return start_; }
  double endSeconds() const { return end_; }
  // Spectra taken.
  int64_t spectra() const { return spectra_; }

 private:
  static analyze::Options eachSpectrum(analyze::Options options);
  static void takeTrace(void* context, TraceData* trace);
  // Lays the page out for the first trace's bins.
  void configure(const TraceData& trace);
  void take(const TraceData& trace);

  analyze::Options options_;
  FileAnalysis analysis_;
  display::PlotGeometry geometry_{display::kSpectrogramPageMargins};
  display::Spectrogram spectrogram_;
  bool configured_ = false;
  int64_t spectra_ = 0;
  double hop_ = 0, window_ = 0, rate_ = 0;  // samples, samples, Hz
  double rowSeconds_ = 0;
  double start_ = 0, end_ = 0;
};

// The spectrogram of file written to path, only once the analysis has
// succeeded; false with the cause.
bool writeSpectrogram(const analyze::Options& options, const option_values::Levels& levels, const std::string& file,
                      const std::string& path, std::string* cause);
