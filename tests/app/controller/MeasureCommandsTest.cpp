// The controller's measurement commands: the hold follows the engine's
// configuration, the flat-top window comes from its menu tag, the settings
// keep every measurement under keys of their own (a file without them
// loads as before), and the CSV of a normalised plot holds what it shows.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <numbers>
#include <sstream>
#include <string>

#include "app/ControllerHarness.h"
#include "app/formats/DataExport.h"
#include "plot/DistortionTexts.h"
#include "platform/PropertyList.h"

using namespace app_fakes;
using platform::PropertyDictionary;
using platform::PropertyValue;

namespace {

void removeSettings() {
  std::error_code ignored;
  std::filesystem::remove(AppDelegate::settingsFilePath(), ignored);
}

PropertyDictionary readSettings() {
  std::optional<PropertyValue> root = platform::readPropertyList(AppDelegate::settingsFilePath());
  return root && root->dictionary() ? *root->dictionary() : PropertyDictionary{};
}

struct MeasureHarness : ControllerHarness {
  long long t = 0;
  // A sine of amplitude a at f Hz, as the input delivers it.
  void play(double f, double a, int blocks) {
    float block[AppDelegate::kBlockLength];
    for (int b = 0; b < blocks; ++b) {
      for (float& s : block)
        s = static_cast<float>(a * std::sin(2 * std::numbers::pi * f * static_cast<double>(t++) / 48000));
      app.newDataFromInput(block, 48000);
      mainThread.drain();
    }
  }
  // The live trace's level in dB at f Hz.
  double level(double f) {
    const TraceData* d = app.trace->traceData();
    const int k = static_cast<int>(std::lround(f * d->binsPerHertz));
    return 10 * std::log10(d->averaged[k] / (double(d->bins) * d->bins));
  }
};

class MeasureCommands : public ::testing::Test {
 protected:
  void SetUp() override { removeSettings(); }
  void TearDown() override { removeSettings(); }
};

}  // namespace

TEST_F(MeasureCommands, MaxHoldKeepsTheLoudestUntilTheEngineIsReconfigured) {
  MeasureHarness h;
  h.bandwidthPopup.selectItemWithTag(20);  // 100 Hz: a spectrum every 16 blocks
  h.launch();
  h.app.setTraceMode(1);
  EXPECT_EQ(h.app.trace->traceMode(), TraceMode::maxHold);
  h.play(3000, 0.5, 200);
  h.play(3000, 0.005, 200);
  EXPECT_NEAR(h.level(3000), -9.03, 0.1) << "the loud sine is held";

  // A new RBW reconfigures the engine: what was held goes.
  h.bandwidthPopup.pick(h.bandwidthPopup.indexOfItemWithTag(25));
  h.play(3000, 0.005, 200);
  EXPECT_NEAR(h.level(3000), -49.03, 0.1);
  // So does a reset asked for, and the window menu's new choice.
  h.play(3000, 0.5, 100);
  h.app.resetHold();
  h.play(3000, 0.005, 200);
  EXPECT_NEAR(h.level(3000), -49.03, 0.1);
  h.play(3000, 0.5, 100);
  h.windowPopup.pick(h.windowPopup.indexOfItemWithTag(3));
  EXPECT_EQ(h.app.spectrum->windowType(), 3) << "the menu's tag 3 is the flat-top";
  h.play(3000, 0.005, 200);
  EXPECT_NEAR(h.level(3000), -49.03, 0.1);
}

