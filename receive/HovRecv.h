// One receive session: listens until a key is accepted or the deadline passes, then reports
// once to its listener. Worker thread only; the sink is fed on the capture side meanwhile.
#pragma once

#include <cstdint>
#include <memory>

class AudioInput;
class HovSinkConcurrent;
class HovSinkRobust;

class HovRecv {
 public:
  // How a receiver reports its one result.
  class Listener {
   public:
    virtual ~Listener() = default;
    // Worker thread. code 0 with the decoded key, or a negative code with a null key.
    virtual void OnRecvData(int code, const char* shareKey) = 0;
    // Capture thread, at most once per receiver: a key has been accepted and the next Poll
    // reports it. Must not block, allocate or log.
    virtual void OnRecvReady() {}
  };

  HovRecv();
  ~HovRecv();

  // Worker thread. Sets the deadline and opens capture into a new concurrent sink, or a robust
  // one when HOV_RECEIVER=robust; false (nothing held) when no microphone is listed or capture
  // does not open or throws.
  bool Start(int timeoutMs, Listener* listener);
  // Worker thread. True while listening; false once the result has been reported.
  bool Poll();
  // Worker thread, after a successful Start. Closes capture, then destroys the sink.
  void Stop();

 private:
  // Capture thread: the sink has accepted a key.
  static void OnSinkComplete(void* self);
  // Worker thread: closes and frees whatever a failed Start holds.
  void Release();

  int64_t m_deadlineMs = 0;
  Listener* m_listener = nullptr;
  std::unique_ptr<HovSinkConcurrent> m_sink;  // one of these two is set while started
  std::unique_ptr<HovSinkRobust> m_robustSink;
  std::unique_ptr<AudioInput> m_capture;
};
