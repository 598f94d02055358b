// Puts fakes behind the COM, task memory and event entries of the capture function table for
// its lifetime: CoCreateInstance hands out the fake enumerator, and a test can make COM
// initialisation, enumerator creation or either event creation fail. Counts what was acquired
// and released, and notes teardown calls in the call journal.
#pragma once

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "platform/win/WinApi.h"
#include "tests/fakes/win/FakeEndpoints.h"

class FakeCaptureApi {
 public:
  FakeCaptureApi();   // test thread; one at a time
  ~FakeCaptureApi();  // test thread; after every capture thread has ended

  FakeEnumerator enumerator;
  HRESULT coInitializeResult = S_OK;
  HRESULT coCreateResult = S_OK;
  bool failCreateEvent = false;
  bool failCreateEventEx = false;

  // Any thread.
  int ComInitializations() const { return m_comInits; }  // successful ones
  int ComUninitializations() const { return m_comUninits; }
  int OpenEvents() const { return m_openEvents; }      // made and not closed
  int ForeignFrees() const { return m_foreignFrees; }  // frees of memory no fake handed out
  bool CreateInstanceArgumentsRight() const { return m_createArgumentsRight; }
  // Test thread. Waits until no event made through the fake is open (10 s at most).
  bool WaitForEventsClosed();

 private:
  static HRESULT WINAPI CoInitializeEx(LPVOID reserved, DWORD model);
  static void WINAPI CoUninitialize();
  static HRESULT WINAPI CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid,
                                         LPVOID* out);
  static void WINAPI CoTaskMemFree(LPVOID block);
  static HRESULT WINAPI PropVariantClear(PROPVARIANT* value);
  static HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES attributes, WINBOOL manualReset,
                                    WINBOOL initialState, LPCSTR name);
  static HANDLE WINAPI CreateEventExA(LPSECURITY_ATTRIBUTES attributes, LPCSTR name, DWORD flags,
                                      DWORD access);
  static WINBOOL WINAPI CloseHandle(HANDLE handle);

  static FakeCaptureApi* s_current;
  WinApi m_saved;
  std::atomic<int> m_comInits{0};
  std::atomic<int> m_comUninits{0};
  std::atomic<int> m_openEvents{0};
  std::atomic<int> m_foreignFrees{0};
  std::atomic<bool> m_createArgumentsRight{false};
  std::atomic<HANDLE> m_captureEvent{nullptr};
  std::mutex m_mutex;
  std::condition_variable m_closed;
};
