// The PulseAudio provider on a running server (scripts/pulse-daemon start, then
// export what it prints), with the null sink "specan_test_a":
//   1. Round trip: a click played through the provider into the sink and
//      found again in its monitor, taken through the provider; the time from
//      the output cycle that carries it to the input cycle that brings it
//      back (median and 99th percentile), against the latency the server
//      reports for the sink and the monitor.
//   2. CPU: the provider's CPU time per second of stereo audio played and
//      recorded at 48 and 192 kHz, against pacat and parec doing the same.
// Prints plain text; never run by the test suite.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio/pulse/PulseProvider.h"

namespace {

namespace pa = platform::audio;
using namespace std::chrono_literals;

uint64_t nowNanos() {
  return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count());
}

double cpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Plays a click every `period` frames, silence otherwise.
struct Clicker : pa::IoClient {
  uint32_t period = 4800;
  uint64_t position = 0;
  static constexpr int kMax = 256;
  std::atomic<int> sent{0};
  uint64_t sentAt[kMax] = {};
  void ioCycle(pa::AudioObjectID, const pa::IoCycle& c) noexcept override {
    for (uint32_t i = 0; i < c.frames; ++i, ++position) {
      if (position % period != 0 || position == 0) continue;
      const int n = sent.load();
      if (n >= kMax) continue;
      sentAt[n] = nowNanos();
      for (uint32_t ch = 0; ch < c.output->mNumberBuffers; ++ch) static_cast<float*>(c.output->mBuffers[ch].mData)[i] = 0.9f;
      sent.store(n + 1);
    }
  }
};

// Notes when clicks come back.
struct Listener : pa::IoClient {
  static constexpr int kMax = 256;
  std::atomic<int> heard{0};
  uint64_t heardAt[kMax] = {};
  uint32_t quiet = 0;
  void ioCycle(pa::AudioObjectID, const pa::IoCycle& c) noexcept override {
    const float* x = static_cast<const float*>(c.input->mBuffers[0].mData);
    const uint64_t t = nowNanos();
    for (uint32_t i = 0; i < c.frames; ++i) {
      if (x[i] > 0.45f && quiet > 1000) {
        const int n = heard.load();
        if (n < kMax) {
          heardAt[n] = t;
          heard.store(n + 1);
        }
        quiet = 0;
      } else {
        ++quiet;
      }
    }
  }
};

// Counts cycles only.
struct Null : pa::IoClient {
  std::atomic<uint64_t> frames{0};
  void ioCycle(pa::AudioObjectID, const pa::IoCycle& c) noexcept override { frames += c.frames; }
};

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

uint32_t latencyFrames(pa::pulse::PulseProvider& p, pa::AudioObjectID id, pa::AudioObjectPropertyScope scope) {
  uint32_t frames = 0, size = 4;
  const pa::AudioObjectPropertyAddress a{pa::kAudioDevicePropertyLatency, scope, 0};
  p.getPropertyData(id, a, 0, nullptr, size, &frames);
  return frames;
}

void setUInt(pa::pulse::PulseProvider& p, pa::AudioObjectID id, pa::AudioObjectPropertySelector s, uint32_t v) {
  p.setPropertyData(id, {s, pa::kAudioObjectPropertyScopeGlobal, 0}, 0, nullptr, 4, &v);
}
void setRate(pa::pulse::PulseProvider& p, pa::AudioObjectID id, double rate) {
  p.setPropertyData(id, {pa::kAudioDevicePropertyNominalSampleRate, pa::kAudioObjectPropertyScopeGlobal, 0}, 0, nullptr,
                    8, &rate);
}

