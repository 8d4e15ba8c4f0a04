#pragma once
// A command's CSV where its --csv option sends it: "-" for the command's
// standard output, else a file written whole or not at all.

#include <cstdio>
#include <string>

namespace measure {

// Writes text to target (out for "-"); empty when written, else what went
// wrong, as the command says it ("standard output: the CSV was not
// written", "FILE: the CSV was not written: cause").
std::string writeCsvOutput(const std::string& target, const std::string& text, std::FILE* out);

}  // namespace measure
