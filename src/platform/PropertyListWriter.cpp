// Writing the value model as an XML property list, and saving it atomically.

#include "platform/PropertyList.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "platform/AtomicFile.h"
#include "platform/PropertyListDetail.h"

namespace platform {

using namespace plist_detail;

namespace {

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

bool writePropertyList(const PropertyValue& value, const std::string& path, std::string* error) {
  const std::string xml = propertyListXml(value, error);
  if (xml.empty()) return false;
  return writeFileAtomically(path, xml, error);
}

}  // namespace platform
