#include "ui/MainThread.h"

#include <atomic>

namespace ui {
namespace {
std::atomic<MainThread*> installed{nullptr};
}

MainThread::MainThread() : mainThreadId_(std::this_thread::get_id()), ring_(kCapacity) {}

MainThread::~MainThread() {
  MainThread* self = this;
  installed.compare_exchange_strong(self, nullptr);
}

void MainThread::push(Entry&& entry, bool wakeUp) {
  {
    std::lock_guard guard(mutex_);
    if (count_ < kCapacity && overflowHead_ == overflow_.size()) {
      ring_[(head_ + count_) % kCapacity] = std::move(entry);
      ++count_;
    } else {
      overflow_.push_back(std::move(entry));
    }
  }
  if (wakeUp) wake();
}

bool MainThread::pop(Entry& entry) {
  std::lock_guard guard(mutex_);
  if (count_ > 0) {
    entry = std::move(ring_[head_]);
    ring_[head_].work = nullptr;
    head_ = (head_ + 1) % kCapacity;
    --count_;
    return true;
  }
  if (overflowHead_ < overflow_.size()) {
    entry = std::move(overflow_[overflowHead_++]);
    if (overflowHead_ == overflow_.size()) {
      overflow_.clear();
      overflowHead_ = 0;
    }
    return true;
  }
  return false;
}

void MainThread::runAsync(Task task, void* context) { push(Entry{task, context, {}}); }

void MainThread::runAsyncWithoutWaking(Task task, void* context) { push(Entry{task, context, {}}, false); }

void MainThread::runAsync(std::function<void()> work) { push(Entry{nullptr, nullptr, std::move(work)}); }

void MainThread::runSync(const std::function<void()>& work) {
  if (isMainThread()) {
    work();
    return;
  }
  bool done = false;
  runAsync([&] {
    work();
    std::lock_guard guard(mutex_);
    done = true;
    ran_.notify_all();
  });
  std::unique_lock lock(mutex_);
  ran_.wait(lock, [&] { return done; });
}

std::size_t MainThread::drain() {
  std::size_t ran = 0;
  Entry entry;
  while (pop(entry)) {
    if (entry.task)
      entry.task(entry.context);
    else if (entry.work)
      entry.work();
    entry.work = nullptr;
    ++ran;
  }
  return ran;
}

MainThread& MainThread::instance() {
  if (MainThread* current = installed.load(std::memory_order_acquire)) return *current;
  static ManualMainThread standIn;
  MainThread* expected = nullptr;
  installed.compare_exchange_strong(expected, &standIn);
  return *installed.load(std::memory_order_acquire);
}

void MainThread::install(MainThread* mainThread) { installed.store(mainThread, std::memory_order_release); }

}  // namespace ui
