// Linked into every test program: the settings the analyzer reads and writes
// go to a fresh folder of this process, never to the user's own, and no test
// sees another's. The folder goes when the program ends.

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

struct IsolatedSettings {
  std::string folder;
  IsolatedSettings() {
    std::string pattern = (std::filesystem::temp_directory_path() / "specan-test-XXXXXX").string();
    if (::mkdtemp(pattern.data())) {
      folder = pattern;
      ::setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
    }
  }
  ~IsolatedSettings() {
    std::error_code ignored;
    if (!folder.empty()) std::filesystem::remove_all(folder, ignored);
  }
};

const IsolatedSettings isolatedSettings;

}  // namespace
