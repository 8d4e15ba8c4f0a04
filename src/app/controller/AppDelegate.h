#pragma once
// The application controller. It starts everything in a fixed order, owns
// the spectrum engine, the traces, the shared plot state, the sweep record
// and the palettes, turns the span, RBW and window controls into an engine
// configuration, routes every input block through the engine into the trace
// and on to the display, runs the tracking-generator sweep and carries the
// handlers of the plot controls.
//
// It reaches controls only through the toolkit-neutral ui controls, the plot
// views through PlotView and the endpoints through the interfaces of
// Endpoints.h, so it runs the same against the Qt window and against fakes.
// Every member runs on the main thread, except setupSampling (its control
// reads and writes go to the main thread and are waited for) and
// clearSpectrum (the engine locks its own buffer).

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "endpoints/Endpoints.h"
#include "plot/PlotView.h"
#include "audio/AFManager.h"
#include "plot/SharedData.h"
#include "dsp/DistortionMeter.h"
#include "dsp/PeakReading.h"
#include "dsp/PlotTrace.h"
#include "dsp/Spectrum.h"
#include "endpoints/Sweep.h"
#include "platform/BlockLength.h"
#include "platform/PropertyList.h"
#include "ui/Controls.h"

struct ReferenceFile;
class LogSweepRun;
namespace dsp {
struct SweepResponse;
}

class AppDelegate : public InputController {
 public:
  // Every input block holds this many samples.
  static constexpr int kBlockLength = platform::kBlockLength;
  // The rate the engine is configured for when no input reports one.
  static constexpr float kFallbackSamplingRate = 48000.0f;

  AppDelegate();
  ~AppDelegate() override;
  AppDelegate(const AppDelegate&) = delete;
  AppDelegate& operator=(const AppDelegate&) = delete;

  // --- Set by the interface before launch (none owned; any may be null) ---

  AnalyzerInput* input = nullptr;
  TrackingGeneratorEndpoint* trackingGenerator = nullptr;
  PlotView* display = nullptr;
  PlotView* printView = nullptr;  // its page() carries the export and print commands

  ui::PopUpButton* bandwidthPopup = nullptr;  // item tags: 10·log10(RBW in Hz)
  ui::PopUpButton* windowPopup = nullptr;     // item tags: the engine's window types
  ui::TextField* lowerSpanField = nullptr;    // Hz
  ui::TextField* upperSpanField = nullptr;    // Hz
  ui::TextField* traceAverageField = nullptr;
  ui::PopUpButton* detectorPopup = nullptr;   // item tags: the display's detector modes
  ui::PopUpButton* axisPopup = nullptr;       // item tags: display::AxisScale
  ui::PopUpButton* smoothingPopup = nullptr;  // item tags: 1/N octave, 0 off
  ui::PopUpButton* weightingPopup = nullptr;  // item tags: dsp::Weighting
  ui::PopUpButton* bandsPopup = nullptr;      // item tags: 1/N-octave bands, 0 none
  // The reference level in the unit of unitPopup (dB without one).
  ui::TextField* referenceLevelField = nullptr;
  ui::PopUpButton* unitPopup = nullptr;       // item tags: dsp::LevelUnit
  ui::PopUpButton* divisionPopup = nullptr;   // item tags: dB per division
  ui::TextField* titleField = nullptr;
  ui::Checkbox* showDateCheckbox = nullptr;
  // Column 1: tracking mode; column 2: the log sweep.
  ui::Matrix* trackingGeneratorMatrix = nullptr;
  ui::Button* trackingGeneratorButton = nullptr;  // on/off, "Start"/"Stop"
  // The log sweep's settings (any may be null: 2^18 samples, one sweep, no
  // reference channel).
  ui::PopUpButton* logSweepLengthPopup = nullptr;   // item tags: log2 of the length in samples
  ui::TextField* logSweepsField = nullptr;          // sweeps averaged, 1…64
  ui::TextField* logSweepReferenceField = nullptr;  // the input device's channel; empty: none
  ui::PopUpButton* logSweepScalePopup = nullptr;    // the right scale: SharedData::SweptResponse::RightScale

