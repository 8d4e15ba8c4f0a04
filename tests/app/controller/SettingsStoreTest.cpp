#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/ControllerHarness.h"
#include "platform/Log.h"
#include "platform/PropertyList.h"

using namespace app_fakes;
using platform::PropertyArray;
using platform::PropertyData;
using platform::PropertyDictionary;
using platform::PropertyValue;
namespace fs = std::filesystem;

namespace {

// The controller with the export settings too, launched against the settings
// file of this test program's own configuration folder.
struct SettingsHarness : ControllerHarness {
  FakeTextField printWidthField{"800"};
  FakeTextField printHeightField{"500"};
  FakePopUpButton printFormat{{{"PNG", 0}, {"JPEG", 1}, {"TIFF", 2}}};
  FakePopUpButton axisPopup{interface_menus::axisItems()};
  FakePopUpButton smoothingPopup{interface_menus::smoothingItems()};
  FakePopUpButton weightingPopup{interface_menus::weightingItems()};
  FakePopUpButton bandsPopup{interface_menus::bandItems()};
  FakePopUpButton logSweepLengthPopup{interface_menus::logSweepLengthItems()};
  FakePopUpButton logSweepScalePopup{interface_menus::logSweepScaleItems()};
  FakeTextField logSweepsField{"1"};
  FakeTextField logSweepReferenceField{""};
  FakeTextField printName{"~/spectrum"};
  FakeCheckbox printColorCheckbox;
  FakeCheckbox printBorderCheckbox;

