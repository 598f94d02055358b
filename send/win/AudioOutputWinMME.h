// Playback through the wave-out mapper (the system's default output): mono signed 16-bit at
// 48000 Hz from a ring of ten one-second buffers, five of them queued on the device. Each
// buffer the device reports as played makes the next buffer of the ring refill and queue.
#pragma once

#include <windows.h>
// windows.h first: mmsystem.h relies on its types.
#include <mmsystem.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "send/AudioOutput.h"

class AudioOutputWinMME : public AudioOutput::Impl {
 public:
  static constexpr int kBufferCount = 10;
  static constexpr int kQueuedAtOpen = 5;
  static constexpr int32_t kBufferSamples = 48000;
  static constexpr DWORD kBufferBytes = kBufferSamples * 2;

  AudioOutputWinMME();            // owner's thread
  ~AudioOutputWinMME() override;  // owner's thread; after Close or a failed Open

  // Any thread. Empties the list and appends the one id WAVE_MAPPER (0xFFFFFFFF).
  static void LoadDevice(std::vector<uint32_t>& deviceIds);
  // Owner's thread. Opens WAVE_MAPPER whatever the device id and queues five seconds read
  // from source; false when the device does not open (nothing held, nothing logged).
  bool Open(uint32_t deviceId, AudioOutput::AudioSource* source) override;
  // Owner's thread, after a successful Open: stops the device, frees the buffers, closes.
  void Close() override;

  // The device's callback thread (and the thread calling a wave-out function that notifies).
  // instance is the AudioOutputWinMME.
  static void CALLBACK WaveOutProc(HWAVEOUT device, UINT message, DWORD_PTR instance,
                                   DWORD_PTR param1, DWORD_PTR param2);

 private:
  // The device's callback thread: WOM_OPEN, WOM_CLOSE and WOM_DONE.
  void OnOpen();
  void OnClose();
  void OnDone();
  // Takes the header at the next-buffer index, advances the index, fills the header from the
  // source and queues it when the source gave samples. Open's thread or under m_mutex.
  void RefillNext();

  AudioOutput::AudioSource* m_source = nullptr;
  HWAVEOUT m_device = nullptr;
  std::mutex m_mutex;  // guards m_open, m_nextBuffer and the refill
  bool m_open = false;
  WAVEHDR m_headers[kBufferCount] = {};
  std::unique_ptr<char[]> m_data[kBufferCount];
  int32_t m_nextBuffer = 0;
};
