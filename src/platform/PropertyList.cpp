#include "platform/PropertyList.h"

#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <locale.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <limits>
#include <sstream>
#include <unordered_map>

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

namespace {

// The deepest nesting kept; the root is at depth 0.
constexpr int kMaxDepth = 64;
// Seconds from 1970 to 2001, and the span of dates an XML list holds: from
// 0001-01-01T00:00:00Z to 9999-12-31T23:59:59Z, in seconds since 2001.
constexpr int64_t kSeconds1970To2001 = 978307200;
constexpr int64_t kFirstDate = -63113904000;
constexpr int64_t kLastDate = 252423993599;

void setError(std::string* error, std::string text) {
  if (error) *error = std::move(text);
}

int64_t wholeSeconds(double seconds) {
  if (std::isnan(seconds)) return 0;
  seconds = std::clamp(seconds, static_cast<double>(kFirstDate), static_cast<double>(kLastDate));
  double whole = std::floor(seconds);
  // The difference is exact whenever it is below a half, so halves are told
  // from the values just below them.
  if (seconds - whole >= 0.5) whole += 1;
  return static_cast<int64_t>(whole);
}

// Text can only name quiet NaNs, so a signalling one is kept as its quiet twin.
double quieted(double d) {
  if (!std::isnan(d)) return d;
  return std::bit_cast<double>(std::bit_cast<uint64_t>(d) | uint64_t{1} << 51);
}

// ---- Checks made before libplist sees the bytes.

// A big-endian unsigned integer, read as libplist reads one: a field wider
// than 8 bytes gives its last 8.
uint64_t bigEndian(const uint8_t* p, uint64_t width) {
  if (width > 8) {
    p += width - 8;
    width = 8;
  }
  uint64_t v = 0;
  for (uint64_t i = 0; i < width; ++i) v = v << 8 | p[i];
  return v;
}

// Looks through a binary list for what libplist 2.2 cannot take: a NUL in a
// string (its getters assert that a string's length is its strlen, or it cuts
// an ASCII string short), nesting deep enough to exhaust its recursive parser,
// or objects shared so often that the tree it builds, one copy per reference,
// would be vast. Follows the references from the root level by level, and is
// no stricter than libplist about where objects and their bytes may lie (only
// within the list): what it cannot make sense of, libplist refuses anyway.
class BinaryListCheck {
 public:
  explicit BinaryListCheck(std::string_view bytes)
      : data_(reinterpret_cast<const uint8_t*>(bytes.data())), size_(bytes.size()) {}

  // Null when libplist may parse the list, otherwise why it may not.
  const char* problem() {
    if (size_ < 8 + 32) return nullptr;
    const uint8_t* trailer = data_ + size_ - 32;
    offsetSize_ = trailer[6];
    referenceSize_ = trailer[7];
    objects_ = bigEndian(trailer + 8, 8);
    uint64_t root = bigEndian(trailer + 16, 8);
    table_ = bigEndian(trailer + 24, 8);
    if (offsetSize_ == 0 || referenceSize_ == 0 || table_ >= size_) return nullptr;
    objects_ = std::min(objects_, (size_ - table_) / offsetSize_);
    auto rootOffset = offset(root);
    if (!rootOffset) return nullptr;

    // Objects by their offset, with the deepest level each was reached at.
    std::unordered_map<uint64_t, Reached> reached;
    std::vector<std::vector<uint64_t>> levels{{*rootOffset}};
    reached[*rootOffset] = Reached{0, 0};
    if (holdsNul(*rootOffset)) return "a string holds a NUL character";
    for (int level = 0;; ++level) {
      std::vector<uint64_t> next;
      for (uint64_t at : levels[level]) {
        Object o = object(at);
        for (uint64_t i = 0, n = references(o); i < n; ++i) {
          auto child = offset(bigEndian(data_ + o.start + i * referenceSize_, referenceSize_));
          if (!child) continue;
          auto [entry, first] = reached.try_emplace(*child, Reached{level + 1, 0});
          if (first && holdsNul(*child)) return "a string holds a NUL character";
          if (!first && entry->second.level == level + 1) continue;
          entry->second.level = level + 1;
          next.push_back(*child);
        }
      }
      if (next.empty()) break;
      // A cycle never ends, so it is refused here too.
      if (level + 1 > kMaxDepth) return "nested too deeply";
      levels.push_back(std::move(next));
    }

    // The size of the tree libplist would build, a node counting as 16 bytes
    // beside the bytes of its string or data; deepest objects first, so every
    // object's children are weighed before it. A list of shared strings and
    // keys, as binary writers make, stays well within 64 bytes per byte.
    const uint64_t limit = (uint64_t{1} << 16) + 64 * size_;
    for (int level = static_cast<int>(levels.size()) - 1; level >= 0; --level) {
      for (uint64_t at : levels[level]) {
        Reached& r = reached[at];
        if (r.level != level) continue;
        Object o = object(at);
        uint64_t weight = 16 + payload(o);
        for (uint64_t i = 0, n = references(o); i < n && weight <= limit; ++i) {
          auto child = offset(bigEndian(data_ + o.start + i * referenceSize_, referenceSize_));
          if (child) weight += reached[*child].weight;
        }
        r.weight = std::min(weight, limit + 1);
      }
    }
    if (reached[*rootOffset].weight > limit) return "shares its objects too often";
    return nullptr;
  }

