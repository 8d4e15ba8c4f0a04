#pragma once
// Runs a piece of work that may wait for the main thread (flushing a
// provider's notifications: their listeners post to it and wait) on a
// thread of its own, while this thread serves the main thread's queue; then
// runs what the work left queued.

#include <atomic>
#include <chrono>
#include <thread>
#include <utility>

#include "ui/MainThread.h"

namespace testsupport {

template <typename Work>
void serveMainThreadWhile(ui::MainThread& mainThread, Work&& work) {
  std::atomic<bool> done{false};
  std::thread other([&] {
    std::forward<Work>(work)();
    done.store(true, std::memory_order_release);
  });
  while (!done.load(std::memory_order_acquire)) {
    mainThread.drain();
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  other.join();
  mainThread.drain();
}

}  // namespace testsupport
