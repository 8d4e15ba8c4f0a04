#pragma once
// Property lists: the settings file and the reference-trace files. Values are
// plain data (strings, reals, integers, booleans, data, dates, arrays and
// dictionaries); files are read as XML or binary lists and written as XML,
// atomically, so a crash or a full disk never leaves a half-written file.
//
// Whatever a list holds comes back from a write and a read unchanged:
// - strings and keys byte for byte. XML cannot hold a NUL character, so a
//   list with one in a string or key is refused when read, and such a value
//   built in code is refused when written;
// - integers exactly, from INT64_MIN up to UINT64_MAX;
// - reals bit for bit, NaNs with their sign and payload (a signalling NaN
//   comes back quiet: text can only name quiet NaNs);
// - dates to the second (see PropertyDate).

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace platform {

class PropertyDictionary;
class PropertyValue;
using PropertyArray = std::vector<PropertyValue>;
using PropertyData = std::vector<uint8_t>;

// A point in time as property lists keep it: seconds since 2001-01-01 00:00 UTC.
// XML lists hold whole seconds from the year 1 to 9999: a date is written
// rounded to the nearest second (halves to the later one) and clamped to that
// span, NaN as 2001-01-01, and a date read from any list comes back rounded
// the same way, so it reads back unchanged from a write.
struct PropertyDate {
  double secondsSince2001 = 0;
  bool operator==(const PropertyDate&) const = default;
};

class PropertyValue {
 public:
  enum class Type { none, string, real, integer, boolean, data, date, array, dictionary };

  PropertyValue() = default;
  PropertyValue(std::string s) : value_(std::move(s)) {}
  PropertyValue(const char* s) : value_(std::string(s)) {}
  PropertyValue(double d) : value_(d) {}
  PropertyValue(float f) : value_(static_cast<double>(f)) {}
  PropertyValue(int64_t i) : value_(i) {}
  PropertyValue(uint64_t u);
  PropertyValue(int i) : value_(static_cast<int64_t>(i)) {}
  PropertyValue(bool b) : value_(b) {}
  PropertyValue(PropertyData d) : value_(std::move(d)) {}
  PropertyValue(PropertyDate d) : value_(d) {}
  PropertyValue(PropertyArray a) : value_(std::move(a)) {}
  PropertyValue(PropertyDictionary d);

  PropertyValue(const PropertyValue& other);
  PropertyValue(PropertyValue&&) noexcept = default;
  PropertyValue& operator=(const PropertyValue& other);
  PropertyValue& operator=(PropertyValue&&) noexcept = default;
  ~PropertyValue();

  // Integers above INT64_MAX are of type integer too.
  Type type() const {
    return std::holds_alternative<uint64_t>(value_) ? Type::integer : static_cast<Type>(value_.index());
  }

  // Each accessor returns null when the value is of another type.
  const std::string* string() const { return std::get_if<std::string>(&value_); }
  const PropertyData* data() const { return std::get_if<PropertyData>(&value_); }
  const PropertyDate* date() const { return std::get_if<PropertyDate>(&value_); }
  const PropertyArray* array() const { return std::get_if<PropertyArray>(&value_); }
  const PropertyDictionary* dictionary() const;
  PropertyDictionary* dictionary();
  // A real or an integer, as a double.
  std::optional<double> number() const;
  // An integer, exactly: integer() when it fits int64_t, unsignedInteger()
  // when it is not negative.
  std::optional<int64_t> integer() const;
  std::optional<uint64_t> unsignedInteger() const;
  std::optional<bool> boolean() const;

  // Reals compare by their bits: a NaN equals itself, 0 differs from -0.
  bool operator==(const PropertyValue& other) const;

 private:
  struct DictionaryBox {
    std::unique_ptr<PropertyDictionary> dictionary;
  };
  // The alternatives before DictionaryBox follow Type; integers above
  // INT64_MAX, and only those, are kept as uint64_t.
  std::variant<std::monostate, std::string, double, int64_t, bool, PropertyData, PropertyDate, PropertyArray,
               DictionaryBox, uint64_t>
      value_;
};

// A dictionary with string keys, kept in key order.
class PropertyDictionary {
 public:
  using Map = std::map<std::string, PropertyValue, std::less<>>;

  const PropertyValue* find(std::string_view key) const;
  PropertyValue* find(std::string_view key);
  void set(std::string key, PropertyValue value) { entries_.insert_or_assign(std::move(key), std::move(value)); }
  void erase(std::string_view key);
  bool empty() const { return entries_.empty(); }
  std::size_t size() const { return entries_.size(); }
  Map::const_iterator begin() const { return entries_.begin(); }
  Map::const_iterator end() const { return entries_.end(); }

  // Typed look-ups: empty when the key is missing or holds another type.
  const std::string* string(std::string_view key) const;
  std::optional<double> number(std::string_view key) const;
  std::optional<int64_t> integer(std::string_view key) const;
  std::optional<bool> boolean(std::string_view key) const;
  const PropertyData* data(std::string_view key) const;
  const PropertyArray* array(std::string_view key) const;
  const PropertyDictionary* dictionary(std::string_view key) const;

  bool operator==(const PropertyDictionary& other) const { return entries_ == other.entries_; }

 private:
  Map entries_;
};

// Parses an XML or binary property list. Empty, with a reason in *error, when
// the bytes are not a property list, or one this layer cannot keep: a NUL in
// a string or key, nesting deeper than 64, unsupported types, or a binary
// list that shares its objects so often it would grow far beyond its size.
std::optional<PropertyValue> parsePropertyList(std::string_view bytes, std::string* error = nullptr);
// The XML text of a value; empty, with a reason in *error, when the value is
// none or holds a string or key with a NUL character. Values of type none in
// arrays and dictionaries are left out.
std::string propertyListXml(const PropertyValue& value, std::string* error = nullptr);

// Reads a property-list file; empty with a reason when it is missing,
// unreadable or corrupt.
std::optional<PropertyValue> readPropertyList(const std::string& path, std::string* error = nullptr);
// Writes a value as an XML property list to a temporary file beside path,
// flushes it and renames it over path. On failure the old file stays as it
// was and *error says why.
bool writePropertyList(const PropertyValue& value, const std::string& path, std::string* error = nullptr);

}  // namespace platform