 private:
  struct Reached {
    int level;
    uint64_t weight;
  };
  struct Object {
    uint8_t kind = 0;  // the marker's high nibble
    uint64_t count = 0;
    uint64_t start = 0;  // the first byte after the marker and its count
  };

  // Where object `index` lies, when the offset table has it.
  std::optional<uint64_t> offset(uint64_t index) const {
    if (index >= objects_) return std::nullopt;
    uint64_t at = bigEndian(data_ + table_ + index * offsetSize_, offsetSize_);
    if (at >= size_) return std::nullopt;
    return at;
  }

  Object object(uint64_t at) const {
    Object o{static_cast<uint8_t>(data_[at] >> 4), static_cast<uint64_t>(data_[at] & 0x0f), at + 1};
    bool counted = o.kind == 0x4 || o.kind == 0x5 || o.kind == 0x6 || o.kind == 0xa || o.kind == 0xc || o.kind == 0xd;
    if (counted && o.count == 0x0f) {
      // A longer count follows as an integer object.
      if (o.start >= size_ || data_[o.start] >> 4 != 0x1) return Object{};
      uint64_t width = uint64_t{1} << (data_[o.start] & 0x0f);
      if (width > size_ - o.start - 1) return Object{};
      o.count = bigEndian(data_ + o.start + 1, width);
      o.start += 1 + width;
    }
    return o;
  }

  uint64_t available(const Object& o) const { return o.start < size_ ? size_ - o.start : 0; }

  // The references an array, set or dictionary holds, as far as the bytes go.
  uint64_t references(const Object& o) const {
    if (o.kind != 0xa && o.kind != 0xc && o.kind != 0xd) return 0;
    uint64_t room = available(o) / referenceSize_;
    uint64_t count = std::min(o.count, room);
    return o.kind == 0xd ? std::min(2 * count, room) : count;
  }

  // Bytes libplist copies for a string or data object.
  uint64_t payload(const Object& o) const {
    if (o.kind == 0x4 || o.kind == 0x5) return std::min(o.count, available(o));
    if (o.kind == 0x6) return 2 * std::min(o.count, available(o) / 2);
    return 0;
  }

  bool holdsNul(uint64_t at) const {
    Object o = object(at);
    const uint8_t* p = data_ + o.start;
    if (o.kind == 0x5) return std::memchr(p, 0, payload(o)) != nullptr;
    if (o.kind == 0x6)
      for (uint64_t i = 0, n = payload(o); i < n; i += 2)
        if (p[i] == 0 && p[i + 1] == 0) return true;
    return false;
  }

