#include "platform/win/RunWithin.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

bool RunWithin(uint32_t ms, std::function<void()> work) {
  struct Finish {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
  };
  auto finish = std::make_shared<Finish>();
  std::thread thread([finish, work = std::move(work)] {
    work();
    std::lock_guard<std::mutex> lock(finish->mutex);
    finish->done = true;
    finish->changed.notify_all();
  });
  bool inTime;
  {
    std::unique_lock<std::mutex> lock(finish->mutex);
    inTime =
        finish->changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return finish->done; });
  }
  if (inTime) {
    thread.join();
  } else {
    thread.detach();
  }
  return inTime;
}
