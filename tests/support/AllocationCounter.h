#pragma once
// Counts the heap allocations made by chosen threads. Linking this into a
// test program replaces its global allocation functions (operator new in
// every form, and outside sanitizer builds malloc, calloc, realloc and the
// aligned allocators, so C libraries are counted too).

namespace testsupport {

// Switches counting on or off for the calling thread (a real-time thread can
// switch itself on when it starts).
void countAllocationsOnThisThread(bool on);
// Allocations counted on every thread since the last reset.
long allocationCount();
void resetAllocationCount();

// Resets the count and counts the calling thread's allocations while it lives.
class AllocationScope {
 public:
  AllocationScope();
  ~AllocationScope();
  AllocationScope(const AllocationScope&) = delete;
  AllocationScope& operator=(const AllocationScope&) = delete;
  long allocations() const { return allocationCount(); }
};

}  // namespace testsupport
