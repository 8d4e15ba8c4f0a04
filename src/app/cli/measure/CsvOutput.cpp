#include "app/cli/measure/CsvOutput.h"

#include "platform/AtomicFile.h"

namespace measure {

std::string writeCsvOutput(const std::string& target, const std::string& text, std::FILE* out) {
  if (target == "-") {
    if (std::fwrite(text.data(), 1, text.size(), out) != text.size() || std::fflush(out) != 0)
      return "standard output: the CSV was not written";
    return {};
  }
  std::string error;
  if (!platform::writeFileAtomically(target, text, &error)) return target + ": the CSV was not written: " + error;
  return {};
}

}  // namespace measure
