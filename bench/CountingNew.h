// Heap allocations counted by what the allocating thread has marked itself as. Linking
// CountingNew.cpp replaces every form of operator new and delete (plain, array, nothrow, sized,
// aligned) together, so that each block goes back through the family that made it.
#pragma once

#include <cstdint>

enum AllocationMark { kOtherThread = 0, kCaptureThread = 1, kPlaybackThread = 2, kAllocationMarks };

// The calling thread. Its allocations count under mark from now on (threads start as other).
void MarkAllocations(AllocationMark mark);
// Any thread. Allocations made so far under mark.
uint64_t AllocationsUnder(AllocationMark mark);
