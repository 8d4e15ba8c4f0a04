#include "app/cli/devices/DevicesCommand.h"

#include <cmath>
#include <cstdlib>
#include <memory>

#include "app/formats/JsonText.h"
#include "audio/AFDevice.h"
#include "audio/AFList.h"
#include "audio/AFManager.h"
#include "platform/audio/ProviderChoice.h"

namespace {

const char kUsage[] =
    "Usage: specan devices [--audio=jack|pulse|simulated] [--json]\n"
    "Lists every input and output device of the audio provider: the name a stored\n"
    "setting (and --input/--output of 'specan measure') uses, its channels, the\n"
    "sampling rates it offers and its sources; '*' marks the default devices.\n"
    "\n"
    "  --audio=jack|pulse|simulated  the provider (default: JACK when a JACK\n"
    "                           server runs, else PulseAudio when a server answers,\n"
    "                           else the simulated devices; or SPECAN_AUDIO)\n"
    "  --json                   machine-readable output\n"
    "  --help                   show this help and exit\n";

struct DeviceEntry {
  std::string name;
  bool isDefault = false;
  int channels = 0;
  std::vector<float> rates;
  std::vector<std::string> sources;
};

std::vector<DeviceEntry> entries(const AFList& list) {
  std::vector<DeviceEntry> result;
  const std::shared_ptr<const AFList::Snapshot> snapshot = list.snapshot();
  const std::shared_ptr<AFDevice> fallback = list.defaultDevice();
  for (std::size_t i = 0; i < snapshot->devices.size(); ++i) {
    const std::shared_ptr<AFDevice>& device = snapshot->devices[i];
    DeviceEntry entry;
    const ui::MenuItem* item = snapshot->menu->itemAt(static_cast<int>(i));
    entry.name = item ? item->title : device->name().value_or("");
    entry.isDefault = fallback && fallback->deviceID() == device->deviceID();
    entry.channels = device->format().channels();
    entry.rates = device->samplingRates();
    const std::shared_ptr<ui::Menu> sources = device->sourceMenu();
    for (int s = 0; sources && s < sources->numberOfItems(); ++s) entry.sources.push_back(sources->itemAt(s)->title);
    result.push_back(std::move(entry));
  }
  return result;
}

std::string rateText(float rate) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", static_cast<double>(rate));
  return buf;
}

void printJson(std::FILE* out, const std::string& provider, const std::vector<DeviceEntry>& inputs,
               const std::vector<DeviceEntry>& outputs) {
  auto list = [&](const std::vector<DeviceEntry>& devices) {
    std::string text = "[";
    for (std::size_t i = 0; i < devices.size(); ++i) {
      const DeviceEntry& d = devices[i];
      text += i ? ",\n    {" : "\n    {";
      text += "\"name\": " + jsonString(d.name) + ", \"default\": " + (d.isDefault ? "true" : "false") +
              ", \"channels\": " + std::to_string(d.channels) + ", \"samplingRates\": [";
      for (std::size_t r = 0; r < d.rates.size(); ++r) text += (r ? ", " : "") + rateText(d.rates[r]);
      text += "], \"sources\": [";
      for (std::size_t s = 0; s < d.sources.size(); ++s) text += (s ? ", " : "") + jsonString(d.sources[s]);
      text += "]}";
    }
    return text + (devices.empty() ? "]" : "\n  ]");
  };
  std::fprintf(out, "{\n  \"provider\": %s,\n  \"inputs\": %s,\n  \"outputs\": %s\n}\n", jsonString(provider).c_str(),
               list(inputs).c_str(), list(outputs).c_str());
}

void printText(std::FILE* out, const std::string& provider, const std::vector<DeviceEntry>& inputs,
               const std::vector<DeviceEntry>& outputs) {
  std::fprintf(out, "Audio: %s\n", provider.c_str());
  auto section = [&](const char* title, const std::vector<DeviceEntry>& devices) {
    std::fprintf(out, "%s:\n", title);
    if (devices.empty()) std::fprintf(out, "  (none)\n");
    for (const DeviceEntry& d : devices) {
      std::string rates;
      for (float r : d.rates) rates += (rates.empty() ? "" : " ") + rateText(r);
      std::string sources;
      for (const std::string& s : d.sources) sources += (sources.empty() ? "" : ", ") + s;
      std::fprintf(out, "%s %s: %d ch, %s Hz%s%s\n", d.isDefault ? "*" : " ", d.name.c_str(), d.channels,
                   rates.c_str(), sources.empty() ? "" : ", sources: ", sources.c_str());
    }
  };
  section("Input devices", inputs);
  section("Output devices", outputs);
}

}  // namespace

int runDevicesCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  std::string audio;
  bool json = false;
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, out);
      return 0;
    }
    if (arg == "--json") {
      json = true;
    } else if (arg.rfind("--audio=", 0) == 0 && platform::audio::isProviderName(arg.substr(8))) {
      audio = arg.substr(8);
    } else {
      std::fprintf(err, "specan devices: unknown option '%s'\nTry 'specan devices --help' for more information.\n",
                   arg.c_str());
      return 2;
    }
  }
  if (audio.empty())
    if (const char* forced = std::getenv("SPECAN_AUDIO"); forced && *forced) audio = forced;
  std::shared_ptr<platform::audio::Provider> provider = platform::audio::makeProvider(audio);
  if (!provider) {
    const bool known = platform::audio::isProviderName(audio);
    std::fprintf(err, "specan devices: %s\n",
                 known ? platform::audio::providerMissing(audio).c_str()
                       : ("unknown audio provider '" + audio + "' (known: " + platform::audio::kProviderNames + ")").c_str());
    return known ? 1 : 2;
  }
  platform::audio::installProvider(provider);
  int status = 0;
  {
    AFManager manager;
    const std::vector<DeviceEntry> inputs = entries(*manager.inputList());
    const std::vector<DeviceEntry> outputs = entries(*manager.outputList());
    if (json)
      printJson(out, provider->name(), inputs, outputs);
    else
      printText(out, provider->name(), inputs, outputs);
    if (std::fflush(out) != 0) status = 1;
  }
  platform::audio::installProvider(nullptr);
  return status;
}
