#include "platform/PropertyList.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>

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

// Writes a value as XML and reads it back: the value must come back equal,
// and be written again to the same text.
PropertyValue throughXml(const PropertyValue& value) {
  std::string error;
  std::string xml = propertyListXml(value, &error);
  EXPECT_FALSE(xml.empty()) << error;
  auto back = parsePropertyList(xml, &error);
  EXPECT_TRUE(back) << error << "\n" << xml;
  if (!back) return {};
  EXPECT_EQ(propertyListXml(*back), xml);
  return *back;
}

// Binary lists made by hand: objects already encoded, the first one the root.
std::string bigEndian(uint64_t v, int bytes) {
  std::string s;
  for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) s += static_cast<char>(v >> shift & 0xff);
  return s;
}

std::string binaryList(const std::vector<std::string>& objects, int referenceSize = 1) {
  std::string list = "bplist00", table;
  for (const auto& object : objects) {
    table += bigEndian(list.size(), 4);
    list += object;
  }
  uint64_t tableOffset = list.size();
  list += table + std::string(6, '\0') + static_cast<char>(4) + static_cast<char>(referenceSize);
  return list + bigEndian(objects.size(), 8) + bigEndian(0, 8) + bigEndian(tableOffset, 8);
}

// A dictionary's references are its keys, then its values.
std::string container(uint8_t marker, std::vector<uint8_t> references) {
  std::size_t count = marker == 0xd0 ? references.size() / 2 : references.size();
  return static_cast<char>(marker | count) + std::string(references.begin(), references.end());
}
std::string ascii(std::string_view s) { return static_cast<char>(0x50 | s.size()) + std::string(s); }
std::string utf16(std::u16string_view s) {
  std::string o(1, static_cast<char>(0x60 | s.size()));
  for (char16_t c : s) o += bigEndian(c, 2);
  return o;
}
std::string eightBytes(uint8_t marker, uint64_t bits) { return static_cast<char>(marker) + bigEndian(bits, 8); }
std::string realObject(double d) { return eightBytes(0x23, std::bit_cast<uint64_t>(d)); }
std::string dateObject(double d) { return eightBytes(0x33, std::bit_cast<uint64_t>(d)); }

