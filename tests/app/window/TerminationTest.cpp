// The analyzer as a user runs it: ended by a signal, it still saves its
// settings.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/PropertyList.h"

namespace fs = std::filesystem;

namespace {

// Starts specan on the simulated sound cards with its settings in folder;
// with held set, the process starts with that signal held back, as if it
// had arrived before the analyzer could have handled it.
pid_t startAnalyzer(const fs::path& folder, int held) {
  // Held back before the fork, so the child has it held from its first
  // instruction on.
  sigset_t set, previous;
  sigemptyset(&set);
  if (held != 0) sigaddset(&set, held);
  pthread_sigmask(SIG_BLOCK, &set, &previous);
  const pid_t child = fork();
  if (child != 0) pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (child == 0) {
    ::setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    execl(SPECAN_EXECUTABLE, "specan", "--audio=simulated", static_cast<char*>(nullptr));
    _exit(127);
  }
  return child;
}

int waitFor(pid_t child) {
  int status = 0;
  for (int i = 0; i < 600; ++i) {  // up to a minute (sanitizer builds are slow to quit)
    if (waitpid(child, &status, WNOHANG) == child) return status;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  kill(child, SIGKILL);
  waitpid(child, &status, 0);
  ADD_FAILURE() << "the analyzer did not end";
  return status;
}

}  // namespace

TEST(Termination, ASignalRunsTheShutdownAndSavesTheSettings) {
  for (int signal : {SIGTERM, SIGINT}) {
    const fs::path folder = fs::path(std::getenv("XDG_CONFIG_HOME")) / ("signal-" + std::to_string(signal));
    fs::create_directories(folder);
    // SIGTERM while running; SIGINT at once, before the program could have
    // handled it: it waits for the event loop.
    const bool atOnce = signal == SIGINT;
    const pid_t child = startAnalyzer(folder, atOnce ? signal : 0);
    ASSERT_GT(child, 0);
    if (!atOnce) std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    kill(child, signal);
    const int status = waitFor(child);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 128 + signal);
    const std::optional<platform::PropertyValue> saved =
        platform::readPropertyList((folder / "org.specan.SpecAn.plist").string());
    ASSERT_TRUE(saved && saved->dictionary()) << "signal " << signal;
    EXPECT_NE(saved->dictionary()->string("Window position"), nullptr);
    EXPECT_NE(saved->dictionary()->find("Sound card"), nullptr) << "the input stored its keys too";
  }
}