  // Export and print settings.
  ui::TextField* printWidthField = nullptr;   // points, 100…1800 when edited
  ui::TextField* printHeightField = nullptr;  // points, 100…1800 when edited
  ui::PopUpButton* printFormat = nullptr;     // by title: "JPEG", "TIFF", else PNG
  ui::TextField* printName = nullptr;         // path and name prefix of exported files
  ui::Checkbox* printColorCheckbox = nullptr;   // on: the screen colours, no border
  ui::Checkbox* printBorderCheckbox = nullptr;  // with the print colours: a border

  ui::ColorWell* windowBackgroundColor = nullptr;
  ui::ColorWell* plotBackgroundColor = nullptr;
  ui::ColorWell* plotGraticuleColor = nullptr;
  ui::ColorWell* plotCurveColor = nullptr;
  ui::ColorWell* plotCaptionColor = nullptr;
  ui::ColorWell* plotMarkerColor = nullptr;
  ui::ColorWell* plotReferenceColor = nullptr;
  ui::ColorWell* printBackgroundColor = nullptr;
  ui::ColorWell* printGraticuleColor = nullptr;
  ui::ColorWell* printCurveColor = nullptr;
  ui::ColorWell* printCaptionColor = nullptr;
  ui::ColorWell* printMarkerColor = nullptr;
  ui::ColorWell* printReferenceColor = nullptr;

  ui::Popover* attenuatorPopover = nullptr;
  ui::Popover* bandwidthAndSpanPopover = nullptr;
  ui::Popover* devicePopover = nullptr;
  ui::Popover* detectorPopover = nullptr;
  ui::Popover* trackingGeneratorPopover = nullptr;

  // --- Owned for the whole run ---

  std::unique_ptr<Spectrum> spectrum;    // made at launch
  std::unique_ptr<AFManager> afManager;  // made at launch; makes the sound cards
  std::unique_ptr<PlotTrace> trace;      // the live, averaged trace
  std::unique_ptr<PlotTrace> reference;  // the reference trace
  SharedData sharedData;
  Sweep sweep;
  ColorPalette colorPalette;  // screen
  ColorPalette printPalette;  // print and export
  platform::PropertyDictionary plist;  // the settings, unknown keys included
  std::string plistPath;               // where they are read and written; empty: nowhere
  // Set before launch to false for a run that keeps no settings (the
  // command line's analysis): the launch then reads no settings file, and
  // the shutdown writes none. The controls keep the values the interface
  // gave them.
  bool usesSettingsFile = true;
  // Points per octave a sweep of the logarithmic axis measures instead of
  // every bin; 0: one per column of the display's plot (PlotView::
  // plotColumns), every bin when the display has none.
  double sweepPointsPerOctave = 0;
  // Set before launch to true for a recording analysed whole from its first
  // sample (the command line's analysis): the engine then lays its windows
  // evenly over the input (Spectrum::computeEvenly), a block may complete
  // several spectra, each averaged at once, and every spectrum counts in the
  // trace's mean, the first too. The live input's schedule (Spectrum::
  // compute, the first spectra after a reset replacing the trace) is left
  // to every other run.
  bool analysesRecording = false;
  // With analysesRecording, called with each spectrum of the recording as
  // the engine made it (linear power per bin, as the trace takes it), after
  // it is averaged in: for readings of every spectrum by itself, such as a
  // sound file's spectrogram. Main thread, within the block's processing;
  // null: none.
  using RecordingSpectrumListener = void (*)(void* context, const SpectrumResult* result, float samplingRate);
  RecordingSpectrumListener recordingSpectrumListener = nullptr;
  void* recordingSpectrumContext = nullptr;
  // The help page's address, set by the interface.
  std::string helpURL;
  // Where the newest spectrum of normal analysis ended: the engine's
  // samplesSinceClear() when it was made (0 before any). Its window holds
  // the windowedBins() samples before it. Main thread.
  int64_t lastSpectrumEnd() const { return lastSpectrumEnd_; }

  // --- Analyzer controller ---

