// A virtual sound card for in-process tests: what the library plays goes into the air, and the
// air is what the library captures. The test drives time by hand with Advance, so nothing
// depends on the machine's speed or a sound server.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "capture/AudioInput.h"
#include "send/AudioOutput.h"

class VirtualAudioDevice {
 public:
  // Installs itself behind AudioOutput and AudioInput handles made from now on.
  VirtualAudioDevice();
  // Puts the platform's devices back. Close every handle first.
  ~VirtualAudioDevice();

  // Test thread. Plays frames of air: pulls one second from the open playback per second
  // played (five seconds are pulled at Open, as a real device queues them), and hands the same
  // samples to the open capture's sink in buffers of 480 frames. Without playback the air is
  // silent.
  void Advance(int64_t frames);

  // Test thread. How the next Opens (playback and capture) end: kThrow as a backend may when
  // a thread cannot be made.
  enum OpenFault { kNone, kFail, kThrow };
  void SetOpenFault(OpenFault fault);
  // Test thread. As a playback backend that met a fault: the open playback's next Poll logs
  // line (level 3), and its source hears at once that there is news.
  void News(const std::string& line);
  // Test thread.
  bool OutputOpen() const;
  bool InputOpen() const;

 private:
  class Output;
  class Input;

  // Pulls one second from the playback into the air; under m_mutex.
  void Pull();
  friend class Output;
  friend class Input;

  mutable std::mutex m_mutex;
  AudioOutput::AudioSource* m_source = nullptr;  // open playback, or null
  AudioInput::AudioSink* m_sink = nullptr;       // open capture, or null
  std::deque<int16_t> m_air;                     // pulled and not yet played
  int64_t m_playedSinceRefill = 0;
  OpenFault m_fault = kNone;
  std::vector<int16_t> m_pendingCapture;
  std::string m_news;  // for the playback's next Poll
  AudioOutput::Factory m_previousOutput;
  AudioInput::Factory m_previousInput;
};
