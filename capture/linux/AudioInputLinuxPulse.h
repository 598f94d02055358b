// Capture from the PulseAudio server's default source as mono signed 16-bit at 48000 Hz (the
// server converts), or at the source's own rate for a sink that takes any rate, delivered to the
// sink in fragments of 480 frames by the stream's mainloop thread.
// When the server goes away the stream is made again once it is back.
#pragma once

#include <atomic>
#include <cstdint>

#include "capture/AudioInput.h"
#include "platform/linux/PulseStream.h"

class AudioInputLinuxPulse : public AudioInput::Impl, private PulseStream::Client {
 public:
  AudioInputLinuxPulse();            // owner's thread
  ~AudioInputLinuxPulse() override;  // owner's thread; after Close or a failed Open

  // Owner's thread. Connects within a time limit, so a missing or frozen server is known
  // before it returns; then opens the sink with (1, rate, 16) and lets fragments through.
  bool Open(uint32_t microphone, AudioInput::AudioSink* sink) override;
  // Owner's thread. Stops the stream without waiting on the server, then closes the sink once.
  void Close() override;
  // Owner's thread. Logs a loss of the server and the capture's return.
  void Poll() override;

 private:
  void Take(const int16_t* in, int32_t frames) override;  // mainloop thread

  AudioInput::AudioSink* m_sink = nullptr;
  std::atomic<bool> m_delivering{false};
  bool m_sinkOpen = false;
  PulseStream m_stream;
};