  SettingsHarness() {
    app.printWidthField = &printWidthField;
    app.printHeightField = &printHeightField;
    app.printFormat = &printFormat;
    app.printName = &printName;
    app.printColorCheckbox = &printColorCheckbox;
    app.printBorderCheckbox = &printBorderCheckbox;
    app.axisPopup = &axisPopup;
    app.smoothingPopup = &smoothingPopup;
    app.weightingPopup = &weightingPopup;
    app.bandsPopup = &bandsPopup;
    app.logSweepLengthPopup = &logSweepLengthPopup;
    app.logSweepScalePopup = &logSweepScalePopup;
    app.logSweepsField = &logSweepsField;
    app.logSweepReferenceField = &logSweepReferenceField;
    logSweepLengthPopup.selectItemWithTag(18);
    logSweepScalePopup.selectItemWithTag(0);
    bandsPopup.selectItemWithTag(0);
    smoothingPopup.selectItemWithTag(0);
    weightingPopup.selectItemWithTag(0);
    printBorderCheckbox.setState(1);
    axisPopup.selectItemWithTag(1);
  }
};

std::string settingsFile() { return AppDelegate::settingsFilePath(); }

void removeSettings() {
  const fs::path file = settingsFile();
  std::error_code ignored;
  fs::create_directories(file.parent_path(), ignored);
  for (const auto& entry : fs::directory_iterator(file.parent_path(), ignored))
    fs::remove_all(entry.path(), ignored);
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

void writeSettings(const PropertyDictionary& settings) {
  ASSERT_TRUE(platform::writePropertyList(PropertyValue(settings), settingsFile()));
}

PropertyDictionary readSettings() {
  std::optional<PropertyValue> root = platform::readPropertyList(settingsFile());
  if (!root || !root->dictionary()) return {};
  return *root->dictionary();
}

PropertyData colorData(float r, float g, float b, float a) {
  const float c[4] = {r, g, b, a};
  PropertyData data(16);
  std::memcpy(data.data(), c, 16);  // little-endian, as on every machine we build for
  return data;
}

// Collects what is logged while it lives.
struct LogCapture {
  std::vector<std::string> lines;
  LogCapture() {
    platform::setLogSink([](std::string_view line, void* self) { static_cast<LogCapture*>(self)->lines.emplace_back(line); },
                         this);
  }
  ~LogCapture() { platform::resetLogSink(); }
};

class SettingsStore : public ::testing::Test {
 protected:
  void SetUp() override { removeSettings(); }
  void TearDown() override { removeSettings(); }
};

}  // namespace

TEST_F(SettingsStore, FirstRunUsesTheInterfaceAndSavesEveryKeyAfterTheOthersStoredTheirs) {
  {
    SettingsHarness h;
    h.launch();
    EXPECT_EQ(h.display.frame, "") << "no frame stored: the view opens at a size its screen suits";
    EXPECT_EQ(h.lowerSpanField.stringValue(), "0");
    EXPECT_EQ(h.upperSpanField.stringValue(), "24000");
    // The interface's axis (the window's is logarithmic).
    EXPECT_EQ(h.axisPopup.selectedTag(), 1);
    EXPECT_EQ(h.app.sharedData.axisScale, display::AxisScale::logarithmic);
    EXPECT_EQ(h.bandwidthPopup.selectedTag(), 10);
    EXPECT_EQ(h.printFormat.titleOfSelectedItem(), "PNG");
    EXPECT_FALSE(fs::exists(settingsFile())) << "nothing is written before the end of the run";
    h.app.applicationWillTerminate();
    h.app.applicationWillTerminate();  // a second request (window closed, then a signal) does nothing more

    EXPECT_EQ(h.log.count("input.terminate"), 1);
    EXPECT_LT(h.log.indexOf("input.pause"), h.log.indexOf("generator.terminate"));
    EXPECT_LT(h.log.indexOf("generator.terminate"), h.log.indexOf("input.terminate"));
  }
  const PropertyDictionary stored = readSettings();
  for (const char* key :
       {"Window position", "Window Background Color", "Display Background Color", "Display Graticule Color",
        "Display Curve Color", "Display Reference Color", "Display Caption Color", "Display Marker Color",
        "Print Background Color", "Print Graticule Color", "Print Curve Color", "Print Reference Color",
        "Print Caption Color", "Print Marker Color", "Title", "Span (lower)", "Span (upper)", "Log Bandwidth",
        "Filter Type", "Detector Mode", "Trace Average", "Ref Level", "Divisions", "Print Width", "Print Height",
        "Print Format", "Use Display Color For Printing", "Print Border", "Export Name Prefix", "Show Date",
        "Frequency Axis", "Smoothing", "Weighting", "Bands", "Log Sweep Length", "Log Sweeps",
        "Log Sweep Reference Channel", "Log Sweep Right Scale"})
    EXPECT_NE(stored.find(key), nullptr) << key;
  EXPECT_EQ(stored.find("Log Bandwidth")->type(), PropertyValue::Type::integer);
  EXPECT_EQ(stored.find("Frequency Axis")->type(), PropertyValue::Type::integer);
  EXPECT_EQ(*stored.string("Weighting"), "Z");
  EXPECT_EQ(stored.find("Span (lower)")->type(), PropertyValue::Type::string);
  EXPECT_EQ(stored.find("Print Border")->type(), PropertyValue::Type::boolean);
  EXPECT_EQ(stored.data("Display Curve Color")->size(), 16u);
}

TEST_F(SettingsStore, EveryControlComesBackAfterARestartAndUnknownKeysSurviveInTheirKind) {
  PropertyDictionary unknown;
  unknown.set("Newer Feature", PropertyValue(int64_t{9007199254740993}));
  unknown.set("Largest", PropertyValue(int64_t{INT64_MAX}));
  unknown.set("Negative", PropertyValue(int64_t{-5}));
  unknown.set("Gain", PropertyValue(0.1));
  unknown.set("Blob", PropertyValue(PropertyData{0, 1, 2, 255}));
  unknown.set("When", PropertyValue(platform::PropertyDate{86400.0 * 365}));
  PropertyDictionary nested;
  nested.set("Inner", PropertyValue(PropertyArray{PropertyValue("a"), PropertyValue(true)}));
  unknown.set("Nested", PropertyValue(nested));
  writeSettings(unknown);

  const ui::Color curve{0.1f, 0.2f, 0.3f, 0.4f};
  {
    SettingsHarness h;
    h.launch();
    h.display.frame = "10 20 640 480 0 0 1920 1080 ";
    h.titleField.enter("Amplifier 7");
    h.lowerSpanField.enter("100");
    h.upperSpanField.enter("5000");
    h.bandwidthPopup.pick(h.bandwidthPopup.indexOfItemWithTag(20));
    h.windowPopup.pick(h.windowPopup.indexOfItemWithTag(2));
    h.detectorPopup.pick(h.detectorPopup.indexOfItemWithTag(1));
    h.traceAverageField.enter("8");
    h.referenceLevelField.enter("-20");
    h.divisionPopup.pick(h.divisionPopup.indexOfItemWithTag(5));
    h.printWidthField.enter("1200");
    h.printHeightField.enter("700");
    h.printFormat.pick(2);
    h.printColorCheckbox.click();
    h.printName.enter("/srv/plots/amp 7");
    h.showDateCheckbox.click();
    h.axisPopup.pick(h.axisPopup.indexOfItemWithTag(0));
    h.smoothingPopup.pick(h.smoothingPopup.indexOfItemWithTag(6));
    h.weightingPopup.pick(h.weightingPopup.indexOfItemWithTag(1));
    h.bandsPopup.pick(h.bandsPopup.indexOfItemWithTag(3));
    h.logSweepLengthPopup.pick(h.logSweepLengthPopup.indexOfItemWithTag(20));
    h.logSweepScalePopup.pick(h.logSweepScalePopup.indexOfItemWithTag(2));
    h.logSweepsField.enter("4");
    h.logSweepReferenceField.enter("2");
    EXPECT_EQ(h.app.sharedData.bands, 3);
    EXPECT_EQ(h.app.sharedData.treatment, (SharedData::Treatment{1, 6}));
    h.wells[3].choose(curve);
    h.app.applicationWillTerminate();
  }
  SettingsHarness h;
  h.launch();
  EXPECT_EQ(h.display.frame, "10 20 640 480 0 0 1920 1080 ");
  EXPECT_EQ(h.titleField.stringValue(), "Amplifier 7");
  EXPECT_EQ(h.lowerSpanField.stringValue(), "100");
  EXPECT_EQ(h.upperSpanField.stringValue(), "5000");
  EXPECT_EQ(h.bandwidthPopup.selectedTag(), 20);
  EXPECT_EQ(h.windowPopup.selectedTag(), 2);
  EXPECT_EQ(h.detectorPopup.selectedTag(), 1);
  EXPECT_EQ(h.traceAverageField.stringValue(), "8");
  EXPECT_EQ(h.referenceLevelField.stringValue(), "-20");
  EXPECT_EQ(h.divisionPopup.selectedTag(), 5);
  EXPECT_EQ(h.printWidthField.stringValue(), "1200");
  EXPECT_EQ(h.printHeightField.stringValue(), "700");
  EXPECT_EQ(h.printFormat.titleOfSelectedItem(), "TIFF");
  EXPECT_TRUE(h.printColorCheckbox.isOn());
  EXPECT_EQ(h.printName.stringValue(), "/srv/plots/amp 7");
  EXPECT_TRUE(h.showDateCheckbox.isOn());
  EXPECT_EQ(h.axisPopup.selectedTag(), 0) << "the linear axis chosen against the interface's";
  EXPECT_EQ(h.app.sharedData.axisScale, display::AxisScale::linear);
  EXPECT_EQ(h.smoothingPopup.selectedTag(), 6);
  EXPECT_EQ(h.weightingPopup.selectedTag(), 1);
  EXPECT_EQ(h.bandsPopup.selectedTag(), 3);
  EXPECT_EQ(h.logSweepLengthPopup.selectedTag(), 20);
  EXPECT_EQ(h.logSweepScalePopup.selectedTag(), 2);
  EXPECT_EQ(h.logSweepsField.stringValue(), "4");
  EXPECT_EQ(h.logSweepReferenceField.stringValue(), "2");
  EXPECT_EQ(h.app.sharedData.bands, 3);
  EXPECT_EQ(h.app.sharedData.treatment, (SharedData::Treatment{1, 6}));
  EXPECT_EQ(*readSettings().string("Weighting"), "A");
  EXPECT_EQ(h.wells[3].color(), curve);
  // ...and the handlers turned them into the analyzer's state.
  EXPECT_EQ(h.app.sharedData.title, "Amplifier 7");
  EXPECT_EQ(h.app.sharedData.printDate, 1);
  EXPECT_FLOAT_EQ(h.app.sharedData.span.endFrequency, 5000.0f);
  EXPECT_NEAR(h.app.sharedData.refScale, 0.01f, 1e-8f);
  EXPECT_EQ(h.app.colorPalette.curve, RGBAColor::rgba(0.1f, 0.2f, 0.3f, 0.4f));
  EXPECT_EQ(h.printView.palette, &h.app.colorPalette) << "display colours for printing";

  const PropertyDictionary stored = readSettings();
  for (const auto& [key, value] : unknown) {
    ASSERT_NE(stored.find(key), nullptr) << key;
    EXPECT_EQ(*stored.find(key), value) << key;
  }
}

TEST_F(SettingsStore, AFileWrittenBeforeTheAxisChoiceKeepsTheLinearAxisAndItsSpan) {
  PropertyDictionary older;
  older.set("Span (lower)", PropertyValue("0"));
  older.set("Span (upper)", PropertyValue("24000"));
  writeSettings(older);
  {
    SettingsHarness h;
    h.launch();
    EXPECT_EQ(h.axisPopup.selectedTag(), 0);
    EXPECT_EQ(h.app.sharedData.axisScale, display::AxisScale::linear);
    EXPECT_EQ(h.lowerSpanField.stringValue(), "0");
    EXPECT_EQ(h.upperSpanField.stringValue(), "24000");
  }
  // An axis, smoothing or weighting this build does not know is read as
  // the first one (linear, off), or leaves the interface's (Z).
  older.set("Frequency Axis", PropertyValue(int64_t{7}));
  older.set("Smoothing", PropertyValue(int64_t{5}));
  older.set("Weighting", PropertyValue("B"));
  writeSettings(older);
  SettingsHarness h;
  h.launch();
  EXPECT_EQ(h.axisPopup.selectedTag(), 0);
  EXPECT_EQ(h.app.sharedData.axisScale, display::AxisScale::linear);
  EXPECT_EQ(h.smoothingPopup.selectedTag(), 0);
  EXPECT_EQ(h.weightingPopup.selectedTag(), 0);
  EXPECT_EQ(h.app.sharedData.treatment, SharedData::Treatment{});
}

TEST_F(SettingsStore, StoredValuesThatCannotBeUsedLeaveTheInterfaceValues) {
  PropertyDictionary settings;
  settings.set("Span (lower)", "5000");
  settings.set("Span (upper)", "1000");         // not above the lower edge: neither field changes
  settings.set("Log Bandwidth", int64_t{7});    // no such item: the first one
  settings.set("Filter Type", "2");             // a number as text still says which
  settings.set("Detector Mode", 1e300);         // beyond any tag: the pop-up keeps its item
  settings.set("Divisions", int64_t{3});        // no such item, and no fallback
  settings.set("Print Border", false);          // without "Use Display Color For Printing": ignored
  settings.set("Title", int64_t{42});           // read through its text
  settings.set("Ref Level", "nan");             // not a level
  settings.set("Trace Average", std::string(100000, '9'));  // not something a person typed
  settings.set("Display Curve Color", PropertyData{1, 2, 3});            // too short
  settings.set("Display Graticule Color", colorData(0.5f, NAN, 0, 1));  // not a colour
  settings.set("Display Caption Color", "red");                         // not data
  settings.set("Window position", int64_t{5});
  settings.set("Print Format", "GIF");  // no such format: the first one
  writeSettings(settings);

  SettingsHarness h;
  const ui::Color curve = h.wells[3].color(), graticule = h.wells[2].color(), caption = h.wells[4].color();
  h.printFormat.selectItemAtIndex(1);
  h.launch();
  EXPECT_EQ(h.lowerSpanField.stringValue(), "0");
  EXPECT_EQ(h.upperSpanField.stringValue(), "24000");
  EXPECT_EQ(h.bandwidthPopup.selectedTag(), 0);
  EXPECT_EQ(h.windowPopup.selectedTag(), 2);
  EXPECT_EQ(h.detectorPopup.selectedTag(), 3);
  EXPECT_EQ(h.divisionPopup.selectedTag(), 10);
  EXPECT_TRUE(h.printBorderCheckbox.isOn());
  EXPECT_EQ(h.titleField.stringValue(), "42");
  EXPECT_EQ(h.referenceLevelField.stringValue(), "0");
  EXPECT_EQ(h.traceAverageField.stringValue(), "1");
  EXPECT_EQ(h.wells[3].color(), curve);
  EXPECT_EQ(h.wells[2].color(), graticule);
  EXPECT_EQ(h.wells[4].color(), caption);
  EXPECT_EQ(h.display.frame, "");
  EXPECT_EQ(h.printFormat.titleOfSelectedItem(), "PNG");
}

TEST_F(SettingsStore, BinaryFilesLoadAndAreWrittenBackAsXml) {
  fs::copy_file(fs::path(SPECAN_TEST_DATA) / "settings-binary.plist", settingsFile());
  {
    SettingsHarness h;
    h.launch();
    EXPECT_EQ(h.titleField.stringValue(), "Binary bench");
    EXPECT_EQ(h.upperSpanField.stringValue(), "5000");
    EXPECT_EQ(h.bandwidthPopup.selectedTag(), 20);
    EXPECT_EQ(h.wells[3].color(), (ui::Color{0.25f, 0.5f, 0.75f, 1.0f}));
    EXPECT_TRUE(h.printColorCheckbox.isOn());
    h.app.applicationWillTerminate();
  }
  EXPECT_EQ(readFile(settingsFile()).rfind("<?xml", 0), 0u);
}

TEST_F(SettingsStore, AnUnreadableFileIsKeptAsideAndSaid) {
  const std::string damaged = "<?xml version=\"1.0\"?><plist><dict><key>Title</key><string>half";
  writeFile(settingsFile(), damaged);
  LogCapture logged;
  {
    SettingsHarness h;
    h.launch();
    EXPECT_EQ(h.titleField.stringValue(), "Filter response");
    h.app.applicationWillTerminate();
  }
  ASSERT_EQ(logged.lines.size(), 1u);
  EXPECT_NE(logged.lines[0].find(settingsFile() + ".bad"), std::string::npos) << logged.lines[0];
  EXPECT_EQ(readFile(settingsFile() + ".bad"), damaged);
  EXPECT_NE(readSettings().find("Title"), nullptr) << "a fresh file holds this run's settings";
}

TEST_F(SettingsStore, AFailedWriteIsReportedAndLeavesThePreviousFile) {
  PropertyDictionary previous;
  previous.set("Title", "Yesterday");
  writeSettings(previous);
  const std::string before = readFile(settingsFile());

  // A full disk: no file may grow beyond a few bytes (this holds for root too).
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit tiny = saved;
  tiny.rlim_cur = 64;
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  LogCapture logged;
  {
    SettingsHarness h;
    h.launch();
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tiny), 0);
    h.app.applicationWillTerminate();
    setrlimit(RLIMIT_FSIZE, &saved);
  }
  std::signal(SIGXFSZ, oldHandler);
  ASSERT_EQ(logged.lines.size(), 1u);
  EXPECT_NE(logged.lines[0].find("could not be saved"), std::string::npos) << logged.lines[0];
  EXPECT_EQ(readFile(settingsFile()), before);
  for (const auto& entry : fs::directory_iterator(fs::path(settingsFile()).parent_path()))
    EXPECT_EQ(entry.path(), settingsFile()) << "no temporary file is left behind";
}

TEST_F(SettingsStore, AFolderThatCannotBeMadeIsReported) {
  const char* saved = std::getenv("XDG_CONFIG_HOME");
  const std::string restore = saved ? saved : "";
  // Nothing can be made inside /proc, not even by root.
  ::setenv("XDG_CONFIG_HOME", "/proc/self/specan-settings", 1);
  LogCapture logged;
  {
    SettingsHarness h;
    h.launch();
    h.app.applicationWillTerminate();
  }
  ::setenv("XDG_CONFIG_HOME", restore.c_str(), 1);
  ASSERT_EQ(logged.lines.size(), 1u);
  EXPECT_NE(logged.lines[0].find("/proc/self/specan-settings/org.specan.SpecAn.plist"), std::string::npos);
}
