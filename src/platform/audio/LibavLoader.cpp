// The program's side of the MPEG-4 module (LibavBackend.cpp): the module,
// and with it FFmpeg's libraries, is loaded the first time an MPEG-4 file is
// opened or written, and stays loaded. It is looked for where an installed
// program has it (SPECAN_INSTALLED_LIBAV, relative to the executable's
// folder), then where the build left it (SPECAN_BUILT_LIBAV). Without it,
// MPEG-4 files are refused as a type the program does not read.

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <mutex>
#include <string>

#include "platform/audio/AudioFileBackend.h"

namespace platform::audio::file {

namespace {

using OpenEntry = OSStatus (*)(const char*, Backend**, AudioStreamBasicDescription*);
using CreateEntry = OSStatus (*)(const char*, AudioFileTypeID, const AudioStreamBasicDescription*, Backend**);

struct Module {
  OpenEntry open = nullptr;
  CreateEntry create = nullptr;
};

std::string executableFolder() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  std::string exe(path, static_cast<std::size_t>(n));
  const std::size_t slash = exe.rfind('/');
  return slash == std::string::npos ? std::string() : exe.substr(0, slash + 1);
}

const Module& module() {
  static Module loaded;
  static std::once_flag once;
  std::call_once(once, [] {
    const std::string folder = executableFolder();
    for (const std::string& path : {folder.empty() ? std::string() : folder + SPECAN_INSTALLED_LIBAV,
                                    std::string(SPECAN_BUILT_LIBAV)}) {
      if (path.empty() || ::access(path.c_str(), R_OK) != 0) continue;
      void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (!handle) continue;
      auto open = reinterpret_cast<OpenEntry>(::dlsym(handle, "specan_libav_open"));
      auto create = reinterpret_cast<CreateEntry>(::dlsym(handle, "specan_libav_create"));
      if (open && create) {
        loaded = {open, create};
        return;
      }
      ::dlclose(handle);
    }
  });
  return loaded;
}

}  // namespace

bool libavLoaded() { return module().open != nullptr; }

OSStatus openLibav(const std::string& path, std::unique_ptr<Backend>& out, AudioStreamBasicDescription* stated) {
  const Module& m = module();
  if (!m.open) return kAudioFileUnsupportedFileTypeError;
  Backend* backend = nullptr;
  const OSStatus status = m.open(path.c_str(), &backend, stated);
  out.reset(backend);
  return status;
}

OSStatus createLibav(const std::string& path, AudioFileTypeID type, const AudioStreamBasicDescription& format,
                     std::unique_ptr<Backend>& out) {
  const Module& m = module();
  if (!m.create) return kAudioFileUnsupportedFileTypeError;
  Backend* backend = nullptr;
  const OSStatus status = m.create(path.c_str(), type, &format, &backend);
  out.reset(backend);
  return status;
}

}  // namespace platform::audio::file
