#pragma once
// Pieces of the JSON and CSV the commands print: a string with its quotes,
// backslashes and control characters escaped (bytes above 0x7f, UTF-8,
// pass as they are), and a number in a printf format, or null when it is
// not finite; printedNumber prints any number as the format says.

#include <optional>
#include <string>

std::string jsonString(const std::string& text);
std::string jsonNumber(std::optional<double> value, const char* format);
std::string printedNumber(const char* format, double value);