  // The launch sequence: engine, state, colour wells, traces, views,
  // palettes, controls and their handlers, window, input, sampling.
  void applicationDidFinishLaunching();

  // Shutdown: pauses the input, stops a running sweep, stores the
  // controller's settings, lets the generator, the input and the live trace
  // store theirs and writes the settings file.
  void applicationWillTerminate();

  // --- Settings store ---

  // Reads the settings file into plist and fills the controls and the
  // window frame from it; the launch calls it before the traces and the
  // generator take their settings. A file that cannot be read is set
  // aside beside it with the suffix ".bad" (and said so on stderr), so the
  // file written at shutdown never replaces settings the user may still
  // want back.
  void setupFromPlist();
  // $XDG_CONFIG_HOME (or ~/.config) + "/org.specan.SpecAn.plist".
  static std::string settingsFilePath();
  // $HOME, else the home folder of the account the program runs as.
  static std::string homeFolder();
  // Says what failed on stderr and, through the panels, in the window.
  static void alertFailure(const std::string& message, const std::string& detail);

  // Reads the span, RBW and window controls, clamps the span to the input's
  // band, stores it in sharedData.span and reconfigures the engine when
  // anything changed; in tracking mode a changed span or RBW restarts the
  // sweep. The input is paused meanwhile. Any thread (see above).
  void setupSampling() override;

  // One block of kBlockLength samples of the selected input channel, at the
  // rate the input recorded at its last pause. Main thread; does not
  // allocate. The samples need stay valid only for the call.
  void newDataFromInput(const float* samples, float samplingRate) override;

  // Drops the engine's partly gathered input. Any thread.
  void clearSpectrum() override;

  // The input's device or channel changed: the levels take its calibration
  // (LevelUnitsControl.cpp). Main thread.
  void inputChanged() override;

  // For a recording analysed whole, when the trace's mean holds every
  // spectrum since the engine was last cleared: the seconds of signal the
  // mean stands for, those that at the weight of a sample away from the
  // ends weigh as much as all the spectra together (the spectra times the
  // engine's even hop, over the rate). A steady signal reads its level,
  // and an event away from the recording's ends its energy spread over these
  // seconds. 0 otherwise (a live input, no spectrum yet, or an averaging
  // length shorter than the spectra taken).
  double recordingSecondsAveraged() const;

  // Diagnostic: measures the engine's equivalent noise bandwidth at RBW
  // 100 Hz, prints the window's response and the result to out and ends the
  // process with status 0. No control calls it.
  [[noreturn]] void equivalentBandwidthTest(std::FILE* out = stdout);

  // --- Control handlers ---

  // Makes the controller the control's target with the given action.
  void setInterface(ui::Control* control, void (AppDelegate::*action)());
  // Makes the controller the well's target with colorChanged.
  void setColorInterface(ui::ColorWell* well);

  void titleChanged();
  void dateCheckboxChanged();
  void scaleChanged();
  void traceAverageChanged();
  void detectorChanged();
  // The frequency axis of both views.
  void axisChanged();
  // The weighting and smoothing the views (and the data export) apply.
  void treatmentChanged();
  // The fractional-octave bands both views draw.
  void bandsChanged();
  // Puts the well's colour where it belongs (palettes, window background).
  void colorChanged(ui::ColorWell* sender);

  // A span chosen on the plot (zoom, pan): taken as if typed into the span
  // fields; false, with nothing changed, while a sweep runs (it owns the
  // span) or a reference shown brings its own.
  bool requestSpan(double lower, double upper);

  // Opens the help page in the user's web browser; says so where it cannot.
  void showHelp();

  // Where the window says in a line what a command did ("Exported to …");
  // empty without a window.
  std::function<void(const std::string&)> showStatus;
  // The interface's own keys in the settings: read at launch once the
  // controller, the traces and the generator have taken theirs, and written
  // at shutdown with the controller's. Either may be empty.
  std::function<void(const platform::PropertyDictionary&)> loadInterfaceSettings;
  std::function<void(platform::PropertyDictionary&)> storeInterfaceSettings;

  // --- Reference trace ---

