// Capture from ALSA's "default" recording device as mono signed 16-bit at 48000 Hz (or, for a
// sink that takes any rate, at the device's own rate nearest to it), delivered to the sink in
// periods of 480 frames by a capture thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "capture/AudioInput.h"
#include "platform/linux/AlsaRecovery.h"

class AudioInputLinuxAlsa : public AudioInput::Impl {
 public:
  AudioInputLinuxAlsa();            // owner's thread
  ~AudioInputLinuxAlsa() override;  // owner's thread; after Close or a failed Open

  // Owner's thread. Opens and sets up the device, opens the sink with (1, rate, 16), then
  // starts the capture thread.
  bool Open(uint32_t microphone, AudioInput::AudioSink* sink) override;
  // Owner's thread. Stops and joins the capture thread, closes the device, then the sink once.
  void Close() override;
  // Owner's thread. Logs the failures the capture thread has met.
  void Poll() override;

 private:
  // Capture thread: reads periods and writes them to the sink until Close or a device failure.
  void ThreadProc();
  // Capture thread: brings the device back after a failed read; false when that fails.
  bool Recover(long error);

  AudioInput::AudioSink* m_sink = nullptr;
  snd_pcm_t* m_pcm = nullptr;
  std::atomic<bool> m_running{false};
  AlsaStreamLog m_failures{"snd_pcm_readi"};
  std::thread m_thread;
};
