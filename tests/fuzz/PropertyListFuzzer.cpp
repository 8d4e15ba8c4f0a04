// Fuzzes the property-list reader with arbitrary bytes. Whatever reads must
// write as XML, that XML must read back to an equal value, and writing that
// value again must give the same text; a list that does not read must say why.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/PropertyList.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "plist fuzzer: %s\n%s\n", what, detail.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace platform;
  std::string error;
  auto value = parsePropertyList(std::string_view(reinterpret_cast<const char*>(data), size), &error);
  if (!value) {
    if (error.empty()) fail("refused without a reason", "");
    return 0;
  }
  std::string xml = propertyListXml(*value, &error);
  if (xml.empty()) fail("a list that reads cannot be written", error);
  auto again = parsePropertyList(xml, &error);
  if (!again) fail("the written XML does not read", error + "\n" + xml);
  if (!(*again == *value)) fail("the written XML reads back to another value", xml);
  if (propertyListXml(*again) != xml) fail("writing it again gives another text", xml);
  return 0;
}
