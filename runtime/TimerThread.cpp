#include "runtime/TimerThread.h"

#include <chrono>
#include <exception>
#include <iterator>
#include <utility>

#include "runtime/ThreadName.h"

namespace {
// Tries of wake() to pass the list lock once, which proves the thread is not between its
// last look at the wake flag and its wait.
constexpr int kWakeTries = 64;
}  // namespace

TimerThread::TimerThread(Clock clock, size_t maxPending, int32_t idLimit)
    : m_clock(std::move(clock)), m_maxPending(maxPending), m_idLimit(idLimit) {}

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
  std::lock_guard<std::mutex> lock(m_listLock);
  m_name = name;
}

bool TimerThread::startThread(Hook onStart, Hook onStop) {
  if (onTimerThread()) {
    return true;  // running: it is us
  }
  std::lock_guard<std::mutex> life(m_lifeLock);
  if (m_thread) {
    return true;
  }
  m_stopRequested.store(false);
  m_wakeRequested.store(false);
  m_onStart = std::move(onStart);
  m_onStop = std::move(onStop);
  {
    std::lock_guard<std::mutex> lock(m_listLock);
    m_accepting = true;
    m_notified = false;
  }
  try {
    m_thread = std::make_unique<std::thread>(&TimerThread::run, this);
  } catch (const std::exception&) {
    m_thread.reset();
    std::lock_guard<std::mutex> lock(m_listLock);
    m_accepting = false;
    return false;
  }
  m_running.store(true, std::memory_order_release);
  return true;
}

int32_t TimerThread::takeIdLocked() {
  for (;;) {
    int32_t id = m_nextId;
    m_nextId = m_nextId + 1 >= m_idLimit ? 0 : m_nextId + 1;
    bool inUse = false;
    for (const TimerEntry& entry : m_entries) {
      if (entry.id == id) {
        inUse = true;
        break;
      }
    }
    if (!inUse) {
      return id;
    }
  }
}

int32_t TimerThread::addTimer(int32_t delayMs, int32_t intervalMs, bool once, Task task,
                              void* context, bool* full) {
  if (delayMs < 0 || intervalMs < 1 || !task) {
    return -1;
  }
  std::lock_guard<std::mutex> lock(m_listLock);
  if (!m_accepting) {
    return -1;  // not running, or stopping: its entries are being dropped
  }
  if ((once && m_pendingOnce >= m_maxPending) ||
      m_entries.size() >= static_cast<size_t>(m_idLimit)) {
    if (full != nullptr) {
      *full = true;
    }
    return -1;
  }
  const int32_t id = takeIdLocked();
  TimerEntry& entry = m_entries.emplace_back();
  entry.dueUs = m_clock() + static_cast<int64_t>(delayMs) * 1000;
  entry.intervalUs = static_cast<int64_t>(intervalMs) * 1000;
  entry.id = id;
  entry.task = std::move(task);
  entry.context = context;
  entry.finished.store(false);
  entry.once = once;
  entry.taken = false;
  if (once) {
    ++m_pendingOnce;
  }
  m_notified = true;
  m_wakeup.notify_one();
  return entry.id;
}

bool TimerThread::removeTimer(int32_t id) {
  std::lock_guard<std::mutex> lock(m_listLock);
  for (TimerEntry& entry : m_entries) {
    if (entry.id == id && !entry.finished.load()) {
      entry.finished.store(true);
      return true;
    }
  }
  return false;
}

void TimerThread::wake() {
  m_wakeRequested.store(true);
  for (int i = 0; i < kWakeTries; ++i) {
    if (m_listLock.try_lock()) {
      m_listLock.unlock();
      break;
    }
  }
  m_wakeup.notify_one();
}

bool TimerThread::stopThread(std::string* reason) {
  if (onTimerThread()) {
    *reason = "Cannot be call stopThread in timer callback";
    return false;
  }
  std::lock_guard<std::mutex> life(m_lifeLock);
  if (!m_thread) {
    *reason = "no timer thread running";
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
  m_threadId.store(std::thread::id(), std::memory_order_release);
  m_running.store(false, std::memory_order_release);
  return true;
}

int64_t TimerThread::nextDueLocked() const {
  int64_t next = -1;
  for (const TimerEntry& entry : m_entries) {
    if (!entry.finished.load() && (next < 0 || entry.dueUs < next)) {
      next = entry.dueUs;
    }
  }
  return next;
}

void TimerThread::run() {
  m_threadId.store(std::this_thread::get_id(), std::memory_order_release);
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
    if (!m_notified && !m_wakeRequested.load() && !m_stopRequested.load()) {
      int64_t next = nextDueLocked();
      if (next < 0) {
        m_wakeup.wait(lock);  // nothing timed: only a post, a wake or a stop ends this
      } else {
        int64_t waitUs = next - m_clock();
        if (waitUs > 0) {
          m_wakeup.wait_for(lock, std::chrono::microseconds(waitUs));
        }
      }
    }
    m_notified = false;
  }
  std::list<TimerEntry> dropped;
  {
    std::lock_guard<std::mutex> lock(m_listLock);
    dropped.splice(dropped.end(), m_entries);
    m_pendingOnce = 0;
    m_accepting = false;
  }
  dropped.clear();  // destroyed without running, outside the lock
  if (m_onStop) {
    m_onStop();
  }
}

void TimerThread::processTimers() {
  const int64_t start = m_clock();
  m_due.clear();
  {
    std::lock_guard<std::mutex> lock(m_listLock);
    // Read under the lock: a wake made before a post is seen by the pass that sees the post.
    const bool forced = m_wakeRequested.exchange(false);
    for (TimerEntry& entry : m_entries) {
      if (!entry.finished.load() && (start >= entry.dueUs || (forced && !entry.once))) {
        m_due.push_back(&entry);
        if (entry.once && !entry.taken) {
          entry.taken = true;  // no longer waiting
          --m_pendingOnce;
        }
      }
    }
  }
  // Only this thread erases entries, so the collected ones stay valid while posts append.
  for (TimerEntry* entry : m_due) {
    if (m_stopRequested.load()) {
      break;  // a stop drops what has not run yet
    }
    if (entry->finished.load()) {
      continue;  // removed by an earlier task of this pass
    }
    entry->task(entry->context);
    if (entry->once) {
      entry->finished.store(true);
    } else {
      entry->dueUs = start + entry->intervalUs;
    }
  }
  std::list<TimerEntry> done;
  {
    std::lock_guard<std::mutex> lock(m_listLock);
    for (auto it = m_entries.begin(); it != m_entries.end();) {
      auto next = std::next(it);
      if (it->finished.load()) {
        if (it->once && !it->taken) {
          --m_pendingOnce;  // removed before it ran
        }
        done.splice(done.end(), m_entries, it);
      }
      it = next;
    }
  }
}
