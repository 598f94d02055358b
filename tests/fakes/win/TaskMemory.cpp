#include "tests/fakes/win/TaskMemory.h"

#include <objbase.h>

#include <cstring>
#include <mutex>
#include <set>

namespace {
std::mutex g_mutex;
std::set<void*> g_blocks;
}  // namespace

void* AllocateTracked(size_t bytes) {
  void* block = CoTaskMemAlloc(bytes);
  std::lock_guard<std::mutex> lock(g_mutex);
  g_blocks.insert(block);
  return block;
}

wchar_t* CopyTracked(const std::wstring& text) {
  size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  auto* copy = static_cast<wchar_t*>(AllocateTracked(bytes));
  std::memcpy(copy, text.c_str(), bytes);
  return copy;
}

bool ForgetTracked(void* block) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_blocks.erase(block) == 1;
}

size_t TrackedBlocks() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_blocks.size();
}
