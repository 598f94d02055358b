#include "tests/fakes/win/FakeCaptureApi.h"

#include <chrono>
#include <cstring>
#include <set>

namespace {
std::mutex g_blocksMutex;
std::set<void*> g_blocks;

// Forgets a block handed out by a fake; false when no fake handed it out.
bool ForgetTracked(void* block) {
  std::lock_guard<std::mutex> lock(g_blocksMutex);
  return block == nullptr || g_blocks.erase(block) == 1;
}
}  // namespace

void* AllocateTracked(size_t bytes) {
  void* block = ::CoTaskMemAlloc(bytes);
  std::lock_guard<std::mutex> lock(g_blocksMutex);
  g_blocks.insert(block);
  return block;
}

wchar_t* CopyTracked(const std::wstring& text) {
  size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  auto* copy = static_cast<wchar_t*>(AllocateTracked(bytes));
  std::memcpy(copy, text.c_str(), bytes);
  return copy;
}

size_t TrackedBlocks() {
  std::lock_guard<std::mutex> lock(g_blocksMutex);
  return g_blocks.size();
}

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

HRESULT FakeCaptureApi::CoInitializeEx(LPVOID, DWORD) {
  if (SUCCEEDED(s_current->coInitializeResult)) {
    ++s_current->comInits;
  }
  return s_current->coInitializeResult;
}

void FakeCaptureApi::CoUninitialize() {
  ++s_current->comUninits;
}

HRESULT FakeCaptureApi::CoCreateInstance(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID* out) {
  *out = nullptr;
  if (FAILED(s_current->coCreateResult)) {
    return s_current->coCreateResult;
  }
  s_current->enumerator.AddRef();
  *out = static_cast<IMMDeviceEnumerator*>(&s_current->enumerator);
  return S_OK;
}

void FakeCaptureApi::CoTaskMemFree(LPVOID block) {
  if (!ForgetTracked(block)) {
    ++s_current->foreignFrees;
  }
  ::CoTaskMemFree(block);
}

HRESULT FakeCaptureApi::PropVariantClear(PROPVARIANT* value) {
  void* block = value->vt == VT_LPWSTR  ? static_cast<void*>(value->pwszVal)
                : value->vt == VT_CLSID ? static_cast<void*>(value->puuid)
                                        : nullptr;
  if (!ForgetTracked(block)) {
    ++s_current->foreignFrees;
  }
  return ::PropVariantClear(value);
}

HANDLE FakeCaptureApi::Made(HANDLE event) {
  std::lock_guard<std::mutex> lock(s_current->m_mutex);
  s_current->m_openEvents += event != nullptr ? 1 : 0;
  return event;
}

HANDLE FakeCaptureApi::CreateEventA(LPSECURITY_ATTRIBUTES attributes, WINBOOL manualReset,
                                    WINBOOL initialState, LPCSTR name) {
  return s_current->failCreateEvent
             ? nullptr
             : Made(::CreateEventA(attributes, manualReset, initialState, name));
}

HANDLE FakeCaptureApi::CreateEventExA(LPSECURITY_ATTRIBUTES attributes, LPCSTR name, DWORD flags,
                                      DWORD access) {
  return s_current->failCreateEventEx ? nullptr
                                      : Made(::CreateEventExA(attributes, name, flags, access));
}

WINBOOL FakeCaptureApi::CloseHandle(HANDLE handle) {
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
