// The checks a property list's bytes pass before libplist parses them:
// libplist trusts the offsets and counts of a binary list and recurses over a
// deeply nested XML one, so a corrupt or hostile file is refused here.

#include <plist/plist.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/PropertyListDetail.h"

namespace platform::plist_detail {

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

namespace {

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

}  // namespace

const char* listProblem(std::string_view bytes) {
  if (plist_is_binary(bytes.data(), static_cast<uint32_t>(bytes.size()))) return BinaryListCheck(bytes).problem();
  // XML text has no NUL bytes; libplist would keep one inside a string.
  if (bytes.find('\0') != std::string_view::npos) return "the text holds a NUL byte";
  if (xmlNesting(bytes) > kMaxDepth + 1) return "nested too deeply";
  return nullptr;
}

}  // namespace platform::plist_detail
