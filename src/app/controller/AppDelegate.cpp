#include "app/controller/AppDelegate.h"

#include "endpoints/LogSweepRun.h"
#include "endpoints/SweepPlan.h"

#include <pwd.h>
#include <unistd.h>

#include <cfloat>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "dsp/FrequencyWeighting.h"
#include "platform/audio/AudioHardware.h"
#include "platform/Log.h"
#include "ui/MainThread.h"
#include "ui/Panels.h"
#include "ui/Workspace.h"

AppDelegate::AppDelegate() : trace(std::make_unique<PlotTrace>()), reference(std::make_unique<PlotTrace>()) {}

AppDelegate::~AppDelegate() = default;

// --- launch

void AppDelegate::applicationDidFinishLaunching() {
  // The engine, at RBW 10 Hz, 48 kHz, the Gaussian window, until
  // setupSampling configures it from the controls.
  spectrum = std::make_unique<Spectrum>(10.0f, 48000.0f, WindowShape::Gaussian);
  if (analysesRecording) {
    spectrum->setEvenSchedule(true);
    trace->setRestartSpectra(1);
  }

  // Plot state, sweep flags and empty palettes.
  sharedData.refScale = 1.0f;
  sharedData.ready = 0;
  sharedData.track.pixel = -10.0f;
  sharedData.track.lowest = 1000000.0f;
  sharedData.track.highest = -1.0f;
  sweep.enabled = 0;
  sweep.running = 0;
  sweep.paused = 0;
  colorPalette = ColorPalette{};
  printPalette = ColorPalette{};

  // The audio device manager. A removal of a platform listener made on
  // the main thread may wait for a listener call that itself waits for
  // the main thread: while it waits, it runs the main thread's work.
  platform::audio::AudioSetRemovalWaitPump(&AppDelegate::pumpMainThread);
  afManager = std::make_unique<AFManager>();

  // The colour wells the controller wires itself; the two reference wells
  // are wired by the interface.
  for (ui::ColorWell* well : {windowBackgroundColor, plotBackgroundColor, plotGraticuleColor, plotCurveColor,
                              plotCaptionColor, plotMarkerColor, printBackgroundColor, printGraticuleColor,
                              printCurveColor, printCaptionColor, printMarkerColor})
    setColorInterface(well);

  // The detector until its pop-up says otherwise (once the controls are
  // wired below).
  sharedData.detectorMode = 4;

  // The stored settings fill the controls and place the window.
  setupFromPlist();

  // The traces and the tracking generator take the settings; the
  // generator makes its output card, which stays stopped until a sweep.
  trace->applicationFinishLaunching(plist);
  reference->applicationFinishLaunching(plist);
  if (trackingGenerator) trackingGenerator->applicationFinishLaunching(plist, *afManager);
  if (loadInterfaceSettings) loadInterfaceSettings(plist);

  // The views take the shared state and their palettes.
  if (display) {
    display->setSharedData(&sharedData);
    display->setColorPalette(&colorPalette, false);
  }
  if (printView) printView->setSharedData(&sharedData);
  updatePrintCheckbox();
  applyMeasureSettings();

  // Both palettes and the window background from the wells.
  for (ui::ColorWell* well :
       {windowBackgroundColor, plotBackgroundColor, plotGraticuleColor, plotCurveColor, plotCaptionColor,
        plotReferenceColor, plotMarkerColor, printBackgroundColor, printGraticuleColor, printCurveColor,
        printReferenceColor, printCaptionColor, printMarkerColor})
    colorChanged(well);

  // The controls, and the handlers that turn their values into state.
  setInterface(bandwidthPopup, &AppDelegate::setupSampling);
  setInterface(lowerSpanField, &AppDelegate::setupSampling);
  setInterface(upperSpanField, &AppDelegate::setupSampling);
  setInterface(windowPopup, &AppDelegate::setupSampling);
  setInterface(traceAverageField, &AppDelegate::traceAverageChanged);
  traceAverageChanged();
  setInterface(detectorPopup, &AppDelegate::detectorChanged);
  detectorChanged();
  setInterface(axisPopup, &AppDelegate::axisChanged);
  axisChanged();
  setInterface(smoothingPopup, &AppDelegate::treatmentChanged);
  setInterface(weightingPopup, &AppDelegate::treatmentChanged);
  treatmentChanged();
  setInterface(bandsPopup, &AppDelegate::bandsChanged);
  setInterface(logSweepScalePopup, &AppDelegate::logSweepScaleChanged);
  bandsChanged();
  for (ui::TextField* field : {printWidthField, printHeightField})
    if (field) field->setInterface([this, field] { printDimensionChanged(field); });
  setInterface(printColorCheckbox, &AppDelegate::updatePrintCheckbox);
  setInterface(printBorderCheckbox, &AppDelegate::updatePrintCheckbox);
  setInterface(divisionPopup, &AppDelegate::scaleChanged);
  setInterface(referenceLevelField, &AppDelegate::scaleChanged);
  setInterface(unitPopup, &AppDelegate::unitChanged);
  setInterface(outputFullScaleField, &AppDelegate::outputFullScaleChanged);
  setInterface(generatorLevelField, &AppDelegate::generatorLevelChanged);
  setInterface(toneButton, &AppDelegate::toneButtonChanged);
  scaleChanged();
  setInterface(titleField, &AppDelegate::titleChanged);
  titleChanged();
  setInterface(showDateCheckbox, &AppDelegate::dateCheckboxChanged);
  dateCheckboxChanged();
  // Not run now: every run starts in the normal mode.
  setInterface(trackingGeneratorMatrix, &AppDelegate::trackingModeChanged);
  setInterface(trackingGeneratorButton, &AppDelegate::trackingStateChanged);

  // The views may draw from now on.
  sharedData.ready = 1;
  if (display) {
    display->makeKeyAndOrderFront();
    display->setNeedsDisplay();
  }

  // The analyzer input makes its sound card, stopped until the engine is
  // configured.
  if (input) input->applicationFinishLaunching(plist, *afManager);
  // The levels read in the chosen unit through that input's calibration.
  levelUnitsReady_ = true;
  applyInputCalibration(true);
  showOutputFullScale();

  // Configure the engine and start the input: live data flow from here.
  setupSampling();
}

