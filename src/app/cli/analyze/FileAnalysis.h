#pragma once
// One sound file analysed by the analyzer's own controller, without a
// window: the controller is launched on plain controls set from the command
// line's options (the window's defaults elsewhere), with the file as its
// input, a headless view in place of the display and, for an image, the print
// view. The file's blocks then take the controller's live path (engine,
// trace averaging) and the results are the controller's own: the trace's
// CSV as File > Export Data writes it, the plot's image as File > Export
// Image draws it, and the peak as the peak marker reads it.
//
// The controller analyses the file as a recording taken whole
// (AppDelegate::analysesRecording): the engine starts a window on the
// range's first sample and another every hop (Spectrum::computeEvenly), the
// hop chosen for the window's shape so that the squared window summed over
// the windows holding a sample is the same for every sample to 0.01 dB, and
// the trace's running mean holds every spectrum, the first too. Only whole
// windows are taken, of whole blocks of the file (the input leaves out a
// last piece shorter than a block): the samples after the last window, fewer
// than a hop and a block, are not analysed, and those of the first and last
// window lengths lie in fewer windows than the rest and weigh half as much
// on average. So a steady signal reads its level, and an event farther than
// a window from either end reads its energy spread over the length the
// spectra stand for together, the spectra's count times the hop: about a
// window shorter than the file. The summary line and the CSV say it
// ("averaged over"). A range shorter than one window in whole blocks is
// refused.
//
// No settings file is read or written. Main thread only; the audio
// provider, the main thread and, for an image, the Qt application are the
// caller's (AnalyzeCommand.cpp).

#include <memory>
#include <string>

#include "app/cli/analyze/AnalyzeOptions.h"
#include "app/controller/AppDelegate.h"
#include "app/controller/HeadlessControls.h"
#include "app/controller/LevelOptions.h"
#include "app/headless/HeadlessView.h"
#include "endpoints/FileInput.h"

class PrintView;

class FileAnalysis {
 public:
  // withImage: a print view is made, for writeImage() (needs a Qt
  // application). Levels read in the levels' unit, the sensor's response
  // taken out.
  FileAnalysis(const analyze::Options& options, bool withImage, const option_values::Levels& levels = {});
  ~FileAnalysis();
  FileAnalysis(const FileAnalysis&) = delete;
  FileAnalysis& operator=(const FileAnalysis&) = delete;

  // Opens the file at path and analyses it. False with the cause in *cause
  // ("no such file", "truncated: …"): the file is missing, unreadable, not
  // a sound file, damaged or truncated, lacks the channel or the range
  // asked for, or is too short for one window of the RBW in whole blocks
  // (the cause gives the range's length and the length needed). Once per
  // object.
  bool run(const std::string& path, std::string* cause);

  // After a successful run: "NAME: RATE Hz, SECONDS s, CHANNELS ch, peak
  // FREQUENCY Hz LEVEL UNIT" (as the levels' scale writes it), then " (near the band's edge, the bin's own
  // reading)" for a sine too near 0 Hz or half the rate to be read between
  // bins, then ", averaged over SECONDS s" when the mean holds every
  // spectrum of the file (see above); or in place of the peak "silent" (no
  // bin of the trace has power), "no peak in the span" (the span holds only
  // a slope) or "no power in the span" (the peak's bin holds none; the CSV
  // leaves such a level empty). No newline.
  std::string summaryLine(const std::string& name) const;

  // The run's non-finite samples of the analysed channel (each analysed as
  // 0, a block of nothing else left out), and the samples read.
  int64_t nonFiniteSamples() const { return input_.nonFiniteSamples(); }
  int64_t samplesRead() const { return input_.samplesRead(); }
  // At most one in kNegligibleShare of the samples read is non-finite: too
  // few to move a level by a measurable amount, and not taken as damage.
  static constexpr int64_t kNegligibleShare = 1000000;
  bool nonFiniteNegligible() const { return nonFiniteSamples() * kNegligibleShare <= samplesRead(); }
  // The CSV of File > Export Data (weighted, it says so), or with bands
  // asked for, the bands' CSV (LevelReport.h).
  std::string csv();
  // The object --json prints for the file (LevelReport.h), with members of
  // other readings (each "\"name\":value", joined by commas) at its end.
  std::string jsonLine(const std::string& name, const std::string& moreMembers = {}) const;
  // The image of File > Export Image, written whole or not at all to path;
  // false with the reason in *error.
  bool writeImage(const std::string& path, std::string* error);

  // After a successful run: the engine as the run left it configured, and
  // the latest trace, unweighted (for readings of their own).
  const Spectrum* engine() const { return app_.spectrum.get(); }
  const TraceData* trace() const { return view_.trace(); }
  // The controller's plot state (span, scale, treatment), and the length in
  // seconds of the range analysed (from --from to --to or the file's end).
  const SharedData& sharedData() const { return app_.sharedData; }
  const ColorPalette& printPalette() const { return app_.printPalette; }
  double rangeSeconds() const { return static_cast<double>(input_.rangeFrames()) / input_.samplingRate(); }
  // Every spectrum of the run by itself, as the engine made it
  // (AppDelegate::recordingSpectrumListener); set before run().
  void setSpectrumListener(AppDelegate::RecordingSpectrumListener listener, void* context) {
    app_.recordingSpectrumListener = listener;
    app_.recordingSpectrumContext = context;
  }

 private:
  // A level in dB as the summary line writes it, in the levels' unit.
  std::string levelText(double dB) const;
  // The options' values in the window's controls.
  void setUpControls(const analyze::Options& options);
  // The part of the file and the controls that depend on it.
  bool prepareFile(std::string* cause);

  analyze::Options options_;
  HeadlessControls controls_;
  HeadlessView view_;
  std::unique_ptr<PrintView> printView_;
  AppDelegate app_;
  FileInput input_{&app_};
  bool ran_ = false;
};
