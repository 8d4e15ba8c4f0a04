#include "AllocationCounter.h"

#include <cstdlib>
#include <new>

namespace {
thread_local bool counting = false;
thread_local long counted = 0;

void* allocate(std::size_t size) {
  if (counting) ++counted;
  void* p = std::malloc(size ? size : 1);
  if (!p) throw std::bad_alloc();
  return p;
}

void* allocateAligned(std::size_t size, std::align_val_t alignment) {
  if (counting) ++counted;
  std::size_t a = static_cast<std::size_t>(alignment);
  void* p = std::aligned_alloc(a, (size + a - 1) / a * a);
  if (!p) throw std::bad_alloc();
  return p;
}
}  // namespace

namespace dsptest {
AllocationScope::AllocationScope() {
  counted = 0;
  counting = true;
}
AllocationScope::~AllocationScope() { counting = false; }
long AllocationScope::allocations() const { return counted; }
}  // namespace dsptest

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try { return allocate(size); } catch (...) { return nullptr; }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try { return allocate(size); } catch (...) { return nullptr; }
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