TEST_F(MeasureCommands, EveryMeasurementComesBackAfterARestartUnderKeysOfItsOwn) {
  {
    MeasureHarness h;
    h.launch();
    h.windowPopup.pick(h.windowPopup.indexOfItemWithTag(3));
    h.app.setTraceMode(2);
    h.app.setPrecisePeak(true);
    h.app.setDeltaMarker(true);
    h.app.setNoiseMarker(true);
    h.app.setPeakTable(true);
    h.app.setNormalise(true);
    h.app.setDistortionReadout(true);
    h.app.setDistortionUpperLimit(30000);
    h.app.setDistortionNoiseWeighted(true);
    h.app.applicationWillTerminate();
  }
  const PropertyDictionary stored = readSettings();
  EXPECT_EQ(stored.integer("Filter Type"), 3);
  EXPECT_EQ(stored.integer("Trace Mode"), 2);
  for (const char* key :
       {"Precise Peak Reading", "Delta Marker", "Noise Marker", "Peak Table", "Normalise To Reference"}) {
    ASSERT_NE(stored.find(key), nullptr) << key;
    EXPECT_EQ(stored.boolean(key), true) << key;
  }

  MeasureHarness h;
  h.launch();
  const MeasureState& m = h.app.sharedData.measure;
  EXPECT_EQ(m.traceMode, 2);
  EXPECT_EQ(h.app.trace->traceMode(), TraceMode::minHold);
  EXPECT_TRUE(m.precisePeak && m.deltaMarker && m.noiseMarker && m.peakTable && m.normalise && m.distortion);
  EXPECT_EQ(m.distortionReadout.upperHz, 30000);
  EXPECT_TRUE(m.distortionReadout.weightNoise);
  EXPECT_FALSE(m.anchor.valid) << "the delta marker takes its anchor anew";
  EXPECT_EQ(h.app.spectrum->windowType(), 3);
  EXPECT_EQ(m.window, &h.app.windowResponse);
  EXPECT_EQ(h.app.windowResponse.bins(), h.app.spectrum->bins());
}

TEST_F(MeasureCommands, ASettingsFileWithoutTheirKeysLoadsAsBefore) {
  PropertyDictionary old;
  old.set("Log Bandwidth", PropertyValue(int64_t{20}));
  old.set("Filter Type", PropertyValue(int64_t{2}));
  old.set("Detector Mode", PropertyValue(int64_t{1}));
  old.set("Trace Average", PropertyValue("4"));
  ASSERT_TRUE(platform::writePropertyList(PropertyValue(old), AppDelegate::settingsFilePath()));
  MeasureHarness h;
  h.launch();
  EXPECT_EQ(h.bandwidthPopup.selectedTag(), 20);
  EXPECT_EQ(h.windowPopup.selectedTag(), 2);
  EXPECT_EQ(h.app.spectrum->windowShape(), WindowShape::Hann);
  EXPECT_EQ(h.app.sharedData.detectorMode, 1);
  const MeasureState& m = h.app.sharedData.measure;
  EXPECT_EQ(m.traceMode, 0);
  EXPECT_FALSE(m.precisePeak || m.deltaMarker || m.noiseMarker || m.peakTable || m.normalise || m.distortion);
  EXPECT_EQ(m.distortionReadout.upperHz, 20000);
  EXPECT_EQ(h.app.trace->traceMode(), TraceMode::average);

  // Stored values of the wrong kind are ignored, the setting stays off.
  h.app.applicationWillTerminate();
  PropertyDictionary odd = readSettings();
  odd.set("Trace Mode", PropertyValue(int64_t{7}));
  odd.set("Peak Table", PropertyValue("yes"));
  odd.set("Distortion Upper Limit", PropertyValue(-5.0));
  ASSERT_TRUE(platform::writePropertyList(PropertyValue(odd), AppDelegate::settingsFilePath()));
  MeasureHarness again;
  again.launch();
  EXPECT_EQ(again.app.sharedData.measure.traceMode, 0);
  EXPECT_FALSE(again.app.sharedData.measure.peakTable);
  EXPECT_EQ(again.app.sharedData.measure.distortionReadout.upperHz, 20000);
}

