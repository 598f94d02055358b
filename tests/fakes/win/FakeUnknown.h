// Reference counting for fake Core Audio objects. The test owns each fake; the count says how
// many references the code under test holds, so it must be back at 0 once the code is done.
#pragma once

#include <windows.h>

#include <atomic>

template <typename Interface>
class FakeUnknown : public Interface {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (IsEqualIID(iid, __uuidof(IUnknown)) || IsEqualIID(iid, __uuidof(Interface))) {
      *out = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
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
