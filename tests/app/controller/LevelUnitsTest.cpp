// The levels' unit and the input calibrations behind it: both come back
// after a restart (an older settings file reads dB), a calibration file that
// is gone at start is said and leaves the levels in dB, and calibrating from
// a tone of known level makes the peak reading read that level in every
// unit, at any RBW and window.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <unistd.h>
#include <string>
#include <vector>

#include "app/ControllerHarness.h"
#include "dsp/SensorResponse.h"
#include "dsp/SweepDeconvolution.h"
#include "platform/Log.h"
#include "platform/PropertyList.h"

using namespace app_fakes;
using dsp::LevelUnit;
using platform::PropertyDictionary;
using platform::PropertyValue;
namespace fs = std::filesystem;

namespace {

struct UnitsHarness : ControllerHarness {
  FakePopUpButton unitPopup{interface_menus::levelUnitItems()};
  std::vector<std::string> status;
  std::string unitShown;
  long long t = 0;

  UnitsHarness() {
    app.unitPopup = &unitPopup;
    input.device = "USB Interface";
    input.inputChannel = 1;
    app.showStatus = [this](const std::string& line) { status.push_back(line); };
    app.showLevelUnit = [this](const std::string& unit) { unitShown = unit; };
  }
  std::string title(LevelUnit unit) const {
    return unitPopup.itemTitleAtIndex(unitPopup.indexOfItemWithTag(static_cast<int>(unit)));
  }
  void pickUnit(LevelUnit unit) { unitPopup.pick(unitPopup.indexOfItemWithTag(static_cast<int>(unit))); }
  bool said(const std::string& part) const {
    for (const std::string& line : status)
      if (line.find(part) != std::string::npos) return true;
    return false;
  }
  void moveTo(int32_t channel) {
    input.inputChannel = channel;
    app.inputChanged();
  }
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
  // What the peak reading reads now, in the unit in use.
  double reading() {
    const std::optional<AppDelegate::LiveLevel> live = app.measureLiveLevel();
    EXPECT_TRUE(live && live->peak);
    return live ? app.sharedData.levelScale.fromDb(live->dB) : NAN;
  }
  std::string readingText() { return dsp::formatLevel(reading(), app.levelUnitInUse()); }
};

struct LogCapture {
  std::vector<std::string> lines;
  LogCapture() {
    platform::setLogSink(
        [](std::string_view line, void* self) { static_cast<LogCapture*>(self)->lines.emplace_back(line); }, this);
  }
  ~LogCapture() { platform::resetLogSink(); }
};

PropertyDictionary readSettings() {
  std::optional<PropertyValue> root = platform::readPropertyList(AppDelegate::settingsFilePath());
  return root && root->dictionary() ? *root->dictionary() : PropertyDictionary{};
}

const PropertyDictionary* channelEntry(const PropertyDictionary& settings, const char* device, const char* channel) {
  const PropertyDictionary* devices = settings.dictionary("Input Calibration");
  const PropertyDictionary* channels = devices ? devices->dictionary(device) : nullptr;
  return channels ? channels->dictionary(channel) : nullptr;
}

class LevelUnits : public ::testing::Test {
 protected:
  void SetUp() override { clear(); }
  void TearDown() override { clear(); }
  void clear() {
    std::error_code ignored;
    fs::remove(AppDelegate::settingsFilePath(), ignored);
    fs::remove_all(folder, ignored);
    fs::create_directories(folder, ignored);
  }
  const fs::path folder = fs::temp_directory_path() / ("specan-units-" + std::to_string(::getpid()));
};

}  // namespace

