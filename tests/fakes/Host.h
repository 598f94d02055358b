// What a host application sees of the library: log lines, status codes and reception results,
// recorded from the callbacks (on any thread) so that tests can wait for them.
#pragma once

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "hov/hov.h"

using std::chrono::milliseconds;

struct LogLine {
  int level;
  std::string text;  // with the "[hov] " prefix
};

// Registers a capturing log function; the built-in printer comes back when it goes.
// One LogCapture at a time.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();

  // The capturing log function, for tests that hand it to HovInit themselves.
  static HovLogCallback Function();

  std::vector<LogLine> Lines() const;  // in arrival order
  // How many lines read exactly text (prefix included).
  int Count(const std::string& text) const;
  void Clear();
  // Waits until count lines read exactly text; false after the limit.
  bool WaitFor(const std::string& text, int count = 1,
               milliseconds limit = milliseconds(10000)) const;
};

struct RecvResult {
  int code;
  std::string key;
  std::thread::id thread;
};

namespace host {
void Reset();  // forgets the statuses and results recorded so far
// The callbacks to hand to the exports.
void HOV_CALL OnStatus(int code);
void HOV_CALL OnRecv(int code, const char* shareKey);

std::vector<int> Statuses();
int StatusCount(int code);
std::vector<RecvResult> Results();
// Wait until status code has arrived count times in all, or count results have; false after
// the limit.
bool WaitStatus(int code, int count = 1, milliseconds limit = milliseconds(10000));
bool WaitResults(size_t count, milliseconds limit = milliseconds(10000));
}  // namespace host
