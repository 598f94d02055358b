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
  api.coInitializeEx = [](LPVOID, DWORD) {
    s_current->comInits += SUCCEEDED(s_current->coInitializeResult) ? 1 : 0;
    return s_current->coInitializeResult;
  };
  api.coUninitialize = [] { ++s_current->comUninits; };
  api.coCreateInstance = [](REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID* out) {
    return Hand<IMMDeviceEnumerator>(s_current->coCreateResult, &s_current->enumerator, out);
  };
  api.coTaskMemFree = [](LPVOID block) {
    s_current->foreignFrees += ForgetTracked(block) ? 0 : 1;
    ::CoTaskMemFree(block);
  };
  api.propVariantClear = [](PROPVARIANT* value) {
    void* block = value->vt == VT_LPWSTR  ? static_cast<void*>(value->pwszVal)
                  : value->vt == VT_CLSID ? static_cast<void*>(value->puuid)
                                          : nullptr;
    s_current->foreignFrees += ForgetTracked(block) ? 0 : 1;
    return ::PropVariantClear(value);
  };
  api.createEventA = [](LPSECURITY_ATTRIBUTES attributes, WINBOOL manual, WINBOOL initial,
                        LPCSTR name) {
    return s_current->failCreateEvent ? nullptr
                                      : Made(::CreateEventA(attributes, manual, initial, name));
  };
  api.createEventExA = [](LPSECURITY_ATTRIBUTES attributes, LPCSTR name, DWORD flags,
                          DWORD access) {
    return s_current->failCreateEventEx ? nullptr
                                        : Made(::CreateEventExA(attributes, name, flags, access));
  };
  api.closeHandle = [](HANDLE handle) {
    WINBOOL closed = ::CloseHandle(handle);
    std::lock_guard<std::mutex> lock(s_current->m_mutex);
    --s_current->m_openEvents;
    s_current->m_closed.notify_all();
    return closed;
  };
}

FakeCaptureApi::~FakeCaptureApi() {
  WinFunctions() = m_saved;
  s_current = nullptr;
}

HANDLE FakeCaptureApi::Made(HANDLE event) {
  std::lock_guard<std::mutex> lock(s_current->m_mutex);
  s_current->m_openEvents += event != nullptr ? 1 : 0;
  return event;
}

bool FakeCaptureApi::WaitForEventsClosed() {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_closed.wait_for(lock, std::chrono::seconds(10), [&] { return m_openEvents == 0; });
}
