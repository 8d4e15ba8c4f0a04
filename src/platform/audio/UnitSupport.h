#pragma once
// Pieces shared by the units and the converter: the configuration handshake
// between a configuring thread and the real-time thread, the client sample
// format check, and the libsoxr resampler set-up.

#include <atomic>
#include <cstddef>
#include <thread>

#include "platform/audio/AudioTypes.h"

struct soxr;

namespace platform::audio {

// Lets a configuring thread change what a real-time thread reads, without a
// lock on the real-time side. The real-time side brackets its work with
// enter()/leave(); enter() fails while a configuration is in progress (the
// cycle then plays silence). The configuring side's Scope waits until no
// real-time work is in flight. Safe for one real-time thread at a time and
// any number of configuring threads (they serialise on `configuring`).
class ConfigHandshake {
 public:
  bool enter() noexcept {
    if (configuring_.load(std::memory_order_seq_cst)) return false;
    rendering_.store(true, std::memory_order_seq_cst);
    if (configuring_.load(std::memory_order_seq_cst)) {
      rendering_.store(false, std::memory_order_release);
      return false;
    }
    previous_ = owner();
    owner() = this;
    return true;
  }
  void leave() noexcept {
    owner() = previous_;
    rendering_.store(false, std::memory_order_release);
  }

  class Scope {
   public:
    explicit Scope(ConfigHandshake& h) : h_(h) {
      // A change made from within the unit's own real-time work (same
      // thread) needs no waiting: nothing else runs.
      for (ConfigHandshake* p = owner(); p && !nested_; p = p->previous_) nested_ = p == &h;
      if (nested_) return;
      bool expected = false;
      while (!h_.configuring_.compare_exchange_weak(expected, true, std::memory_order_seq_cst)) {
        expected = false;
        std::this_thread::yield();
      }
      while (h_.rendering_.load(std::memory_order_seq_cst)) std::this_thread::yield();
    }
    ~Scope() {
      if (!nested_) h_.configuring_.store(false, std::memory_order_release);
    }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    ConfigHandshake& h_;
    bool nested_ = false;
  };

 private:
  std::atomic<bool> configuring_{false};
  std::atomic<bool> rendering_{false};
  ConfigHandshake* previous_ = nullptr;  // real-time side only
  // The handshake whose real-time work this thread is in (innermost).
  static ConfigHandshake*& owner() {
    thread_local ConfigHandshake* current = nullptr;
    return current;
  }
};

// 32-bit float linear PCM, packed; one buffer per channel when nonInterleaved.
bool isFloatPcm(const AudioStreamBasicDescription& f, bool requireNonInterleaved);

// libsoxr resamplers. Each is warmed up at creation (its internal queues grown
// to the largest block given), so that processing blocks up to those sizes
// allocates nothing afterwards.
using SoxrHandle = soxr*;
// Fixed ratio; quality index 0..4 (quick, low, medium, high, very high).
// Without warming, the resampler starts empty: its output lines up with its
// input and a flush ends it exactly where the input ended, but the first
// blocks may allocate.
SoxrHandle createFixedResampler(double inRate, double outRate, unsigned channels, bool split, int qualityIndex,
                                std::size_t maxBlock, bool warm = true);
// Variable ratio (input frames per output frame) up to maxRatio.
SoxrHandle createVariableResampler(double maxRatio, double ratio, unsigned channels, std::size_t maxBlock);
// Clears the history and warms up again (configuring thread).
void clearResampler(SoxrHandle handle, unsigned channels, bool split, bool variable, double maxRatio,
                    double ratio, std::size_t maxBlock);
void deleteResampler(SoxrHandle handle);

}  // namespace platform::audio