void AppDelegate::pumpMainThread() {
  ui::MainThread& mainThread = ui::MainThread::instance();
  if (mainThread.isMainThread()) mainThread.drain();
}

// --- sampling

void AppDelegate::setupSampling() {
  // The input's rate, with the input stopped. Without an input, or with
  // one that reports no usable rate, the engine still gets a real rate.
  float fs = input ? input->pause() : 0.0f;
  if (!(fs > 0.0f) || !std::isfinite(fs)) fs = kFallbackSamplingRate;
  const double half = 0.5 * static_cast<double>(fs);

  double lower = 0.0, upper = 0.0;
  int bandwidthTag = 0;
  WindowShape windowShape = spectrum ? spectrum->windowShape() : WindowShape::Gaussian;
  // The controls are read and corrected on the main thread.
  ui::MainThread::instance().runSync([&] {
    float lowerValue = lowerSpanField ? lowerSpanField->floatValue() : 0.0f;
    float upperValue = upperSpanField ? upperSpanField->floatValue() : 0.0f;
    // + 0.0 turns a -0 into 0, so the field never shows "-0".
    lower = std::min(half - 10.0, std::max(static_cast<double>(lowerValue), 0.0)) + 0.0;
    double upper1 = upperValue < lower ? lower + 10.0 : static_cast<double>(upperValue);
    upper = std::min(half, upper1);
    char text[64];
    if (lowerSpanField) {
      std::snprintf(text, sizeof text, "%.0f", lower);
      lowerSpanField->setStringValue(text);
    }
    if (upperSpanField) {
      std::snprintf(text, sizeof text, "%.0f", upper);
      upperSpanField->setStringValue(text);
    }
    bandwidthTag = bandwidthPopup ? bandwidthPopup->selectedTag() : 0;
    // A window pop-up without a selection keeps the engine's window.
    if (windowPopup && windowPopup->indexOfSelectedItem() >= 0)
      windowShape = windowShapeForTag(windowPopup->selectedTag());
  });

  // The bandwidth menu's tags are ten times log10 of the RBW in Hz.
  const double rbw = std::pow(10.0, bandwidthTag * 0.1);

  // A real change of the span or the RBW.
  const bool changed = std::fabs(static_cast<double>(sharedData.span.startFrequency) - lower) > 1e-6 ||
                       std::fabs(static_cast<double>(sharedData.span.endFrequency) - upper) > 1e-6 ||
                       std::fabs(static_cast<double>(sharedData.span.bandwidth) - rbw) > 1e-6;
  // A new input rate changes every bin's frequency even when the span
  // stayed inside the band: it counts as a change too.
  const bool rateChanged = spectrum && spectrum->samplingRate() != fs;

  // The shared state takes the corrected span and the RBW.
  sharedData.span.startFrequency = static_cast<float>(lower);
  sharedData.span.endFrequency = static_cast<float>(upper);
  sharedData.span.bandwidth = static_cast<float>(rbw);

  // The span argument is the span's share of the band from 0 to fs/2.
  if (spectrum && (changed || rateChanged || windowShape != spectrum->windowShape())) {
    const float spanFraction = static_cast<float>(
        static_cast<double>(sharedData.span.endFrequency - sharedData.span.startFrequency) * 2.0 / fs);
    if (spectrum->setResolutionBandwidth(sharedData.span.bandwidth, fs, windowShape, spanFraction))
      engineReconfigured();
  }
  // The distortion readout follows the rate and the RBW, and reads anew.
  ui::MainThread::instance().runSync([this] { configureDistortionMeter(); });

  // In tracking mode a new span or RBW starts the sweep afresh, also from
  // idle; a window change alone does not.
  if ((changed || rateChanged) && logSweepMode_) {
    // A log sweep's response lies in the bins of the span and RBW it was
    // measured in: a run in hand ends, and the plot waits for the next.
    ui::MainThread::instance().runSync([this] {
      cancelLogSweep();
      sharedData.sweptResponse.shown = 0;
      trace->clearTrace();
      if (display) display->clearPlot();
    });
  } else if ((changed || rateChanged) && sweep.enabled) {
    resetAndStopTrackingGenerator();
    trace->clearTrace();
    if (display) display->clearPlot();
    initAndStartTrackingGenerator();
  }

  // The span and RBW captions show the new values at once rather than with
  // the next trace, which at a narrow RBW can be seconds away.
  if ((changed || rateChanged) && display)
    ui::MainThread::instance().runAsync(
        [](void* context) {
          auto* self = static_cast<AppDelegate*>(context);
          if (self->display) self->display->setNeedsDisplay();
        },
        this);

  // The input runs again.
  if (input) input->resume();
}

