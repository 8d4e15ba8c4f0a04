#include "app/formats/CalibrationFile.h"

#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isSpace(char c) { return c == ' ' || c == '\t'; }
bool isSeparator(char c) { return isSpace(c) || c == ','; }
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string_view skipSpaces(std::string_view text) {
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  return text;
}

// Whether text starts as a number does: a digit, or a sign or a point and
// then a digit ("-.5").
bool startsWithNumber(std::string_view text) {
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  if (i < text.size() && text[i] == '.') ++i;
  return i < text.size() && isDigit(text[i]);
}

// The number at the start of text, with a plus sign or none, and where it
// ends; none when text does not start with one. *finite is false for one
// that is not finite or out of a double's range.
std::optional<double> leadingNumber(std::string_view text, std::size_t& length, bool& finite) {
  std::size_t sign = !text.empty() && text.front() == '+' ? 1 : 0;
  if (sign && text.size() > 1 && text[1] == '-') return std::nullopt;
  double value = 0;
  const char* first = text.data() + sign;
  const auto [end, ec] = std::from_chars(first, text.data() + text.size(), value);
  if (end == first) return std::nullopt;
  length = static_cast<std::size_t>(end - text.data());
  finite = ec == std::errc() && std::isfinite(value);
  return value;
}

// The sensitivity factor a header line gives: "sens…" at a word's start, more
// words or none, '=' or ':', a number and "dB" (not "dBV" and the like).
std::optional<double> sensitivityOf(std::string_view line) {
  for (std::size_t at = 0; at + 4 <= line.size(); ++at) {
    if (lower(line[at]) != 's' || lower(line[at + 1]) != 'e' || lower(line[at + 2]) != 'n' ||
        lower(line[at + 3]) != 's' || (at > 0 && isLetter(line[at - 1])))
      continue;
    std::size_t i = at + 4;
    while (i < line.size() && (isLetter(line[i]) || isSpace(line[i]))) ++i;
    if (i == line.size() || (line[i] != '=' && line[i] != ':')) continue;
    std::string_view rest = skipSpaces(line.substr(i + 1));
    std::size_t length = 0;
    bool finite = false;
    const std::optional<double> value = leadingNumber(rest, length, finite);
    if (!value || !finite) continue;
    rest = skipSpaces(rest.substr(length));
    if (rest.size() < 2 || lower(rest[0]) != 'd' || lower(rest[1]) != 'b') continue;
    if (rest.size() > 2 && (isLetter(rest[2]) || isDigit(rest[2]))) continue;
    return value;
  }
  return std::nullopt;
}

std::nullopt_t refuse(std::string* error, std::string why) {
  if (error) *error = std::move(why);
  return std::nullopt;
}

std::string lineError(std::size_t line, const std::string& why) { return "line " + std::to_string(line) + ": " + why; }

std::string hertz(double f) {
  char text[32];
  std::snprintf(text, sizeof text, "%g Hz", f);
  return text;
}

}  // namespace

std::optional<dsp::SensorResponse> parseCalibrationFile(std::string_view text, std::string* error) {
  if (text.substr(0, 3) == "\xef\xbb\xbf") text.remove_prefix(3);
  std::vector<dsp::ResponsePoint> points;
  std::optional<double> sensitivity;
  std::size_t number = 0;
  while (!text.empty()) {
    ++number;
    // A line ends at LF, CR LF or a lone CR (the old Macintosh files some
    // calibration tools still write).
    const std::size_t end = text.find_first_of("\r\n");
    std::string_view line = text.substr(0, end);
    const bool crlf = end != std::string_view::npos && text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n';
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + (crlf ? 2 : 1));
    line = skipSpaces(line);
    if (!startsWithNumber(line)) {
      if (!sensitivity) sensitivity = sensitivityOf(line);
      continue;
    }

    double values[3] = {};
    int count = 0;
    while (true) {
      while (!line.empty() && isSeparator(line.front())) line.remove_prefix(1);
      if (line.empty()) break;
      std::size_t field = 0;
      while (field < line.size() && !isSeparator(line[field])) ++field;
      const std::string_view token = line.substr(0, field);
      std::size_t length = 0;
      bool finite = false;
      const std::optional<double> value = leadingNumber(token, length, finite);
      if (!value || length != token.size())
        return refuse(error, lineError(number, "\"" + std::string(token) + "\" is not a number"));
      if (!finite) return refuse(error, lineError(number, "\"" + std::string(token) + "\" is not a finite number"));
      if (count == 3) return refuse(error, lineError(number, "more than a frequency, a response and a phase"));
      values[count++] = *value;
      line.remove_prefix(field);
    }
    if (count < 2) return refuse(error, lineError(number, "a frequency without a response"));
    if (values[0] <= 0) return refuse(error, lineError(number, "the frequency must be above 0 Hz"));
    if (std::fabs(values[1]) > dsp::SensorResponse::kLargestResponseDb) {
      char text[64];
      std::snprintf(text, sizeof text, "%g", values[1]);
      return refuse(error, lineError(number, "a response of " + std::string(text) +
                                                 " dB is beyond any sensor's (at most \xc2\xb1" "200 dB)"));
    }
    if (!points.empty() && values[0] <= points.back().hertz)
      return refuse(error, lineError(number, "the frequencies must rise (" + hertz(values[0]) + " after " +
                                                 hertz(points.back().hertz) + ")"));
    dsp::ResponsePoint point;
    point.hertz = values[0];
    point.db = values[1];
    if (count == 3) point.phaseDegrees = values[2];
    points.push_back(point);
  }
  if (points.empty()) return refuse(error, "it holds no lines of frequency and response");
  return dsp::SensorResponse::make(std::move(points), sensitivity, error);
}

std::optional<dsp::SensorResponse> readCalibrationFile(const std::string& path, std::string* error) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return refuse(error, "cannot open " + path + ": " + std::strerror(errno));
  if (!S_ISREG(info.st_mode)) return refuse(error, path + " is not a file");
  if (info.st_size > kLargestCalibrationFile) return refuse(error, "it is far too large for a calibration file");
  std::ifstream file(path, std::ios::binary);
  if (!file) return refuse(error, "cannot open " + path + ": " + std::strerror(errno));
  // One byte more than its size, to see whether it grew since.
  std::string bytes(static_cast<std::size_t>(info.st_size) + 1, '\0');
  file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (file.bad()) return refuse(error, "cannot read " + path);
  bytes.resize(static_cast<std::size_t>(file.gcount()));
  if (file.gcount() > info.st_size) return refuse(error, path + " changed while it was read");
  return parseCalibrationFile(bytes, error);
}
