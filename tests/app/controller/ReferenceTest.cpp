#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/ControllerHarness.h"
#include "app/formats/ReferenceFile.h"
#include "ui/Panels.h"

using namespace app_fakes;
namespace fs = std::filesystem;

namespace {

// Panels that answer with the paths queued (none: cancelled) and keep the alerts.
struct ScriptedPanels final : ui::Panels {
  std::deque<std::optional<std::string>> answers;
  std::vector<std::string> alerts;
  std::optional<std::string> next() {
    if (answers.empty()) return std::nullopt;
    std::optional<std::string> answer = answers.front();
    answers.pop_front();
    return answer;
  }
  std::optional<std::string> runSavePanel(const std::string&, const std::string& proposed, const std::string&) override {
    EXPECT_EQ(proposed, "reference.xml");
    return next();
  }
  std::optional<std::string> runOpenPanel(const std::string&, const std::string& proposed, const std::string&) override {
    EXPECT_EQ(proposed, "reference.xml");
    return next();
  }
  void showAlert(const std::string& message, const std::string& detail) override { alerts.push_back(message + ": " + detail); }
};

struct ReferenceHarness : ControllerHarness {
  ScriptedPanels panels;
  fs::path folder = fs::path(std::getenv("XDG_CONFIG_HOME")) / "references";
  ReferenceHarness() {
    ui::Panels::install(&panels);
    fs::remove_all(folder);
    fs::create_directories(folder);
    launch();
  }
  ~ReferenceHarness() { ui::Panels::install(nullptr); }

  // A live trace of n bins at 48 kHz whose values are no round numbers.
  void fillLiveTrace(int n, float scale = 1.0f) {
    TraceData* t = app.trace->traceData();
    t->bins = n;
    t->samplingRate = 48000.0f;
    t->binsPerHertz = PlotTrace::binsPerHertz(n, 48000.0f);
    for (int i = 0; i < n; ++i) t->averaged[i] = scale * std::ldexp(1.0f + 0.3183099f * static_cast<float>(i % 97), -(i % 60));
  }
  std::string file(const char* name) const { return (folder / name).string(); }
  void save(const std::string& path) {
    panels.answers.push_back(path);
    app.saveReference();
  }
  void load(const std::string& path) {
    panels.answers.push_back(path);
    app.drawReference();
  }
};

void writeText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string referenceXml(const std::string& entries) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>" + entries + "</dict></plist>";
}

}  // namespace

TEST(Reference, ASavedTraceLoadsBackBitForBit) {
  ReferenceHarness h;
  h.fillLiveTrace(65536);
  h.save(h.file("reference.xml"));
  EXPECT_FALSE(h.app.showsReference()) << "saving does not show the reference";
  EXPECT_EQ(h.log.count("display.setReference"), 0);

  // Another live trace, then the saved one comes back.
  h.fillLiveTrace(1000, 3.0f);
  h.app.useReference();
  h.load(h.file("reference.xml"));
  ASSERT_TRUE(h.panels.alerts.empty()) << h.panels.alerts[0];
  const TraceData* r = h.app.reference->traceData();
  ASSERT_EQ(r->bins, 65536);
  EXPECT_EQ(r->samplingRate, 48000.0f);
  EXPECT_EQ(r->binsPerHertz, PlotTrace::binsPerHertz(65536, 48000.0f));
  h.fillLiveTrace(65536);
  EXPECT_EQ(std::memcmp(r->averaged, h.app.trace->traceData()->averaged, 65536 * sizeof(float)), 0);
  EXPECT_TRUE(h.app.showsReference());
  EXPECT_EQ(h.display.referenceTrace, r);
  EXPECT_EQ(h.printView.referenceTrace, r);
  EXPECT_FALSE(h.lowerSpanField.isEnabled());
  EXPECT_FALSE(h.upperSpanField.isEnabled());

  h.app.removeReference();
  EXPECT_EQ(h.display.referenceTrace, nullptr);
  EXPECT_TRUE(h.lowerSpanField.isEnabled());
  EXPECT_TRUE(h.upperSpanField.isEnabled());
}