  const uint8_t* data_;
  uint64_t size_;
  uint64_t table_ = 0;
  uint64_t objects_ = 0;
  uint8_t offsetSize_ = 0;
  uint8_t referenceSize_ = 0;
};

// How deeply arrays and dictionaries nest in an XML list, reading the text
// the way libplist 2.2 does: comments, CDATA sections, processing
// instructions and the doctype are skipped, and double quotes are honoured
// where libplist honours them. libplist builds an XML list without recursion
// but frees it recursively, so a deep one must be refused before it is built.
size_t xmlNesting(std::string_view text) {
  const size_t n = text.size();
  auto at = [&](size_t i, std::string_view s) { return i <= n && text.substr(i).starts_with(s); };
  // The first of `chars` from i, skipping double-quoted stretches if asked.
  auto find = [&](size_t i, std::string_view chars, bool quotes) {
    for (; i < n; ++i) {
      if (chars.find(text[i]) != std::string_view::npos) return i;
      if (quotes && text[i] == '"' && (i = text.find('"', i + 1)) == std::string_view::npos) return n;
    }
    return n;
  };
  // Just past the next `end` from i.
  auto past = [&](size_t i, std::string_view end, bool quotes) {
    for (; i < n; ++i) {
      if (at(i, end)) return i + end.size();
      if (quotes && text[i] == '"' && (i = text.find('"', i + 1)) == std::string_view::npos) return n;
    }
    return n;
  };

  size_t depth = 0, deepest = 0;
  for (size_t i = 0; (i = text.find('<', i)) != std::string_view::npos;) {
    ++i;
    if (at(i, "?")) {
      i = past(i, "?>", true);
    } else if (at(i, "!--")) {
      i = past(i + 3, "-->", false);
    } else if (at(i, "![CDATA[")) {
      i = past(i + 8, "]]>", false);
    } else if (at(i, "!DOCTYPE")) {
      i = find(i + 8, "[>", true);
      if (i < n) i = text[i] == '[' ? past(i, "]>", true) : i + 1;
    } else if (at(i, "!")) {
      break;  // libplist stops here
    } else {
      size_t nameEnd = find(i, " \r\n\t<>", false);
      size_t close = nameEnd < n && text[nameEnd] == '>' ? nameEnd : find(nameEnd, "<>", true);
      if (close >= n || text[close] != '>') break;
      std::string_view name = text.substr(i, nameEnd - i);
      bool empty = text[close - 1] == '/';
      if (empty && name.ends_with('/')) name.remove_suffix(1);
      if (!empty && (name == "array" || name == "dict"))
        deepest = std::max(deepest, ++depth);
      else if ((name == "/array" || name == "/dict") && depth > 0)
        --depth;
      i = close + 1;
    }
  }
  return deepest;
}

// Null when libplist may parse the bytes, otherwise why it may not.
const char* listProblem(std::string_view bytes) {
  if (plist_is_binary(bytes.data(), static_cast<uint32_t>(bytes.size()))) return BinaryListCheck(bytes).problem();
  // XML text has no NUL bytes; libplist would keep one inside a string.
  if (bytes.find('\0') != std::string_view::npos) return "the text holds a NUL byte";
  if (xmlNesting(bytes) > kMaxDepth + 1) return "nested too deeply";
  return nullptr;
}

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

// ---- Writing XML. The layout is libplist's, so files it wrote before come
// out the same; reals, dates and unusual characters are written so that they
// read back exactly.

std::string realText(double d) {
  if (std::isinf(d)) return d > 0 ? "+infinity" : "-infinity";
  if (std::isnan(d)) {
    // strtod reads "nan(0x…)" back with that payload below the quiet bit.
    uint64_t bits = std::bit_cast<uint64_t>(d);
    std::string text = bits >> 63 ? "-nan" : "nan";
    if (uint64_t payload = bits & ((uint64_t{1} << 51) - 1)) {
      char hex[16];
      text += "(0x" + std::string(hex, std::to_chars(hex, hex + sizeof hex, payload, 16).ptr) + ")";
    }
    return text;
  }
  // The fewest digits that read back to the same double; "-0" keeps its sign.
  char digits[32];
  return std::string(digits, std::to_chars(digits, digits + sizeof digits, d).ptr);
}

std::string dateText(double seconds) {
  time_t t = static_cast<time_t>(wholeSeconds(seconds) + kSeconds1970To2001);
  struct tm utc {};
  gmtime_r(&t, &utc);
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return text;
}

template <typename Integer>
std::string integerText(Integer i) {
  char digits[24];
  return std::string(digits, std::to_chars(digits, digits + sizeof digits, i).ptr);
}

class XmlWriter {
 public:
  // False, with the reason in error, when the value cannot be written.
  bool value(const PropertyValue& v, int depth) {
    using T = PropertyValue::Type;
    indent(depth);
    switch (v.type()) {
      case T::none:
        error = "nothing to write";
        return false;
      case T::string:
        text += "<string>";
        if (!escaped(*v.string())) return false;
        text += "</string>\n";
        return true;
      case T::real:
        text += "<real>" + realText(*v.number()) + "</real>\n";
        return true;
      case T::integer:
        text += "<integer>" + (v.integer() ? integerText(*v.integer()) : integerText(*v.unsignedInteger())) +
                "</integer>\n";
        return true;
      case T::boolean:
        text += *v.boolean() ? "<true/>\n" : "<false/>\n";
        return true;
      case T::data:
        data(*v.data(), depth);
        return true;
      case T::date:
        text += "<date>" + dateText(v.date()->secondsSince2001) + "</date>\n";
        return true;
      case T::array: {
        const auto& items = *v.array();
        bool empty = std::all_of(items.begin(), items.end(), [](const auto& i) { return i.type() == T::none; });
        text += empty ? "<array/>\n" : "<array>\n";
        if (empty) return true;
        for (const auto& item : items)
          if (item.type() != T::none && !value(item, depth + 1)) return false;
        indent(depth);
        text += "</array>\n";
        return true;
      }
      case T::dictionary: {
        const auto& entries = *v.dictionary();
        bool empty =
            std::all_of(entries.begin(), entries.end(), [](const auto& e) { return e.second.type() == T::none; });
        text += empty ? "<dict/>\n" : "<dict>\n";
        if (empty) return true;
        for (const auto& [key, item] : entries) {
          if (item.type() == T::none) continue;
          indent(depth + 1);
          text += "<key>";
          if (!escaped(key)) return false;
          text += "</key>\n";
          if (!value(item, depth + 1)) return false;
        }
        indent(depth);
        text += "</dict>\n";
        return true;
      }
    }
    return false;
  }

