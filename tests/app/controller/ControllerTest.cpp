#include <gtest/gtest.h>

#include <functional>

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "app/ControllerHarness.h"

using namespace app_fakes;

// --- launch

TEST(Launch, RunsTheHandlersAndStartsSamplingLast) {
  ControllerHarness h;
  h.launch();
  AppDelegate& app = h.app;

  EXPECT_EQ(app.sharedData.ready, 1);
  EXPECT_EQ(app.sharedData.detectorMode, 3);  // the pop-up's tag replaced the 4
  EXPECT_EQ(app.sharedData.title, "Filter response");
  EXPECT_EQ(app.sharedData.printDate, 0);
  EXPECT_FLOAT_EQ(app.sharedData.refScale, 1.0f);
  EXPECT_FLOAT_EQ(h.display.dBPerDivision, 10.0f);
  EXPECT_FLOAT_EQ(h.printView.dBPerDivision, 10.0f);
  EXPECT_EQ(app.sweep.enabled, 0);  // the mode handler is wired, not run
  EXPECT_FALSE(h.display.trackingMode);

  // The views got the state and their palettes before the window came up,
  // and the input was started only after that.
  EXPECT_EQ(h.display.shared, &app.sharedData);
  EXPECT_EQ(h.display.palette, &app.colorPalette);
  EXPECT_FALSE(h.display.border);
  EXPECT_EQ(h.printView.palette, &app.printPalette);
  EXPECT_LT(h.log.indexOf("display.setSharedData"), h.log.indexOf("display.front"));
  EXPECT_LT(h.log.indexOf("display.front"), h.log.indexOf("input.pause"));
  EXPECT_LT(h.log.indexOf("input.pause"), h.log.indexOf("input.resume"));
  EXPECT_EQ(h.log.count("input.resume"), 1);

  // setupSampling configured the engine from the controls.
  ASSERT_NE(app.spectrum, nullptr);
  EXPECT_FLOAT_EQ(app.sharedData.span.endFrequency, 24000.0f);
  EXPECT_NEAR(app.sharedData.span.bandwidth, 10.0f, 1e-5f);
  EXPECT_EQ(app.spectrum->windowType(), 1);
  EXPECT_FLOAT_EQ(app.spectrum->samplingRate(), 48000.0f);

  // Every control now reaches its handler.
  h.titleField.enter("DUT 2");
  EXPECT_EQ(app.sharedData.title, "DUT 2");
}

TEST(Launch, FillsBothPalettesFromTheWells) {
  ControllerHarness h;
  h.launch();
  const ColorPalette& screen = h.app.colorPalette;
  const ColorPalette& print = h.app.printPalette;
  EXPECT_EQ(h.display.windowBackground, h.wells[0].color());
  EXPECT_EQ(screen.background, RGBAColor(h.wells[1].color()));
  EXPECT_EQ(screen.graticule, RGBAColor(h.wells[2].color()));
  EXPECT_EQ(screen.curve, RGBAColor(h.wells[3].color()));
  EXPECT_EQ(screen.caption, RGBAColor(h.wells[4].color()));
  EXPECT_EQ(h.display.caption, RGBAColor(h.wells[4].color()));
  EXPECT_EQ(screen.reference, RGBAColor(h.wells[6].color()));
  EXPECT_EQ(print.background, RGBAColor(h.wells[7].color()));
  EXPECT_EQ(print.graticule, RGBAColor(h.wells[8].color()));
  EXPECT_EQ(print.curve, RGBAColor(h.wells[9].color()));
  EXPECT_EQ(print.caption, RGBAColor(h.wells[10].color()));
  EXPECT_EQ(print.reference, RGBAColor(h.wells[12].color()));
  for (const ColorPalette* palette : {&screen, &print}) {
    EXPECT_TRUE(palette->marker.isSet);
    EXPECT_TRUE(palette->avgMarker.isSet);
  }
}

