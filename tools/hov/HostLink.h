// The host application's side of the library: the status, log and result callbacks, and what
// they have delivered, for the command's main thread to wait on. The library calls back through
// plain function pointers, so there is one link per process.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <initializer_list>
#include <mutex>
#include <string>

#include "hov/hov.h"

class HostLink {
 public:
  using Clock = std::chrono::steady_clock;

  struct Result {
    int code = 0;
    std::string key;
    Clock::time_point at;  // when the result callback ran
  };

  // Main thread. The link of the process; verbose: log lines and status codes go to stderr.
  explicit HostLink(bool verbose);
  // Main thread, at exit (commands keep their link static): callbacks find no link from then on.
  ~HostLink();
  HostLink(const HostLink&) = delete;
  HostLink& operator=(const HostLink&) = delete;

  // Main thread. HovInit with this link's status and log callbacks.
  void Init();
  // Main thread. HovReceiveStart with this link's result callback; returns when it was called.
  Clock::time_point ReceiveStart(int timeoutMs);

  // Main thread. Waits for one of codes and takes it off the received list; 0 if none came
  // before deadline.
  int WaitStatus(std::initializer_list<int> codes, Clock::time_point deadline);
  // Main thread. Waits for the reception result; false if a stop request or deadline came first.
  bool WaitResult(Clock::time_point deadline, Result* result);
  // Main thread. Forgets the result taken, so that the next reception's result counts.
  void ForgetResult();
  // Main thread. Waits until deadline; true if a stop was requested before then.
  bool WaitStopRequest(Clock::time_point deadline);
  // Any thread (the stop request's). Wakes the waits above.
  void RequestStop();

 private:
  static void HOV_CALL OnStatus(int code);
  static void HOV_CALL OnLog(int level, const char* line);
  static void HOV_CALL OnResult(int code, const char* shareKey);

  static std::atomic<HostLink*> s_link;  // the callbacks' way to the link

  const bool m_verbose;
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::deque<int> m_statuses;  // received and not yet taken, in arrival order
  bool m_haveResult = false;
  Result m_result;
  bool m_stopRequested = false;
};
