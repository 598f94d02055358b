// Collects the library's log lines for the duration of a test.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "hov/hov.h"

struct LogLine {
  int level;
  std::string text;  // with the "[hov] " prefix
};

// Registers a capturing log function; the built-in printer comes back when it goes.
// One LogCapture at a time. Lines may arrive from any thread.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();

  // The capturing log function, for tests that hand it to HovInit themselves.
  static HovLogCallback Function();

  std::vector<LogLine> Lines() const;
  // Texts in arrival order.
  std::vector<std::string> Texts() const;
  // How many lines read exactly text (prefix included).
  int Count(const std::string& text) const;
  bool Contains(const std::string& text) const { return Count(text) > 0; }
  void Clear();
  // Waits until count lines read exactly text; false after the time limit.
  bool WaitFor(const std::string& text, int count = 1,
               std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) const;
};
