// Counts operator new calls per thread in the test programs that link the Windows fakes.
#pragma once

#include <cstdint>

// Any thread. Allocations made so far by the calling thread.
int64_t ThreadAllocations();
