// A one-way flag that one thread opens and others wait for, with a time limit so that a
// broken test fails instead of hanging. Any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

class Gate {
 public:
  void Open() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = true;
    m_changed.notify_all();
  }
  // False when the gate stayed shut for the whole limit.
  bool Wait(std::chrono::milliseconds limit = std::chrono::milliseconds(20000)) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, limit, [this] { return m_open; });
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_open = false;
};
