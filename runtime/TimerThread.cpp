#include "runtime/TimerThread.h"

#include <chrono>
#include <system_error>

#include "runtime/ThreadName.h"

namespace {
constexpr int32_t kIdLimit = 999999;
constexpr int64_t kDefaultIntervalUs = 500 * 1000;
}  // namespace

TimerThread::~TimerThread() {
  std::string reason;
  stopThread(&reason);
}

int64_t TimerThread::SteadyUs() {
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  return ns.count() / 1000;
}

void TimerThread::setThreadName(const std::string& name) {
  // Under listLock: a second Init may rename while a just-started thread reads the name.
  std::lock_guard<std::mutex> lock(m_listLock);
  m_name = name;
}

bool TimerThread::startThread(int32_t intervalMs, Hook onStart, Hook onStop) {
  if (m_running.load(std::memory_order_acquire)) {
    return true;
  }
  m_stopRequested.store(false);
  m_onStart = std::move(onStart);
  m_onStop = std::move(onStop);
  m_intervalUs = intervalMs > 0 ? static_cast<int64_t>(intervalMs) * 1000 : kDefaultIntervalUs;
  {
    std::lock_guard<std::mutex> lock(m_listLock);
    m_accepting = true;
  }
  try {
    m_thread = std::make_unique<std::thread>(&TimerThread::run, this);
  } catch (const std::system_error&) {
    m_thread.reset();
    std::lock_guard<std::mutex> lock(m_listLock);
    m_accepting = false;
    return false;
  }
  m_threadId = m_thread->get_id();
  m_running.store(true, std::memory_order_release);
  return true;
}

int32_t TimerThread::addTimer(int32_t delayMs, int32_t intervalMs, bool once, Task task,
                              void* context) {
  if (!m_running.load(std::memory_order_acquire) || delayMs < 0 || intervalMs < 1 || !task) {
    return -1;
  }
  std::unique_lock<std::mutex> lock(m_listLock);
  if (!m_accepting) {
    return -1;  // the thread stopped after the check above and has dropped its entries
  }
  int32_t id = m_nextId;
  m_nextId = m_nextId + 1;
  if (m_nextId >= kIdLimit) {
    lock.unlock();
    return -1;  // the task is destroyed with the argument
  }
  int64_t now = SteadyUs();
  int64_t dueUs = delayMs != 0 ? now + static_cast<int64_t>(delayMs) * 1000
                               : now + static_cast<int64_t>(intervalMs) * 1000;
  m_entries.push_back(TimerEntry{dueUs, static_cast<int64_t>(intervalMs) * 1000, id,
                                 std::move(task), context, false, once});
  m_notified = true;
  m_wakeup.notify_one();
  return id;
}

bool TimerThread::stopThread(std::string* reason) {
  if (!m_running.load(std::memory_order_acquire)) {
    *reason = "no timer thread running";
    return false;
  }
  if (std::this_thread::get_id() == m_threadId) {
    *reason = "Cannot be call stopThread in timer callback";
    return false;
  }
  m_stopRequested.store(true);
  {
    std::lock_guard<std::mutex> lock(m_listLock);
    m_notified = true;
    m_wakeup.notify_one();
  }
  m_thread->join();
  m_thread.reset();
  m_threadId = std::thread::id();
  m_running.store(false, std::memory_order_release);
  return true;
}

void TimerThread::run() {
  std::string name;
  {
    std::lock_guard<std::mutex> lock(m_listLock);
    name = m_name;
  }
  SetCurrentThreadName(name);
  if (m_onStart) {
    m_onStart();
  }
  while (!m_stopRequested.load()) {
    processTimers();
    std::unique_lock<std::mutex> lock(m_listLock);
    if (m_notified) {
      m_notified = false;
    } else {
      int64_t waitUs = m_intervalUs - (m_lastPassUs % m_intervalUs);
      if (waitUs > 0) {
        m_wakeup.wait_for(lock, std::chrono::microseconds(waitUs));
      }
    }
  }
  {
    std::lock_guard<std::mutex> lock(m_listLock);
    m_entries.clear();  // dropped without running
    m_accepting = false;
  }
  if (m_onStop) {
    m_onStop();
  }
}

void TimerThread::processTimers() {
  const int64_t start = SteadyUs();
  m_due.clear();
  {
    std::lock_guard<std::mutex> lock(m_listLock);
    for (auto it = m_entries.begin(); it != m_entries.end();) {
      if (it->finished) {
        it = m_entries.erase(it);
        continue;
      }
      if (start >= it->dueUs) {
        m_due.push_back(&*it);
      }
      ++it;
    }
  }
  {
    std::lock_guard<std::mutex> lock(m_runLock);
    for (TimerEntry* entry : m_due) {
      if (!entry->finished && entry->task) {
        entry->task(entry->context);
      }
      if (entry->once) {
        entry->finished = true;
      } else {
        entry->dueUs = start + entry->intervalUs;
      }
    }
  }
  m_lastPassUs = SteadyUs() - start;
}