  // The live trace becomes the reference, shown.
  void useReference();
  // Asks for a file and saves the live trace in it as a reference; the
  // saved trace becomes the reference's content (shown only if one is).
  void saveReference();
  // Asks for a reference file, loads it and shows it; a file that is not a
  // reference is refused with the reason and changes nothing.
  void drawReference();
  // Loads a checked reference file: its trace, its span, then shows it.
  void loadReference(const ReferenceFile& file);
  // Stops showing the reference and enables the span fields.
  void removeReference();
  // Hands the reference (or none) to both views with the live trace and
  // disables the span fields.
  void setReferenceTrace(TraceData* referenceTrace);
  bool showsReference() const { return showsReference_; }

  // --- Export and print settings ---

  // Chooses the print view's palette and border from the two checkboxes.
  void updatePrintCheckbox();
  // Keeps an edited size field within 100…1800.
  void printDimensionChanged(ui::TextField* sender);
  // Asks for a file and writes traceExportCsv() there; a failure is said.
  void exportData();
  // The live trace (and the reference when one is shown) as CSV, with the
  // analysis settings the controls hold (DataExport.h).
  std::string traceExportCsv();
  // Exports the plot as an image file of the size and format the settings
  // give, named by exportImagePath(); written whole or not at all, and a
  // failure is said in the window and on stderr.
  void save();
  // The same image written to path, whole or not at all; false with the
  // reason in *error when there is no print view or the file was not
  // written. Says nothing itself.
  bool exportImage(const std::string& path, std::string* error);
  // Prints the plot at the size the settings give, through the print view's
  // dialog; a cancelled or failed print is logged.
  void print();
  // Where save() writes: printName's text (a leading "~" standing for the
  // home folder), a space, sharedData.secondsDateString and ".png", ".jpg"
  // or ".tif" by the title of printFormat's item ("JPEG", "TIFF", else PNG).
  std::string exportImagePath() const;

  // Each toggles its popover beside the sender.
  void showAttenuatorPopover(ui::Control* sender);
  void showBandwidthAndSpanPopover(ui::Control* sender);
  void showDevicePopover(ui::Control* sender);
  void showDetectorPopover(ui::Control* sender);
  void showTrackingGeneratorPopover(ui::Control* sender);

  // --- Sweep control ---

  void initAndStartTrackingGenerator();
  void resetAndStopTrackingGenerator();
  void suspendTracking();
  void resumeTracking();
  void trackingStateChanged();
  // The display's call when the sweep has reached the plot's right edge.
  void stopTrackingGenerator();
  // True in tracking mode while no sweep runs.
  bool trackingGeneratorIdle() const { return sweep.enabled == 1 && sweep.running == 0; }
  void trackingModeChanged();

  // --- The log sweep (the generator's third mode) ---

  // In the log sweep mode the Start button plays exponential sweeps of the
  // span (endpoints/LogSweepRun.h) with the settings of the controls above,
  // at the generator's level, and the plot shows the measured response as a
  // finished tracking sweep shows its bins: the levels the tracking sweep
  // would read, so that the reference, normalisation, the units and the
  // exports treat it alike. Progress goes to the status line; the button
  // reads "Start" again when the run ends. Stop cancels the run.
  bool logSweepMode() const { return logSweepMode_; }
  // The run in hand or the last one (null before the first Start).
  const LogSweepRun* logSweepRun() const { return logSweep_.get(); }
  // The interface's timer, a few times a second: the run's progress into
  // the status line, and the end of a run whose input has stood still for
  // kLogSweepStallSeconds (a device gone; a silent input brings no blocks to
  // look at the run). The block path itself only moves the run on, and
  // allocates nothing while the sweeps play.
  void logSweepTick();
  static constexpr double kLogSweepStallSeconds = 10;
  // The clock the stall is timed on, in seconds: a steady clock (a test may
  // put its own).
  static double steadySeconds();
  double (*logSweepClock)() = &AppDelegate::steadySeconds;
  // The input or the generator is going: a run in hand is cancelled and let
  // go (it holds both).
  void releaseLogSweep();
  // A log sweep's phase and harmonics for the views to draw beside its
  // magnitude (SharedData::sweptResponse).
  void showSweptResponse(const dsp::SweepResponse& response);
  // The right scale's pop-up: the wrapped phase (±180°), the unwrapped
  // phase or the group delay, the last two on a range that fits the shown
  // response.
  void logSweepScaleChanged();
  // The same for a scale given (without the pop-up: the command line's).
  void showLogSweepScale(int rightScale);
  // The response shown in the log sweep mode as File ▸ Export Data writes
  // it (formats/LogSweepCsv.h): smoothed as the plot is, in the plot's
  // unit, a sensor's response taken out; none while none is shown.
  std::optional<std::string> logSweepCsv() const;
  // Whether a log sweep's response is shown (File ▸ Export Impulse
  // Response has one to write).
  bool showsLogSweepResponse() const;
  // File ▸ Export Impulse Response: the shown log sweep's linear impulse
  // response from the recording's start, as a 32-bit float WAV where the
  // save panel says; a failure in an alert.
  void exportImpulseResponse();

