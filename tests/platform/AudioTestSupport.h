#pragma once
// Helpers for the audio platform tests: a simulated provider installed for
// the length of a test, sine measurements in dB, and reading the current
// provider's devices and their names.

#include <cmath>
#include <complex>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "platform/audio/AudioHardware.h"
#include "platform/audio/simulated/SimulatedProvider.h"

namespace audiotest {

using namespace platform::audio;
namespace sim = platform::audio::simulated;

// Installs a simulated provider as the current one and removes it again.
class ProviderScope {
 public:
  explicit ProviderScope(sim::Options options = stepped()) : provider_(std::make_shared<sim::SimulatedProvider>(options)) {
    installProvider(provider_);
  }
  ~ProviderScope() { installProvider(nullptr); }
  sim::SimulatedProvider& operator*() const { return *provider_; }
  sim::SimulatedProvider* operator->() const { return provider_.get(); }
  static sim::Options stepped() {
    sim::Options o;
    o.clock = sim::ClockMode::Stepped;
    return o;
  }

 private:
  std::shared_ptr<sim::SimulatedProvider> provider_;
};

// Amplitude and phase of the component at `hz` in x (least squares over the
// whole block; exact when the block holds whole cycles).
inline std::complex<double> tone(const float* x, size_t n, double hz, double rate) {
  std::complex<double> sum = 0;
  const double w = 2 * std::numbers::pi * hz / rate;
  for (size_t i = 0; i < n; ++i) sum += double(x[i]) * std::polar(1.0, -w * double(i));
  return sum * (2.0 / double(n));
}

inline double dB(double ratio) { return 20 * std::log10(ratio); }

// Power of what is left after removing the tone at hz, relative to the tone, in dB.
inline double residualDb(const float* x, size_t n, double hz, double rate) {
  const std::complex<double> a = tone(x, n, hz, rate);
  const double w = 2 * std::numbers::pi * hz / rate;
  double residual = 0;
  for (size_t i = 0; i < n; ++i) {
    const double fit = std::real(a * std::polar(1.0, w * double(i)));
    residual += (x[i] - fit) * (x[i] - fit);
  }
  const double signal = std::norm(a) / 2 * double(n);
  return 10 * std::log10(residual / signal);
}

inline std::string text(AudioStringRef s) {
  std::string t = AudioStringGetCString(s);
  AudioStringRelease(s);
  return t;
}

// A string property of an object in the global scope; empty when it has none.
inline std::string readString(AudioObjectID id, AudioObjectPropertySelector selector) {
  AudioStringRef s = nullptr;
  if (getProperty(id, {selector, kAudioObjectPropertyScopeGlobal, 0}, s) != noErr) return {};
  return text(s);
}

// The devices the current provider lists.
inline std::vector<AudioObjectID> deviceList() {
  const AudioObjectPropertyAddress a{kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal, 0};
  uint32_t size = 0;
  if (AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &a, 0, nullptr, &size) != noErr) return {};
  std::vector<AudioObjectID> ids(size / 4);
  if (!ids.empty()) AudioObjectGetPropertyData(kAudioObjectSystemObject, &a, 0, nullptr, &size, ids.data());
  ids.resize(size / 4);
  return ids;
}

}  // namespace audiotest
