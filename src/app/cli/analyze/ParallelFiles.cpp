#include "app/cli/analyze/ParallelFiles.h"

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

namespace analyze {

namespace {

struct Child {
  std::FILE* out = nullptr;  // the child's standard output and error, kept
  std::FILE* err = nullptr;
  bool done = false;
  bool analysed = false;
  std::string cause;  // why it ended without an answer; "" when it gave one
};

void copyOut(std::FILE* from, std::FILE* to) {
  if (!from) return;
  std::rewind(from);
  char buffer[1 << 14];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, from)) > 0;) std::fwrite(buffer, 1, n, to);
  std::fflush(to);
  std::fclose(from);
}

}  // namespace

int processorCount() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return std::max(1L, sysconf(_SC_NPROCESSORS_ONLN));
}

bool analyseInProcesses(const std::vector<std::string>& files, int jobs,
                        const std::function<bool(const std::string&)>& analyse) {
  std::fflush(stdout);
  std::fflush(stderr);
  std::vector<Child> children(files.size());
  std::map<pid_t, std::size_t> running;
  std::size_t started = 0, written = 0;
  bool allAnalysed = true;
  while (written < files.size()) {
    while (static_cast<int>(running.size()) < jobs && started < files.size()) {
      Child& child = children[started];
      child.out = std::tmpfile();
      child.err = std::tmpfile();
      const pid_t pid = child.out && child.err ? ::fork() : -1;
      if (pid == 0) {
        ::dup2(::fileno(child.out), STDOUT_FILENO);
        ::dup2(::fileno(child.err), STDERR_FILENO);
        const bool analysed = analyse(files[started]);
        std::fflush(stdout);
        std::fflush(stderr);
        ::_exit(analysed ? 0 : 1);
      }
      if (pid < 0) {
        child.done = true;
        child.cause = std::string("the analysis could not be started: ") + std::strerror(errno);
      } else {
        running.emplace(pid, started);
      }
      ++started;
    }
    for (; written < started && children[written].done; ++written) {
      Child& child = children[written];
      copyOut(child.err, stderr);
      copyOut(child.out, stdout);
      if (!child.cause.empty())
        std::fprintf(stderr, "specan: %s: %s\n", files[written].c_str(), child.cause.c_str());
      if (!child.analysed) allAnalysed = false;
    }
    if (running.empty()) continue;
    int status = 0;
    const pid_t pid = ::waitpid(-1, &status, 0);
    if (pid < 0) {
      if (errno == EINTR) continue;
      // No child is left to wait for: none can be done any more.
      for (auto& [lost, index] : running) {
        children[index].done = true;
        children[index].cause = "the analysis was lost";
      }
      running.clear();
      continue;
    }
    const auto at = running.find(pid);
    if (at == running.end()) continue;
    Child& child = children[at->second];
    running.erase(at);
    child.done = true;
    child.analysed = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (WIFSIGNALED(status))
      child.cause = std::string("the analysis ended by signal ") + std::to_string(WTERMSIG(status)) + " (" +
                    strsignal(WTERMSIG(status)) + ")";
  }
  std::fflush(stderr);
  return allAnalysed;
}

}  // namespace analyze
