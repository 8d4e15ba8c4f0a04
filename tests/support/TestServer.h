#pragma once
// The private PulseAudio server of scripts/pulse-daemon, as the tests that
// stop it for a moment see it: its process, stopped and continued as a busy
// or virtual machine stops every process, and started afresh afterwards.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace testsupport {

// The server's process, or 0 when the server is not ours (SPECAN_PULSE_DIR
// unset) or has no pid file.
inline pid_t testServerProcess() {
  const char* folder = std::getenv("SPECAN_PULSE_DIR");
  if (!folder) return 0;
  pid_t server = 0;
  std::ifstream(std::string(folder) + "/daemon.pid") >> server;
  return server;
}

// Stops the server for a while and lets it go on, from a thread of its own
// so that the test keeps serving meanwhile. Once stopped like this a server
// may leave its sinks' monitors silent for the streams of later clients, so
// the holder starts it afresh when it goes (the next test gets a new one).
class ServerStalls {
 public:
  explicit ServerStalls(pid_t server) : server_(server) {}
  ~ServerStalls() {
    if (resume_.joinable()) resume_.join();
    kill(server_, SIGKILL);
    const std::string start = std::string(SPECAN_SOURCE_DIR) + "/scripts/pulse-daemon start >/dev/null";
    if (std::system(start.c_str()) != 0) ADD_FAILURE() << "the test server did not start again";
  }
  ServerStalls(const ServerStalls&) = delete;
  ServerStalls& operator=(const ServerStalls&) = delete;

  // Stops the server now and continues it after `length`; an earlier stall
  // has ended by then (it is waited for).
  void stallFor(std::chrono::milliseconds length) {
    if (resume_.joinable()) resume_.join();
    kill(server_, SIGSTOP);
    resume_ = std::thread([server = server_, length] {
      std::this_thread::sleep_for(length);
      kill(server, SIGCONT);
    });
  }
  // Waits for the last stall to end.
  void resume() {
    if (resume_.joinable()) resume_.join();
    kill(server_, SIGCONT);
  }

 private:
  pid_t server_;
  std::thread resume_;
};

}  // namespace testsupport
