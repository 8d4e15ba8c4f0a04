// The connection to the server: connecting and reconnecting, the lists of
// sinks and sources, and the server's events kept in the device cache.
#include <cstdio>

#include <tuple>

#include "platform/audio/pulse/PulseState.h"

namespace platform::audio::pulse {

namespace {

uint32_t portID(const std::string& name) {
  uint32_t h = 2166136261u;
  for (unsigned char c : name) h = (h ^ c) * 16777619u;
  return h ? h : 1;
}

std::string escapeField(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == ':' || c == '%') {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", unsigned(uint8_t(c)));
      out += buf;
    } else {
      out += c;
    }
  }
  return out;
}

PulseProvider::State* stateOf(void* userdata) { return static_cast<PulseProvider::State*>(userdata); }

void sinkInfo(pa_context*, const pa_sink_info* i, int eol, void* userdata) {
  auto* s = stateOf(userdata);
  if (eol || !i) return;
  const char* bus = pa_proplist_gets(i->proplist, PA_PROP_DEVICE_BUS);
  s->upsert(false, i->index, i->name, i->description, i->sample_spec, i->channel_map, i->volume, i->ports, nullptr,
            i->n_ports, i->active_port ? i->active_port->name : nullptr,
            false, bus);
}

void sourceInfo(pa_context*, const pa_source_info* i, int eol, void* userdata) {
  auto* s = stateOf(userdata);
  if (eol || !i) return;
  const char* bus = pa_proplist_gets(i->proplist, PA_PROP_DEVICE_BUS);
  s->upsert(true, i->index, i->name, i->description, i->sample_spec, i->channel_map, i->volume, nullptr, i->ports,
            i->n_ports, i->active_port ? i->active_port->name : nullptr,
            i->monitor_of_sink != PA_INVALID_INDEX, bus);
}

void serverInfo(pa_context*, const pa_server_info* i, void* userdata) {
  auto* s = stateOf(userdata);
  if (!i) return;
  Fired fired;
  {
    std::lock_guard lock(s->mutex);
    s->defaultSinkName = i->default_sink_name ? i->default_sink_name : "";
    s->defaultSourceName = i->default_source_name ? i->default_source_name : "";
    s->resolveDefaults(fired);
  }
  s->post(fired);
}

void sinkList(pa_context* c, const pa_sink_info* i, int eol, void* userdata) {
  sinkInfo(c, i, eol, userdata);
  if (eol) stateOf(userdata)->listDone();
}
void sourceList(pa_context* c, const pa_source_info* i, int eol, void* userdata) {
  sourceInfo(c, i, eol, userdata);
  if (eol) stateOf(userdata)->listDone();
}
void serverList(pa_context* c, const pa_server_info* i, void* userdata) {
  serverInfo(c, i, userdata);
  stateOf(userdata)->listDone();
}

void subscription(pa_context* c, pa_subscription_event_type_t type, uint32_t index, void* userdata) {
  auto* s = stateOf(userdata);
  const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  if (facility == PA_SUBSCRIPTION_EVENT_SINK || facility == PA_SUBSCRIPTION_EVENT_SOURCE) {
    const bool input = facility == PA_SUBSCRIPTION_EVENT_SOURCE;
    if (kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
      s->remove(input, index);
    } else if (input) {
      dropOperation(pa_context_get_source_info_by_index(c, index, sourceInfo, s));
    } else {
      dropOperation(pa_context_get_sink_info_by_index(c, index, sinkInfo, s));
    }
  } else if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
    dropOperation(pa_context_get_server_info(c, serverInfo, s));
  }
}

void contextState(pa_context* c, void* userdata) {
  auto* s = stateOf(userdata);
  if (c != s->context) return;
  switch (pa_context_get_state(c)) {
    case PA_CONTEXT_READY:
      pa_context_set_subscribe_callback(c, subscription, s);
      dropOperation(pa_context_subscribe(
          c, pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER),
          nullptr, nullptr));
      s->pendingLists = 3;
      dropOperation(pa_context_get_sink_info_list(c, sinkList, s));
      dropOperation(pa_context_get_source_info_list(c, sourceList, s));
      dropOperation(pa_context_get_server_info(c, serverList, s));
      break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
      // The server went away (or never answered): its devices go, and we try
      // again a little later.
      s->removeAll();
      {
        std::lock_guard lock(s->mutex);
        s->refused = true;
      }
      s->listed.notify_all();
      if (!s->stopping) s->scheduleReconnect();
      break;
    default:
      break;
  }
}

