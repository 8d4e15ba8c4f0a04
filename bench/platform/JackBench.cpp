// The JACK provider on private dummy-driver servers, one per period (128,
// 256 and 1024 frames at 48 kHz, started and stopped by the bench):
//
//   - round trip: an impulse from our output ports through a pass-through
//     client back to our input ports, in frames of the server's clock,
//     against the latency the server reports for that path (our devices'
//     latency properties, and one period for the feedback through the
//     graph, which the server breaks with a period's delay);
//   - CPU time per second of stereo audio of this process with our provider
//     recording and playing the server's system ports, against a minimal
//     pass-through client doing the same in the same run.
//
//   build/bench/platform/platform_jack_bench [SECONDS]   (default 5 per CPU case)
// Needs jackd (scripts/setup installs it). Prints plain text; never run by
// the test suite.

#include <jack/jack.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio/jack/JackProvider.h"

namespace {

namespace pa = platform::audio;
using namespace std::chrono_literals;

constexpr double kRate = 48000;

double processCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// A dummy-driver server of its own name, for the bench's lifetime.
class Server {
 public:
  explicit Server(int period) : name_("specan-bench-" + std::to_string(getpid()) + "-" + std::to_string(period)) {
    std::fflush(stdout);  // the child would print what is buffered again
    pid_ = fork();
    if (pid_ == 0) {
      setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
      const std::string p = std::to_string(period);
      freopen("/dev/null", "w", stdout);
      freopen("/dev/null", "w", stderr);
      execlp("jackd", "jackd", "--no-realtime", "-n", name_.c_str(), "-d", "dummy", "-r", "48000", "-p", p.c_str(),
             "-C", "2", "-P", "2", static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 200 && !reachable(); ++i) std::this_thread::sleep_for(25ms);
  }
  ~Server() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  const std::string& name() const { return name_; }
  bool reachable() const {
    jack_status_t status{};
    jack_client_t* c =
        jack_client_open("specan-bench-probe", jack_options_t(JackNoStartServer | JackServerName), &status, name_.c_str());
    if (!c) return false;
    jack_client_close(c);
    return true;
  }

 private:
  std::string name_;
  pid_t pid_ = -1;
};

// A minimal JACK client: two input ports copied to two output ports.
class PassThrough {
 public:
  PassThrough(const std::string& server, const char* name) {
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
  ~PassThrough() {
    if (client_) jack_client_close(client_);
  }
  bool ok() const { return client_ != nullptr; }
  // Its ports wired between the server's capture and playback ports.
  void wireToSystem() {
    for (int i = 0; i < 2; ++i) {
      jack_connect(client_, ("system:capture_" + std::to_string(i + 1)).c_str(), jack_port_name(in_[i]));
      jack_connect(client_, jack_port_name(out_[i]), ("system:playback_" + std::to_string(i + 1)).c_str());
    }
  }
  jack_client_t* client() const { return client_; }

 private:
  static int process(jack_nframes_t frames, void* arg) {
    auto* me = static_cast<PassThrough*>(arg);
    for (int i = 0; i < 2; ++i)
      std::memcpy(jack_port_get_buffer(me->out_[i], frames), jack_port_get_buffer(me->in_[i], frames),
                  frames * sizeof(float));
    return 0;
  }
  jack_client_t* client_ = nullptr;
  jack_port_t* in_[2] = {};
  jack_port_t* out_[2] = {};
};

pa::AudioObjectID deviceOf(pa::jack::JackProvider* provider, const std::string& uid) {
  provider->flushNotifications();
  return provider->deviceWithUID(uid);
}

uint32_t latencyOf(pa::Provider& provider, pa::AudioObjectID id, pa::AudioObjectPropertyScope scope) {
  uint32_t frames = 0, size = sizeof frames;
  const pa::AudioObjectPropertyAddress a{pa::kAudioDevicePropertyLatency, scope, 0};
  if (provider.getPropertyData(id, a, 0, nullptr, size, &frames) != pa::noErr) return 0;
  return frames;
}

// The server's frame clock at the start of the cycle in hand, snapped to the
// period (jack_frame_time interpolates between cycles).
uint64_t cycleFrame(jack_client_t* clock, uint32_t period) {
  const uint64_t now = jack_frame_time(clock);
  return (now + period / 2) / period * period;
}

// Plays an impulse on channel 1 every half second, noting the server frame
// it was written at.
struct ImpulseOut final : pa::IoClient {
  jack_client_t* clock = nullptr;
  uint32_t period = 0;
  std::atomic<uint64_t> frames{0}, sentAt{0};
  std::atomic<int> sent{0};
  void ioCycle(pa::AudioObjectID, const pa::IoCycle& cycle) noexcept override {
    const uint64_t before = frames.fetch_add(cycle.frames);
    if (before / 24000 != (before + cycle.frames) / 24000 && before > 0) {
      static_cast<float*>(cycle.output->mBuffers[0].mData)[0] = 1.0f;
      sentAt = cycleFrame(clock, period);
      sent.fetch_add(1);
    }
  }
};

// Finds the impulse on channel 1 and notes the server frame it arrived at.
struct ImpulseIn final : pa::IoClient {
  jack_client_t* clock = nullptr;
  uint32_t period = 0;
  std::atomic<uint64_t> arrivedAt{0};
  std::atomic<int> arrived{0};
  void ioCycle(pa::AudioObjectID, const pa::IoCycle& cycle) noexcept override {
    const auto* x = static_cast<const float*>(cycle.input->mBuffers[0].mData);
    for (uint32_t i = 0; i < cycle.frames; ++i)
      if (x[i] > 0.5f) {
        arrivedAt = cycleFrame(clock, period) + i;
        arrived.fetch_add(1);
      }
  }
};

// Records both channels and plays them back delayed by nothing: what the
// analyzer's input and generator do at the least, for the CPU comparison.
struct Copy final : pa::IoClient {
  float last[2] = {0, 0};
  void ioCycle(pa::AudioObjectID, const pa::IoCycle& cycle) noexcept override {
    if (cycle.input) {
      for (uint32_t ch = 0; ch < 2 && ch < cycle.input->mNumberBuffers; ++ch)
        last[ch] = static_cast<const float*>(cycle.input->mBuffers[ch].mData)[cycle.frames - 1];
    } else {
      for (uint32_t ch = 0; ch < 2 && ch < cycle.output->mNumberBuffers; ++ch)
        std::fill_n(static_cast<float*>(cycle.output->mBuffers[ch].mData), cycle.frames, last[ch]);
    }
  }
};

double cpuPerSecond(const std::function<void()>& run, double seconds) {
  const double cpu0 = processCpuSeconds();
  const auto t0 = std::chrono::steady_clock::now();
  run();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return (processCpuSeconds() - cpu0) / wall;
}

void quiet(const char*) {}

}  // namespace

int main(int argc, char** argv) {
  jack_set_error_function(quiet);  // the probes of a server still starting say so
  jack_set_info_function(quiet);
  const double seconds = argc > 1 ? std::max(1.0, std::atof(argv[1])) : 5.0;
  std::printf("JACK provider, dummy driver at 48 kHz (command: %s %g)\n\n", argv[0], seconds);
  std::printf("%-7s %-28s %-30s %s\n", "period", "round trip (median of 10)", "server reports (+1 period)",
              "CPU per second: ours / minimal client");
  for (const uint32_t period : {128u, 256u, 1024u}) {
    Server server(static_cast<int>(period));
    if (!server.reachable()) {
      std::printf("%-7u the server did not start (is jackd installed?)\n", period);
      return 1;
    }
    // The baseline first, alone at the server: a minimal pass-through
    // client between the system ports.
    double minimal = 0;
    {
      PassThrough baseline(server.name(), "bench-minimal");
      minimal = cpuPerSecond([&] { baseline.wireToSystem(); }, seconds);
    }
    pa::jack::Options options;
    options.serverName = server.name();
    auto provider = pa::jack::JackProvider::create(options);
    auto loop = std::make_unique<PassThrough>(server.name(), "bench-loop");
    if (!provider || !loop->ok()) {
      std::printf("%-7u no provider or pass-through client\n", period);
      return 1;
    }

    // Round trip: our output ports -> bench-loop -> our input ports.
    const pa::AudioObjectID out = deviceOf(provider.get(), "jack:out:bench-loop");
    const pa::AudioObjectID in = deviceOf(provider.get(), "jack:in:bench-loop");
    ImpulseOut impulseOut;
    ImpulseIn impulseIn;
    impulseOut.clock = impulseIn.clock = loop->client();
    impulseOut.period = impulseIn.period = period;
    provider->startIo(in, pa::kAudioObjectPropertyScopeInput, &impulseIn);
    provider->startIo(out, pa::kAudioObjectPropertyScopeOutput, &impulseOut);
    std::vector<int64_t> trips;
    int seen = 0;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (trips.size() < 10 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(5ms);
      if (impulseIn.arrived.load() > seen && impulseIn.arrived.load() == impulseOut.sent.load()) {
        seen = impulseIn.arrived.load();
        trips.push_back(int64_t(impulseIn.arrivedAt.load()) - int64_t(impulseOut.sentAt.load()));
      }
    }
    provider->stopIo(out, pa::kAudioObjectPropertyScopeOutput, &impulseOut);
    provider->stopIo(in, pa::kAudioObjectPropertyScopeInput, &impulseIn);
    const uint32_t reported = latencyOf(*provider, in, pa::kAudioObjectPropertyScopeInput) +
                              latencyOf(*provider, out, pa::kAudioObjectPropertyScopeOutput) + period;
    loop.reset();  // not part of the CPU comparison
    std::sort(trips.begin(), trips.end());
    char trip[64] = "no impulse came back";
    if (!trips.empty())
      std::snprintf(trip, sizeof trip, "%lld frames (%.2f ms)", static_cast<long long>(trips[trips.size() / 2]),
                    double(trips[trips.size() / 2]) / kRate * 1e3);

    // CPU: our provider recording the capture ports and playing the
    // playback ports, as the baseline did.
    double ours = 0;
    {
      const pa::AudioObjectID capture = deviceOf(provider.get(), "jack:in:system");
      const pa::AudioObjectID playback = deviceOf(provider.get(), "jack:out:system");
      Copy copy;
      ours = cpuPerSecond(
          [&] {
            provider->startIo(capture, pa::kAudioObjectPropertyScopeInput, &copy);
            provider->startIo(playback, pa::kAudioObjectPropertyScopeOutput, &copy);
          },
          seconds);
      provider->stopIo(playback, pa::kAudioObjectPropertyScopeOutput, &copy);
      provider->stopIo(capture, pa::kAudioObjectPropertyScopeInput, &copy);
    }
    char reportedText[64];
    std::snprintf(reportedText, sizeof reportedText, "%u frames (%.2f ms)", reported, double(reported) / kRate * 1e3);
    std::printf("%-7u %-28s %-30s %.4f s / %.4f s = %.2f\n", period, trip, reportedText, ours, minimal,
                minimal > 0 ? ours / minimal : 0.0);
  }
  return 0;
}