void AppDelegate::newDataFromInput(const float* samples, float samplingRate) {
  if (!spectrum || !samples) return;
  if (sweep.enabled) {
    // The generator sweeps: there is no fundamental to read.
    sharedData.measure.distortionReadout.reading.valid = false;
    if (logSweepMode_) {
      // The run has taken the block already (its recording taps the input).
      if (logSweepRunning()) advanceLogSweep();
      // The input's whole spectrum for a view's history (a spectrogram),
      // transformed only while one keeps it.
      if (display && display->takesSweepSpectra()) {
        const SpectrumResult* result = spectrum->computeWithOverlap(samples, kBlockLength);
        if (result->validBins > 0) display->addSweepSpectrum(result, samplingRate);
      }
      return;
    }
    SpectrumResult* result = spectrum->computeWithOverlap(samples, kBlockLength);
    if (result->validBins > 0 && display) display->addSweepSpectrum(result, samplingRate);
    if (result->validBins > 0 && sweep.running && !sweep.paused) {
      ++sweep.spectra;
      if (!sweepSpectrumIsClean()) {
        if (trackingGenerator) trackingGenerator->updateFrequency(&sweep);
        return;
      }
      // A tone that jumped to its point holds there until the window is
      // full of it.
      if (sweep.holdSpectra > 0) {
        --sweep.holdSpectra;
        return;
      }
      const int bin = sweep.currentBin;
      if (!sweep_plan::settled(sweep, bin >= 0 && bin < result->bins ? result->output[bin] : 0.0f)) return;
      // Points apart on the logarithmic axis: the trace is drawn through
      // them, its bins between taken from the two points.
      const int from = sweep.pointRatio > 0.0f && sweep.measuredBin >= 0 && sweep.measuredBin < bin ? sweep.measuredBin : -1;
      trace->addDataSamplingRateBin(result, samplingRate, bin, from);
      sweep.measuredBin = bin;
      // Bins below the mark are measured again after a suspension, into
      // the trace only.
      if (bin >= sweep.suspendUntilBin && display) display->addTraceDataBin(trace->traceData(), bin);
      advanceSweep();
      if (trackingGenerator) trackingGenerator->updateFrequency(&sweep);
    }
    return;
  }
  if (sharedData.measure.distortion) distortionFromInput(samples);
  if (analysesRecording) {
    // A window may end anywhere in the block, and more than one in it: each
    // spectrum is averaged in before the engine takes the samples up to the
    // next.
    for (int done = 0; done < kBlockLength;) {
      int taken = 0;
      SpectrumResult* result = spectrum->computeEvenly(samples + done, kBlockLength - done, &taken);
      if (taken <= 0) break;
      done += taken;
      if (result->validBins > 0) {
        trace->averageDataSamplingRate(result, samplingRate);
        if (recordingSpectrumListener) recordingSpectrumListener(recordingSpectrumContext, result, samplingRate);
        if (display) display->addTraceData(trace->traceData());
      }
    }
    return;
  }
  SpectrumResult* result = spectrum->compute(samples, kBlockLength);
  if (result->validBins > 0) {
    lastSpectrumEnd_ = spectrum->samplesSinceClear();
    // The trace's averaging step runs on the main thread after this block,
    // before the views' detection passes queued below.
    const PlotTrace::AveragingStep step = trace->addDataSamplingRate(result, samplingRate);
    if (step.run) ui::MainThread::instance().runAsync(step.run, step.context);
    if (display) display->addTraceData(trace->traceData());
  }
}

