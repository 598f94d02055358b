// What surrounds the library in a host: the log lines, status codes and reception results it
// sees, recorded from the callbacks (on any thread) so that tests can wait for them; and a
// virtual sound card in place of the platform's devices: what the library plays goes into the
// air, and the air is what the library captures. The test drives time by hand with Advance, so
// nothing depends on the machine's speed or a sound server.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/AudioInput.h"
#include "hov/hov.h"
#include "send/AudioOutput.h"

using std::chrono::milliseconds;

// A lock and a condition for state that one thread changes and others wait on. Any thread.
struct Changes {
  // Under the lock: done() once it holds, or false when it still fails after limit.
  template <typename Done>
  bool Until(Done done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, limit, done);
  }
  std::mutex mutex;
  std::condition_variable changed;
};

struct LogLine {
  int level;
  std::string text;  // with the "[hov] " prefix
};

// Registers a capturing log function; the built-in printer comes back when it goes.
// One LogCapture at a time.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();

  // The capturing log function, for tests that hand it to HovInit themselves.
  static HovLogCallback Function();

  std::vector<LogLine> Lines() const;  // in arrival order
  // How many lines read exactly text (prefix included).
  int Count(const std::string& text) const;
  void Clear();
  // Waits until count lines read exactly text; false after the limit.
  bool WaitFor(const std::string& text, int count = 1,
               milliseconds limit = milliseconds(10000)) const;
};

struct RecvResult {
  int code;
  std::string key;
  std::thread::id thread;
};

namespace host {
void Reset();  // forgets the statuses and results recorded so far
// The callbacks to hand to the exports.
void HOV_CALL OnStatus(int code);
void HOV_CALL OnRecv(int code, const char* shareKey);

std::vector<int> Statuses();
int StatusCount(int code);
std::vector<RecvResult> Results();
// Wait until status code has arrived count times in all, or count results have; false after
// the limit.
bool WaitStatus(int code, int count = 1, milliseconds limit = milliseconds(10000));
bool WaitResults(size_t count, milliseconds limit = milliseconds(10000));
}  // namespace host

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
