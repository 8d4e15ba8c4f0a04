#include "AllocationCounter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
thread_local bool countThisThread = false;
std::atomic<long> counted{0};

inline void noteAllocation() {
  if (countThisThread) counted.fetch_add(1, std::memory_order_relaxed);
}

void* allocate(std::size_t size) {
  noteAllocation();
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}

void* allocateAligned(std::size_t size, std::align_val_t alignment) {
  noteAllocation();
  const auto a = static_cast<std::size_t>(alignment);
  if (void* p = std::aligned_alloc(a, (size + a - 1) / a * a)) return p;
  throw std::bad_alloc();
}
}  // namespace

namespace testsupport {
void countAllocationsOnThisThread(bool on) { countThisThread = on; }
long allocationCount() { return counted.load(std::memory_order_relaxed); }
void resetAllocationCount() { counted.store(0, std::memory_order_relaxed); }
AllocationScope::AllocationScope() {
  resetAllocationCount();
  countThisThread = true;
}
AllocationScope::~AllocationScope() { countThisThread = false; }
}  // namespace testsupport

// The replacements pair malloc with free; GCC cannot see that they match.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  noteAllocation();
  return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  noteAllocation();
  return std::malloc(size ? size : 1);
}
void* operator new(std::size_t size, std::align_val_t a) { return allocateAligned(size, a); }
void* operator new[](std::size_t size, std::align_val_t a) { return allocateAligned(size, a); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

// C allocations (libsoxr's, FFTW's) are counted too, except under the
// sanitizers, which own malloc themselves.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void* malloc(std::size_t n) {
  noteAllocation();
  return __libc_malloc(n);
}
void* calloc(std::size_t n, std::size_t size) {
  noteAllocation();
  return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t n) {
  noteAllocation();
  return __libc_realloc(p, n);
}
void* aligned_alloc(std::size_t alignment, std::size_t n) {
  noteAllocation();
  return __libc_memalign(alignment, n);
}
int posix_memalign(void** p, std::size_t alignment, std::size_t n) {
  noteAllocation();
  *p = __libc_memalign(alignment, n);
  return *p ? 0 : 12;
}
}
#endif
