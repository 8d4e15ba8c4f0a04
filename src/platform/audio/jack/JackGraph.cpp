// The connection to the server: opening our client, the server's graph kept
// as the device list, its changes told to listeners, and the server going
// away and coming back. JACK's notification thread only raises flags and
// wakes the graph thread, which does the rest.
#include <dlfcn.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "platform/audio/jack/JackState.h"

namespace platform::audio::jack {

namespace {

using State = JackProvider::State;
constexpr auto stateOf = &State::stateOf;

// libjack reports a missing server on stderr; no server is an answer here.
void quiet(const char*) {}

int xrun(void* arg) {
  State* s = stateOf(arg);
  if (!s) return 0;
  s->countDropOut();
  return 0;
}

void shutdown(jack_status_t, const char*, void* arg) {
  // As in a signal handler: flags and a semaphore only.
  State* s = stateOf(arg);
  if (!s) return;
  s->shutdownThread.store(pid_t(syscall(SYS_gettid)), std::memory_order_release);
  s->serverGone.store(true, std::memory_order_release);
  s->wake.notify();
}

// The same news from a library that has only the plain shutdown callback
// (PipeWire's JACK calls no other). A library that calls the one with
// information never calls this one as well (jack.h), so the thread that
// tells here is not a notification thread of jackd2's, and is not waited for.
void plainShutdown(void* arg) {
  State* s = stateOf(arg);
  if (!s) return;
  s->serverGone.store(true, std::memory_order_release);
  s->wake.notify();
}

void graphChanged(State* s) {
  if (!s) return;
  s->graphChanged.store(true, std::memory_order_release);
  s->wake.notify();
}
void clientRegistered(const char*, int, void* arg) { graphChanged(stateOf(arg)); }
void portRegistered(jack_port_id_t, int, void* arg) { graphChanged(stateOf(arg)); }
void portRenamed(jack_port_id_t, const char*, const char*, void* arg) { graphChanged(stateOf(arg)); }
int graphOrder(void* arg) {
  // Latencies are computed anew with each new order.
  if (State* s = stateOf(arg)) {
    s->latencyChanged.store(true, std::memory_order_release);
    s->wake.notify();
  }
  return 0;
}

void portConnected(jack_port_id_t a, jack_port_id_t b, int, void* arg) {
  State* s = stateOf(arg);
  if (!s) return;
  // Our own connections follow our starts and stops; others' are news.
  jack_client_t* c = s->processClient.load(std::memory_order_acquire);
  auto ours = [&](jack_port_id_t id) {
    jack_port_t* port = c ? jack_port_by_id(c, id) : nullptr;
    const char* name = port ? jack_port_name(port) : nullptr;
    return name && std::strncmp(name, s->ourPrefix.c_str(), s->ourPrefix.size()) == 0;
  };
  if (ours(a) || ours(b)) return;
  s->othersConnected.store(true, std::memory_order_release);
  s->wake.notify();
}

int rateChanged(jack_nframes_t rate, void* arg) {
  State* s = stateOf(arg);
  if (!s) return 0;
  s->serverRate.store(rate, std::memory_order_release);
  s->formatChanged.store(true, std::memory_order_release);
  s->wake.notify();
  return 0;
}

int framesChanged(jack_nframes_t frames, void* arg) {
  State* s = stateOf(arg);
  if (!s) return 0;
  s->serverFrames.store(frames, std::memory_order_release);
  s->formatChanged.store(true, std::memory_order_release);
  s->wake.notify();
  return 0;
}

const AudioObjectPropertyAddress kDevicesChanged{kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal, 0};

}  // namespace

bool libraryIsPipeWires() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&jack_client_open), &info) == 0 || !info.dli_fname) return false;
  return std::strstr(info.dli_fname, "pipewire") != nullptr;
}

void JackProvider::State::countDropOut() noexcept {
  for (auto& slot : running)
    if (Runtime* rt = slot.load(std::memory_order_acquire); rt && rt->armed.load(std::memory_order_acquire))
      rt->dropOuts.fetch_add(1, std::memory_order_release);
}

bool JackProvider::State::open() {
  std::lock_guard lock(jackLock);
  if (client) return true;
  jack_set_error_function(quiet);
  jack_set_info_function(quiet);
  int flags = JackNoStartServer;
  if (!options.serverName.empty()) flags |= JackServerName;
  jack_status_t status{};
  jack_client_t* c = jack_client_open(options.clientName.c_str(), jack_options_t(flags), &status,
                                      options.serverName.c_str());
  if (!c) return false;
  auto owned = std::make_unique<Relay>(this);
  Relay* r = owned.get();
  ourPrefix = std::string(jack_get_client_name(c)) + ":";
  processClient.store(c, std::memory_order_release);
  countsFrameJumps = libraryIsPipeWires();
  frameGaps = {};
  jack_set_process_callback(c, process, r);
  jack_set_xrun_callback(c, xrun, r);
  jack_on_info_shutdown(c, shutdown, r);
  jack_on_shutdown(c, plainShutdown, r);
  jack_set_client_registration_callback(c, clientRegistered, r);
  jack_set_port_registration_callback(c, portRegistered, r);
  jack_set_port_rename_callback(c, portRenamed, r);
  jack_set_port_connect_callback(c, portConnected, r);
  jack_set_graph_order_callback(c, graphOrder, r);
  jack_set_sample_rate_callback(c, rateChanged, r);
  jack_set_buffer_size_callback(c, framesChanged, r);
  serverRate.store(jack_get_sample_rate(c));
  serverFrames.store(jack_get_buffer_size(c));
  if (jack_activate(c) != 0) {
    processClient.store(nullptr);
    jack_client_close(c);
    return false;
  }
  client = c;
  relay = std::move(owned);
  ourName = jack_get_client_name(c);
  serverGone.store(false);
  shutdownThread.store(0);
  return true;
}

