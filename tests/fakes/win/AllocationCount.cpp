// Counts operator new calls per thread in the test programs that link the Windows fakes; the
// default deletes free what these allocate.
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {
thread_local int64_t t_allocations = 0;
}  // namespace

int64_t ThreadAllocations() {
  return t_allocations;
}

void* operator new(std::size_t bytes) {
  ++t_allocations;
  if (void* block = std::malloc(bytes == 0 ? 1 : bytes)) {
    return block;
  }
  throw std::bad_alloc();
}

void* operator new[](std::size_t bytes) {
  return operator new(bytes);
}
