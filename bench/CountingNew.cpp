#include "CountingNew.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {
thread_local AllocationMark t_mark = kOtherThread;
std::atomic<uint64_t> g_allocations[kAllocationMarks];

// Counts one block and takes it from malloc (posix_memalign beyond malloc's own alignment);
// free releases either. Null when there is no memory.
void* Allocate(size_t size, size_t alignment) {
  g_allocations[t_mark].fetch_add(1, std::memory_order_relaxed);
  size = size == 0 ? 1 : size;
  if (alignment <= alignof(std::max_align_t)) {
    return std::malloc(size);
  }
  void* p = nullptr;
  return posix_memalign(&p, alignment, size) == 0 ? p : nullptr;
}

void* AllocateOrThrow(size_t size, size_t alignment) {
  if (void* p = Allocate(size, alignment)) {
    return p;
  }
  throw std::bad_alloc();
}
}  // namespace

void MarkAllocations(AllocationMark mark) {
  t_mark = mark;
}

uint64_t AllocationsUnder(AllocationMark mark) {
  return g_allocations[mark].load(std::memory_order_relaxed);
}

void* operator new(size_t size) {
  return AllocateOrThrow(size, 0);
}
void* operator new[](size_t size) {
  return AllocateOrThrow(size, 0);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  return Allocate(size, 0);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  return Allocate(size, 0);
}
void* operator new(size_t size, std::align_val_t alignment) {
  return AllocateOrThrow(size, static_cast<size_t>(alignment));
}
void* operator new[](size_t size, std::align_val_t alignment) {
  return AllocateOrThrow(size, static_cast<size_t>(alignment));
}
void* operator new(size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return Allocate(size, static_cast<size_t>(alignment));
}
void* operator new[](size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return Allocate(size, static_cast<size_t>(alignment));
}

void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete(void* p, size_t, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, size_t, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(p);
}
