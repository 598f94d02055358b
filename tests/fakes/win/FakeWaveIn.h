// A fake wave-in device behind the capture function table for its lifetime. It keeps the
// queued buffers in order; the test completes them one by one, and waveInReset returns every
// queued buffer through the callback on the calling thread, as the system does before it
// returns. Device calls are noted in the call journal.
#pragma once

#include <windows.h>
// windows.h first: mmsystem.h relies on its types.
#include <mmsystem.h>

#include <cstdint>
#include <deque>
#include <vector>

#include "capture/win/CaptureApi.h"

class FakeWaveIn {
 public:
  FakeWaveIn();   // test thread; one at a time
  ~FakeWaveIn();  // test thread; after the device is closed

  MMRESULT openResult = MMSYSERR_NOERROR;

  // What Open asked for.
  UINT openedDevice = 0;
  WAVEFORMATEX openedFormat{};
  DWORD openFlags = 0;
  int starts = 0;
  int closes = 0;
  std::vector<int> queued;      // ring positions of the headers, in the order they were queued
  std::vector<int> unprepared;  // ring positions, in order
  std::vector<DWORD> headerSizes;
  std::vector<DWORD> bufferLengths;  // of each prepared header

  // Test thread: the oldest queued buffer comes back holding samples (bytes recorded =
  // 2 per sample) through the callback, as on the device's callback thread.
  void Complete(const std::vector<int16_t>& samples);
  // Test thread: any message through the callback.
  void Send(UINT message, DWORD_PTR param1);
  // Buffers the device holds.
  size_t InDevice() const { return m_inDevice.size(); }

 private:
  static MMRESULT WINAPI Open(LPHWAVEIN device, UINT id, LPCWAVEFORMATEX format, DWORD_PTR callback,
                              DWORD_PTR instance, DWORD flags);
  static MMRESULT WINAPI Prepare(HWAVEIN device, LPWAVEHDR header, UINT size);
  static MMRESULT WINAPI AddBuffer(HWAVEIN device, LPWAVEHDR header, UINT size);
  static MMRESULT WINAPI Start(HWAVEIN device);
  static MMRESULT WINAPI Reset(HWAVEIN device);
  static MMRESULT WINAPI Unprepare(HWAVEIN device, LPWAVEHDR header, UINT size);
  static MMRESULT WINAPI Close(HWAVEIN device);
  int PositionOf(const WAVEHDR* header) const;

  static FakeWaveIn* s_current;
  CaptureApi m_saved;
  DWORD_PTR m_callback = 0;
  DWORD_PTR m_instance = 0;
  std::vector<WAVEHDR*> m_prepared;
  std::deque<WAVEHDR*> m_inDevice;
};
