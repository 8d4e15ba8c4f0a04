#pragma once
// The values the command line's options take, checked against what the
// analyzer's own controls offer (the RBW, window and detector menus, the
// export size limits). Numbers are read independently of the locale.

#include <optional>
#include <string>
#include <vector>

#include "ui/Menu.h"

namespace option_values {

// The value of "--name=value" when argument is that option.
std::optional<std::string> valueOf(const std::string& argument, const char* name);
// A whole text that is one finite number.
std::optional<double> number(const std::string& text);
std::optional<int> wholeNumber(const std::string& text);
// N of a fraction of an octave written "1/N", or 0 for "off"; none else.
std::optional<int> octaveFraction(const std::string& text);

// The lower-case name an option gives a menu item: its title in lower case,
// spaces as '-' ("Rosenfell average" is "rosenfell-average").
std::string optionName(const std::string& title);
// "a, b or c" of the items' option names.
std::string namesOf(const std::vector<ui::MenuItem>& items);
// The tag of the item named ('_' or ' ' standing for '-'), any case.
std::optional<int> tagNamed(const std::vector<ui::MenuItem>& items, std::string name);
// The RBW menu's tag within 1 % of hz (so "3.16" and "3.1623" both name 10^0.5).
std::optional<int> bandwidthTag(double hz);

// "LOW:HIGH" in Hz, either side may be left out; the message when it is no span.
struct Span {
  std::optional<double> lower, upper;
};
std::optional<Span> span(const std::string& text, std::string* cause);
// "WxH" in points within the export page's limits (100…1800 each).
std::optional<std::pair<int, int>> pageSize(const std::string& text);

std::string formatted(double value);  // %g

}  // namespace option_values
