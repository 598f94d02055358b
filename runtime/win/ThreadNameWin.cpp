#include <windows.h>

#include <string>

#include "runtime/ThreadName.h"

namespace {

using SetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);

SetThreadDescriptionFn LookUpSetThreadDescription() {
  HMODULE kernel = GetModuleHandleW(L"Kernel32.dll");
  if (kernel == nullptr) {
    return nullptr;
  }
  return reinterpret_cast<SetThreadDescriptionFn>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetThreadDescription")));
}

constexpr DWORD kDebuggerThreadNameException = 0x406D1388;

#pragma pack(push, 8)
struct ThreadNameRecord {
  DWORD type;      // 0x1000
  LPCSTR name;     // name in the system code page
  DWORD threadId;  // the thread to name
  DWORD flags;     // reserved, 0
};
#pragma pack(pop)

// MinGW has no structured exception blocks, so a vectored handler swallows the naming
// exception in case the attached debugger passes it back to the program.
LONG CALLBACK SwallowThreadNameException(EXCEPTION_POINTERS* info) {
  if (info->ExceptionRecord->ExceptionCode == kDebuggerThreadNameException) {
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

void RaiseDebuggerThreadName(const std::string& name) {
  ThreadNameRecord record{0x1000, name.c_str(), GetCurrentThreadId(), 0};
  PVOID handler = AddVectoredExceptionHandler(1, SwallowThreadNameException);
  if (handler == nullptr) {
    return;
  }
  RaiseException(kDebuggerThreadNameException, 0, sizeof(record) / sizeof(ULONG_PTR),
                 reinterpret_cast<const ULONG_PTR*>(&record));
  RemoveVectoredExceptionHandler(handler);
}

}  // namespace

void SetCurrentThreadName(const std::string& name) {
  static const SetThreadDescriptionFn setThreadDescription = LookUpSetThreadDescription();
  if (setThreadDescription != nullptr) {
    int length = MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, nullptr, 0);
    if (length > 0) {
      std::wstring wide(static_cast<size_t>(length), L'\0');
      MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, &wide[0], length);
      setThreadDescription(GetCurrentThread(), wide.c_str());
    }
  }
  if (IsDebuggerPresent()) {
    RaiseDebuggerThreadName(name);
  }
}