TEST(Launch, WithoutAnInputTheEngineRunsAt48kHz) {
  ControllerHarness h;
  h.app.input = nullptr;
  h.upperSpanField.setStringValue("30000");
  h.launch();
  EXPECT_FLOAT_EQ(h.app.spectrum->samplingRate(), 48000.0f);
  EXPECT_EQ(h.upperSpanField.stringValue(), "24000");

  // An input that reports no rate is treated the same.
  ControllerHarness h2;
  h2.input.samplingRate = 0.0f;
  h2.launch();
  EXPECT_FLOAT_EQ(h2.app.spectrum->samplingRate(), 48000.0f);
}

// --- sampling set-up

TEST(SetupSampling, ClampsTheSpanIntoTheInputsBand) {
  struct Case {
    float fs;
    const char* lower;
    const char* upper;
    const char* lowerShown;
    const char* upperShown;
  };
  const Case cases[] = {
      {48000, "-50", "5000", "0", "5000"},          // negative lower edge
      {48000, "30000", "20000", "23990", "24000"},  // beyond fs/2 and inverted
      {48000, "1000", "500", "1000", "1010"},       // inverted: upper moves 10 Hz above
      {48000, "1000", "1000", "1000", "1000"},      // equal edges stay: zero span
      {44100, "0", "24000", "0", "22050"},          // another input rate
      {48000, "abc", "", "0", "0"},                 // no numbers at all: a zero span at 0 Hz
      {48000, "-0", "100", "0", "100"},
  };
  for (const Case& c : cases) {
    ControllerHarness h;
    h.input.samplingRate = c.fs;
    h.lowerSpanField.setStringValue(c.lower);
    h.upperSpanField.setStringValue(c.upper);
    h.launch();
    SCOPED_TRACE(std::string(c.lower) + " .. " + c.upper);
    EXPECT_EQ(h.lowerSpanField.stringValue(), c.lowerShown);
    EXPECT_EQ(h.upperSpanField.stringValue(), c.upperShown);
    EXPECT_FLOAT_EQ(h.app.sharedData.span.startFrequency, std::stof(c.lowerShown));
    EXPECT_FLOAT_EQ(h.app.sharedData.span.endFrequency, std::stof(c.upperShown));
    EXPECT_FLOAT_EQ(h.app.spectrum->samplingRate(), c.fs);
    const float fraction = (std::stof(c.upperShown) - std::stof(c.lowerShown)) * 2.0f / c.fs;
    EXPECT_NEAR(h.app.spectrum->spanFraction(), fraction, 1e-6f);
  }
}

TEST(SetupSampling, BandwidthTagsAreTenTimesTheLogOfTheRbw) {
  ControllerHarness h;
  h.launch();
  h.bandwidthPopup.pickTag(5);
  EXPECT_NEAR(h.app.sharedData.span.bandwidth, 3.16228f, 1e-4f);
  EXPECT_NEAR(h.app.spectrum->bandwidth(), 3.16228f, 1e-4f);
  h.bandwidthPopup.pickTag(20);
  EXPECT_NEAR(h.app.sharedData.span.bandwidth, 100.0f, 1e-3f);
  h.bandwidthPopup.pickTag(0);
  EXPECT_NEAR(h.app.sharedData.span.bandwidth, 1.0f, 1e-6f);
}

