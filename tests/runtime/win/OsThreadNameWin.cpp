#include <windows.h>

#include "tests/runtime/OsThreadName.h"

namespace {
using GetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PWSTR*);
}  // namespace

std::string OsThreadName() {
  HMODULE kernel = GetModuleHandleW(L"Kernel32.dll");
  if (kernel == nullptr) {
    return std::string();
  }
  auto getThreadDescription = reinterpret_cast<GetThreadDescriptionFn>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "GetThreadDescription")));
  if (getThreadDescription == nullptr) {
    return std::string();
  }
  PWSTR description = nullptr;
  if (FAILED(getThreadDescription(GetCurrentThread(), &description)) || description == nullptr) {
    return std::string();
  }
  std::string name;
  int length = WideCharToMultiByte(CP_UTF8, 0, description, -1, nullptr, 0, nullptr, nullptr);
  if (length > 1) {
    name.resize(static_cast<size_t>(length));
    WideCharToMultiByte(CP_UTF8, 0, description, -1, &name[0], length, nullptr, nullptr);
    name.resize(static_cast<size_t>(length - 1));
  }
  LocalFree(description);
  return name;
}

std::string ExpectedOsThreadName(const std::string& name) {
  return name;
}
