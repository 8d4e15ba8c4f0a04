#include "platform/PropertyList.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <plist/plist.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>

namespace platform {

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

namespace {

struct PlistDeleter {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistHandle = std::unique_ptr<void, PlistDeleter>;

std::optional<PropertyValue> fromNode(plist_t node, int depth) {
  // Deeply nested lists are refused rather than followed into a stack overflow.
  if (!node || depth > 64) return std::nullopt;
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return PropertyValue(b != 0);
    }
    case PLIST_UINT: {
      uint64_t u = 0;
      plist_get_uint_val(node, &u);
      // libplist keeps negative integers as their two's-complement bit pattern.
      return PropertyValue(static_cast<int64_t>(u));
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return PropertyValue(d);
    }
    case PLIST_STRING: {
      char* s = nullptr;
      plist_get_string_val(node, &s);
      std::string text = s ? s : "";
      std::free(s);
      return PropertyValue(std::move(text));
    }
    case PLIST_DATA: {
      char* bytes = nullptr;
      uint64_t length = 0;
      plist_get_data_val(node, &bytes, &length);
      PropertyData data(reinterpret_cast<uint8_t*>(bytes), reinterpret_cast<uint8_t*>(bytes) + length);
      std::free(bytes);
      return PropertyValue(std::move(data));
    }
    case PLIST_DATE: {
      int32_t sec = 0, usec = 0;
      plist_get_date_val(node, &sec, &usec);
      return PropertyValue(PropertyDate{sec + usec * 1e-6});
    }
    case PLIST_ARRAY: {
      PropertyArray array;
      uint32_t n = plist_array_get_size(node);
      array.reserve(n);
      for (uint32_t i = 0; i < n; ++i) {
        auto item = fromNode(plist_array_get_item(node, i), depth + 1);
        if (!item) return std::nullopt;
        array.push_back(std::move(*item));
      }
      return PropertyValue(std::move(array));
    }
    case PLIST_DICT: {
      PropertyDictionary dictionary;
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      for (;;) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, it, &key, &item);
        if (!item) {
          std::free(key);
          break;
        }
        auto value = fromNode(item, depth + 1);
        std::string name = key ? key : "";
        std::free(key);
        if (!value) {
          std::free(it);
          return std::nullopt;
        }
        dictionary.set(std::move(name), std::move(*value));
      }
      std::free(it);
      return PropertyValue(std::move(dictionary));
    }
    default:
      return std::nullopt;
  }
}

plist_t toNode(const PropertyValue& value) {
  using T = PropertyValue::Type;
  switch (value.type()) {
    case T::none:
      return nullptr;
    case T::string:
      return plist_new_string(value.string()->c_str());
    case T::real:
      return plist_new_real(*value.number());
    case T::integer:
      return plist_new_uint(static_cast<uint64_t>(static_cast<int64_t>(*value.number())));
    case T::boolean:
      return plist_new_bool(*value.boolean() ? 1 : 0);
    case T::data: {
      const auto& d = *value.data();
      return plist_new_data(reinterpret_cast<const char*>(d.data()), d.size());
    }
    case T::date: {
      double s = value.date()->secondsSince2001;
      auto sec = static_cast<int32_t>(s);
      return plist_new_date(sec, static_cast<int32_t>((s - sec) * 1e6));
    }
    case T::array: {
      plist_t array = plist_new_array();
      for (const auto& item : *value.array())
        if (plist_t node = toNode(item)) plist_array_append_item(array, node);
      return array;
    }
    case T::dictionary: {
      plist_t dict = plist_new_dict();
      for (const auto& [key, item] : *value.dictionary())
        if (plist_t node = toNode(item)) plist_dict_set_item(dict, key.c_str(), node);
      return dict;
    }
  }
  return nullptr;
}

void setError(std::string* error, std::string text) {
  if (error) *error = std::move(text);
}

}  // namespace

std::optional<PropertyValue> parsePropertyList(std::string_view bytes, std::string* error) {
  if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) {
    setError(error, "not a property list");
    return std::nullopt;
  }
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  PlistHandle handle(root);
  if (!root) {
    setError(error, "not a property list");
    return std::nullopt;
  }
  auto value = fromNode(root, 0);
  if (!value) setError(error, "unsupported or too deeply nested property list");
  return value;
}

std::string propertyListXml(const PropertyValue& value) {
  PlistHandle root(toNode(value));
  if (!root) return {};
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(root.get(), &xml, &length);
  std::string text(xml ? xml : "", xml ? length : 0);
  plist_to_xml_free(xml);
  return text;
}

std::optional<PropertyValue> readPropertyList(const std::string& path, std::string* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    setError(error, "cannot open " + path + ": " + std::strerror(errno));
    return std::nullopt;
  }
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return parsePropertyList(bytes.str(), error);
}

bool writePropertyList(const PropertyValue& value, const std::string& path, std::string* error) {
  std::string xml = propertyListXml(value);
  if (xml.empty()) {
    setError(error, "nothing to write");
    return false;
  }
  std::string temporary = path + ".tmp-XXXXXX";
  int fd = mkstemp(temporary.data());
  if (fd < 0) {
    setError(error, "cannot create " + temporary + ": " + std::strerror(errno));
    return false;
  }
  const char* p = xml.data();
  std::size_t left = xml.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      setError(error, "cannot write " + temporary + ": " + std::strerror(errno));
      ::close(fd);
      ::unlink(temporary.c_str());
      return false;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  fchmod(fd, 0644);
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    setError(error, "cannot flush " + temporary + ": " + std::strerror(errno));
    ::unlink(temporary.c_str());
    return false;
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    setError(error, "cannot replace " + path + ": " + std::strerror(errno));
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace platform
