#pragma once
// What the property-list reader, writer and input checks share: limits, date
// arithmetic and the checks made before libplist sees a file's bytes.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform::plist_detail {

// The deepest nesting kept; the root is at depth 0.
inline constexpr int kMaxDepth = 64;
// Seconds from 1970 to 2001, and the span of dates an XML list holds: from
// 0001-01-01T00:00:00Z to 9999-12-31T23:59:59Z, in seconds since 2001.
inline constexpr int64_t kSeconds1970To2001 = 978307200;
inline constexpr int64_t kFirstDate = -63113904000;
inline constexpr int64_t kLastDate = 252423993599;

inline void setError(std::string* error, std::string text) {
  if (error) *error = std::move(text);
}

inline int64_t wholeSeconds(double seconds) {
  if (std::isnan(seconds)) return 0;
  seconds = std::clamp(seconds, static_cast<double>(kFirstDate), static_cast<double>(kLastDate));
  double whole = std::floor(seconds);
  // The difference is exact whenever it is below a half, so halves are told
  // from the values just below them.
  if (seconds - whole >= 0.5) whole += 1;
  return static_cast<int64_t>(whole);
}

// Text can only name quiet NaNs, so a signalling one is kept as its quiet twin.
inline double quieted(double d) {
  if (!std::isnan(d)) return d;
  return std::bit_cast<double>(std::bit_cast<uint64_t>(d) | uint64_t{1} << 51);
}

// A big-endian unsigned integer, read as libplist reads one: a field wider
// than 8 bytes gives its last 8.
uint64_t bigEndian(const uint8_t* p, uint64_t width);

// Null when libplist may parse the bytes (a binary list whose offsets, counts
// and references all stay inside it, or XML text without NUL bytes and not
// nested past kMaxDepth), otherwise why it may not.
const char* listProblem(std::string_view bytes);

}  // namespace platform::plist_detail