double AppDelegate::recordingSecondsAveraged() const {
  if (!analysesRecording || !spectrum || !(spectrum->samplingRate() > 0)) return 0.0;
  const int64_t spectra = spectrum->evenSpectra();
  if (spectra <= 0 || static_cast<double>(trace->traceData()->traces) != static_cast<double>(spectra)) return 0.0;
  return static_cast<double>(spectra) * spectrum->evenHop() / spectrum->samplingRate();
}

void AppDelegate::clearSpectrum() {
  if (spectrum) spectrum->clearBuffer();
}

void AppDelegate::equivalentBandwidthTest(std::FILE* out) {
  spectrum = std::make_unique<Spectrum>(100.0f, 48000.0f, WindowShape::Gaussian);
  std::vector<float> ones(kBlockLength, 1.0f);
  const int n = spectrum->span();
  if (n >= kBlockLength) {
    for (int i = 0; i < (n >> 8) - 1; ++i) spectrum->fill(ones.data(), kBlockLength);
  }
  const SpectrumResult* result = spectrum->compute(ones.data(), kBlockLength);
  // The block that fills the ring does not by itself complete a spectrum
  // (the next one is due half a ring later); measuring an empty output would
  // report a bandwidth of 0, so keep feeding until the spectrum is there.
  for (int more = n / kBlockLength + 1; result->validBins == 0 && more > 0; --more)
    result = spectrum->compute(ones.data(), kBlockLength);
  const int count = result->bins;
  if (count == 0) {
    std::fprintf(out, "wrong total spectrum span\n");
  } else {
    std::vector<float> values(result->output, result->output + count);
    float largest = 1e-10f;
    for (int i = 0; i < count - 1; ++i) largest = std::max(largest, values[static_cast<std::size_t>(i)]);
    for (float& value : values) value /= largest;
    for (int i = -60; i < 60; ++i) {
      const int index = std::abs(i);
      std::fprintf(out, "%f\n", index < count ? static_cast<double>(values[static_cast<std::size_t>(index)]) : 0.0);
    }
    double sum = 0.0;
    if (count >= 10) {
      sum = values[0];
      for (int i = 1; i <= count / 2 - 5; ++i) sum += 2.0 * static_cast<double>(values[static_cast<std::size_t>(i)]);
    }
    const double eq = 0.5 * sum * 48000.0 / count;
    const double err = eq / 100.0;
    std::fprintf(out, "bw = %.2f  -- eq bw = %.2f/bin = %.2f Hz ... fftSpan %d err %.4f (%.3f dB)\n", 100.0, sum, eq,
                 count, err, 10.0 * std::log10(err));
  }
  std::fflush(out);
  std::exit(0);
}

