// The receive session's sink when the robust receiver is chosen: one RobustReceiver at the
// capture's own rate, fed on the capture side, read by the polling thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "capture/AudioInput.h"
#include "receive/robust/RobustReceiver.h"

// Open, Write, Close and the destructor come from the capture side, one at a time; IsComplete
// and GetMessage run on the polling thread, also while Write runs.
class HovSinkRobust : public AudioInput::AudioSink {
 public:
  HovSinkRobust();            // owner's thread; nothing allocated until Open
  ~HovSinkRobust() override;  // owner's thread, after Close
  HovSinkRobust(const HovSinkRobust&) = delete;
  HovSinkRobust& operator=(const HovSinkRobust&) = delete;

  // Capture side, once: logs the format and makes the receiver for its rate.
  void Open(uint32_t channels, uint32_t samplesPerSec, uint32_t bitsPerSample) override;
  // Capture side or the closing thread: nothing more is fed; harmless when repeated or unopened.
  void Close() override;
  // Capture side: feeds the buffer (first channel of each frame) until a key is committed;
  // allocates nothing, logs nothing. Returns frames.
  int32_t Write(const int16_t* data, int32_t frames) override;
  // Any thread. True: the receiver works at the capture's own rate.
  bool TakesAnyRate() const override { return true; }

  // Polling thread. True once the receiver has committed a key.
  bool IsComplete() const;
  // Polling thread, after IsComplete answered true: copies the 4-byte encoded key (no
  // terminator) into buffer, which holds at least 4 bytes, logs the frame it came at and returns 4.
  int32_t GetMessage(char* buffer, int32_t count);
  // Capture side, between Writes. What the receiver's last search saw; null before Open.
  const RobustInspection* Inspection() const {
    return m_receiver ? &m_receiver->Inspect() : nullptr;
  }

 private:
  std::unique_ptr<RobustReceiver> m_receiver;
  uint32_t m_channels = 1;
  std::atomic<bool> m_complete{false};
  std::mutex m_packetLock;  // the packet and its position
  char m_packet[4] = {};
  int64_t m_position = 0;
};
