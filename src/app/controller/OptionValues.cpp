#include "app/controller/OptionValues.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "app/controller/InterfaceMenus.h"

namespace option_values {

namespace {

// The export page's limits, as its size fields keep them.
constexpr int kSmallestSide = 100;
constexpr int kLargestSide = 1800;

std::string lowerCase(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

}  // namespace

std::optional<std::string> valueOf(const std::string& argument, const char* name) {
  const std::string prefix = std::string(name) + "=";
  if (argument.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
  return argument.substr(prefix.size());
}

std::optional<double> number(const std::string& text) {
  double value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<int> wholeNumber(const std::string& text) {
  int value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

std::optional<int> octaveFraction(const std::string& text) {
  if (text == "off") return 0;
  if (text.rfind("1/", 0) != 0) return std::nullopt;
  return wholeNumber(text.substr(2));
}

std::string optionName(const std::string& title) {
  std::string name = lowerCase(title);
  std::replace(name.begin(), name.end(), ' ', '-');
  return name;
}

std::string namesOf(const std::vector<ui::MenuItem>& items) {
  std::string names;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) names += i + 1 == items.size() ? " or " : ", ";
    names += optionName(items[i].title);
  }
  return names;
}

std::optional<int> tagNamed(const std::vector<ui::MenuItem>& items, std::string name) {
  name = lowerCase(name);
  std::replace(name.begin(), name.end(), '_', '-');
  std::replace(name.begin(), name.end(), ' ', '-');
  for (const ui::MenuItem& item : items)
    if (optionName(item.title) == name) return item.tag;
  return std::nullopt;
}

std::optional<int> bandwidthTag(double hz) {
  for (const ui::MenuItem& item : interface_menus::bandwidthItems()) {
    const double rbw = std::pow(10.0, item.tag * 0.1);
    if (std::fabs(hz / rbw - 1.0) < 0.01) return item.tag;
  }
  return std::nullopt;
}

std::optional<Span> span(const std::string& text, std::string* cause) {
  const std::size_t colon = text.find(':');
  *cause = "the span is LOW:HIGH in Hz";
  if (colon == std::string::npos) return std::nullopt;
  const std::string low = text.substr(0, colon), high = text.substr(colon + 1);
  const std::optional<double> lower = low.empty() ? std::optional<double>(0.0) : number(low);
  const std::optional<double> upper = high.empty() ? std::nullopt : number(high);
  if (!lower || (!high.empty() && !upper)) return std::nullopt;
  if (*lower < 0 || (upper && *upper < 0)) {
    *cause = "a span edge below 0 Hz";
    return std::nullopt;
  }
  if (upper && !(*upper > *lower)) {
    *cause = "the span's upper edge must lie above its lower edge";
    return std::nullopt;
  }
  cause->clear();
  return Span{low.empty() ? std::nullopt : lower, upper};
}

std::optional<std::pair<int, int>> pageSize(const std::string& text) {
  const std::size_t x = text.find_first_of("xX");
  const std::optional<int> w = x == std::string::npos ? std::nullopt : wholeNumber(text.substr(0, x));
  const std::optional<int> h = x == std::string::npos ? std::nullopt : wholeNumber(text.substr(x + 1));
  if (!w || !h || *w < kSmallestSide || *w > kLargestSide || *h < kSmallestSide || *h > kLargestSide)
    return std::nullopt;
  return std::pair{*w, *h};
}

std::string formatted(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

}  // namespace option_values