void JackProvider::State::relist(bool connectionsChanged) {
  std::vector<Device> fresh;
  Fired fired;
  std::vector<Runtime*> gone;
  {
    std::lock_guard lock(jackLock);
    if (!client) return;
    const char** names = jack_get_ports(client, nullptr, JACK_DEFAULT_AUDIO_TYPE, 0);
    for (size_t i = 0; names && names[i]; ++i) {
      jack_port_t* port = jack_port_by_name(client, names[i]);
      if (!port || jack_port_is_mine(client, port)) continue;
      const int flags = jack_port_flags(port);
      const bool input = flags & JackPortIsOutput;  // what the client plays, we record
      const std::string name = names[i];
      const std::string owner = name.substr(0, name.find(':'));
      auto dev = std::find_if(fresh.begin(), fresh.end(),
                              [&](const Device& d) { return d.input == input && d.client == owner; });
      if (dev == fresh.end()) {
        Device d;
        d.input = input;
        d.client = owner;
        d.uid = std::string("jack:") + (input ? "in:" : "out:") + owner;
        fresh.push_back(std::move(d));
        dev = fresh.end() - 1;
      }
      dev->ports.push_back(name);
      if (flags & JackPortIsPhysical) dev->physical = true;
      jack_latency_range_t range{};
      jack_port_get_latency_range(port, input ? JackCaptureLatency : JackPlaybackLatency, &range);
      dev->latency = std::max(dev->latency, range.max);
    }
    if (names) jack_free(names);

    std::lock_guard cache(mutex);
    bool listChanged = connectionsChanged;
    for (auto it = devices.begin(); it != devices.end();) {
      const bool stays = std::any_of(fresh.begin(), fresh.end(),
                                     [&](const Device& d) { return d.input == it->input && d.client == it->client; });
      if (stays) {
        ++it;
        continue;
      }
      gone.push_back(it->rt);
      it = devices.erase(it);
      listChanged = true;
    }
    for (Device& d : fresh) {
      auto old = std::find_if(devices.begin(), devices.end(),
                              [&](const Device& e) { return e.input == d.input && e.client == d.client; });
      if (old != devices.end()) {
        std::vector<AudioObjectPropertyAddress> changed;
        if (old->ports != d.ports) {
          listChanged = true;
          changed.push_back({kAudioStreamPropertyPhysicalFormat, old->scope(), 0});
          changed.push_back({kAudioStreamPropertyVirtualFormat, old->scope(), 0});
        }
        if (old->latency != d.latency) changed.push_back({kAudioDevicePropertyLatency, old->scope(), 0});
        old->ports = std::move(d.ports);
        old->physical = d.physical;
        old->latency = d.latency;
        old->rt->latency.store(old->latency, std::memory_order_relaxed);
        if (!changed.empty()) fired.push_back({old->id, std::move(changed)});
        continue;
      }
      AudioObjectID id = nextID++;
      while (Runtime* prior = slots[id % kSlots].load()) {
        if (prior->removed.load() && !prior->armed.load()) break;
        id = nextID++;
      }
      d.id = id;
      auto rt = std::make_unique<Runtime>(id, d.input);
      d.rt = rt.get();
      rt->latency.store(d.latency);
      runtimes.push_back(std::move(rt));
      slots[id % kSlots].store(d.rt, std::memory_order_release);
      devices.push_back(std::move(d));
      listChanged = true;
    }
    if (listChanged) fired.push_back({kAudioObjectSystemObject, {kDevicesChanged}});
    // The defaults: the first devices with physical ports, else the first devices.
    AudioObjectID in = 0, out = 0;
    for (int pass = 0; pass < 2; ++pass)
      for (const auto& d : devices)
        if (pass == 1 || d.physical) {
          if (d.input && !in) in = d.id;
          if (!d.input && !out) out = d.id;
        }
    std::vector<AudioObjectPropertyAddress> defaults;
    if (in != defaultInput)
      defaults.push_back({kAudioHardwarePropertyDefaultInputDevice, kAudioObjectPropertyScopeGlobal, 0});
    if (out != defaultOutput)
      defaults.push_back({kAudioHardwarePropertyDefaultOutputDevice, kAudioObjectPropertyScopeGlobal, 0});
    defaultInput = in;
    defaultOutput = out;
    if (!defaults.empty()) fired.push_back({kAudioObjectSystemObject, std::move(defaults)});
    connected = true;
  }
  for (Runtime* rt : gone) {
    std::lock_guard control(rt->control);
    detach(*rt);
  }
  post(fired);
}

