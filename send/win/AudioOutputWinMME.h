// Playback through the wave-out mapper (the system's default output): mono signed 16-bit at
// 48000 Hz in four 50 ms buffers, all queued: 200 ms ahead of the device, so a change that the
// source makes (a key update) is heard about a quarter of a second later. The device's callback
// only signals; the ring's pump thread refills each played buffer from the source and queues it
// again, and reopens the default device when it is lost.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/win/WaveRing.h"
#include "send/AudioOutput.h"

class AudioOutputWinMME : public AudioOutput::Impl, private WaveRing::Client {
 public:
  static constexpr int32_t kBufferCount = 4;
  static constexpr int32_t kBufferSamples = 2400;  // 50 ms

  AudioOutputWinMME();            // owner's thread
  ~AudioOutputWinMME() override;  // owner's thread; closes

  // Any thread. Empties the list and appends the one id WAVE_MAPPER (0xFFFFFFFF).
  static void LoadDevice(std::vector<uint32_t>& deviceIds);
  // Owner's thread. Opens WAVE_MAPPER whatever the device id, queues the ring read from source
  // and starts refilling; false when the device does not open (nothing held, nothing logged).
  bool Open(uint32_t deviceId, AudioOutput::AudioSource* source) override;
  // Owner's thread, after a successful Open: within WaveRing::kStopLimitMs no Read is in
  // progress or follows and the device is closed (or left to close on its own, logged).
  void Close() override;
  // Owner's thread, while open: logs a lost device and its return, once each.
  void Poll() override;

 private:
  // The ring's pump thread: one buffer from the source.
  int32_t Transfer(int16_t* data, int32_t count) override;
  // The ring's pump thread: tells the source that Poll has lines to log.
  void Noticed() override;

  AudioOutput::AudioSource* m_source = nullptr;
  WaveRing m_ring;
};
