// Capture from the PulseAudio server's default source as mono signed 16-bit at 48000 Hz (the
// server converts), delivered to the sink in fragments of about 10 ms by a capture thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "capture/AudioInput.h"

typedef struct pa_simple pa_simple;

class AudioInputLinuxPulse : public AudioInput::Impl {
 public:
  AudioInputLinuxPulse();            // owner's thread
  ~AudioInputLinuxPulse() override;  // owner's thread; after Close or a failed Open

  // Owner's thread. Connects at once, so a missing server is known before it returns; then
  // opens the sink with (1, 48000, 16) and starts the capture thread.
  bool Open(uint32_t microphone, AudioInput::AudioSink* sink) override;
  // Owner's thread. Stops and joins the capture thread, disconnects, then closes the sink once.
  void Close() override;

 private:
  // Capture thread: reads fragments and writes them to the sink until Close or a read error.
  void ThreadProc();

  AudioInput::AudioSink* m_sink = nullptr;
  pa_simple* m_stream = nullptr;
  std::atomic<bool> m_running{false};
  std::thread m_thread;
};
