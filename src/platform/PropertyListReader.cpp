// Reading a property list (XML or binary, through libplist) into the value
// model, after the input checks have passed its bytes.

#include "platform/PropertyList.h"

#include <locale.h>
#include <plist/plist.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <optional>
#include <sstream>

#include "platform/PropertyListDetail.h"

namespace platform {

using namespace plist_detail;

namespace {

// libplist reads reals with strtod, which follows LC_NUMERIC, and Qt sets the
// user's locale: under a German one "0.5" would read as 0. Parsing runs under
// the C locale on this thread.
class CLocaleScope {
 public:
  CLocaleScope() {
    static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    if (c) previous_ = uselocale(c);
  }
  ~CLocaleScope() {
    if (previous_) uselocale(previous_);
  }
  CLocaleScope(const CLocaleScope&) = delete;
  CLocaleScope& operator=(const CLocaleScope&) = delete;

 private:
  locale_t previous_ = nullptr;
};

// ---- Reading libplist's tree.

struct PlistDeleter {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistHandle = std::unique_ptr<void, PlistDeleter>;

// libplist 2.2 hands out a date as whole seconds toward zero, wrapped past
// 2038, and an unsigned microsecond part without the fraction's sign; the
// node's binary form holds the exact double: "bplist00", then the date's
// marker 0x33 and the big-endian double.
double dateSeconds(plist_t node) {
  char* bytes = nullptr;
  uint32_t length = 0;
  plist_to_bin(node, &bytes, &length);
  std::optional<double> seconds;
  if (bytes && length >= 17 && static_cast<uint8_t>(bytes[8]) == 0x33)
    seconds = std::bit_cast<double>(bigEndian(reinterpret_cast<const uint8_t*>(bytes) + 9, 8));
  plist_to_bin_free(bytes);
  if (seconds) return *seconds;
  int32_t whole = 0, micro = 0;
  plist_get_date_val(node, &whole, &micro);
  return whole + (whole < 0 ? -micro : micro) * 1e-6;
}

std::optional<PropertyValue> fromNode(plist_t node, int depth) {
  if (!node || depth > kMaxDepth) return std::nullopt;
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return PropertyValue(b != 0);
    }
    case PLIST_UINT: {
      uint64_t u = 0;
      plist_get_uint_val(node, &u);
      if (u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
        return PropertyValue(static_cast<int64_t>(u));
      // Above that libplist keeps either a negative integer, as its two's
      // complement, or an unsigned one (a 16-byte binary integer or a large
      // XML one); only comparing with a node it makes as signed tells which.
      PlistHandle asSigned(plist_new_uint(u));
      if (plist_compare_node_value(node, asSigned.get())) return PropertyValue(static_cast<int64_t>(u));
      return PropertyValue(u);
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return PropertyValue(quieted(d));
    }
    case PLIST_STRING: {
      uint64_t length = 0;
      const char* s = plist_get_string_ptr(node, &length);
      if (!s || std::memchr(s, 0, length)) return std::nullopt;  // caught by listProblem already
      return PropertyValue(std::string(s, length));
    }
    case PLIST_DATA: {
      uint64_t length = 0;
      const auto* bytes = reinterpret_cast<const uint8_t*>(plist_get_data_ptr(node, &length));
      return PropertyValue(bytes ? PropertyData(bytes, bytes + length) : PropertyData());
    }
    case PLIST_DATE:
      return PropertyValue(PropertyDate{static_cast<double>(wholeSeconds(dateSeconds(node)))});
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
      std::unique_ptr<void, decltype(&std::free)> iterator(it, &std::free);
      for (;;) {
        char* key = nullptr;
        plist_t item = nullptr;
        // Keys hold no NUL (listProblem saw to that): libplist asserts on one here.
        plist_dict_next_item(node, it, &key, &item);
        std::unique_ptr<char, decltype(&std::free)> name(key, &std::free);
        if (!item) break;
        auto value = fromNode(item, depth + 1);
        if (!value) return std::nullopt;
        dictionary.set(key ? key : "", std::move(*value));
      }
      return PropertyValue(std::move(dictionary));
    }
    default:
      return std::nullopt;
  }
}

}  // namespace

std::optional<PropertyValue> parsePropertyList(std::string_view bytes, std::string* error) {
  if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) {
    setError(error, "not a property list");
    return std::nullopt;
  }
  if (const char* problem = listProblem(bytes)) {
    setError(error, std::string("unreadable property list: ") + problem);
    return std::nullopt;
  }
  plist_t root = nullptr;
  {
    CLocaleScope cLocale;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  }
  PlistHandle handle(root);
  if (!root) {
    setError(error, "not a property list");
    return std::nullopt;
  }
  auto value = fromNode(root, 0);
  if (!value) setError(error, "unsupported or too deeply nested property list");
  return value;
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

}  // namespace platform
