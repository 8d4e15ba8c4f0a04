#pragma once
// A client of the test's own at a JACK server: two input ports copied to two
// output ports each cycle, a perfect wire; on request it overruns one
// period, which makes the server count an xrun. Header only; the test links
// libjack and the JACK provider.

#include <jack/jack.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "platform/audio/jack/JackProvider.h"

namespace testsupport {

// The test command's JACK server (SPECAN_JACK_SERVER; empty without one),
// and whether a test must fail rather than skip without it
// (SPECAN_JACK_REQUIRED=1).
inline std::string jackTestServer() {
  const char* name = std::getenv("SPECAN_JACK_SERVER");
  return name ? name : "";
}
inline bool jackTestServerRequired() {
  const char* required = std::getenv("SPECAN_JACK_REQUIRED");
  return required && std::string(required) == "1";
}
// The JACK provider on that server; null without one (the test then fails
// when the server is required, else skips).
inline std::shared_ptr<platform::audio::jack::JackProvider> jackTestProvider() {
  platform::audio::jack::Options options;
  options.serverName = jackTestServer();
  return options.serverName.empty() ? nullptr : platform::audio::jack::JackProvider::create(options);
}

class JackWire {
 public:
  JackWire(const char* name, const std::string& server) {
    jack_status_t status{};
    client_ = jack_client_open(name, jack_options_t(JackNoStartServer | JackServerName), &status, server.c_str());
    if (!client_) return;
    for (int i = 0; i < 2; ++i) {
      in_[i] = jack_port_register(client_, ("in_" + std::to_string(i + 1)).c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                  JackPortIsInput, 0);
      out_[i] = jack_port_register(client_, ("out_" + std::to_string(i + 1)).c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                   JackPortIsOutput, 0);
    }
    jack_set_process_callback(client_, process, this);
    jack_activate(client_);
  }
  ~JackWire() {
    if (client_) jack_client_close(client_);
  }
  JackWire(const JackWire&) = delete;
  JackWire& operator=(const JackWire&) = delete;
  bool ok() const { return client_ != nullptr; }
  // The next cycle takes `length` longer than its period.
  void stallOnce(std::chrono::milliseconds length) {
    stallMs_.store(static_cast<int>(length.count()));
    stall_.store(true);
  }
  bool stalled() const { return stalled_.load(); }

 private:
  static int process(jack_nframes_t frames, void* arg) {
    auto* me = static_cast<JackWire*>(arg);
    if (me->stall_.exchange(false)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(me->stallMs_.load()));
      me->stalled_.store(true);
    }
    for (int i = 0; i < 2; ++i)
      std::memcpy(jack_port_get_buffer(me->out_[i], frames), jack_port_get_buffer(me->in_[i], frames),
                  frames * sizeof(float));
    return 0;
  }
  jack_client_t* client_ = nullptr;
  jack_port_t* in_[2] = {};
  jack_port_t* out_[2] = {};
  std::atomic<bool> stall_{false}, stalled_{false};
  std::atomic<int> stallMs_{0};
};

}  // namespace testsupport
