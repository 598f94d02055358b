// The receivers a modem decoder can run, behind one face: each takes mono 16-bit buffers at
// 48000 Hz and at some point holds an accepted packet.
#pragma once

#include <cstdint>

#include "receive/HovSinkConcurrent.h"

class KeyReceiver {
 public:
  virtual ~KeyReceiver() = default;
  // The decoder's thread. Hands one buffer of frames 48000 Hz samples to the receiver.
  virtual void Write(const int16_t* data, int32_t frames) = 0;
  // The decoder's thread. True once a packet has been accepted.
  virtual bool IsComplete() const = 0;
  // The decoder's thread, after IsComplete: copies the accepted packet into buffer (count bytes
  // or more) and returns its length.
  virtual int32_t GetMessage(char* buffer, int32_t count) = 0;
  // The decoder's thread, before the first Write. Installs observer (null: none); false when
  // this receiver gives no window reports.
  virtual bool SetObserver(HovSinkConcurrent::Observer* observer) = 0;
};

// Any thread. A new receiver for choice (HOV_MODEM_RECEIVER_*), opened at 48000 Hz, owned by
// the caller; null when this build has no such receiver.
KeyReceiver* MakeReceiver(int choice);