TEST_F(LevelUnits, TheUnitAndEachChannelsCalibrationComeBackAfterARestart) {
  {
    UnitsHarness h;
    h.launch();
    EXPECT_EQ(h.app.levelUnitInUse(), LevelUnit::dB);
    EXPECT_EQ(h.title(LevelUnit::dBFS), "dBFS");
    EXPECT_EQ(h.title(LevelUnit::dBu), "dBu (uncalibrated)");
    // Without a full-scale voltage dBu is refused and dB stays.
    h.pickUnit(LevelUnit::dBu);
    EXPECT_EQ(h.app.levelUnitInUse(), LevelUnit::dB);
    EXPECT_EQ(h.unitPopup.selectedTag(), static_cast<int>(LevelUnit::dB));
    EXPECT_TRUE(h.said("give the full-scale voltage"));

    std::string error;
    EXPECT_FALSE(h.app.setFullScaleLevel("4 parsecs", &error));
    EXPECT_FALSE(error.empty());
    ASSERT_TRUE(h.app.setFullScaleLevel("+4dBu", &error)) << error;
    EXPECT_EQ(h.title(LevelUnit::dBu), "dBu");
    EXPECT_EQ(h.title(LevelUnit::dBSPL), "dB SPL (uncalibrated)");
    h.referenceLevelField.enter("-20");
    h.pickUnit(LevelUnit::dBu);
    EXPECT_EQ(h.app.levelUnitInUse(), LevelUnit::dBu);
    EXPECT_EQ(h.unitShown, "dBu");
    EXPECT_EQ(h.app.sharedData.levelsCalibration, "0 dBFS = +4.00 dBu");
    // The reference level is the same level, shown in dBu: -20 dB + 3.01 + 4.
    EXPECT_EQ(h.referenceLevelField.stringValue(), "-12.99");
    EXPECT_NEAR(h.app.sharedData.refScale, 0.01f, 1e-8f);
    // Typed in dBu, taken in dBu.
    h.referenceLevelField.enter("-2.99");
    EXPECT_NEAR(10 * std::log10(h.app.sharedData.refScale), -10.0, 1e-3);

    // Channel 2 of the same device has its own calibration, none yet: the
    // levels read dB there, and say so.
    h.status.clear();
    h.moveTo(2);
    EXPECT_EQ(h.app.levelUnitInUse(), LevelUnit::dB);
    EXPECT_TRUE(h.said("dBu on USB Interface, channel 2"));
    EXPECT_EQ(h.referenceLevelField.stringValue(), "-10");
    ASSERT_TRUE(h.app.setFullScaleLevel("1.228V", &error)) << error;
    ASSERT_TRUE(h.app.setSensitivity("-38dBV/Pa", &error)) << error;
    EXPECT_EQ(h.app.levelUnitInUse(), LevelUnit::dBu) << "the chosen unit, once the channel can read in it";
    h.moveTo(1);
    EXPECT_EQ(h.title(LevelUnit::dBSPL), "dB SPL (uncalibrated)");
    h.app.applicationWillTerminate();
  }
  const PropertyDictionary stored = readSettings();
  ASSERT_NE(stored.string("Level Unit"), nullptr);
  EXPECT_EQ(*stored.string("Level Unit"), "dbu");
  EXPECT_NEAR(std::stod(*stored.string("Ref Level")), -2.99 - 4 - 10 * std::log10(2.0), 1e-6)
      << "kept in dB for every build";
  const PropertyDictionary* one = channelEntry(stored, "USB Interface", "1");
  const PropertyDictionary* two = channelEntry(stored, "USB Interface", "2");
  ASSERT_TRUE(one && two);
  EXPECT_NEAR(*one->number("Full Scale Volts"), std::sqrt(0.6) * std::pow(10, 4.0 / 20), 1e-9);
  EXPECT_EQ(one->find("Volts Per Pascal"), nullptr);
  EXPECT_NEAR(*two->number("Volts Per Pascal"), std::pow(10, -38.0 / 20), 1e-9);

  {
    UnitsHarness h;
    h.launch();
    EXPECT_EQ(h.app.levelUnitInUse(), LevelUnit::dBu);
    EXPECT_EQ(h.referenceLevelField.stringValue(), "-2.99");
    EXPECT_NEAR(10 * std::log10(h.app.sharedData.refScale), -10.0, 1e-3);
    h.moveTo(2);
    EXPECT_EQ(h.title(LevelUnit::dBSPL), "dB SPL");
    h.pickUnit(LevelUnit::dBSPL);
    EXPECT_EQ(h.app.levelUnitInUse(), LevelUnit::dBSPL);
    EXPECT_EQ(h.app.sharedData.levelsCalibration, "0 dBFS = +4.00 dBu, 12.59 mV/Pa");
    // Removed values leave no empty entries behind.
    std::string error;
    ASSERT_TRUE(h.app.setFullScaleLevel("", &error));
    ASSERT_TRUE(h.app.setSensitivity(" ", &error));
    EXPECT_EQ(h.app.levelUnitInUse(), LevelUnit::dB);
    EXPECT_EQ(channelEntry(h.app.plist, "USB Interface", "2"), nullptr);
  }

  // A file from before units reads dB, its reference level as it was.
  PropertyDictionary old;
  old.set("Ref Level", PropertyValue("-20"));
  ASSERT_TRUE(platform::writePropertyList(PropertyValue(old), AppDelegate::settingsFilePath()));
  UnitsHarness h;
  h.launch();
  EXPECT_EQ(h.app.levelUnitInUse(), LevelUnit::dB);
  EXPECT_EQ(h.app.chosenLevelUnit(), LevelUnit::dB);
  EXPECT_EQ(h.referenceLevelField.stringValue(), "-20");
  EXPECT_TRUE(h.app.sharedData.levelsCalibration.empty());
  EXPECT_TRUE(h.status.empty()) << h.status.front();
}