  // Tries a bin's spectrum gets when gaps keep meeting it; then its bins are
  // left unmeasured (Sweep::uncleanBins).
  static constexpr int32_t kMaxSweepRetries = 5;
  // A loop latency that jumps by more than this between spectra (frames)
  // has moved the tone off its bins: a server that restarted its playback
  // after running dry, say. Smaller moves are the readings' own steps.
  static constexpr int64_t kLatencyJump = 4 * kBlockLength;
  // After each completed spectrum of a sweep, before it is used: false when
  // it must be thrown away, because a gap or a moved latency made the sweep
  // go back or because the sweep is settling after going back. Main thread;
  // no allocation.
  bool sweepSpectrumIsClean();
  // Spectra it takes after a retune jump until the window holds the new tone
  // only, with the loop latency the sweep is planned for (at the start, or
  // after a gap).
  int32_t sweepSettlingSpectra(bool afterGap = false) const;
  // The same after a gap counted now, which lies behind the input still
  // waiting to be analysed where the planned latency does not hold it.
  int32_t sweepSettlingSpectraAfterGap(const EndpointIoHealth& in) const;
  // The generator's lead from the window and the planned loop latency.
  void planSweepLead();
  // The points a sweep of the logarithmic axis measures (none on the
  // linear axis: every bin), its largest step and the settling of a jump.
  void planSweepPoints();
  // Moves the sweep on to the bin of the next spectrum and tunes for it.
  void advanceSweep();
  // Goes back far enough before bin `first` for `spectra` spectra to settle
  // on the way up again, and tunes for it.
  void restartSweepBefore(int32_t first, int32_t spectra);

  // --- Level units and input calibration (LevelUnitsControl.cpp) ---
  //
  // The levels read in the unit chosen in unitPopup, through the
  // calibration of the present input's device and channel: its full-scale
  // voltage, its microphone's sensitivity and the microphone's response
  // (a calibration file), each kept in the settings for that device and
  // channel. A unit the present calibration lacks, or a calibration file
  // that cannot be read, leaves the levels in dB (and says why) until the
  // input has what the chosen unit needs again. Without a unit pop-up (a
  // run without the window) the controller leaves sharedData.levelScale and
  // sharedData.sensorResponse to whoever set them, and the reference level
  // field holds dB. Main thread; not for the block path.

