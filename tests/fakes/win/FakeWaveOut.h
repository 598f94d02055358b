// A fake wave-out device behind the wave-out function table for its lifetime. It keeps the
// queued buffers in order; the test finishes them one by one, and waveOutReset returns every
// queued buffer with WOM_DONE on the calling thread, as the system does before it returns.
#pragma once

#include <windows.h>
// windows.h first: mmsystem.h relies on its types.
#include <mmsystem.h>

#include <deque>
#include <string>
#include <vector>

#include "send/win/WaveOutApi.h"

class FakeWaveOut {
 public:
  FakeWaveOut();   // test thread; one at a time
  ~FakeWaveOut();  // test thread; after the device is closed

  MMRESULT openResult = MMSYSERR_NOERROR;

  UINT openedDevice = 0;
  WAVEFORMATEX openedFormat{};
  DWORD openFlags = 0;
  DWORD_PTR openInstance = 0;
  int resets = 0;
  int closes = 0;
  std::vector<DWORD> preparedLengths;  // buffer length of each header when prepared
  std::vector<int> written;            // ring positions, in the order they were queued
  std::vector<DWORD> writtenLengths;   // buffer length of each queued header
  std::vector<int> unprepared;         // ring positions, in order
  std::vector<std::string> calls;      // "reset", "unprepare", "close" in order
  int writesOfHeldHeaders = 0;         // a header queued again while the device held it

  // Test thread: the oldest queued buffer has played; WOM_DONE through the callback.
  void FinishOne();
  // Test thread: any message through the callback.
  void Send(UINT message);
  size_t InDevice() const { return m_inDevice.size(); }

 private:
  static MMRESULT WINAPI Open(LPHWAVEOUT device, UINT id, LPCWAVEFORMATEX format,
                              DWORD_PTR callback, DWORD_PTR instance, DWORD flags);
  static MMRESULT WINAPI Prepare(HWAVEOUT device, LPWAVEHDR header, UINT size);
  static MMRESULT WINAPI Write(HWAVEOUT device, LPWAVEHDR header, UINT size);
  static MMRESULT WINAPI Reset(HWAVEOUT device);
  static MMRESULT WINAPI Unprepare(HWAVEOUT device, LPWAVEHDR header, UINT size);
  static MMRESULT WINAPI Close(HWAVEOUT device);
  int PositionOf(const WAVEHDR* header) const;
  void Done(WAVEHDR* header);

  static FakeWaveOut* s_current;
  WaveOutApi m_saved;
  DWORD_PTR m_callback = 0;
  std::vector<WAVEHDR*> m_prepared;
  std::deque<WAVEHDR*> m_inDevice;
};