TEST_F(LevelUnits, ACalibrationFileMissingAtStartIsSaidAndTheLevelsReadDb) {
  const std::string mic = (folder / "mic.txt").string();
  std::ofstream(mic) << "\"Sens Factor =-1.378dB\"\n20 -0.5\n1000 0.0\n20000 1.5\n";
  const std::string bad = (folder / "bad.txt").string();
  std::ofstream(bad) << "20 -0.5\n315 0.1\n250 0.2\n";
  {
    UnitsHarness h;
    h.launch();
    std::string error;
    ASSERT_TRUE(h.app.setFullScaleLevel("1.228 V", &error));
    ASSERT_TRUE(h.app.setSensitivity("12.5mV/Pa", &error));
    ASSERT_TRUE(h.app.loadCalibrationFile(mic, &error)) << error;
    // A file refused says its line and changes nothing.
    EXPECT_FALSE(h.app.loadCalibrationFile(bad, &error));
    EXPECT_NE(error.find("line 3"), std::string::npos) << error;
    EXPECT_EQ(h.app.presentCalibration().calibrationFile, mic);
    h.pickUnit(LevelUnit::dBSPL);
    ASSERT_EQ(h.app.levelUnitInUse(), LevelUnit::dBSPL);
    ASSERT_NE(h.app.sharedData.sensorResponse, nullptr);
    EXPECT_NEAR(h.app.sharedData.sensorResponse->responseDb(20000), 1.5, 1e-9);
    EXPECT_EQ(h.app.sharedData.levelsCalibration, "0 dBFS = +4.00 dBu, 12.50 mV/Pa, response of mic.txt");
    h.app.applicationWillTerminate();
  }
  fs::remove(mic);
  {
    LogCapture log;
    UnitsHarness h;
    h.launch();
    EXPECT_EQ(h.app.levelUnitInUse(), LevelUnit::dB);
    EXPECT_EQ(h.unitPopup.selectedTag(), static_cast<int>(LevelUnit::dB));
    EXPECT_EQ(h.app.sharedData.sensorResponse, nullptr);
    EXPECT_TRUE(h.app.sharedData.levelsCalibration.empty());
    EXPECT_TRUE(h.said("The calibration file " + mic + " of USB Interface, channel 1 could not be read"));
    bool logged = false;
    for (const std::string& line : log.lines) logged |= line.find(mic) != std::string::npos;
    EXPECT_TRUE(logged) << "said on stderr too";
    // dB SPL waits for the file to be fixed.
    h.pickUnit(LevelUnit::dBSPL);
    EXPECT_EQ(h.app.levelUnitInUse(), LevelUnit::dB);
    h.app.applicationWillTerminate();
  }
  // The path and the unit stay, for the user to put the file back.
  const PropertyDictionary stored = readSettings();
  ASSERT_NE(stored.string("Level Unit"), nullptr);
  EXPECT_EQ(*stored.string("Level Unit"), "dbspl");
  ASSERT_NE(channelEntry(stored, "USB Interface", "1"), nullptr);
  EXPECT_EQ(*channelEntry(stored, "USB Interface", "1")->string("Calibration File"), mic);
}

