// A fake wave-out and wave-in device behind the wave entries of the Windows function table for
// its lifetime. It holds queued buffers in order; the test returns them one by one through the
// device's callback (on the test thread, as the system does on a thread of its own), and a reset
// returns every held buffer. A test can make opens or one queueing call fail and make the reset
// block until it lets it go. Nothing here allocates once a device is open, so allocations
// counted on the backend's threads are the backend's own.
#pragma once

#include <windows.h>
// windows.h first: mmsystem.h relies on its types.
#include <mmsystem.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/win/WinApi.h"

class FakeWave {
 public:
  FakeWave();   // test thread; one at a time
  ~FakeWave();  // test thread; after every device is closed

  // Set before the calls they affect (test thread).
  MMRESULT openResult = MMSYSERR_NOERROR;  // the result of every open from now on
  int failQueueCall = 0;    // the n-th queueing call from now (1 = the next) fails with NODRIVER
  bool blockReset = false;  // a reset waits until Release()

  // Test thread. The oldest held buffer comes back: out, played; in, recorded with samples
  // (the first ones of the buffer, as many as fit). False when the device holds none.
  bool ReturnOne(const std::vector<int16_t>& samples = {});
  // Test thread. Waits until count queueing calls have been made in all (10 s at most).
  bool WaitForQueued(int count);
  // Test thread. Lets a blocked reset go on and waits until every open device is closed.
  bool Release();

  // Any thread.
  std::atomic<int> opens{0};        // successful ones
  std::atomic<int> openDevices{0};  // opened and not closed
  std::atomic<int> prepared{0};     // headers prepared and not unprepared
  std::atomic<int> queued{0};       // queueing calls, failed ones included
  // Test thread. The samples of a held buffer (0 = the oldest).
  std::vector<int16_t> Held(size_t index);

 private:
  // Calls the device's callback with a message, outside the lock.
  void Notify(UINT message, WAVEHDR* header);

  static constexpr int kMaxHeld = 32;
  static FakeWave* s_current;
  WinApi m_saved;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_out = true;  // the device last opened is a wave-out device
  DWORD_PTR m_callback = 0;
  DWORD_PTR m_instance = 0;
  bool m_resetReleased = false;
  WAVEHDR* m_held[kMaxHeld] = {};  // oldest first
  int m_heldCount = 0;
};