void reconnectTimer(pa_mainloop_api* api, pa_time_event* e, const struct timeval*, void* userdata) {
  auto* s = stateOf(userdata);
  api->time_free(e);
  s->reconnect = nullptr;
  if (!s->stopping) s->connect();
}
}  // namespace

void PulseProvider::State::connect() {
  if (context) {
    pa_context_set_state_callback(context, nullptr, nullptr);
    pa_context_disconnect(context);
    pa_context_unref(context);
    context = nullptr;
  }
  pa_proplist* props = pa_proplist_new();
  pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, options.clientName.c_str());
  pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "org.specan.SpecAn");
  context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop), options.clientName.c_str(), props);
  pa_proplist_free(props);
  if (!context) {
    scheduleReconnect();
    return;
  }
  pa_context_set_state_callback(context, contextState, this);
  if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    pa_context_set_state_callback(context, nullptr, nullptr);
    pa_context_unref(context);
    context = nullptr;
    scheduleReconnect();
  }
}

void PulseProvider::State::scheduleReconnect() {
  if (reconnect || stopping) return;
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop);
  struct timeval tv;
  pa_timeval_add(pa_gettimeofday(&tv), pa_usec_t(kReconnectDelayMs) * 1000);
  reconnect = api->time_new(api, &tv, reconnectTimer, this);
}

void PulseProvider::State::listDone() {
  if (--pendingLists != 0) return;
  {
    std::lock_guard lock(mutex);
    ready = true;
  }
  listed.notify_all();
}

void PulseProvider::State::upsert(bool input, uint32_t index, const char* name, const char* description,
                                  const pa_sample_spec& spec, const pa_channel_map& map, const pa_cvolume& volume,
                                  pa_sink_port_info** sinkPorts, pa_source_port_info** sourcePorts,
                                  uint32_t portCount, const char* activePort, bool monitor,
                                  const char* bus) {
  Fired fired;
  {
    std::lock_guard lock(mutex);
    Device* dev = findIndex(input, index);
    const bool added = !dev;
    if (added) {
      AudioObjectID id = nextID++;
      while (Runtime* old = slots[id % kSlots].load()) {
        if (old->removed.load() && !old->active.load()) break;
        id = nextID++;
      }
      Device d;
      d.id = id;
      d.input = input;
      d.index = index;
      d.rate = spec.rate;
      auto rt = std::make_unique<Runtime>(id, input);
      d.rt = rt.get();
      runtimes.push_back(std::move(rt));
      slots[id % kSlots].store(d.rt, std::memory_order_release);
      devices.push_back(std::move(d));
      dev = &devices.back();
      fired.push_back({kAudioObjectSystemObject, {{kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal, 0}}});
    }
    std::vector<AudioObjectPropertyAddress> changed;
    const AudioObjectPropertyScope scope = dev->scope();

    std::string label = description && *description ? description : (name ? name : "");
    if (monitor && label.rfind("Monitor of ", 0) != 0) label = "Monitor of " + label;
    dev->description = label;
    dev->serverName = name ? name : "";
    dev->monitor = monitor;
    dev->uid = std::string("pulse:") + (input ? "source" : "sink") + ":" + escapeField(dev->serverName) + ":" +
               escapeField(bus && *bus ? bus : (monitor ? "monitor" : "server")) + ":0";

    const bool formatChanged = !added && (spec.format != dev->spec.format || spec.channels != dev->spec.channels ||
                                          spec.rate != dev->spec.rate);
    const double oldRate = dev->rate;
    if (formatChanged) {
      // The chosen rate stays when the device still offers it; a new own rate
      // is taken when the old choice was the device's own.
      if (dev->rate == dev->spec.rate) dev->rate = spec.rate;
    }
    dev->spec = spec;
    dev->map = map;
    if (formatChanged) {
      changed.push_back({kAudioStreamPropertyPhysicalFormat, scope, 0});
      changed.push_back({kAudioStreamPropertyVirtualFormat, scope, 0});
      if (dev->rate != oldRate) changed.push_back({kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal, 0});
    }

    if (!added) {
      const pa_cvolume& old = dev->volume;
      for (uint32_t c = 0; c < volume.channels; ++c)
        if (c >= old.channels || volumeScalar(old.values[c]) != volumeScalar(volume.values[c]))
          changed.push_back({kAudioDevicePropertyVolumeScalar, scope, c + 1});
      if (volumeScalar(pa_cvolume_max(&old)) != volumeScalar(pa_cvolume_max(&volume)))
        changed.push_back({kAudioDevicePropertyVolumeScalar, scope, 0});
    }
    dev->volume = volume;

    std::vector<Port> ports;
    for (uint32_t p = 0; p < portCount; ++p) {
      const char* pn = sinkPorts ? sinkPorts[p]->name : sourcePorts[p]->name;
      const char* pd = sinkPorts ? sinkPorts[p]->description : sourcePorts[p]->description;
      ports.push_back({portID(pn ? pn : ""), pn ? pn : "", pd && *pd ? pd : (pn ? pn : "")});
    }
    bool portsChanged = ports.size() != dev->ports.size();
    for (size_t p = 0; !portsChanged && p < ports.size(); ++p)
      portsChanged = ports[p].name != dev->ports[p].name || ports[p].description != dev->ports[p].description;
    dev->ports = std::move(ports);
    const std::string active = activePort ? activePort : "";
    // A new set of ports is told as a change of the data source: that is the
    // notice on which the sound cards read their source menu again.
    if (!added && (portsChanged || active != dev->activePort))
      changed.push_back({kAudioDevicePropertyDataSource, scope, 0});
    dev->activePort = active;

    if (!changed.empty()) fired.push_back({dev->id, changed});
    renameDuplicates(fired);
    resolveDefaults(fired);
  }
  post(fired);
}

