// The user's request to stop the command: Ctrl-C, and on Linux also SIGTERM. It arrives as a
// call on a thread of the request's own, so the command can shut the library down in order
// instead of dying in the middle of a call.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

// Main thread, first thing in main, before any thread exists: blocks the stop signals (Linux:
// SIGINT, SIGTERM and the waiter's wake-up) so that every thread started later inherits the
// block, and a request can only reach the StopRequest's waiter. Windows: nothing to do.
void BlockStopSignals();
// Main thread, for a command that runs without a StopRequest and starts no threads: the stop
// signals act as they do by default again (end the process).
void UnblockStopSignals();

// The deadline of a command given no time limit: it runs until a stop request.
constexpr std::chrono::hours kUntilStopped(24 * 365 * 10);

class StopRequest {
 public:
  // Main thread, before any other thread is started: on Linux the signals are blocked in this
  // thread and so in every thread started later, and taken by a waiter thread instead.
  // onStop runs on that thread (Windows: the console's handler thread) at the first request;
  // a second request ends the process at once with status 130.
  explicit StopRequest(std::function<void()> onStop);
  // Main thread. Stops listening; later requests are ignored.
  ~StopRequest();
  StopRequest(const StopRequest&) = delete;
  StopRequest& operator=(const StopRequest&) = delete;

 private:
  std::function<void()> m_onStop;
  std::thread m_waiter;
};