// A 1 kHz sine of amplitude 0.3 (between bins at every RBW): through a
// 1.228 V full scale it is 0.368 V, and told it is 94.0 dB SPL (1.002 Pa)
// the sensitivity becomes 367.5 mV/Pa. The peak reading is within 0.01 dB of
// the sine's level at any window and RBW, so it keeps reading 94.0.
TEST_F(LevelUnits, CalibratedFromAToneOfKnownLevelThePeakReadsItAtEveryRbwAndWindow) {
  UnitsHarness h;
  h.launch();
  std::string error;
  ASSERT_TRUE(h.app.setFullScaleLevel("1.228V", &error));
  ASSERT_TRUE(h.app.setSensitivity("50mV/Pa", &error)) << "a wrong one, to be replaced";
  EXPECT_FALSE(h.app.calibrateTo(94.0, LevelUnit::dBSPL, &error)) << "no signal yet";
  EXPECT_FALSE(h.app.calibrateTo(0.0, LevelUnit::dBFS, &error));
  h.play(1000, 0.3, 400);
  ASSERT_TRUE(h.app.calibrateTo(94.0, LevelUnit::dBSPL, &error)) << error;
  const double pascals = 20e-6 * std::pow(10, 94.0 / 20);
  EXPECT_NEAR(*h.app.presentCalibration().levels.voltsPerPascal, 1.228 * 0.3 / pascals, 1.228 * 0.3 / pascals * 1e-3);
  h.pickUnit(LevelUnit::dBSPL);
  ASSERT_EQ(h.app.levelUnitInUse(), LevelUnit::dBSPL);
  EXPECT_NEAR(h.reading(), 94.0, 0.01);
  for (int rbw : {10, 20})
    for (int window : {1, 3}) {  // Gaussian, flat-top
      h.bandwidthPopup.pick(h.bandwidthPopup.indexOfItemWithTag(rbw));
      h.windowPopup.pick(h.windowPopup.indexOfItemWithTag(window));
      h.play(1000, 0.3, 400);
      EXPECT_NEAR(h.reading(), 94.0, 0.01) << "RBW tag " << rbw << ", window " << window;
    }
  // A sensitivity needs the full-scale level it is relative to.
  ASSERT_TRUE(h.app.setFullScaleLevel("", &error));
  EXPECT_FALSE(h.app.calibrateTo(94.0, LevelUnit::dBSPL, &error));
  EXPECT_NE(error.find("full-scale"), std::string::npos) << error;
}

TEST_F(LevelUnits, ToldAFullScaleSineIsPlus4DbuTheMarkerReadsItInEveryVoltageUnit) {
  UnitsHarness h;
  h.bandwidthPopup.selectItemWithTag(20);
  h.launch();
  h.play(3000, 1.0, 200);
  std::string error;
  ASSERT_TRUE(h.app.calibrateTo(4.0, LevelUnit::dBu, &error)) << error;
  EXPECT_NEAR(*h.app.presentCalibration().levels.fullScaleVolts, 1.2277, 1e-3);
  h.pickUnit(LevelUnit::dBu);
  EXPECT_EQ(h.readingText(), "+4.00 dBu");
  h.pickUnit(LevelUnit::dBV);
  EXPECT_EQ(h.readingText(), "+1.78 dBV");
  h.pickUnit(LevelUnit::volt);
  EXPECT_EQ(h.readingText(), "1.228 V");
  EXPECT_EQ(h.unitShown, "V");
  h.pickUnit(LevelUnit::dBFS);
  EXPECT_NEAR(h.reading(), 0.0, 0.01);
}

// A log sweep's harmonics beside the trace lose a microphone's response at
// their own frequencies: with one that rises 10 dB a decade, H2 reads
// 10·log10(2) = 3.01 dB and H3 10·log10(3) = 4.77 dB below what came back.
TEST_F(LevelUnits, ALogSweepsHarmonicsLoseTheSensorsResponseAtTheirOwnFrequencies) {
  UnitsHarness h;
  std::string error;
  std::optional<dsp::SensorResponse> rising = dsp::SensorResponse::make({{10, 0, {}}, {100000, 40, {}}}, std::nullopt, &error);
  ASSERT_TRUE(rising) << error;
  h.app.sharedData.sensorResponse = std::make_shared<const dsp::SensorResponse>(*rising);
  dsp::SweepResponse r;
  r.frequencyHz = {100, 1000};
  r.magnitudeDb = r.phaseDeg = r.unwrappedPhaseDeg = r.groupDelayMs = {0, 0};
  r.harmonicDb = {{-50, -50}, {-60, -60}, {-70, -70}, {-80, -80}};
  h.app.showSweptResponse(r);
  const SharedData::SweptResponse& shown = h.app.sharedData.sweptResponse;
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_NEAR(shown.h2Db[i], -50 - 10 * std::log10(2.0), 1e-9);
    EXPECT_NEAR(shown.h3Db[i], -60 - 10 * std::log10(3.0), 1e-9);
  }
}