  // The unit pop-up's action: a unit the present input can read in becomes
  // the chosen one; another is refused with the reason, the previous unit
  // staying.
  void unitChanged();
  // The calibration of the present input (its device and channel), as kept.
  struct InputCalibrationRecord {
    dsp::InputCalibration levels;
    std::string calibrationFile;  // a microphone's response; empty: none
    bool operator==(const InputCalibrationRecord&) const = default;
  };
  InputCalibrationRecord presentCalibration() const;
  // "Line In, channel 2"; empty without an input device.
  std::string presentInputName() const;
  // The unit chosen (kept in the settings), and the unit the levels read in
  // now: the chosen one, or dB while the present input cannot read in it.
  dsp::LevelUnit chosenLevelUnit() const { return chosenUnit_; }
  dsp::LevelUnit levelUnitInUse() const { return sharedData.levelScale.unit(); }
  // The present input's full-scale level (parseFullScaleVolts' texts) or
  // sensitivity (parseVoltsPerPascal's); an empty text removes it. False,
  // with the reason in *error and nothing changed, for a text refused.
  bool setFullScaleLevel(const std::string& text, std::string* error);
  bool setSensitivity(const std::string& text, std::string* error);
  // A microphone's calibration file for the present input, read at once; a
  // file refused (the line and the reason in *error) changes nothing.
  bool loadCalibrationFile(const std::string& path, std::string* error);
  void removeCalibrationFile();
  // What the live trace reads now, in dB as the marker reads it (with the
  // reference level, weighted and with the microphone's response taken out
  // as shown): the peak reading of the span's highest peak, or the span's
  // overall level where no peak reading can be made. None without a trace.
  struct LiveLevel {
    double dB = 0;
    bool peak = false;     // a peak reading, at frequency Hz
    double frequency = 0;
  };
  std::optional<LiveLevel> measureLiveLevel();
  // Sets the present input's calibration so that the live trace reads
  // `level` in `unit` now: the full-scale voltage for V, dBV and dBu, the
  // sensitivity for dB SPL and Pa (which need the full-scale voltage). False
  // with the reason in *error, nothing changed, for dB and dBFS, for a
  // sensitivity without a full-scale voltage, a level that is no level in
  // the unit, or an input without signal.
  bool calibrateTo(double level, dsp::LevelUnit unit, std::string* error);
  // Called with the unit's name whenever the unit in use changes, for the
  // reference level's label; empty without a window.
  std::function<void(const std::string&)> showLevelUnit;

  // The generator's output calibration, per output device and channel: the
  // RMS voltage of a full-scale sine there. In tracking mode, with it and
  // the input's full-scale voltage, the response reads as the gain from the
  // output to the input (the input's level over the generator's, so a unity
  // path reads 0 dB whatever the output's level); else as the input's level.
  // The field shows and takes it (parseFullScaleVolts' texts; empty: none).
  ui::TextField* outputFullScaleField = nullptr;
  void outputFullScaleChanged();
  std::optional<double> presentOutputFullScale() const;
  // False, with the reason in *error and nothing changed, for a text refused
  // or without an output device.
  bool setOutputFullScaleLevel(const std::string& text, std::string* error);
  // The generator's level: in dBFS ("-12", "-12dBFS"), or where the output
  // is calibrated also in volts and their dB ("+4dBu", "-10dBV", "0.5V");
  // the field shows it in dBu then, else in dBFS. At most full scale.
  ui::TextField* generatorLevelField = nullptr;
  void generatorLevelChanged();
  bool setGeneratorLevel(const std::string& text, std::string* error);
  // The generator's fixed tone, in the normal mode (DistortionCommands.cpp):
  // the field takes its frequency ("1000", "1 kHz"; kept as "Generator
  // Tone Frequency"), the on/off button plays it at the generator's level
  // and switches the distortion readout on. With an intermodulation
  // standard chosen, it plays that standard's two tones instead, their
  // amplitudes summing to the generator's. The button off, the tracking
  // mode, or a tone refused (the reason said) ends it.
  ui::TextField* toneFrequencyField = nullptr;
  ui::Button* toneButton = nullptr;
  void toneButtonChanged();
  // Plays the field's tone; false, with the reason in *error, for a
  // frequency the output cannot play or without a generator.
  bool playTone(std::string* error);
  void stopTone();
  bool tonePlaying() const { return tonePlaying_; }
  // The readout stepped over frequency: the tone at pointsPerOctave points
  // an equal ratio apart from lowHz to highHz (both ends), each read once
  // it settled (two readings in a row within 0.1 dB, the mean started anew
  // after two that differ; at most the twelfth), into
  // sharedData.measure.distortionReadout.sweep; the tone ends after the
  // last. False, with the reason in *error, without a generator, in the
  // tracking mode, or for edges the output cannot play. stopTone() ends
  // it too.
  bool startDistortionSweep(double lowHz, double highHz, int pointsPerOctave, std::string* error);
  // The same stepped over the tone's level at hz: fromDb, fromDb + stepDb,
  // … up to toDb dBFS (the tone's peak re full scale), each point read as
  // above, into the same record with MeasureState::Distortion::overLevel
  // set. False, with the reason, as above, and for levels above 0 dBFS or a
  // step not above 0.
  bool startDistortionLevelSweep(double hz, double fromDb, double toDb, double stepDb, std::string* error);
  void stopDistortionSweep();
  // The Measure menu's sweep: on, 20 Hz up to 20 kHz (the band's upper
  // limit, if lower) at three points per octave, the reason said when it
  // cannot start; off, stopped.
  void setDistortionSweep(bool on);
  // The Measure menu's level sweep: on, the tone field's frequency from
  // −60 to 0 dBFS in 3 dB steps; off, stopped.
  void setDistortionLevelSweep(bool on);
  // The sweep's points so far as CSV, one row per point (formats/
  // DistortionCsv.h), and the command that asks where to write them (said
  // when there are none; a file not written is alerted, never half
  // written).
  std::string distortionSweepCsv() const;
  void exportDistortionSweep();
  // The most readings a sweep's point waits for, and how close two in a row
  // agree once settled (dB, fundamental and THD+N).
  static constexpr int kSweepPointReadings = 12;
  static constexpr double kSweepPointAgreement = 0.1;

