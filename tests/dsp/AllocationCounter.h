#pragma once
// Counts operator new calls made by the current thread while a scope is open.
namespace dsptest {
class AllocationScope {
 public:
  AllocationScope();
  ~AllocationScope();
  long allocations() const;
};
}  // namespace dsptest
