// The receive session's sink: ten staggered decoders over one captured stream, and a vote
// that accepts a share key once two of them have produced it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "capture/AudioInput.h"

class HovSinkDelay;

// Runs every decoder in turn on the thread that delivers captured audio; starts no threads.
// Open, Write, Close and the destructor come from the capture side, one at a time;
// IsComplete and GetMessage run on the polling thread, also while Write runs.
class HovSinkConcurrent : public AudioInput::AudioSink {
 public:
  // Owner's thread. Ten decoders for packets of payloadLength bytes, windows 9600 frames apart.
  explicit HovSinkConcurrent(uint32_t payloadLength);
  // Owner's thread, after Close: destroys the remaining decoders.
  ~HovSinkConcurrent() override;
  HovSinkConcurrent(const HovSinkConcurrent&) = delete;
  HovSinkConcurrent& operator=(const HovSinkConcurrent&) = delete;

  // Owner's thread, before capture opens. fn(context) runs once, on the capture side, right
  // after IsComplete first turns true; it must not block, allocate or log.
  void SetCompletionHook(void (*fn)(void*), void* context);

  // Capture side, once: logs the format and opens every decoder with it.
  void Open(uint32_t channels, uint32_t samplesPerSec, uint32_t bitsPerSample) override;
  // Capture side or the closing thread: closes every remaining decoder; harmless when repeated.
  void Close() override;
  // Capture side: hands the buffer to the decoders and counts their votes; returns frames.
  int32_t Write(const int16_t* data, int32_t frames) override;

  // Polling thread. True once a key has had two votes; logged at most every 5 s per process.
  bool IsComplete() const;
  // Polling thread, after IsComplete answered true: copies the accepted packet (no terminator)
  // into buffer and returns its length; count only goes to the log line.
  int32_t GetMessage(char* buffer, int32_t count);

 private:
  static constexpr int32_t kPacketCapacity = 1024;
  static constexpr size_t kDecoderCount = 10;

  struct Vote {
    std::string key;  // a share key: short enough to need no heap
    int32_t count = 0;
  };
  // Capture side. The vote count of key, entered with 0 when new.
  int32_t& VotesFor(const std::string& key);

  std::set<HovSinkDelay*> m_decoders;       // owned; visited in pointer order
  std::array<Vote, kDecoderCount> m_votes;  // grows only; m_voteKeys entries in use
  size_t m_voteKeys = 0;
  std::vector<float> m_floats;  // the buffer converted once for all decoders
  std::atomic<bool> m_complete{false};
  char m_acceptedPacket[kPacketCapacity] = {};
  int32_t m_acceptedLength = 0;
  std::mutex m_packetLock;  // the accepted packet and its length
  void (*m_onComplete)(void*) = nullptr;
  void* m_onCompleteContext = nullptr;
};
