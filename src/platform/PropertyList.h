#pragma once
// Property lists: the settings file and the reference-trace files. Values are
// plain data (strings, reals, integers, booleans, data, dates, arrays and
// dictionaries); files are read as XML or binary lists and written as XML,
// atomically, so a crash or a full disk never leaves a half-written file.

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

  Type type() const { return static_cast<Type>(value_.index()); }

  // Each accessor returns null when the value is of another type.
  const std::string* string() const { return std::get_if<std::string>(&value_); }
  const PropertyData* data() const { return std::get_if<PropertyData>(&value_); }
  const PropertyDate* date() const { return std::get_if<PropertyDate>(&value_); }
  const PropertyArray* array() const { return std::get_if<PropertyArray>(&value_); }
  const PropertyDictionary* dictionary() const;
  PropertyDictionary* dictionary();
  // A real or an integer, as a double.
  std::optional<double> number() const;
  std::optional<bool> boolean() const;

  bool operator==(const PropertyValue& other) const;

 private:
  struct DictionaryBox {
    std::unique_ptr<PropertyDictionary> dictionary;
  };
  std::variant<std::monostate, std::string, double, int64_t, bool, PropertyData, PropertyDate, PropertyArray,
               DictionaryBox>
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
  std::optional<bool> boolean(std::string_view key) const;
  const PropertyData* data(std::string_view key) const;
  const PropertyArray* array(std::string_view key) const;
  const PropertyDictionary* dictionary(std::string_view key) const;

  bool operator==(const PropertyDictionary& other) const { return entries_ == other.entries_; }

 private:
  Map entries_;
};

// Parses an XML or binary property list. Empty, with a reason in *error, when
// the text is not a property list.
std::optional<PropertyValue> parsePropertyList(std::string_view bytes, std::string* error = nullptr);
// The XML text of a value.
std::string propertyListXml(const PropertyValue& value);

// Reads a property-list file; empty with a reason when it is missing,
// unreadable or corrupt.
std::optional<PropertyValue> readPropertyList(const std::string& path, std::string* error = nullptr);
// Writes a value as an XML property list to a temporary file beside path,
// flushes it and renames it over path. On failure the old file stays as it
// was and *error says why.
bool writePropertyList(const PropertyValue& value, const std::string& path, std::string* error = nullptr);

}  // namespace platform