void JackProvider::State::followFormat() {
  Fired fired;
  {
    std::lock_guard lock(mutex);
    const double newRate = serverRate.load(std::memory_order_acquire);
    const uint32_t newFrames = serverFrames.load(std::memory_order_acquire);
    const bool rateMoved = newRate != rate, framesMoved = newFrames != bufferFrames;
    rate = newRate;
    bufferFrames = newFrames;
    if (!rateMoved && !framesMoved) return;
    for (const auto& d : devices) {
      std::vector<AudioObjectPropertyAddress> changed{{kAudioStreamPropertyPhysicalFormat, d.scope(), 0},
                                                      {kAudioStreamPropertyVirtualFormat, d.scope(), 0}};
      if (rateMoved) changed.push_back({kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal, 0});
      if (framesMoved) {
        changed.push_back({kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeGlobal, 0});
        changed.push_back({kAudioDevicePropertyBufferFrameSizeRange, kAudioObjectPropertyScopeGlobal, 0});
      }
      fired.push_back({d.id, std::move(changed)});
    }
  }
  post(fired);
}

void JackProvider::State::detach(Runtime& rt) {
  rt.removed.store(true, std::memory_order_release);
  disarm(rt);
  {
    std::lock_guard lock(rt.io);
    rt.clients.clear();
  }
  unregisterPorts(rt);
}

bool JackProvider::State::notifierEnded() {
  const pid_t tid = shutdownThread.load(std::memory_order_acquire);
  if (tid == 0) return true;
  const std::string task = "/proc/self/task/" + std::to_string(tid);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (::access(task.c_str(), F_OK) == 0) {
    if (quit.load(std::memory_order_acquire) || std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void JackProvider::State::closeDead() {
  if (notifierEnded()) {
    jack_client_close(client);
    relay.reset();
  } else {
    relay->state.store(nullptr, std::memory_order_release);
    static_cast<void>(relay.release());  // the unclosed client's callbacks still hold it
  }
}

void JackProvider::State::serverLost() {
  // The client is dead with its server: closing it first ends its threads,
  // so that no cycle runs while the devices go. libjack's close cancels the
  // notification thread, and cancelled while it still holds its channel's
  // lock (it is the thread that told us, and goes on for a moment after),
  // the close waits on that lock forever, holding libjack's lock of opening
  // and closing, so that no client could be opened again. The close waits
  // for that thread to end; one that has not ended in seconds is left
  // unclosed, a small leak against a provider that can never reconnect.
  {
    std::lock_guard lock(jackLock);
    if (client) {
      processClient.store(nullptr, std::memory_order_release);
      closeDead();
      client = nullptr;
      ourName.clear();
    }
  }
  Fired fired;
  std::vector<Runtime*> gone;
  {
    std::lock_guard lock(mutex);
    connected = false;
    for (auto& d : devices) gone.push_back(d.rt);
    if (!devices.empty()) fired.push_back({kAudioObjectSystemObject, {kDevicesChanged}});
    devices.clear();
    std::vector<AudioObjectPropertyAddress> defaults;
    if (defaultInput) defaults.push_back({kAudioHardwarePropertyDefaultInputDevice, kAudioObjectPropertyScopeGlobal, 0});
    if (defaultOutput) defaults.push_back({kAudioHardwarePropertyDefaultOutputDevice, kAudioObjectPropertyScopeGlobal, 0});
    defaultInput = defaultOutput = 0;
    if (!defaults.empty()) fired.push_back({kAudioObjectSystemObject, std::move(defaults)});
  }
  for (Runtime* rt : gone) {
    std::lock_guard control(rt->control);
    detach(*rt);
  }
  post(fired);
}

void JackProvider::State::graphLoop() {
  pthread_setname_np(pthread_self(), "specan-jack");
  for (;;) {
    bool haveClient;
    {
      std::lock_guard lock(jackLock);
      haveClient = client != nullptr;
    }
    (void)wake.waitFor(haveClient ? std::chrono::nanoseconds(std::chrono::seconds(1))
                                  : std::chrono::nanoseconds(std::chrono::milliseconds(options.reconnectIntervalMs)));
    if (quit.load(std::memory_order_acquire)) return;
    uint64_t asked;
    {
      std::lock_guard lock(passLock);
      asked = passesAsked;
    }
    if (serverGone.exchange(false)) serverLost();
    {
      std::lock_guard lock(jackLock);
      haveClient = client != nullptr;
    }
    if (!haveClient) {
      if (open()) {
        followFormat();
        relist(true);
      }
    } else {
      if (formatChanged.exchange(false)) followFormat();
      const bool graph = graphChanged.exchange(false), others = othersConnected.exchange(false);
      const bool latencies = latencyChanged.exchange(false);
      if (graph || others || latencies) relist(others);
    }
    {
      std::lock_guard lock(passLock);
      passesDone = asked;
    }
    passed.notify_all();
  }
}

}  // namespace platform::audio::jack
