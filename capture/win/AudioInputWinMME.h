// Capture through the wave-in mapper (the system's default recording device), asked for mono
// signed 16-bit at 48000 Hz so that no conversion is needed: five reused buffers of 4410
// samples, all queued. The device's callback only signals; the ring's pump thread hands each
// recorded buffer to the sink, queues it again, and reopens the default device when it is lost.
#pragma once

#include <cstdint>
#include <vector>

#include "capture/AudioInput.h"
#include "platform/win/WaveRing.h"

class AudioInputWinMME : public AudioInput::Impl, private WaveRing::Client {
 public:
  static constexpr int32_t kBufferCount = 5;
  static constexpr int32_t kBufferSamples = 4410;

  AudioInputWinMME();            // owner's thread
  ~AudioInputWinMME() override;  // owner's thread; stops the device, does not close the sink

  // Any thread. Empties the list and appends the one id WAVE_MAPPER (0xFFFFFFFF).
  static void LoadDevice(std::vector<uint32_t>& deviceIds);
  // Owner's thread, once. Opens WAVE_MAPPER whatever the id, opens the sink with (1, 48000,
  // 16) and starts recording; false after logging "waveInOpen failed, res:%d" (nothing held,
  // the sink untouched).
  bool Open(uint32_t deviceId, AudioInput::AudioSink* sink) override;
  // Owner's thread: within WaveRing::kStopLimitMs no Write is in progress or follows and the
  // device is closed (or left to close on its own, logged); then the sink is closed once.
  // Harmless when not open.
  void Close() override;
  // Owner's thread, while open: logs a lost device and its return, once each.
  void Poll() override;

 private:
  // The ring's pump thread: one recorded buffer to the sink.
  int32_t Transfer(int16_t* data, int32_t count) override;
  // Open's thread, before recording starts.
  void Started() override;

  AudioInput::AudioSink* m_sink = nullptr;
  bool m_open = false;
  WaveRing m_ring;
};
