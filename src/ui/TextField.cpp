#include "ui/TextField.h"

#include <algorithm>
#include <charconv>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>

namespace ui {
namespace {

std::size_t skipBlanks(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r')) ++i;
  return i;
}

}  // namespace

double TextField::parseDouble(const std::string& text) {
  std::size_t i = skipBlanks(text);
  if (i < text.size() && text[i] == '+') ++i;
  const bool negative = i < text.size() && text[i] == '-';
  double value = 0.0;
  const auto parsed = std::from_chars(text.data() + i, text.data() + text.size(), value, std::chars_format::general);
  if (parsed.ec == std::errc::result_out_of_range) {
    // Too large or too small for a double: a negative exponent means the
    // number is all but 0, otherwise it stands for the largest value.
    const std::size_t exponent = text.find_first_of("eE", i);
    const bool tiny = exponent != std::string::npos && exponent + 1 < text.size() && text[exponent + 1] == '-';
    if (tiny) return 0.0;
    return negative ? -DBL_MAX : DBL_MAX;
  }
  if (parsed.ec != std::errc() || !std::isfinite(value)) return 0.0;
  return value;
}

int TextField::parseInt(const std::string& text) {
  std::size_t i = skipBlanks(text);
  if (i < text.size() && text[i] == '+') ++i;
  long long value = 0;
  const auto parsed = std::from_chars(text.data() + i, text.data() + text.size(), value);
  if (parsed.ec == std::errc::result_out_of_range) return i < text.size() && text[i] == '-' ? INT_MIN : INT_MAX;
  if (parsed.ec != std::errc()) return 0;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

float TextField::floatValue() const {
  // Pinned to the float range, so a huge number never becomes infinite.
  return static_cast<float>(std::clamp(doubleValue(), -static_cast<double>(FLT_MAX), static_cast<double>(FLT_MAX)));
}

void TextField::setFloatValue(float value) {
  char text[48];
  std::snprintf(text, sizeof text, "%g", static_cast<double>(value));
  setStringValue(text);
}

void TextField::setIntValue(int value) { setStringValue(std::to_string(value)); }

}  // namespace ui
