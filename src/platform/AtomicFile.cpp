#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace platform {

namespace {

bool fail(std::string* error, std::string text) {
  if (error) *error = std::move(text);
  return false;
}

}  // namespace

bool writeFileAtomically(const std::string& path, std::string_view bytes, std::string* error) {
  std::string temporary = path + ".tmp-XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) return fail(error, "cannot create " + temporary + ": " + std::strerror(errno));
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int cause = n < 0 ? errno : ENOSPC;
      ::close(fd);
      ::unlink(temporary.c_str());
      return fail(error, "cannot write " + temporary + ": " + std::strerror(cause));
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  // The permissions a new file gets from the user's umask, not mkstemp's 0600.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  if (::fsync(fd) != 0) {
    const int cause = errno;
    ::close(fd);
    ::unlink(temporary.c_str());
    return fail(error, "cannot flush " + temporary + ": " + std::strerror(cause));
  }
  if (::close(fd) != 0) {
    const int cause = errno;
    ::unlink(temporary.c_str());
    return fail(error, "cannot flush " + temporary + ": " + std::strerror(cause));
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    const int cause = errno;
    ::unlink(temporary.c_str());
    return fail(error, "cannot replace " + path + ": " + std::strerror(cause));
  }
  return true;
}

}  // namespace platform