TEST(MeasureExport, ANormalisedCsvHoldsTheLevelRelativeToTheReference) {
  auto live = std::make_unique<TraceData>();
  auto reference = std::make_unique<TraceData>();
  for (TraceData* d : {live.get(), reference.get()}) {
    d->bins = 100;
    d->samplingRate = 200;
    d->binsPerHertz = 1;
    d->traces = 1;
  }
  for (int k = 0; k < 100; ++k) {
    reference->averaged[k] = static_cast<float>(1000 + 37 * k);
    live->averaged[k] = reference->averaged[k] * 3.981072f;  // 6 dB above
  }
  live->averaged[50] = 0;  // no power: left empty
  TraceExportSettings s;
  s.samplingRate = 200;
  s.endFrequency = 99;
  s.normalised = true;
  std::istringstream csv(traceCsv(s, *live, reference.get()));
  std::string line;
  int rows = 0;
  while (std::getline(csv, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (line.rfind("frequency", 0) == 0) {
      EXPECT_EQ(line, "frequency_hz,relative_db");
      continue;
    }
    const std::size_t comma = line.find(',');
    const int k = std::stoi(line.substr(0, comma));
    if (k == 50)
      EXPECT_EQ(line.substr(comma + 1), "");
    else
      EXPECT_NEAR(std::stod(line.substr(comma + 1)), 6.0, 1e-3) << line;
    ++rows;
  }
  EXPECT_EQ(rows, 100);
  // Not normalised: the levels and the reference's, as before.
  s.normalised = false;
  EXPECT_NE(traceCsv(s, *live, reference.get()).find("frequency_hz,level_db,reference_db\n"), std::string::npos);
}

// The readout reads the input with its own window: under a Hann display,
// whose leakage beside the fundamental's lobe would read as distortion and
// noise far above 100 dB down, THD+N is H3's −100 dBc alone, and the
// harmonics above the band it is set to are out of reach. The
// fundamental's level is the sine's mean square.
TEST_F(MeasureCommands, TheDistortionReadoutReadsThroughAWindowOfItsOwn) {
  MeasureHarness h;
  h.launch();
  h.windowPopup.pick(h.windowPopup.indexOfItemWithTag(2));
  h.app.setDistortionReadout(true);
  h.app.setDistortionUpperLimit(4500);
  const dsp::DistortionReading& r = h.app.sharedData.measure.distortionReadout.reading;
  EXPECT_FALSE(r.valid) << "nothing read yet";
  // 997 Hz at −6 dBFS with a third harmonic 100 dB below it.
  float block[AppDelegate::kBlockLength];
  for (int b = 0; b < 400; ++b) {
    for (float& s : block) {
      const double phase = 2 * std::numbers::pi * 997 * static_cast<double>(h.t++) / 48000;
      s = static_cast<float>(0.5 * std::sin(phase) + 0.5e-5 * std::sin(3 * phase));
    }
    h.app.newDataFromInput(block, 48000);
    h.mainThread.drain();
  }
  ASSERT_TRUE(r.valid);
  EXPECT_NEAR(r.fundamentalHz, 997, 0.01);
  EXPECT_NEAR(r.fundamentalDb, 10 * std::log10(0.125), 0.01);
  EXPECT_NEAR(r.harmonics[1].levelDb, -100, 0.1);
  EXPECT_NEAR(r.thdDb, -100, 0.1) << "H3 alone";
  EXPECT_NEAR(r.thdnDb, -100, 0.1) << "H3 alone, no leakage";
  EXPECT_EQ(r.harmonicsInBand, 3) << "H2, H3, H4 below 4.5 kHz";
  EXPECT_FALSE(r.harmonics[3].inBand);

  display::DistortionTexts texts;
  display::makeDistortionTexts(h.app.sharedData, texts);
  ASSERT_EQ(texts.count, 15);
  EXPECT_STREQ(texts.lines[0].data(), "Distortion  20 Hz – 4.5 kHz");
  EXPECT_STREQ(texts.lines[1].data(), "Fundamental  997.00 Hz  -9.03 dB");
  EXPECT_EQ(std::string(texts.lines[7].data()).rfind("H3  2991.0 Hz  -100.0", 0), 0u) << texts.lines[7].data();
  EXPECT_STREQ(texts.lines[9].data(), "H5  4985.0 Hz  out of reach");

  h.app.setDistortionUpperLimit(20000);
  EXPECT_FALSE(r.valid) << "a new band reads anew";
}

// The generator's tone in the normal mode: the button plays the field's
// frequency at the generator's level and switches the readout on; a tone
// the output cannot play is refused and the button goes back off; the
// tracking mode ends the tone and disables the button. The frequency is
// kept.
TEST_F(MeasureCommands, TheToneButtonPlaysTheFieldsFrequencyForTheReadout) {
  MeasureHarness h;
  FakeTextField toneField{"1 kHz"};
  FakeButton toneButton{"Play Tone"};
  h.app.toneFrequencyField = &toneField;
  h.app.toneButton = &toneButton;
  h.launch();
  toneButton.press();
  ASSERT_TRUE(h.generator.tone);
  EXPECT_EQ(h.generator.tone->frequencyHz, 1000);
  EXPECT_EQ(h.generator.tone->amplitude, h.generator.amplitude());
  EXPECT_TRUE(h.app.tonePlaying());
  EXPECT_TRUE(h.app.sharedData.measure.distortion);
  EXPECT_EQ(toneButton.title(), "Stop Tone");
  toneButton.press();
  EXPECT_FALSE(h.app.tonePlaying());
  EXPECT_EQ(h.log.count("generator.stopTone"), 1);
  EXPECT_EQ(toneButton.title(), "Play Tone");

  for (const char* refused : {"30000", "loud", "-5"}) {
    h.generator.tone.reset();
    toneField.setStringValue(refused);
    toneButton.press();
    EXPECT_FALSE(h.generator.tone) << refused;
    EXPECT_FALSE(h.app.tonePlaying()) << refused;
    EXPECT_EQ(toneButton.state(), 0) << refused;
  }

  toneField.setStringValue("997");
  toneButton.press();
  ASSERT_TRUE(h.app.tonePlaying());
  h.enterTrackingMode();
  EXPECT_FALSE(h.app.tonePlaying());
  EXPECT_FALSE(toneButton.isEnabled());
  h.app.applicationWillTerminate();
  EXPECT_EQ(readSettings().number("Generator Tone Frequency"), 997);
}

// The distortion sweep steps the generator's tone over its points and takes
// each point's reading once it settled: fed back the tone it plays, with a
// second harmonic 60 dB down, every point reads THD −60 dB, in order, and
// the tone ends after the last. The tone comes back 110000 samples late (its engine's first spectrum after a change ends 131072 samples on), so
// the first spectrum after a change straddles it (two tones in its window):
// it is left out, and no point reads the one before it.
TEST_F(MeasureCommands, TheDistortionSweepReadsEveryPointOfTheToneInOrder) {
  MeasureHarness h;
  h.launch();
  std::string error;
  ASSERT_TRUE(h.app.startDistortionSweep(100, 1600, 1, &error)) << error;
  const MeasureState::Distortion& d = h.app.sharedData.measure.distortionReadout;
  EXPECT_TRUE(h.app.sharedData.measure.distortion);
  double phase = 0, playing = 0, coming = 0;
  long long n = 0, arrives = 0;
  float block[AppDelegate::kBlockLength];
  for (int b = 0; b < 20000 && d.sweeping; ++b) {
    ASSERT_TRUE(h.generator.tone);
    if (h.generator.tone->frequencyHz != coming) {
      coming = h.generator.tone->frequencyHz;
      arrives = n + 110000;
    }
    for (float& s : block) {
      if (n++ >= arrives) playing = coming;
      const double step = 2 * std::numbers::pi * playing / 48000;
      s = static_cast<float>(0.5 * std::sin(phase) + 0.5e-3 * std::sin(2 * phase));
      phase = std::fmod(phase + step, 2 * std::numbers::pi);
    }
    h.app.newDataFromInput(block, 48000);
    h.mainThread.drain();
  }
  EXPECT_FALSE(d.sweeping);
  ASSERT_EQ(d.sweep.size(), 5u);
  for (std::size_t i = 0; i < d.sweep.size(); ++i) {
    EXPECT_DOUBLE_EQ(d.sweep[i].hz, 100.0 * (1 << i));
    EXPECT_NEAR(d.sweep[i].thdDb, -60, 0.1) << d.sweep[i].hz;
    EXPECT_NEAR(d.sweep[i].thdnDb, -60, 0.1) << d.sweep[i].hz;
  }
  EXPECT_FALSE(h.app.tonePlaying());
  EXPECT_EQ(h.log.count("generator.stopTone"), 1);
  // The export has a row per point, in order, each with the tone's level
  // and its reading.
  std::istringstream csv(h.app.distortionSweepCsv());
  std::string line;
  std::getline(csv, line);
  EXPECT_EQ(line.rfind("frequency_hz,level_dbfs,thd_db,", 0), 0u) << line;
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(std::getline(csv, line));
    EXPECT_EQ(line.rfind(std::to_string(100 << i) + ".000,-12.04,-60.0", 0), 0u) << line;
  }
  EXPECT_FALSE(std::getline(csv, line));

  // Refused: the tracking mode, and edges past half the rate.
  EXPECT_FALSE(h.app.startDistortionSweep(1000, 30000, 3, &error));
  EXPECT_FALSE(h.app.tonePlaying());
  h.enterTrackingMode();
  EXPECT_FALSE(h.app.startDistortionSweep(100, 1000, 3, &error));
  EXPECT_NE(error.find("normal mode"), std::string::npos) << error;
}