void roundTrip(pa::pulse::PulseProvider& p, pa::AudioObjectID sink, pa::AudioObjectID monitor, uint32_t frames) {
  setUInt(p, sink, pa::kAudioDevicePropertyBufferFrameSize, frames);
  setUInt(p, monitor, pa::kAudioDevicePropertyBufferFrameSize, frames);
  Clicker clicker;
  Listener listener;
  p.startIo(monitor, pa::kAudioObjectPropertyScopeInput, &listener);
  p.startIo(sink, pa::kAudioObjectPropertyScopeOutput, &clicker);
  std::this_thread::sleep_for(12s);
  p.stopIo(sink, pa::kAudioObjectPropertyScopeOutput, &clicker);
  p.stopIo(monitor, pa::kAudioObjectPropertyScopeInput, &listener);
  const int n = std::min(clicker.sent.load(), listener.heard.load());
  std::vector<double> ms;
  // The first seconds settle the null sink's latency; the rest count.
  for (int i = 20; i < n; ++i) ms.push_back(double(int64_t(listener.heardAt[i] - clicker.sentAt[i])) / 1e6);
  std::printf("round trip, %4u-frame cycles: %zu clicks, median %.1f ms, p99 %.1f ms; server latency sink %.1f ms + monitor %.1f ms\n",
              frames, ms.size(), percentile(ms, 0.5), percentile(ms, 0.99),
              latencyFrames(p, sink, pa::kAudioObjectPropertyScopeOutput) / 48.0,
              latencyFrames(p, monitor, pa::kAudioObjectPropertyScopeInput) / 48.0);
}

double childCpu(const std::vector<std::string>& command, double seconds) {
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (auto& s : command) argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  kill(pid, SIGTERM);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void cpu(pa::pulse::PulseProvider& p, pa::AudioObjectID sink, pa::AudioObjectID monitor, double rate) {
  constexpr double kSeconds = 5;
  setRate(p, sink, rate);
  setRate(p, monitor, rate);
  setUInt(p, sink, pa::kAudioDevicePropertyBufferFrameSize, 512);
  setUInt(p, monitor, pa::kAudioDevicePropertyBufferFrameSize, 512);
  Null play, record;
  p.startIo(sink, pa::kAudioObjectPropertyScopeOutput, &play);
  p.startIo(monitor, pa::kAudioObjectPropertyScopeInput, &record);
  std::this_thread::sleep_for(3s);
  const double c0 = cpuSeconds();
  const uint64_t f0 = record.frames;
  std::this_thread::sleep_for(std::chrono::duration<double>(kSeconds));
  const double used = cpuSeconds() - c0;
  const double audio = double(record.frames - f0) / rate;
  p.stopIo(sink, pa::kAudioObjectPropertyScopeOutput, &play);
  p.stopIo(monitor, pa::kAudioObjectPropertyScopeInput, &record);

  const std::string r = std::to_string(int(rate));
  const std::string latency = std::to_string(int(512 * 1000 / rate) + 1);
  const double pacat = childCpu({"pacat", "--playback", "--raw", "--format=float32le", "--channels=2", "--rate=" + r,
                                 "--latency-msec=" + latency, "--device=specan_test_a", "/dev/zero"},
                                kSeconds + 1);
  const double parec = childCpu({"parec", "--raw", "--format=float32le", "--channels=2", "--rate=" + r,
                                 "--latency-msec=" + latency, "--device=specan_test_a.monitor", "/dev/null"},
                                kSeconds + 1);
  std::printf("CPU at %6.0f Hz, stereo, 512-frame cycles: provider (play + record) %.2f ms per second of audio "
              "(%.3f s CPU for %.2f s recorded); pacat + parec %.2f ms per second\n",
              rate, 1000 * used / std::max(audio, 1e-9), used, audio, 1000 * (pacat + parec) / (kSeconds + 1));
  setRate(p, sink, 48000);
  setRate(p, monitor, 48000);
}

}  // namespace

int main(int argc, char** argv) {
  auto provider = pa::pulse::PulseProvider::create();
  if (!provider) {
    std::fprintf(stderr, "no PulseAudio server (start one with scripts/pulse-daemon start)\n");
    return 1;
  }
  const pa::AudioObjectID sink = provider->deviceWithUID("pulse:sink:specan_test_a:server:0");
  const pa::AudioObjectID monitor = provider->deviceWithUID("pulse:source:specan_test_a.monitor:monitor:0");
  if (!sink || !monitor) {
    std::fprintf(stderr, "no sink specan_test_a\n");
    return 1;
  }
  const bool cpuOnly = argc > 1 && std::string(argv[1]) == "--cpu";
  if (!cpuOnly) {
    roundTrip(*provider, sink, monitor, 256);
    roundTrip(*provider, sink, monitor, 512);
    roundTrip(*provider, sink, monitor, 1024);
  }
  cpu(*provider, sink, monitor, 48000);
  cpu(*provider, sink, monitor, 192000);
  return 0;
}