std::optional<PropertyValue> onlyItem(std::string_view list) {
  auto value = parsePropertyList(list);
  if (!value || !value->array() || value->array()->size() != 1) return std::nullopt;
  return value->array()->front();
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

TEST(PropertyListText, NulInAStringOrKeyIsRefusedNeverFatal) {
  // libplist asserts on a NUL it converts from UTF-16, and cuts an ASCII
  // string at one; XML cannot hold one at all.
  const std::string lists[] = {
      binaryList({container(0xd0, {1, 2}), ascii("a"), utf16(std::u16string_view(u"x\0y", 3))}),
      binaryList({container(0xd0, {1, 2}), utf16(std::u16string_view(u"a\0b", 3)), ascii("v")}),
      binaryList({container(0xa0, {1}), ascii(std::string_view("x\0y", 3))}),
      binaryList({container(0xd0, {1, 2}), ascii(std::string_view("a\0b", 3)), ascii("v")}),
      std::string("<plist><string>x\0y</string></plist>", 35),
      std::string("<plist><dict><key>a\0b</key><true/></dict></plist>", 50),
  };
  for (const auto& list : lists) {
    std::string error;
    EXPECT_FALSE(parsePropertyList(list, &error));
    EXPECT_NE(error.find("NUL"), std::string::npos) << error;
  }
  EXPECT_TRUE(parsePropertyList(binaryList({container(0xd0, {1, 2}), utf16(u"a\u00e9"), ascii("v")})));

  PropertyDictionary withNulKey;
  withNulKey.set(std::string("a\0b", 3), true);
  for (const PropertyValue& value : {PropertyValue(std::string("x\0y", 3)), PropertyValue(withNulKey)}) {
    std::string error;
    EXPECT_EQ(propertyListXml(value, &error), "");
    EXPECT_NE(error.find("NUL"), std::string::npos);
  }
}

TEST(PropertyListText, DatesComeBackToTheNearestSecond) {
  const struct {
    double written, read;
  } dates[] = {
      {-347155199.5, -347155199},  // 1990, halfway: the later second
      {-0.7, -1},
      {0.5, 1},
      {789012345.25, 789012345},
      {1e10, 1e10},                       // past 2038
      {-1e300, -63113904000},             // clamped to 0001-01-01
      {std::numeric_limits<double>::infinity(), 252423993599},  // 9999-12-31T23:59:59Z
      {std::nan(""), 0},
  };
  for (const auto& d : dates) {
    EXPECT_EQ(throughXml(PropertyDate{d.written}), PropertyDate{d.read}) << d.written;
    // A binary list keeps the fraction; it is rounded as it is read.
    auto read = onlyItem(binaryList({container(0xa0, {1}), dateObject(d.written)}));
    ASSERT_TRUE(read && read->date()) << d.written;
    EXPECT_EQ(read->date()->secondsSince2001, d.read) << d.written;
  }
  EXPECT_NE(propertyListXml(PropertyDate{-63113904000}).find("<date>0001-01-01T00:00:00Z</date>"),
            std::string::npos);
}

TEST(PropertyListText, IntegersComeBackExactly) {
  constexpr int64_t min = std::numeric_limits<int64_t>::min(), max = std::numeric_limits<int64_t>::max();
  for (int64_t i : {int64_t{0}, int64_t{-1}, int64_t{9007199254740993}, int64_t{-9007199254740993}, min, max}) {
    PropertyValue back = throughXml(i);
    EXPECT_EQ(back.integer(), i);
    EXPECT_EQ(back.unsignedInteger(), i >= 0 ? std::optional<uint64_t>(i) : std::nullopt);
  }
  for (uint64_t u : {uint64_t{1} << 63, std::numeric_limits<uint64_t>::max()}) {
    PropertyValue back = throughXml(u);
    EXPECT_EQ(back.type(), PropertyValue::Type::integer);
    EXPECT_EQ(back.unsignedInteger(), u);
    EXPECT_FALSE(back.integer());
    EXPECT_EQ(back.number(), static_cast<double>(u));
  }
  EXPECT_EQ(PropertyValue(uint64_t{5}), PropertyValue(5)) << "one value, one form";

  // A binary list holds negative integers in 8 bytes and unsigned ones in 16.
  auto negative = onlyItem(binaryList({container(0xa0, {1}), eightBytes(0x13, ~uint64_t{0})}));
  auto unsignedMax =
      onlyItem(binaryList({container(0xa0, {1}), "\x14" + bigEndian(0, 8) + bigEndian(~uint64_t{0}, 8)}));
  ASSERT_TRUE(negative && unsignedMax);
  EXPECT_EQ(negative->integer(), -1);
  EXPECT_EQ(unsignedMax->unsignedInteger(), std::numeric_limits<uint64_t>::max());
}

TEST(PropertyListText, RealsComeBackBitForBit) {
  const uint64_t bits[] = {
      0x8000000000000000,  // -0
      0x7ff8000000000000, 0xfff8000000000000, 0x7ff8000000000001, 0xffffffffffffffff,  // NaNs
      0x7ff0000000000000, 0xfff0000000000000, 0x0000000000000001, 0x7fefffffffffffff,
      std::bit_cast<uint64_t>(0.1), std::bit_cast<uint64_t>(1.0 / 3), std::bit_cast<uint64_t>(1e22),
      std::bit_cast<uint64_t>(static_cast<double>(1.1f)),
      std::bit_cast<uint64_t>(static_cast<double>(std::bit_cast<float>(0x7fc00123u))),  // a float NaN, widened
  };
  for (uint64_t b : bits) {
    double d = std::bit_cast<double>(b);
    EXPECT_EQ(throughXml(d), PropertyValue(d)) << std::hex << b;
    auto read = onlyItem(binaryList({container(0xa0, {1}), realObject(d)}));
    ASSERT_TRUE(read) << std::hex << b;
    EXPECT_EQ(*read, PropertyValue(d)) << std::hex << b;
  }
  // A signalling NaN comes back as its quiet twin.
  EXPECT_EQ(throughXml(std::bit_cast<double>(uint64_t{0x7ff0000000000001})),
            PropertyValue(std::bit_cast<double>(uint64_t{0x7ff8000000000001})));
}

TEST(PropertyListText, RealsReadTheSameUnderADecimalCommaLocale) {
  std::string previous = std::setlocale(LC_NUMERIC, nullptr);
  const char* comma = nullptr;
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "nl_NL.UTF-8"})
    if (std::setlocale(LC_NUMERIC, name)) {
      comma = name;
      break;
    }
  if (!comma) GTEST_SKIP() << "no locale with a decimal comma is installed";
  auto read = parsePropertyList("<plist><real>0.5</real></plist>");
  std::setlocale(LC_NUMERIC, previous.c_str());
  ASSERT_TRUE(read);
  EXPECT_EQ(read->number(), 0.5) << comma;
}

