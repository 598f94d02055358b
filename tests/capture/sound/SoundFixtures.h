// Helpers of the sound tests: a pattern source for playback, a sink that checks the capture
// contract, and a scoped audio environment that points ALSA and PulseAudio clients elsewhere.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "capture/AudioInput.h"
#include "send/AudioOutput.h"

// Sample i of a fixed, non-repeating pattern, so that one stretch fixes the alignment.
int16_t PatternSample(int64_t i);

// Hands out the pattern. Read k (from 0) returns counts[k] samples while k < counts.size(),
// otherwise `after` (negative: as many as asked).
class PatternSource : public AudioOutput::AudioSource {
 public:
  explicit PatternSource(std::vector<int32_t> counts = {}, int32_t after = -1);
  int32_t Read(int16_t* buffer, int32_t count) override;  // playback side

  // Test thread.
  bool WaitForReads(int64_t reads, std::chrono::milliseconds limit);
  int64_t Reads() const;
  int64_t Samples() const;                       // pattern samples handed out so far
  std::vector<const int16_t*> Buffers() const;   // the buffer of every read, in order
  std::vector<std::thread::id> Threads() const;  // the thread of every read, in order
  // The owner has closed playback: true when no Read is running; any later Read is a breach.
  bool MarkClosed();
  std::vector<std::string> Violations() const;

 private:
  const std::vector<int32_t> m_counts;
  const int32_t m_after;
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::atomic<int> m_inRead{0};
  bool m_closed = false;
  int64_t m_position = 0;
  std::vector<const int16_t*> m_buffers;
  std::vector<std::thread::id> m_threads;
  std::vector<std::string> m_violations;
};

// Records what capture delivers (the first `keep` samples) and every breach of the contract:
// Open(1, 48000, 16) first and once, Writes of 1 to 48000 frames only between Open and Close,
// no overlapping calls.
class CheckingSink : public AudioInput::AudioSink {
 public:
  explicit CheckingSink(size_t keep);
  void Open(uint32_t channels, uint32_t samplesPerSec, uint32_t bitsPerSample) override;
  void Close() override;
  int32_t Write(const int16_t* data, int32_t frames) override;

  struct Record {
    int opens = 0;
    int closes = 0;
    int64_t writes = 0;
    int64_t frames = 0;
    int32_t minFrames = 0;
    int32_t maxFrames = 0;
    std::thread::id openThread;
    std::thread::id closeThread;
    std::set<std::thread::id> writeThreads;
    std::chrono::steady_clock::time_point firstWrite;
    std::vector<int16_t> samples;
    std::vector<std::string> violations;
  };
  // Test thread.
  bool WaitForFrames(int64_t frames, std::chrono::milliseconds limit);
  Record Snapshot() const;

 private:
  const size_t m_keep;
  std::atomic<int> m_inCall{0};
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  Record m_record;
};

// A fresh folder for one test, ALSA's "default" device defined by the test, and optionally the
// PulseAudio client pointed at another server; the old environment comes back at the end.
// Change the environment only while no other thread runs.
class AudioEnvironment {
 public:
  explicit AudioEnvironment(const char* pulseServer = nullptr);  // null: server unchanged
  ~AudioEnvironment();
  const std::string& Dir() const { return m_dir; }

  // ALSA's "default" becomes the pcm of this definition (until the end of the object).
  void SetAlsaDefault(const std::string& definition);
  // Definitions: records what is played to path, at no pace.
  static std::string PlaybackToFile(const std::string& path);
  // Captures the raw samples of path, then silence, at no pace.
  static std::string CaptureFromFile(const std::string& path);
  // A device that does not open.
  static std::string Missing();

 private:
  struct Saved {
    const char* name;
    bool had;
    std::string value;
  };
  static Saved Save(const char* name);
  static void Restore(const Saved& saved);

  std::string m_dir;
  int m_configs = 0;
  Saved m_alsa;
  Saved m_pulse;
};

std::vector<int16_t> ReadRawFile(const std::string& path);
void WriteRawFile(const std::string& path, const std::vector<int16_t>& samples);
