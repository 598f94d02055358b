#include "tests/fakes/win/FakeCaptureApi.h"

#include <chrono>

#include "tests/fakes/win/CallJournal.h"
#include "tests/fakes/win/TaskMemory.h"

FakeCaptureApi* FakeCaptureApi::s_current = nullptr;

FakeCaptureApi::FakeCaptureApi() : m_saved(WinFunctions()) {
  s_current = this;
  WinApi& api = WinFunctions();
  api.coInitializeEx = &FakeCaptureApi::CoInitializeEx;
  api.coUninitialize = &FakeCaptureApi::CoUninitialize;
  api.coCreateInstance = &FakeCaptureApi::CoCreateInstance;
  api.coTaskMemFree = &FakeCaptureApi::CoTaskMemFree;
  api.propVariantClear = &FakeCaptureApi::PropVariantClear;
  api.createEventA = &FakeCaptureApi::CreateEventA;
  api.createEventExA = &FakeCaptureApi::CreateEventExA;
  api.closeHandle = &FakeCaptureApi::CloseHandle;
}

FakeCaptureApi::~FakeCaptureApi() {
  WinFunctions() = m_saved;
  s_current = nullptr;
}

HRESULT FakeCaptureApi::CoInitializeEx(LPVOID reserved, DWORD model) {
  if (reserved != nullptr || model != COINIT_MULTITHREADED) {
    return E_INVALIDARG;
  }
  if (SUCCEEDED(s_current->coInitializeResult)) {
    ++s_current->m_comInits;
  }
  return s_current->coInitializeResult;
}

void FakeCaptureApi::CoUninitialize() {
  JournalNote("CoUninitialize");
  ++s_current->m_comUninits;
}

HRESULT FakeCaptureApi::CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid,
                                         LPVOID* out) {
  *out = nullptr;
  s_current->m_createArgumentsRight = IsEqualCLSID(clsid, __uuidof(MMDeviceEnumerator)) &&
                                      outer == nullptr && context == CLSCTX_ALL &&
                                      IsEqualIID(iid, __uuidof(IMMDeviceEnumerator));
  if (FAILED(s_current->coCreateResult)) {
    return s_current->coCreateResult;
  }
  s_current->enumerator.AddRef();
  *out = static_cast<IMMDeviceEnumerator*>(&s_current->enumerator);
  return S_OK;
}

void FakeCaptureApi::CoTaskMemFree(LPVOID block) {
  JournalNote("CoTaskMemFree");
  if (block != nullptr && !ForgetTracked(block)) {
    ++s_current->m_foreignFrees;
  }
  ::CoTaskMemFree(block);
}

HRESULT FakeCaptureApi::PropVariantClear(PROPVARIANT* value) {
  void* block = nullptr;
  if (value->vt == VT_LPWSTR) {
    block = value->pwszVal;
  } else if (value->vt == VT_CLSID) {
    block = value->puuid;
  }
  if (block != nullptr && !ForgetTracked(block)) {
    ++s_current->m_foreignFrees;
  }
  return ::PropVariantClear(value);
}

HANDLE FakeCaptureApi::CreateEventA(LPSECURITY_ATTRIBUTES attributes, WINBOOL manualReset,
                                    WINBOOL initialState, LPCSTR name) {
  if (s_current->failCreateEvent) {
    return nullptr;
  }
  HANDLE event = ::CreateEventA(attributes, manualReset, initialState, name);
  if (event != nullptr) {
    ++s_current->m_openEvents;
  }
  return event;
}

HANDLE FakeCaptureApi::CreateEventExA(LPSECURITY_ATTRIBUTES attributes, LPCSTR name, DWORD flags,
                                      DWORD access) {
  if (s_current->failCreateEventEx) {
    return nullptr;
  }
  HANDLE event = ::CreateEventExA(attributes, name, flags, access);
  if (event != nullptr) {
    ++s_current->m_openEvents;
    s_current->m_captureEvent = event;
  }
  return event;
}

WINBOOL FakeCaptureApi::CloseHandle(HANDLE handle) {
  if (handle == s_current->m_captureEvent) {
    JournalNote("CloseHandle capture event");
  }
  WINBOOL closed = ::CloseHandle(handle);
  std::lock_guard<std::mutex> lock(s_current->m_mutex);
  --s_current->m_openEvents;
  s_current->m_closed.notify_all();
  return closed;
}

bool FakeCaptureApi::WaitForEventsClosed() {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_closed.wait_for(lock, std::chrono::seconds(10), [&] { return m_openEvents == 0; });
}