// Over level the sweep steps the tone's amplitude at one frequency: fed back
// through y = x + a·x², whose second harmonic is a·A/2 of a sine of
// amplitude A, THD rises 1 dB per dB of level, and every point reads
// 20·log10(a·A/2) with its level in the record and the export.
TEST_F(MeasureCommands, TheLevelSweepReadsEveryLevelOfTheToneInOrder) {
  MeasureHarness h;
  h.launch();
  std::string error;
  EXPECT_FALSE(h.app.startDistortionLevelSweep(1000, -40, 6, 10, &error)) << "above full scale";
  EXPECT_FALSE(h.app.startDistortionLevelSweep(1000, -40, 0, 0, &error)) << "no step";
  ASSERT_TRUE(h.app.startDistortionLevelSweep(1000, -40, 0, 10, &error)) << error;
  const MeasureState::Distortion& d = h.app.sharedData.measure.distortionReadout;
  EXPECT_TRUE(d.overLevel);
  constexpr double a = 0.02;
  double phase = 0, playing = 0, coming = 0;
  long long n = 0, arrives = 0;
  float block[AppDelegate::kBlockLength];
  for (int b = 0; b < 30000 && d.sweeping; ++b) {
    ASSERT_TRUE(h.generator.tone);
    EXPECT_EQ(h.generator.tone->frequencyHz, 1000);
    if (h.generator.tone->amplitude != coming) {
      coming = h.generator.tone->amplitude;
      arrives = n + 110000;
    }
    for (float& s : block) {
      if (n++ >= arrives) playing = coming;
      const double x = playing * std::sin(phase);
      s = static_cast<float>(x + a * x * x);
      phase = std::fmod(phase + 2 * std::numbers::pi * 1000 / 48000, 2 * std::numbers::pi);
    }
    h.app.newDataFromInput(block, 48000);
    h.mainThread.drain();
  }
  EXPECT_FALSE(d.sweeping);
  ASSERT_EQ(d.sweep.size(), 5u);
  for (std::size_t i = 0; i < d.sweep.size(); ++i) {
    const double dBFS = -40.0 + 10 * static_cast<double>(i);
    EXPECT_DOUBLE_EQ(d.sweep[i].levelDbfs, dBFS);
    EXPECT_DOUBLE_EQ(d.sweep[i].hz, 1000);
    EXPECT_NEAR(d.sweep[i].thdDb, 20 * std::log10(a * std::pow(10, dBFS / 20) / 2), 0.1) << dBFS << " dBFS";
  }
  EXPECT_FALSE(h.app.tonePlaying());
  std::istringstream csv(h.app.distortionSweepCsv());
  std::string line;
  std::getline(csv, line);
  ASSERT_TRUE(std::getline(csv, line));
  EXPECT_EQ(line.rfind("1000.000,-40.00,-80.0", 0), 0u) << line;
  // A frequency sweep after it runs against frequency again.
  ASSERT_TRUE(h.app.startDistortionSweep(100, 1600, 1, &error)) << error;
  EXPECT_FALSE(d.overLevel);
  h.app.stopDistortionSweep();
}

