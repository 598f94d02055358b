// One receive session: listens until a key is accepted or the deadline passes, then reports
// once to its listener. Worker thread only; the sink is fed on the capture side meanwhile.
#pragma once

#include <cstdint>
#include <memory>

#include "api/HovManager.h"

class AudioInput;
class HovSinkConcurrent;
class HovSinkRobust;

class HovRecv {
 public:
  HovRecv();
  ~HovRecv();

  // Worker thread. Sets the deadline and opens capture into a new concurrent sink, or a robust
  // one when HOV_RECEIVER=robust; false (nothing held) when no microphone is listed or capture
  // does not open.
  bool Start(int timeoutMs, HovManager::RecvListener* listener);
  // Worker thread. True while listening; false once the result has been reported.
  bool Poll();
  // Worker thread, after a successful Start. Closes capture, then destroys the sink.
  void Stop();

 private:
  int64_t m_deadlineMs = 0;
  HovManager::RecvListener* m_listener = nullptr;
  std::unique_ptr<HovSinkConcurrent> m_sink;  // one of these two is set while started
  std::unique_ptr<HovSinkRobust> m_robustSink;
  std::unique_ptr<AudioInput> m_capture;
};