  // --- Measurements (MeasureCommands.cpp) ---
  //
  // Each sets sharedData.measure (kept in the settings under keys of its
  // own) and tells both views. Main thread; not for the block path.

  // What the live trace holds: TraceMode's 0 average, 1 max hold, 2 min
  // hold. A new mode starts its hold anew.
  void setTraceMode(int mode);
  // The hold starts anew from the next spectrum.
  void resetHold();
  void setPrecisePeak(bool on);
  // On: the marker's next reading becomes the anchor the delta is read from.
  void setDeltaMarker(bool on);
  void setNoiseMarker(bool on);
  void setPeakTable(bool on);
  // With a reference shown, the live trace relative to it.
  void setNormalise(bool on);
  // The distortion readout (DistortionCommands.cpp), on or off, its band's
  // upper limit in Hz (0: half the rate; at most that) and the noise
  // A-weighted or not. Each configures the meter for the engine's rate and
  // RBW and restarts its reading.
  void setDistortionReadout(bool on);
  void setDistortionUpperLimit(double hz);
  void setDistortionNoiseWeighted(bool on);
  // The readout reads the intermodulation of a standard's two tones
  // (MeasureState::Distortion::intermodulation: 0 none, 1 SMPTE, 2 CCIF;
  // kept as "Intermodulation Standard") instead of one tone's harmonics,
  // and switches the readout on; a tone playing becomes that standard's.
  // A distortion sweep ends it.
  void setIntermodulationReadout(int standard);
  // The readout's meter, fed the live and the recorded input's blocks while
  // the readout is on (not in a sweep). Main thread.
  dsp::DistortionMeter distortionMeter;
  // The engine has just been reconfigured: the hold starts anew and the
  // readings take the engine's new window. Any thread (the work is done on
  // the main thread and waited for).
  void engineReconfigured();
  // The engine's window as the readings use it, taken at every
  // reconfiguration; sharedData.measure.window points here.
  WindowResponse windowResponse;

 private:
  void startLogSweep();
  void cancelLogSweep();
  bool logSweepRunning() const;
  // After each input block while a run goes on: moves it on; at its end,
  // its response or its failure.
  void advanceLogSweep();
  void showLogSweepResponse();
  // The plot's smoothing as a log sweep reads it: 1/N octave, 0 none.
  int logSweepSmoothing() const;
  // A shown response's phase, delay and harmonics again, after the
  // smoothing changed.
  void resmoothLogSweep();
  // The run's end: the button back to "Start", the cause said.
  void endLogSweep(const std::string& line);
  std::unique_ptr<LogSweepRun> logSweep_;
  bool logSweepMode_ = false;
  int logSweepShownPercent_ = -1;
  int64_t logSweepRecorded_ = 0;
  int64_t lastSpectrumEnd_ = 0;
  double logSweepMoved_ = 0;