// --- control handlers

void AppDelegate::setInterface(ui::Control* control, void (AppDelegate::*action)()) {
  if (control) control->setInterface([this, action] { (this->*action)(); });
}

void AppDelegate::setColorInterface(ui::ColorWell* well) {
  if (well) well->setInterface([this, well] { colorChanged(well); });
}

void AppDelegate::titleChanged() {
  sharedData.title = titleField ? titleField->stringValue() : std::string();
  if (display) display->setNeedsDisplay();
}

void AppDelegate::dateCheckboxChanged() {
  sharedData.printDate = showDateCheckbox && showDateCheckbox->isOn() ? 1 : 0;
}

void AppDelegate::scaleChanged() {
  const int division = divisionPopup ? divisionPopup->selectedTag() : -1;
  // In dB, read from the field in the unit the levels read in.
  const double level = referenceLevelDb();
  // Pinned to the float range: a level beyond about ±380 dB would otherwise
  // give an infinite or zero factor, which no plot can show.
  const double factor = std::pow(10.0, level * 0.1);
  sharedData.refScale = static_cast<float>(std::clamp(factor, static_cast<double>(FLT_MIN), static_cast<double>(FLT_MAX)));
  if (division > 0) {
    if (display) display->setPlotScale(static_cast<float>(division));
    if (printView) printView->setPlotScale(static_cast<float>(division));
  } else if (display) {
    // Without a division (nothing selected) the views keep their scale and
    // show the new level at the next redraw.
    display->setNeedsDisplay();
  }
}

void AppDelegate::traceAverageChanged() {
  float averages = traceAverageField ? traceAverageField->floatValue() : 0.0f;
  if (averages < 1.0f) {
    if (traceAverageField) traceAverageField->setStringValue("1.0");
    averages = 1.0f;
  }
  trace->setTraceAverages(averages);
}

void AppDelegate::detectorChanged() {
  // A pop-up without a selection keeps the detector.
  if (detectorPopup && detectorPopup->indexOfSelectedItem() >= 0) sharedData.detectorMode = detectorPopup->selectedTag();
  trace->resetTraceAverages();
}

void AppDelegate::axisChanged() {
  if (!axisPopup || axisPopup->indexOfSelectedItem() < 0) return;
  const auto scale = axisPopup->selectedTag() == static_cast<int>(display::AxisScale::logarithmic)
                         ? display::AxisScale::logarithmic
                         : display::AxisScale::linear;
  if (scale == sharedData.axisScale) return;
  sharedData.axisScale = scale;
  // Every column maps to other bins: the views detect the trace again.
  for (PlotView* view : {display, printView})
    if (view) view->measurementsChanged();
}

void AppDelegate::treatmentChanged() {
  SharedData::Treatment treatment = sharedData.treatment;
  // A pop-up without a selection keeps its part.
  if (smoothingPopup && smoothingPopup->indexOfSelectedItem() >= 0) treatment.smoothing = smoothingPopup->selectedTag();
  if (weightingPopup && weightingPopup->indexOfSelectedItem() >= 0)
    treatment.weighting = static_cast<int>(dsp::weightingOf(weightingPopup->selectedTag()));
  if (treatment == sharedData.treatment) return;
  const bool smoothingChanged = treatment.smoothing != sharedData.treatment.smoothing;
  sharedData.treatment = treatment;
  if (smoothingChanged) resmoothLogSweep();
  for (PlotView* view : {display, printView})
    if (view) view->measurementsChanged();
}

