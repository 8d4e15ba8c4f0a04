#include "platform/PropertyList.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using namespace platform;

namespace {

class PropertyListFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/specan-plist-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(dir, fs::perms::owner_all, ec);
    fs::remove_all(dir, ec);
  }
  fs::path dir;
};

PropertyDictionary sampleSettings() {
  PropertyDictionary colours;
  colours.set("Curve", PropertyData{0, 0, 128, 63, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 128, 63});
  PropertyDictionary settings;
  settings.set("Span (lower)", 20.0);
  settings.set("Span (upper)", 20000.5);
  settings.set("Bandwidth", int64_t{-3});
  settings.set("Print Date", true);
  settings.set("Title", std::string("Amp \"A\" <left> & right, ±0.5 dB"));
  settings.set("Colors", std::move(colours));
  settings.set("Bins", PropertyArray{1.5, 2.25, PropertyValue(int64_t{7})});
  settings.set("Saved", PropertyDate{789012345.0});
  return settings;
}

}  // namespace

TEST_F(PropertyListFiles, EveryValueTypeSurvivesWriteAndRead) {
  PropertyValue written(sampleSettings());
  std::string path = dir / "org.specan.SpecAn.plist";
  std::string error;
  ASSERT_TRUE(writePropertyList(written, path, &error)) << error;

  auto read = readPropertyList(path, &error);
  ASSERT_TRUE(read) << error;
  EXPECT_EQ(*read, written);
  const PropertyDictionary* d = read->dictionary();
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->number("Bandwidth"), -3.0);
  EXPECT_EQ(*d->string("Title"), "Amp \"A\" <left> & right, ±0.5 dB");
  EXPECT_EQ(d->boolean("Print Date"), true);
  EXPECT_FALSE(d->number("Title")) << "a string is not a number";
  EXPECT_EQ(d->dictionary("Colors")->data("Curve")->size(), 16u);
  // The file is an XML list, not binary.
  std::ifstream file(path);
  std::string head(5, '\0');
  file.read(head.data(), 5);
  EXPECT_EQ(head, "<?xml");
}

TEST_F(PropertyListFiles, CorruptOrMissingFilesAreRefusedWithAReason) {
  std::string error;
  EXPECT_FALSE(readPropertyList(dir / "missing.plist", &error));
  EXPECT_FALSE(error.empty());

  for (const char* text : {"", "not a list at all", "<?xml version=\"1.0\"?><plist><dict><key>a</key>",
                           "bplist00\x01\x02"}) {
    std::string path = dir / "corrupt.plist";
    std::ofstream(path) << text;
    error.clear();
    EXPECT_FALSE(readPropertyList(path, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

TEST_F(PropertyListFiles, FailedWriteKeepsTheOldFileAndLeavesNoTemporary) {
  std::string path = dir / "settings.plist";
  ASSERT_TRUE(writePropertyList(PropertyValue(sampleSettings()), path));
  auto before = readPropertyList(path);
  ASSERT_TRUE(before);

  if (geteuid() != 0) {
    // Without write permission on the folder, the rename cannot happen.
    fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
    PropertyDictionary other;
    other.set("Title", std::string("new"));
    std::string error;
    EXPECT_FALSE(writePropertyList(PropertyValue(other), path, &error));
    EXPECT_FALSE(error.empty());
    fs::permissions(dir, fs::perms::owner_all);
  }
  // A folder that does not exist cannot take the file either.
  std::string error;
  EXPECT_FALSE(writePropertyList(PropertyValue(sampleSettings()), dir / "no" / "such.plist", &error));
  EXPECT_FALSE(error.empty());

  EXPECT_EQ(readPropertyList(path), before);
  int files = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir)) ++files;
  EXPECT_EQ(files, 1) << "no temporary file left behind";
}

TEST(PropertyValues, CopiesAreDeepAndCompareByContent) {
  PropertyValue a(sampleSettings());
  PropertyValue b = a;
  b.dictionary()->set("Title", std::string("changed"));
  EXPECT_NE(a, b);
  EXPECT_EQ(*a.dictionary()->string("Title"), "Amp \"A\" <left> & right, ±0.5 dB");
  EXPECT_NE(PropertyValue(1.0), PropertyValue(int64_t{1})) << "a real and an integer are different types";
}
