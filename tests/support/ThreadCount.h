#pragma once
// The number of threads the process has now, from /proc/self/task, all of
// them or those of one name.

#include <dirent.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

namespace testsupport {

inline int threadCount() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

// Threads whose name (pthread_setname_np, /proc/self/task/N/comm) is `name`.
inline int threadsNamed(const char* name) {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      const std::string path = std::string("/proc/self/task/") + e->d_name + "/comm";
      if (std::FILE* f = std::fopen(path.c_str(), "r")) {
        char comm[32] = {};
        if (std::fgets(comm, sizeof comm, f)) {
          comm[std::strcspn(comm, "\n")] = 0;
          n += std::strcmp(comm, name) == 0;
        }
        std::fclose(f);
      }
    }
    closedir(d);
  }
  return n;
}

// The count once it equals `expected`: a thread that has been joined may
// stay in /proc for a moment, so the count is read until it agrees, for at
// most `limit`; what it reads then is returned (a thread that never ends
// shows as a count that never agrees).
inline int settledCount(const std::function<int()>& count, int expected,
                        std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int n = count();
  while (n != expected && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    n = count();
  }
  return n;
}

// The count once it is at most `most` (threads that were ending when an
// earlier count was taken may have gone since), read likewise.
inline int settledAtMost(const std::function<int()>& count, int most,
                         std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int n = count();
  while (n > most && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    n = count();
  }
  return n;
}

}  // namespace testsupport
