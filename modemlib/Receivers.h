// The receivers a modem decoder can run, behind one face: each takes mono 16-bit buffers at its
// own rate and at some point holds an accepted packet.
#pragma once

#include <cstdint>

#include "receive/HovSinkConcurrent.h"

struct RobustInspection;

class KeyReceiver {
 public:
  virtual ~KeyReceiver() = default;
  // Any thread. The rate the receiver takes its samples at.
  virtual int32_t Rate() const = 0;
  // The decoder's thread. Hands one buffer of frames samples at Rate() to the receiver.
  virtual void Write(const int16_t* data, int32_t frames) = 0;
  // The decoder's thread. True once a packet has been accepted.
  virtual bool IsComplete() const = 0;
  // The decoder's thread, after IsComplete: copies the accepted packet into buffer (count bytes
  // or more) and returns its length.
  virtual int32_t GetMessage(char* buffer, int32_t count) = 0;
  // The decoder's thread, before the first Write. Installs observer (null: none); false when
  // this receiver gives no window reports.
  virtual bool SetObserver(HovSinkConcurrent::Observer* observer) = 0;
  // The decoder's thread, between Writes. The robust receiver's last search; null for others.
  virtual const RobustInspection* Robust() const = 0;
};

// Any thread. A new receiver for choice (HOV_MODEM_RECEIVER_*) of audio captured at inputRate,
// opened at the rate it works at (the design receiver's is 48000 Hz, the robust one takes the
// capture's), owned by the caller; null when this build has no such receiver.
KeyReceiver* MakeReceiver(int choice, int32_t inputRate);
