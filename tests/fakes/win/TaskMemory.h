// Task memory that fakes hand to the code under test (endpoint ids, property values, mix
// formats), tracked so that a test can check that everything handed out was freed.
#pragma once

#include <cstddef>
#include <string>

// Any thread. Allocates with the system's task allocator and remembers the block.
void* AllocateTracked(size_t bytes);
wchar_t* CopyTracked(const std::wstring& text);
// Any thread. Forgets the block if it is tracked; false when it is not.
bool ForgetTracked(void* block);
// Any thread. Tracked blocks not yet forgotten.
size_t TrackedBlocks();