TEST(SetupSampling, ReconfiguresTheEngineOnlyForARealChange) {
  ControllerHarness h;
  h.launch();
  Spectrum& engine = *h.app.spectrum;
  h.feed(40);
  const int held = engine.availableSamples();
  ASSERT_GT(held, 0);

  // Same values again (as the fields write them back): the ring is kept.
  int redraws = h.display.redraws;
  h.upperSpanField.enter("24000");
  h.mainThread.drain();
  EXPECT_EQ(engine.availableSamples(), held);
  EXPECT_EQ(h.display.redraws, redraws) << "nothing changed, nothing to redraw";
  EXPECT_EQ(h.log.count("input.pause"), 2);  // the input is paused around it all the same
  EXPECT_EQ(h.log.count("input.resume"), 2);

  // A window change alone reconfigures (and so clears the ring).
  h.windowPopup.pickTag(2);
  EXPECT_EQ(engine.windowType(), 2);
  EXPECT_EQ(engine.availableSamples(), 0);

  // A new RBW shows in the captions at once, not with the next trace.
  redraws = h.display.redraws;
  h.bandwidthPopup.pickTag(20);
  h.mainThread.drain();
  EXPECT_GT(h.display.redraws, redraws);

  // So does a new input rate with an unchanged span.
  h.upperSpanField.setStringValue("20000");
  h.upperSpanField.enter("20000");
  h.feed(4);
  h.input.samplingRate = 44100;
  h.app.setupSampling();
  EXPECT_FLOAT_EQ(engine.samplingRate(), 44100.0f);
  EXPECT_EQ(engine.availableSamples(), 0);
}

TEST(SetupSampling, ControlWorkFromAnotherThreadRunsOnTheMainThread) {
  ControllerHarness h;
  h.launch();
  h.lowerSpanField.setStringValue("-5");
  std::atomic<bool> done{false};
  std::thread other([&] {
    h.app.setupSampling();
    done = true;
  });
  while (!done) h.mainThread.drain();
  other.join();
  EXPECT_EQ(h.lowerSpanField.stringValue(), "0");
}

// --- block processing, normal mode

TEST(BlockPath, ATraceReachesTheDisplayOnceTheEngineHasASpectrum) {
  for (int bandwidthTag : {10, 30}) {  // a long FFT, and the shortest (2^14)
    ControllerHarness h;
    h.bandwidthPopup.selectItemWithTag(bandwidthTag);
    h.launch();
    const Spectrum& engine = *h.app.spectrum;
    ASSERT_EQ(engine.accumulatedSamples(), 0);
    // While a long ring fills, the first spectrum is due at 2^14 samples. A
    // ring of 2^14 has no such point: once full, a spectrum is due after
    // another half ring.
    const int n = engine.fftLength();
    const int firstBlocks = n > (1 << 14) ? (1 << 14) / AppDelegate::kBlockLength
                                          : (n + n / 2) / AppDelegate::kBlockLength - 1;
    SCOPED_TRACE(n);
    h.feed(firstBlocks - 1);
    EXPECT_EQ(h.display.traces, 0);
    EXPECT_EQ(h.app.trace->traceData()->bins, 0);
    h.feed(1);
    EXPECT_EQ(h.display.traces, 1);
    EXPECT_EQ(h.display.lastTrace, h.app.trace->traceData());
    const TraceData& trace = *h.app.trace->traceData();
    EXPECT_EQ(trace.bins, engine.bins());
    EXPECT_FLOAT_EQ(trace.samplingRate, 48000.0f);
    EXPECT_GT(trace.averaged[engine.bins() / 2], 0.0f);
    EXPECT_TRUE(h.display.bins.empty());
  }
}

TEST(BlockPath, ClearSpectrumDropsThePartlyGatheredInput) {
  ControllerHarness h;
  h.launch();
  h.feed(10);
  h.app.clearSpectrum();
  EXPECT_EQ(h.app.spectrum->availableSamples(), 0);
}

// --- handlers

TEST(Handlers, ReferenceLevelBecomesALinearPowerFactor) {
  struct Case {
    const char* level;
    float refScale;
  };
  const Case cases[] = {{"10", 10.0f}, {"-20", 0.01f}, {"0", 1.0f}, {"not a number", 1.0f}, {"3.0103", 2.0f}};
  ControllerHarness h;
  h.launch();
  for (const Case& c : cases) {
    h.referenceLevelField.enter(c.level);
    EXPECT_NEAR(h.app.sharedData.refScale, c.refScale, c.refScale * 1e-5f) << c.level;
  }
  // Levels whose factor a float cannot hold are pinned to its range.
  h.referenceLevelField.enter("1000");
  EXPECT_TRUE(std::isfinite(h.app.sharedData.refScale));
  h.referenceLevelField.enter("-1000");
  EXPECT_GT(h.app.sharedData.refScale, 0.0f);

  h.divisionPopup.pickTag(2);
  EXPECT_FLOAT_EQ(h.display.dBPerDivision, 2.0f);
  EXPECT_FLOAT_EQ(h.printView.dBPerDivision, 2.0f);
}

