// Capture through the wave-in mapper (the system's default recording device), asked for mono
// signed 16-bit at 48000 Hz so that no conversion is needed. Ten reused buffers of 4410
// samples, five of them queued; each filled buffer goes to the sink from the device's callback
// and makes the next buffer of the ring queue.
#pragma once

#include <windows.h>
// windows.h first: mmsystem.h relies on its types.
#include <mmsystem.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "capture/AudioInput.h"

class AudioInputWinMME {
 public:
  static constexpr int kBufferCount = 10;
  static constexpr int kQueued = 5;
  static constexpr DWORD kBufferBytes = 8820;

  AudioInputWinMME();   // owner's thread
  ~AudioInputWinMME();  // owner's thread; after Close or a failed Open

  // Any thread. Empties the list and appends the one id WAVE_MAPPER (0xFFFFFFFF).
  static void LoadDevice(std::vector<uint32_t>& deviceIds);
  // Owner's thread, once. Opens the device, opens the sink with (1, 48000, 16) and starts
  // recording; false after logging "waveInOpen failed, res:%d" (nothing held).
  bool Open(uint32_t deviceId, AudioInput::AudioSink* sink);
  // Owner's thread, once, after a successful Open: stops and closes the device, then closes
  // the sink. No Write is in progress or follows once it returns.
  void Close();

  // The device's callback thread (and the thread calling a wave-in function that notifies).
  // instance is the AudioInputWinMME; WIM_DATA goes to OnData with param1 as the header.
  static void CALLBACK WaveInProc(HWAVEIN device, UINT message, DWORD_PTR instance,
                                  DWORD_PTR param1, DWORD_PTR param2);

 private:
  // The device's callback thread: delivers a filled header and queues the next of the ring.
  void OnData(WAVEHDR* header);
  // Queues the header at m_nextHeader and advances it. Open's thread or under m_mutex.
  void QueueNext();

  AudioInput::AudioSink* m_sink = nullptr;
  HWAVEIN m_hWaveIn = nullptr;
  std::mutex m_mutex;  // guards m_running, m_nextHeader and each delivery
  bool m_running = false;
  WAVEHDR m_headers[kBufferCount] = {};
  std::unique_ptr<char[]> m_data[kBufferCount];
  int32_t m_nextHeader = 0;
};