void AppDelegate::bandsChanged() {
  if (!bandsPopup || bandsPopup->indexOfSelectedItem() < 0) return;
  const int bands = bandsPopup->selectedTag();
  if (bands == sharedData.bands) return;
  sharedData.bands = bands;
  for (PlotView* view : {display, printView})
    if (view) view->measurementsChanged();
}

namespace {

RGBAColor withAlpha(const ui::Color& color, float alpha) { return RGBAColor::rgba(color.red, color.green, color.blue, alpha); }

}  // namespace

void AppDelegate::colorChanged(ui::ColorWell* sender) {
  if (!sender) return;
  const ui::Color& color = sender->color();
  auto redraw = [this] {
    if (display) display->setNeedsDisplay();
  };
  if (sender == windowBackgroundColor) {
    if (display) display->setWindowBackgroundColor(color);
  } else if (sender == plotBackgroundColor) {
    colorPalette.background = color;
    redraw();
  } else if (sender == plotGraticuleColor) {
    colorPalette.graticule = color;
    redraw();
  } else if (sender == plotCurveColor) {
    colorPalette.curve = color;
    redraw();
  } else if (sender == plotCaptionColor) {
    colorPalette.caption = color;
    if (display) display->setCaptionColor(colorPalette.caption);
    redraw();
  } else if (sender == plotMarkerColor) {
    // The well's own alpha is ignored: the band marker is drawn at 0.6,
    // the point marker at 0.8.
    colorPalette.avgMarker = withAlpha(color, 0.6f);
    colorPalette.marker = withAlpha(color, 0.8f);
    redraw();
  } else if (sender == plotReferenceColor) {
    colorPalette.reference = color;  // shows at the next redraw
  } else if (sender == printBackgroundColor) {
    printPalette.background = color;
  } else if (sender == printGraticuleColor) {
    printPalette.graticule = color;
  } else if (sender == printCurveColor) {
    printPalette.curve = color;
  } else if (sender == printCaptionColor) {
    printPalette.caption = color;
  } else if (sender == printMarkerColor) {
    printPalette.avgMarker = withAlpha(color, 0.6f);
    printPalette.marker = withAlpha(color, 0.8f);
  } else if (sender == printReferenceColor) {
    printPalette.reference = color;
  }
}

std::string AppDelegate::homeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* account = ::getpwuid(::getuid()); account && account->pw_dir) return account->pw_dir;
  return ".";
}

void AppDelegate::alertFailure(const std::string& message, const std::string& detail) {
  platform::log("%s: %s\n", message.c_str(), detail.c_str());
  if (ui::Panels* panels = ui::Panels::instance()) panels->showAlert(message, detail);
}

void AppDelegate::showHelp() {
  ui::Workspace* workspace = ui::Workspace::instance();
  if (!helpURL.empty() && workspace && workspace->openURL(helpURL)) return;
  // Said where the user looks, with the file to open by other means.
  if (helpURL.empty()) {
    alertFailure("The help page could not be opened", "The help file was not found beside the program or in its "
                                                      "installed documentation folder.");
    return;
  }
  const std::string file = helpURL.starts_with("file://") ? helpURL.substr(7) : helpURL;
  alertFailure("The help page could not be opened",
               "No program to show web pages was found. The help file is " + file + "; open it in a web browser.");
}

void AppDelegate::togglePopover(ui::Popover* popover, ui::Control* sender) {
  if (!popover) return;
  if (popover->isShown())
    popover->close();
  else
    popover->showRelativeTo(sender);
}

void AppDelegate::showAttenuatorPopover(ui::Control* sender) { togglePopover(attenuatorPopover, sender); }
void AppDelegate::showBandwidthAndSpanPopover(ui::Control* sender) { togglePopover(bandwidthAndSpanPopover, sender); }
void AppDelegate::showDevicePopover(ui::Control* sender) { togglePopover(devicePopover, sender); }
void AppDelegate::showDetectorPopover(ui::Control* sender) { togglePopover(detectorPopover, sender); }
void AppDelegate::showTrackingGeneratorPopover(ui::Control* sender) {
  showOutputFullScale();  // of the output chosen now
  togglePopover(trackingGeneratorPopover, sender);
}