  // Puts the controller's own keys into plist, from the controls.
  void storeControllerSettings();
  // The print view's page laid out for an export or a print: palette and
  // border, the size fields, the display's markers and the live trace.
  // Null without a print view.
  PageView* preparePrintPage();
  // Writes plist to plistPath atomically; a failure is reported on stderr
  // and leaves the previous file as it was.
  bool writeSettings();

  // The measure settings: read from plist into sharedData.measure, applied
  // to the trace and the views at launch, and stored back.
  void loadMeasureSettings();
  void loadDistortionSettings();
  bool tonePlaying_ = false;
  // The distortion sweep's points, the one playing, and its readings so far.
  std::vector<double> distortionSweepPlan_;  // frequencies, or levels in dBFS over level
  double distortionSweepHz_ = 0;             // the tone's frequency over level
  std::size_t distortionSweepNext_ = 0;
  int distortionSweepReadings_ = 0;
  dsp::DistortionReading distortionSweepLast_;
  // A reading of the meter during a sweep: kept, or the point taken and the
  // next one played. Allocates nothing.
  void distortionSweepReading(const dsp::DistortionReading& reading) noexcept;
  // Before a sweep: the tone stopped, the readout on harmonics; false, with
  // the reason, without a generator or in the tracking mode.
  bool distortionSweepMayStart(std::string* error);
  // The sweep's record emptied and the readout on, the plan's first tone
  // playing.
  void beginDistortionSweep(bool overLevel);
  void storeDistortionSettings();
  // Configures the meter from the readout's settings and the engine, or
  // leaves it idle with the readout off; the reading restarts either way.
  void configureDistortionMeter();
  // The meter's share of a block of normal analysis or of a recording.
  void distortionFromInput(const float* samples) noexcept;
  void applyMeasureSettings();
  void storeMeasureSettings();

  // The level units: read from plist and shown at launch, stored back; the
  // present input's calibration applied (again when it changed, or always).
  void loadLevelUnitSettings();
  void storeLevelUnitSettings();
  void applyInputCalibration(bool always = false);
  void setPresentCalibration(const InputCalibrationRecord& record);
  // One value of the present input's calibration from a text parse reads
  // (an empty text removes it); false with the reason, nothing changed.
  bool setPresentCalibrationValue(const std::string& text, std::optional<double> dsp::InputCalibration::*value,
                                  std::optional<double> (*parse)(std::string_view, std::string*), std::string* error);
  // "Speakers, channel 1"; empty without a generator's device.
  std::string presentOutputName() const;
  // In tracking mode with both full-scale voltages: the levels as the gain
  // from the generator's output to the input.
  void relateToGenerator(const dsp::InputCalibration& input);
  // The output field shows the present output's calibration, the level
  // field the generator's level.
  void showOutputFullScale();
  // The reference level in dB from its field, read in the unit in use, and
  // as the settings keep it (dB).
  double referenceLevelDb();
  std::string storedReferenceLevel();
  // Says a line on stderr and in the window's status line.
  void say(const std::string& line);

  dsp::LevelUnit chosenUnit_ = dsp::LevelUnit::dB;
  bool levelUnitsReady_ = false;  // the launch has read the unit
  double referenceLevelDb_ = 0;
  std::string referenceLevelText_;  // what the field was last given, in the unit in use
  // What the levels were last made from: the input, its record, and the
  // response read from its file (path and when the file was read).
  std::string appliedInput_;
  InputCalibrationRecord appliedRecord_;
  bool calibrationFileFailed_ = false;

  bool terminated_ = false;
  bool showsReference_ = false;
  // An unreadable settings file that could not be set aside: it is not
  // overwritten.
  bool keepSettingsFile_ = false;

  // Runs the main thread's queued work when called there (the removal pump).
  static void pumpMainThread();
  static void togglePopover(ui::Popover* popover, ui::Control* sender);
};