void PulseProvider::State::renameDuplicates(Fired& fired) {
  // Two sinks of one description (two null sinks, two identical USB
  // interfaces) would be two devices of one name, which neither the menus
  // nor the settings could tell apart. The server's device names are
  // stable, so ordering by them gives each the same name on every run.
  std::vector<Device*> order;
  for (auto& d : devices) order.push_back(&d);
  std::stable_sort(order.begin(), order.end(), [](const Device* a, const Device* b) {
    return std::tie(a->input, a->description, a->serverName) < std::tie(b->input, b->description, b->serverName);
  });
  for (size_t i = 0; i < order.size(); ++i) {
    Device& d = *order[i];
    size_t first = i;
    while (first > 0 && order[first - 1]->input == d.input && order[first - 1]->description == d.description) --first;
    std::string name = d.description;
    if (i > first) name += " (" + std::to_string(i - first + 1) + ")";
    if (name == d.name) continue;
    const bool renamed = !d.name.empty();
    d.name = std::move(name);
    if (renamed) fired.push_back({d.id, {{kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal, 0}}});
  }
}

void PulseProvider::State::detach(Runtime& rt) {
  rt.removed.store(true, std::memory_order_release);
  rt.quit.store(true, std::memory_order_release);  // the I/O thread starts no cycle after this
  {
    std::lock_guard lock(rt.io);  // waits for the cycle in hand
    rt.clients.clear();
    rt.publish(false, steadyNanos(), double(rt.framesDone));
  }
  closeStream(rt);
  rt.wake.notify();
}

void PulseProvider::State::remove(bool input, uint32_t index) {
  Fired fired;
  Runtime* rt = nullptr;
  {
    std::lock_guard lock(mutex);
    auto it = std::find_if(devices.begin(), devices.end(),
                           [&](const Device& d) { return d.input == input && d.index == index; });
    if (it == devices.end()) return;
    rt = it->rt;
    devices.erase(it);
    fired.push_back({kAudioObjectSystemObject, {{kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal, 0}}});
    renameDuplicates(fired);
    resolveDefaults(fired);
  }
  detach(*rt);
  post(fired);
}

void PulseProvider::State::removeAll() {
  Fired fired;
  std::vector<Runtime*> gone;
  {
    std::lock_guard lock(mutex);
    ready = false;
    for (auto& d : devices) gone.push_back(d.rt);
    if (!devices.empty())
      fired.push_back({kAudioObjectSystemObject, {{kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal, 0}}});
    devices.clear();
    resolveDefaults(fired);
  }
  for (Runtime* rt : gone) detach(*rt);
  post(fired);
}

}  // namespace platform::audio::pulse
