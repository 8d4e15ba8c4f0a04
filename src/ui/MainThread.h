#pragma once
// The main thread: the controller, every control handler, the spectrum
// computation, trace averaging, detection and drawing run there. Other threads
// hand it work through this seam; the Qt application plugs its event loop in
// (ui/qt), tests drive it by hand with ManualMainThread.

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace ui {

class MainThread {
 public:
  using Task = void (*)(void* context);

  virtual ~MainThread();
  MainThread(const MainThread&) = delete;
  MainThread& operator=(const MainThread&) = delete;

  // True on the thread that created this object. Any thread.
  bool isMainThread() const { return std::this_thread::get_id() == mainThreadId_; }

  // Queues task(context) to run on the main thread after the work in hand,
  // in the order queued, and returns at once. Never allocates while fewer
  // than kCapacity tasks are pending: this is the per-block path. Any thread
  // except a real-time audio thread (it takes a short lock).
  void runAsync(Task task, void* context);

  // As runAsync(task, context), without waking the main thread: the task
  // runs, in order, when the next task that does wake it has been queued (or
  // at the next drain). For a stream of work that may wait a moment, so that
  // the main thread wakes once for several of its items.
  void runAsyncWithoutWaking(Task task, void* context);

  // The same for any callable; may allocate for captures that do not fit the
  // callable's own storage.
  void runAsync(std::function<void()> work);

  // Runs work on the main thread and waits for it to finish. On the main
  // thread itself it runs at once, so it never deadlocks there.
  void runSync(const std::function<void()>& work);

  // Runs queued tasks in order until none is left, including those queued
  // while draining; returns how many ran. Main thread only.
  std::size_t drain();

  // The process's main thread. Until the application installs its own, a
  // ManualMainThread owned by the process stands in, whose main thread is the
  // first thread that asks.
  static MainThread& instance();
  static void install(MainThread* mainThread);

  static constexpr std::size_t kCapacity = 4096;

 protected:
  MainThread();
  // Asks the event loop to call drain() soon. Called without the queue lock
  // held, once per task queued; an implementation may coalesce.
  virtual void wake() = 0;

 private:
  struct Entry {
    Task task = nullptr;
    void* context = nullptr;
    std::function<void()> work;
  };
  bool pop(Entry& entry);
  void push(Entry&& entry, bool wakeUp = true);

  std::thread::id mainThreadId_;
  std::mutex mutex_;
  std::condition_variable ran_;
  std::vector<Entry> ring_;        // kCapacity entries, allocated once
  std::size_t head_ = 0;           // next to run
  std::size_t count_ = 0;          // pending in ring_
  std::vector<Entry> overflow_;    // only when more than kCapacity are pending
  std::size_t overflowHead_ = 0;
};

// A main thread that runs its tasks only when drain() is called: the stand-in
// before the application starts, and the deterministic loop of tests.
class ManualMainThread final : public MainThread {
 public:
  ManualMainThread() = default;

 protected:
  void wake() override {}
};

}  // namespace ui
