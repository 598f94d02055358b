// A one-line live status on stderr while a command runs: the line is redrawn in place about
// five times a second and cleared at the end. Nothing is drawn when stderr is not a terminal.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class LiveStatus {
 public:
  using Text = std::function<std::string()>;

  // Main thread, after the command's StopRequest (the drawing thread must not take its signals).
  // When enabled and stderr is a terminal, starts drawing text(), which runs on the drawing
  // thread and must be safe there.
  LiveStatus(bool enabled, Text text);
  // Main thread. Stops and clears the line.
  ~LiveStatus();
  LiveStatus(const LiveStatus&) = delete;
  LiveStatus& operator=(const LiveStatus&) = delete;

  // Main thread. Stops drawing and clears the line, so the command's own lines start clean;
  // harmless when repeated or when nothing was drawn.
  void Stop();

  // Any thread. True when stderr is a terminal.
  static bool StderrIsTerminal();

 private:
  // Drawing thread. Redraws until Stop.
  void Draw();
  // Drawing thread. Writes text over the previous line, padding out what is left of it.
  void Redraw(const std::string& text);

  Text m_text;
  std::mutex m_lock;
  std::condition_variable m_stopped;
  bool m_stop = false;
  size_t m_width = 0;  // characters of the line on screen
  std::thread m_thread;
};
