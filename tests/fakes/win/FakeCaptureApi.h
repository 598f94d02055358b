// Puts fakes behind the COM, task memory and event entries of the capture function table for
// its lifetime: CoCreateInstance hands out the fake enumerator, and a test can make COM
// initialisation, enumerator creation or either event creation fail. Counts what was acquired
// and released.
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
  std::atomic<int> comInits{0};  // successful ones
  std::atomic<int> comUninits{0};
  std::atomic<int> foreignFrees{0};  // frees of memory no fake handed out
  // Test thread. Waits until no event made through the fake is open (10 s at most).
  bool WaitForEventsClosed();

 private:
  static HANDLE Made(HANDLE event);

  static FakeCaptureApi* s_current;
  WinApi m_saved;
  int m_openEvents = 0;  // made and not closed
  std::mutex m_mutex;
  std::condition_variable m_closed;
};
