// A capture sink that records every call, with the calling thread, for checks.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "capture/AudioInput.h"

class RecordingSink : public AudioInput::AudioSink {
 public:
  struct Call {
    char kind;  // 'O' Open, 'W' Write, 'C' Close
    std::thread::id thread;
  };

  // Open and Close are also noted as "sink Open" and "sink Close" in the call journal.
  void Open(uint32_t channels, uint32_t samplesPerSec, uint32_t bitsPerSample) override;
  void Close() override;
  int32_t Write(const int16_t* data, int32_t frames) override;

  // Any thread.
  std::vector<Call> Calls() const;
  std::vector<std::vector<int16_t>> Writes() const;
  std::vector<uint32_t> Format() const;  // channels, rate, bits of the last Open
  int Count(char kind) const;
  // Waits until count Writes have arrived; false after 10 s.
  bool WaitForWrites(int count) const;

 private:
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  std::vector<Call> m_calls;
  std::vector<std::vector<int16_t>> m_writes;
  std::vector<uint32_t> m_format;
};