  std::string text;
  std::string error;

 private:
  void indent(int depth) { text.append(static_cast<std::size_t>(depth), '\t'); }

  // Markup characters as entities, control characters (CR included, which
  // an XML reader would turn into LF) as references; other bytes as they are.
  bool escaped(std::string_view s) {
    for (char c : s) {
      auto u = static_cast<unsigned char>(c);
      if (c == '&') {
        text += "&amp;";
      } else if (c == '<') {
        text += "&lt;";
      } else if (c == '>') {
        text += "&gt;";
      } else if (u == 0) {
        error = "a string or key holds a NUL character, which XML cannot hold";
        return false;
      } else if (u < 0x20 && c != '\t' && c != '\n') {
        text += "&#" + integerText(u) + ";";
      } else {
        text += c;
      }
    }
    return true;
  }

  // Base64 in lines that narrow with the depth, as libplist writes them.
  void data(const PropertyData& bytes, int depth) {
    static constexpr char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string encoded;
    encoded.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
      uint32_t group = uint32_t{bytes[i]} << 16;
      if (i + 1 < bytes.size()) group |= uint32_t{bytes[i + 1]} << 8;
      if (i + 2 < bytes.size()) group |= bytes[i + 2];
      encoded += digits[group >> 18 & 63];
      encoded += digits[group >> 12 & 63];
      encoded += i + 1 < bytes.size() ? digits[group >> 6 & 63] : '=';
      encoded += i + 2 < bytes.size() ? digits[group & 63] : '=';
    }
    int lineDepth = std::min(depth, 8);
    std::size_t width = static_cast<std::size_t>(76 - 8 * lineDepth);
    text += "<data>\n";
    for (std::size_t i = 0; i < encoded.size(); i += width) {
      indent(lineDepth);
      text.append(encoded, i, width);
      text += '\n';
    }
    indent(depth);
    text += "</data>\n";
  }
};

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

std::string propertyListXml(const PropertyValue& value, std::string* error) {
  XmlWriter writer;
  writer.text =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
      "<plist version=\"1.0\">\n";
  if (!writer.value(value, 0)) {
    setError(error, writer.error);
    return {};
  }
  writer.text += "</plist>\n";
  return std::move(writer.text);
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
  const std::string xml = propertyListXml(value, error);
  if (xml.empty()) return false;
  return writeFileAtomically(path, xml, error);
}

}  // namespace platform
