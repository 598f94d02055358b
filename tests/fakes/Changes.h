// A lock and a condition for state that one thread changes and others wait on. Any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

struct Changes {
  // Under the lock: done() once it holds, or false when it still fails after limit.
  template <typename Done>
  bool Until(Done done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, limit, done);
  }
  std::mutex mutex;
  std::condition_variable changed;
};