// With the SMPTE standard chosen the readout reads two tones' modulation
// products instead of harmonics, and the tone button plays the standard's
// pair, the amplitudes summing to the generator's. Fed 60 Hz and 7 kHz at
// 4:1 with the first sideband pair each 60 dB below 7 kHz, the second
// order reads the two sidebands' amplitudes summed over 7 kHz's,
// 20·log10(2·10⁻³) = −53.98 dB, and the reading is that order alone. The
// standard is kept; a distortion sweep ends it.
TEST_F(MeasureCommands, TheIntermodulationReadoutReadsTheStandardsPairThatTheToneButtonPlays) {
  MeasureHarness h;
  FakeTextField toneField{"1000"};
  FakeButton toneButton{"Play Tone"};
  h.app.toneFrequencyField = &toneField;
  h.app.toneButton = &toneButton;
  h.launch();
  h.app.setIntermodulationReadout(1);
  EXPECT_TRUE(h.app.sharedData.measure.distortion);
  toneButton.press();
  ASSERT_TRUE(h.generator.tone);
  EXPECT_EQ(h.generator.tone->frequencyHz, 60);
  EXPECT_EQ(h.generator.tone->secondFrequencyHz, 7000);
  EXPECT_EQ(h.generator.tone->secondRatio, 0.25);
  EXPECT_DOUBLE_EQ(h.generator.tone->amplitude * 1.25, h.generator.amplitude());

  const dsp::IntermodulationReading& r = h.app.sharedData.measure.distortionReadout.imd;
  float block[AppDelegate::kBlockLength];
  for (int b = 0; b < 400; ++b) {
    for (float& s : block) {
      const double t = 2 * std::numbers::pi * static_cast<double>(h.t++) / 48000;
      s = static_cast<float>(0.4 * std::sin(60 * t) + 0.1 * std::sin(7000 * t) + 1e-4 * std::sin(6940 * t) +
                             1e-4 * std::sin(7060 * t));
    }
    h.app.newDataFromInput(block, 48000);
    h.mainThread.drain();
  }
  ASSERT_TRUE(r.valid);
  EXPECT_NEAR(r.orders[0].levelDb, 20 * std::log10(2e-3), 0.1);
  EXPECT_NEAR(r.imdDb, 20 * std::log10(2e-3), 0.1) << "the higher orders hold nothing";
  display::DistortionTexts texts;
  display::makeDistortionTexts(h.app.sharedData, texts);
  ASSERT_GE(texts.count, 6);
  EXPECT_STREQ(texts.lines[0].data(), "Intermodulation (SMPTE)  60 Hz + 7 kHz");
  EXPECT_EQ(std::string(texts.lines[4].data()).rfind("IMD (SMPTE)  -53.9", 0), 0u) << texts.lines[4].data();

  std::string error;
  ASSERT_TRUE(h.app.startDistortionSweep(100, 1600, 1, &error)) << error;
  EXPECT_EQ(h.app.sharedData.measure.distortionReadout.intermodulation, 0);
  h.app.setIntermodulationReadout(2);
  EXPECT_FALSE(h.app.sharedData.measure.distortionReadout.sweeping);
  h.app.applicationWillTerminate();
  const PropertyDictionary settings = readSettings();
  ASSERT_TRUE(settings.string("Intermodulation Standard"));
  EXPECT_EQ(*settings.string("Intermodulation Standard"), "CCIF");
}