TEST(Handlers, TraceAveragesBelowOneBecomeOne) {
  ControllerHarness h;
  h.launch();
  h.traceAverageField.enter("0.5");
  EXPECT_EQ(h.traceAverageField.stringValue(), "1.0");
  EXPECT_FLOAT_EQ(h.app.trace->traceAverages(), 1.0f);
  h.traceAverageField.enter("4");
  EXPECT_EQ(h.traceAverageField.stringValue(), "4");
  EXPECT_FLOAT_EQ(h.app.trace->traceAverages(), 4.0f);
  h.traceAverageField.enter("");
  EXPECT_EQ(h.traceAverageField.stringValue(), "1.0");
}

TEST(Handlers, TitleDateAndDetectorGoIntoTheSharedState) {
  ControllerHarness h;
  h.launch();
  const int redraws = h.display.redraws;
  h.titleField.enter("Loudspeaker");
  EXPECT_EQ(h.app.sharedData.title, "Loudspeaker");
  EXPECT_EQ(h.display.redraws, redraws + 1);

  h.showDateCheckbox.click();
  EXPECT_EQ(h.app.sharedData.printDate, 1);
  EXPECT_EQ(h.display.redraws, redraws + 1);  // shows from the next redraw
  h.showDateCheckbox.click();
  EXPECT_EQ(h.app.sharedData.printDate, 0);

  h.detectorPopup.pickTag(1);
  EXPECT_EQ(h.app.sharedData.detectorMode, 1);
}

TEST(Handlers, MarkerColoursKeepTheirOwnAlpha) {
  ControllerHarness h;
  h.launch();
  h.wells[5].choose({0.2f, 0.4f, 0.6f, 0.2f});
  EXPECT_EQ(h.app.colorPalette.marker, RGBAColor::rgba(0.2f, 0.4f, 0.6f, 0.8f));
  EXPECT_EQ(h.app.colorPalette.avgMarker, RGBAColor::rgba(0.2f, 0.4f, 0.6f, 0.6f));
  h.wells[11].choose({1.0f, 0.0f, 0.0f, 0.1f});
  EXPECT_EQ(h.app.printPalette.marker, RGBAColor::rgba(1.0f, 0.0f, 0.0f, 0.8f));
  EXPECT_EQ(h.app.printPalette.avgMarker, RGBAColor::rgba(1.0f, 0.0f, 0.0f, 0.6f));
}

TEST(Handlers, PrintWellsAndTheReferenceWellDoNotRedrawTheScreen) {
  ControllerHarness h;
  h.launch();
  int redraws = h.display.redraws;
  h.wells[9].choose({0.1f, 0.2f, 0.3f, 1.0f});  // print curve
  EXPECT_EQ(h.app.printPalette.curve, RGBAColor::rgba(0.1f, 0.2f, 0.3f, 1.0f));
  h.wells[6].choose({0.3f, 0.2f, 0.1f, 1.0f});  // screen reference
  EXPECT_EQ(h.app.colorPalette.reference, RGBAColor::rgba(0.3f, 0.2f, 0.1f, 1.0f));
  EXPECT_EQ(h.display.redraws, redraws);
  h.wells[3].choose({0.0f, 1.0f, 0.0f, 1.0f});  // screen curve
  EXPECT_EQ(h.display.redraws, redraws + 1);
}