TEST(Reference, TheAnalysisMovesToTheReferencesSpanOnlyWhenItDiffersByMoreThanOneHertz) {
  ReferenceHarness h;
  const std::string start = "<key>bins</key><integer>4</integer><key>frequency (low)</key><string>0</string>";
  writeText(h.file("near.xml"), referenceXml(start + "<key>frequency (upper)</key><string>24000.5</string>"));
  writeText(h.file("far.xml"), referenceXml(start + "<key>frequency (upper)</key><string>23998</string>"));
  const int before = h.log.count("input.pause");
  h.load(h.file("near.xml"));
  EXPECT_EQ(h.log.count("input.pause"), before) << "0.5 Hz: no new sampling set-up";
  EXPECT_EQ(h.upperSpanField.stringValue(), "24000.5");
  h.load(h.file("far.xml"));
  EXPECT_EQ(h.log.count("input.pause"), before + 1);
  EXPECT_FLOAT_EQ(h.app.sharedData.span.endFrequency, 23998.0f);
}

TEST(Reference, AFileWithoutDataKeepsTheOldLevelsUnderItsBinCount) {
  ReferenceHarness h;
  h.fillLiveTrace(8);
  h.app.useReference();
  writeText(h.file("bare.xml"), referenceXml("<key>bins</key><integer>4</integer>"));
  h.load(h.file("bare.xml"));
  const TraceData* r = h.app.reference->traceData();
  EXPECT_EQ(r->bins, 4);
  EXPECT_EQ(r->averaged[3], h.app.trace->traceData()->averaged[3]);
  EXPECT_EQ(r->samplingRate, 48000.0f) << "a missing rate keeps the previous one";
}

TEST(Reference, CancellingSavesAndLoadsNothingAndConfirmingReplacesTheShownReference) {
  ReferenceHarness h;
  h.fillLiveTrace(16);
  h.app.useReference();
  h.fillLiveTrace(16, 2.0f);
  h.app.saveReference();  // cancelled
  h.app.drawReference();  // cancelled
  EXPECT_EQ(h.app.reference->traceData()->averaged[1], h.app.trace->traceData()->averaged[1] / 2.0f);
  EXPECT_TRUE(fs::is_empty(h.folder));

  h.save(h.file("shown.xml"));
  EXPECT_EQ(h.app.reference->traceData()->averaged[1], h.app.trace->traceData()->averaged[1]);
  EXPECT_TRUE(h.app.showsReference());
}

TEST(Reference, FilesThatAreNoReferenceAreRefusedWithTheReasonAndChangeNothing) {
  ReferenceHarness h;
  h.fillLiveTrace(8);
  h.app.useReference();
  const std::string span = h.upperSpanField.stringValue();
  const char* refused[] = {
      "<key>bins</key><integer>0</integer>",
      "<key>bins</key><integer>-3</integer>",
      "<key>bins</key><integer>524289</integer>",
      "<key>bins</key><integer>4</integer><key>data</key><array><real>1</real><real>2</real></array>",
      "<key>bins</key><integer>2</integer><key>data</key><array><real>1</real><string>x</string></array>",
      "<key>bins</key><integer>2</integer><key>data</key><array><real>1</real><real>nan</real></array>",
      "<key>bins</key><integer>2</integer><key>sampling rate</key><real>-48000</real>",
      "<key>bins</key><string>many</string>",
      "<key>frequency (upper)</key><string>100</string>",
  };
  for (const char* entries : refused) {
    writeText(h.file("bad.xml"), referenceXml(std::string(entries) + "<key>frequency (upper)</key><string>100</string>"));
    h.panels.alerts.clear();
    h.load(h.file("bad.xml"));
    EXPECT_EQ(h.panels.alerts.size(), 1u) << entries;
    EXPECT_EQ(h.app.reference->traceData()->bins, 8) << entries;
    EXPECT_EQ(h.upperSpanField.stringValue(), span) << entries;
  }
  writeText(h.file("bad.xml"), "not a property list");
  h.panels.alerts.clear();
  h.load(h.file("bad.xml"));
  EXPECT_EQ(h.panels.alerts.size(), 1u);
}

TEST(Reference, AFailedSaveIsSaidAndLeavesNoFile) {
  ReferenceHarness h;
  h.fillLiveTrace(8);
  // A folder where the file should be: nothing can be written there, not
  // even by root.
  const std::string blocked = h.file("blocked.xml");
  fs::create_directories(blocked);
  h.save(blocked);
  h.save(h.file("missing-folder/reference.xml"));
  ASSERT_EQ(h.panels.alerts.size(), 2u);
  EXPECT_NE(h.panels.alerts[1].find("missing-folder"), std::string::npos);
  EXPECT_TRUE(fs::is_directory(blocked));
  EXPECT_FALSE(fs::exists(h.file("missing-folder")));
  for (const auto& entry : fs::directory_iterator(h.folder)) EXPECT_EQ(entry.path(), blocked);
}
