// The property-list value model: values, dictionaries that keep their keys'
// order, and the typed look-ups the settings and reference files use.

#include "platform/PropertyList.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

namespace platform {

PropertyValue::PropertyValue(uint64_t u) {
  if (u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
    value_ = static_cast<int64_t>(u);
  else
    value_ = u;
}

PropertyValue::PropertyValue(PropertyDictionary d)
    : value_(DictionaryBox{std::make_unique<PropertyDictionary>(std::move(d))}) {}

PropertyValue::PropertyValue(const PropertyValue& other) { *this = other; }

PropertyValue& PropertyValue::operator=(const PropertyValue& other) {
  if (this == &other) return *this;
  if (const auto* box = std::get_if<DictionaryBox>(&other.value_))
    value_ = DictionaryBox{std::make_unique<PropertyDictionary>(*box->dictionary)};
  else
    std::visit(
        [this](const auto& v) {
          if constexpr (!std::is_same_v<std::decay_t<decltype(v)>, DictionaryBox>) value_ = v;
        },
        other.value_);
  return *this;
}

PropertyValue::~PropertyValue() = default;

const PropertyDictionary* PropertyValue::dictionary() const {
  const auto* box = std::get_if<DictionaryBox>(&value_);
  return box ? box->dictionary.get() : nullptr;
}

PropertyDictionary* PropertyValue::dictionary() {
  auto* box = std::get_if<DictionaryBox>(&value_);
  return box ? box->dictionary.get() : nullptr;
}

std::optional<double> PropertyValue::number() const {
  if (const auto* d = std::get_if<double>(&value_)) return *d;
  if (const auto* i = std::get_if<int64_t>(&value_)) return static_cast<double>(*i);
  if (const auto* u = std::get_if<uint64_t>(&value_)) return static_cast<double>(*u);
  return std::nullopt;
}

std::optional<int64_t> PropertyValue::integer() const {
  if (const auto* i = std::get_if<int64_t>(&value_)) return *i;
  return std::nullopt;
}

std::optional<uint64_t> PropertyValue::unsignedInteger() const {
  if (const auto* i = std::get_if<int64_t>(&value_); i && *i >= 0) return static_cast<uint64_t>(*i);
  if (const auto* u = std::get_if<uint64_t>(&value_)) return *u;
  return std::nullopt;
}

std::optional<bool> PropertyValue::boolean() const {
  if (const auto* b = std::get_if<bool>(&value_)) return *b;
  return std::nullopt;
}

bool PropertyValue::operator==(const PropertyValue& other) const {
  if (value_.index() != other.value_.index()) return false;
  if (const auto* mine = dictionary()) return *mine == *other.dictionary();
  return std::visit(
      [&other](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, DictionaryBox>)
          return false;  // handled above
        else if constexpr (std::is_same_v<T, double>)
          return std::bit_cast<uint64_t>(v) == std::bit_cast<uint64_t>(std::get<double>(other.value_));
        else
          return v == std::get<T>(other.value_);
      },
      value_);
}

const PropertyValue* PropertyDictionary::find(std::string_view key) const {
  auto it = entries_.find(key);
  return it == entries_.end() ? nullptr : &it->second;
}

PropertyValue* PropertyDictionary::find(std::string_view key) {
  auto it = entries_.find(key);
  return it == entries_.end() ? nullptr : &it->second;
}

void PropertyDictionary::erase(std::string_view key) {
  auto it = entries_.find(key);
  if (it != entries_.end()) entries_.erase(it);
}

const std::string* PropertyDictionary::string(std::string_view key) const {
  const auto* v = find(key);
  return v ? v->string() : nullptr;
}

std::optional<double> PropertyDictionary::number(std::string_view key) const {
  const auto* v = find(key);
  return v ? v->number() : std::nullopt;
}

std::optional<int64_t> PropertyDictionary::integer(std::string_view key) const {
  const auto* v = find(key);
  return v ? v->integer() : std::nullopt;
}

std::optional<bool> PropertyDictionary::boolean(std::string_view key) const {
  const auto* v = find(key);
  return v ? v->boolean() : std::nullopt;
}

const PropertyData* PropertyDictionary::data(std::string_view key) const {
  const auto* v = find(key);
  return v ? v->data() : nullptr;
}

const PropertyArray* PropertyDictionary::array(std::string_view key) const {
  const auto* v = find(key);
  return v ? v->array() : nullptr;
}

const PropertyDictionary* PropertyDictionary::dictionary(std::string_view key) const {
  const auto* v = find(key);
  return v ? v->dictionary() : nullptr;
}

}  // namespace platform