TEST(Handlers, PopoverCommandsToggle) {
  ControllerHarness h;
  h.launch();
  FakeButton sender("Span");
  const std::function<void()> commands[5] = {[&] { h.app.showAttenuatorPopover(&sender); },
                                             [&] { h.app.showBandwidthAndSpanPopover(&sender); },
                                             [&] { h.app.showDevicePopover(&sender); },
                                             [&] { h.app.showDetectorPopover(&sender); },
                                             [&] { h.app.showTrackingGeneratorPopover(&sender); }};
  for (int i = 0; i < 5; ++i) {
    commands[i]();
    EXPECT_TRUE(h.popovers[i].shown);
    EXPECT_EQ(h.popovers[i].anchor, &sender);
    for (int j = 0; j < 5; ++j) {
      if (j != i) {
        EXPECT_FALSE(h.popovers[j].shown);
      }
    }
    commands[i]();
    EXPECT_FALSE(h.popovers[i].shown);
  }
}

// --- export and print settings

TEST(Handlers, PrintSizesAreKeptWithin100And1800Points) {
  ControllerHarness h;
  FakeTextField width{"800"};
  const struct {
    const char* entered;
    const char* kept;
  } cases[] = {{"50", "100"}, {"2500", "1800"}, {"1800", "1800"}, {"100", "100"}, {"640.5", "640.5"},
               {"wide", "100"}, {"", "100"}};
  for (const auto& c : cases) {
    width.setStringValue(c.entered);
    h.app.printDimensionChanged(&width);
    EXPECT_EQ(width.stringValue(), c.kept) << c.entered;
  }
  h.app.printDimensionChanged(nullptr);  // no field, nothing to keep
}

TEST(Handlers, DisplayColoursForPrintingTakeTheScreenPaletteWithoutABorder) {
  ControllerHarness h;
  FakeCheckbox displayColors;
  FakeCheckbox border;
  border.setState(1);
  h.app.printColorCheckbox = &displayColors;
  h.app.printBorderCheckbox = &border;
  const auto update = [&](int useDisplayColors) {
    displayColors.setState(useDisplayColors);
    h.app.updatePrintCheckbox();
  };
  update(1);
  EXPECT_EQ(h.printView.palette, &h.app.colorPalette);
  EXPECT_FALSE(h.printView.border);
  EXPECT_FALSE(border.isEnabled());
  update(0);
  EXPECT_EQ(h.printView.palette, &h.app.printPalette);
  EXPECT_TRUE(h.printView.border);
  EXPECT_TRUE(border.isEnabled());
  border.setState(0);
  update(0);
  EXPECT_FALSE(h.printView.border);
}

// --- diagnostic

TEST(EquivalentBandwidthTest, MeasuresTheGaussianWindowAndEndsTheProcess) {
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(pipeFds[0]);
    std::FILE* out = fdopen(pipeFds[1], "w");
    AppDelegate app;
    app.equivalentBandwidthTest(out ? out : stdout);
    _exit(3);  // not reached: the diagnostic exits
  }
  close(pipeFds[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
  close(pipeFds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  // 120 response lines, then the summary.
  std::size_t lines = 0;
  for (char c : text) lines += c == '\n';
  EXPECT_EQ(lines, 121u) << text;
  const std::size_t at = text.find("bw = 100.00  -- eq bw = ");
  ASSERT_NE(at, std::string::npos) << text;
  double sum = 0, eq = 0, err = 0, dB = 0;
  int span = 0;
  ASSERT_EQ(std::sscanf(text.c_str() + at, "bw = 100.00  -- eq bw = %lf/bin = %lf Hz ... fftSpan %d err %lf (%lf dB)",
                        &sum, &eq, &span, &err, &dB),
            5)
      << text.substr(at);
  EXPECT_GT(span, 0);
  EXPECT_NEAR(eq, 0.5 * sum * 48000.0 / span, 0.01 * eq);
  // The engine sizes its window so that the noise bandwidth meets the RBW;
  // 0.2 dB catches a wrong window length or normalisation, and an empty
  // spectrum (which would read -inf).
  EXPECT_NEAR(dB, 0.0, 0.2) << text.substr(at);
}
