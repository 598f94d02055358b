// Collects the library's log lines for the duration of a test.
#pragma once

#include <chrono>
#include <string>
#include <thread>
#include <vector>

struct LogLine {
  int level;
  std::string text;  // with the "[hov] " prefix
  std::thread::id thread;
};

// Registers a capturing log function; the built-in printer comes back when it goes.
// One LogCapture at a time. Lines may arrive from any thread.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();

  std::vector<LogLine> Lines() const;
  // Texts in arrival order.
  std::vector<std::string> Texts() const;
  // How many lines read exactly text (prefix included).
  int Count(const std::string& text) const;
  bool Contains(const std::string& text) const { return Count(text) > 0; }
  void Clear();
  // Waits until a line reads exactly text; false after the time limit.
  bool WaitFor(const std::string& text,
               std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) const;
};
