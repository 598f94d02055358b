// Reference counting for fake Core Audio objects, and the task memory that fakes hand to the
// code under test (endpoint ids, property values, mix formats), tracked so that a test can check
// that everything handed out was freed.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <string>

// Any thread. Allocates with the system's task allocator and remembers the block.
void* AllocateTracked(size_t bytes);
wchar_t* CopyTracked(const std::wstring& text);
size_t TrackedBlocks();  // handed out and not freed

// The test owns each fake; the count says how many references the code under test holds, so it
// must be back at 0 once the code is done.
template <typename Interface>
class FakeUnknown : public Interface {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++m_references); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--m_references); }

  // Any thread. References handed out and not released (negative after too many releases).
  LONG References() const { return m_references; }

 private:
  std::atomic<LONG> m_references{0};
};

// Hands object out through out, with a reference, when result is a success; null otherwise.
template <typename Interface, typename Out>
HRESULT Hand(HRESULT result, Interface* object, Out** out) {
  *out = SUCCEEDED(result) ? object : nullptr;
  if (*out != nullptr) {
    object->AddRef();
  }
  return result;
}

// A method the code under test never calls.
#define HOV_FAKE_UNCALLED(method, ...)                     \
  HRESULT STDMETHODCALLTYPE method(__VA_ARGS__) override { \
    return E_NOTIMPL;                                      \
  }
