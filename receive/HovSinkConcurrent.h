// The receive session's sink: ten staggered decoders over one captured stream, and a vote
// that accepts a share key once two of them have produced it.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "capture/AudioInput.h"

class HovSinkDelay;
struct ToneDetector;

// Runs every decoder in turn on the thread that delivers captured audio; starts no threads.
// Open, Write, Close and the destructor come from the capture side, one at a time;
// IsComplete and GetMessage run on the polling thread, also while Write runs.
class HovSinkConcurrent : public AudioInput::AudioSink {
 public:
  // What one decoder made of its window: reported each time its detector completes a window.
  struct WindowReport {
    int32_t decoder = 0;                     // 1..10, in the order of their delays
    int32_t delayFrames = 0;                 // frames before its window starts
    int64_t streamFrames = 0;                // frames written, this buffer included
    bool repeated = false;                   // its window's end was read again, no packet yet
    const ToneDetector* detector = nullptr;  // phase scores and tones; valid during the call
    int32_t packetLength = -1;               // bytes in packet; -1: no separator
    const char* packet = nullptr;            // the packet as kept (text up to a zero byte)
    std::string key;                         // the packet's share key; empty: check failed
    int32_t votes = 0;                       // the key's votes after this one (0: no vote)
    bool accepted = false;                   // this vote accepted the key
  };
  // Hears of every window report on the capture side, inside Write.
  class Observer {
   public:
    virtual ~Observer() = default;
    // Capture side, inside Write. report is valid only during the call.
    virtual void OnWindow(const WindowReport& report) = 0;
  };

  // Owner's thread. Ten decoders for packets of payloadLength bytes, windows 9600 frames apart.
  explicit HovSinkConcurrent(uint32_t payloadLength);
  // Owner's thread, after Close: destroys the remaining decoders.
  ~HovSinkConcurrent() override;
  HovSinkConcurrent(const HovSinkConcurrent&) = delete;
  HovSinkConcurrent& operator=(const HovSinkConcurrent&) = delete;

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

  // Owner's thread, before Open. observer (null: none) hears of every window from then on; it
  // must outlive the sink's last Write.
  void SetObserver(Observer* observer) { m_observer = observer; }

 private:
  // Capture side. Tells the observer, if any, what decoder made of its window.
  void Report(const HovSinkDelay* decoder, int32_t readsBefore, const char* packet, int32_t length,
              const std::string& key, int32_t votes, bool accepted);

  static constexpr int32_t kPacketCapacity = 1024;

  std::set<HovSinkDelay*> m_decoders;  // owned; visited in pointer order
  std::map<std::string, int32_t> m_votes;
  std::atomic<bool> m_complete{false};
  char m_acceptedPacket[kPacketCapacity] = {};
  int32_t m_acceptedLength = 0;
  std::mutex m_packetLock;  // the accepted packet and its length
  Observer* m_observer = nullptr;
  int64_t m_streamFrames = 0;  // frames written so far
};
