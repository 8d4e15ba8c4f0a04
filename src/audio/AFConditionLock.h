#pragma once
// A lock with an integer condition: lock unconditionally or only once the
// condition has a given value, and set the condition when unlocking. The
// input card's audio thread and consumer thread meet on one.

#include <chrono>
#include <condition_variable>
#include <mutex>

class AFConditionLock {
 public:
  explicit AFConditionLock(int condition = 0) : condition_(condition) {}
  AFConditionLock(const AFConditionLock&) = delete;
  AFConditionLock& operator=(const AFConditionLock&) = delete;

  void lock() {
    std::unique_lock guard(mutex_);
    changed_.wait(guard, [this] { return !held_; });
    held_ = true;
  }
  // Takes the lock only when it is free right now; never blocks.
  bool tryLock() {
    std::unique_lock guard(mutex_, std::try_to_lock);
    if (!guard.owns_lock() || held_) return false;
    held_ = true;
    return true;
  }
  void lockWhenCondition(int condition) {
    std::unique_lock guard(mutex_);
    changed_.wait(guard, [&] { return !held_ && condition_ == condition; });
    held_ = true;
  }
  // As lockWhenCondition, giving up after timeout; true when locked.
  template <class Rep, class Period>
  bool lockWhenCondition(int condition, std::chrono::duration<Rep, Period> timeout) {
    std::unique_lock guard(mutex_);
    if (!changed_.wait_for(guard, timeout, [&] { return !held_ && condition_ == condition; })) return false;
    held_ = true;
    return true;
  }
  void unlock() {
    {
      std::lock_guard guard(mutex_);
      held_ = false;
    }
    changed_.notify_all();
  }
  void unlockWithCondition(int condition) {
    {
      std::lock_guard guard(mutex_);
      held_ = false;
      condition_ = condition;
    }
    changed_.notify_all();
  }
  int condition() const {
    std::lock_guard guard(mutex_);
    return condition_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int condition_;
  bool held_ = false;
};
