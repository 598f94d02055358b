// A wave-out or wave-in stream on the default device (WAVE_MAPPER), mono signed 16-bit at
// 48000 Hz, over a ring of buffers that all stay queued. The device's callback only signals an
// event; a pump thread of this object refills each played buffer (out) or hands each recorded
// one on (in) and queues it again, in ring order, without allocating. A device that fails a
// call or returns no buffer for kStallMs is closed and the default device reopened, at most
// kReopenAttempts times kRetryMs apart. Close never waits on the device longer than
// kStopLimitMs.
#pragma once

#include <cstdint>
#include <memory>

class WaveRing {
 public:
  enum class Direction { kOut, kIn };

  // What the pump thread moves samples to and from. Called on the pump thread (a sound thread:
  // no allocation, no log line, bounded work) or, while Open runs, on the owner's; never two at
  // once and never after Close has returned.
  class Client {
   public:
    virtual ~Client() = default;
    // Out: writes up to count samples to data and returns how many; the rest of the buffer is
    // silence. In: data holds count recorded samples; the result is not used.
    virtual int32_t Transfer(int16_t* data, int32_t count) = 0;
    // Owner's thread, during a successful Open: the buffers are queued and recording (in) has
    // not started yet.
    virtual void Started() {}
    // Pump thread: a loss or a recovery has been counted; the next Report logs it.
    virtual void Noticed() {}
  };

  static constexpr uint32_t kStopLimitMs = 250;  // the longest Close waits on the device
  static constexpr uint32_t kStallMs = 2000;     // no buffer back for this long: device lost
  static constexpr uint32_t kRetryMs = 250;      // between two reopen attempts
  static constexpr int32_t kReopenAttempts = 120;

  // Owner's thread. bufferCount buffers of bufferSamples samples; name is used in log lines.
  WaveRing(Direction direction, const char* name, int32_t bufferCount, int32_t bufferSamples);
  ~WaveRing();  // owner's thread; closes

  // Owner's thread, once. Opens the device, prepares and queues every buffer (out: filled by
  // the client first), starts recording (in) and the pump thread. Returns the device's result:
  // 0 when the stream runs; otherwise nothing is held.
  uint32_t Open(Client* client);
  // Owner's thread. Once it returns no Transfer is in progress or follows; the device is
  // closed, or, if it does not answer within kStopLimitMs, left to close on a thread of its own
  // (logged at level 3). Harmless when not open.
  void Close();
  // Owner's thread, now and then while open. Logs the losses and recoveries that the pump thread
  // met, once each (level 3).
  void Report();

  struct State;  // shared with the pump and closing threads; defined where it is used

 private:
  const char* const m_name;
  std::shared_ptr<State> m_state;
};