TEST(PropertyListText, AnyListReadIsWrittenBackToTheSameValueAndText) {
  const std::string lists[] = {
      "<?xml version=\"1.0\"?><plist><dict><key> spaced \r\n</key><string> \t\x01&#x1F600;&lt;![CDATA[</string>"
      "<key>&amp;</key><array><string/><data>  YWJj\n  ZA== </data><data/><integer>010</integer><real>1e400</real>"
      "<date>garbage</date><true/><dict/><array/></array><key>\xff\xfe</key><string><![CDATA[<&>]]></string></dict>"
      "</plist>",
      "<plist><!-- a comment --><array><real>-0.0</real><integer>-9223372036854775808</integer></array></plist>",
      binaryList({container(0xd0, {1, 2, 3, 4}), utf16(u"\u00e9t\u00e9"), ascii("b"),
                  container(0xc0, {2, 2, 5}), realObject(-1.5), eightBytes(0x13, 42)}),
  };
  for (const auto& list : lists) {
    std::string error;
    auto read = parsePropertyList(list, &error);
    ASSERT_TRUE(read) << error << "\n" << list;
    EXPECT_EQ(throughXml(*read), *read);
  }
}

TEST(PropertyListText, DeepOrSelfMultiplyingListsAreRefused) {
  // libplist parses binary lists, and frees every list, recursively: a deep
  // one would exhaust the stack. Nor may shared objects multiply without end.
  constexpr int deep = 200000;
  std::vector<std::string> chain;
  for (int i = 1; i < deep; ++i) chain.push_back("\xa1" + bigEndian(i, 4));
  chain.push_back("\xa0");
  std::string xml = "<plist>";
  for (int i = 0; i < 5 * deep; ++i) xml += "<array>";
  std::vector<std::string> doubling;
  for (uint8_t i = 1; i < 60; ++i) doubling.push_back(container(0xa0, {i, i}));
  doubling.push_back("\x08");
  for (const auto& list : {binaryList(chain, 4), xml, binaryList(doubling), binaryList({container(0xa0, {0})})}) {
    std::string error;
    EXPECT_FALSE(parsePropertyList(list, &error));
    EXPECT_FALSE(error.empty());
  }
  // Sharing as binary writers do it is fine: here one long string in 10000 places.
  std::string references;
  for (int i = 0; i < 10000; ++i) references += bigEndian(1, 2);
  auto shared = parsePropertyList(
      binaryList({"\xaf\x11" + bigEndian(10000, 2) + references, "\x5f\x10\x64" + std::string(100, 's')}, 2));
  ASSERT_TRUE(shared);
  EXPECT_EQ(shared->array()->size(), 10000u);
}
