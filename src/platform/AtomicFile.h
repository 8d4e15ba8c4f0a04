#pragma once
// Writing a file whole or not at all: the bytes go to a temporary file
// beside the target, are flushed to the disk and then renamed over it, so a
// crash, a full disk or a failed write never leaves a partial file and the
// previous file stays as it was until the new one is complete.

#include <string>
#include <string_view>

namespace platform {

// False with the reason in *error when the file could not be written.
bool writeFileAtomically(const std::string& path, std::string_view bytes, std::string* error = nullptr);

}  // namespace platform
