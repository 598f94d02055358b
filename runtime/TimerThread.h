// One thread and a list of timed entries: one-shot entries run once when due, periodic ones
// every interval. Between passes the thread sleeps until the next due entry, a post, a wake
// or a stop.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TimerThread {
 public:
  using Task = std::function<void(void*)>;
  using Hook = std::function<void()>;
  // Steady time in microseconds; tests hand in one they advance themselves.
  using Clock = std::function<int64_t()>;

  // Pending one-shot entries at which addTimer refuses another.
  static constexpr size_t kDefaultMaxPending = 1024;
  // Ids run from 0 to idLimit - 1, then wrap.
  static constexpr int32_t kDefaultIdLimit = 999999;

  explicit TimerThread(Clock clock = &TimerThread::SteadyUs, size_t maxPending = kDefaultMaxPending,
                       int32_t idLimit = kDefaultIdLimit);
  ~TimerThread();  // stops the thread if it still runs
  TimerThread(const TimerThread&) = delete;
  TimerThread& operator=(const TimerThread&) = delete;

  // Any thread. The thread applies the name when it next starts.
  void setThreadName(const std::string& name);
  // Any thread, several at once (serialised with stopThread). Starts the thread; does nothing
  // when it runs already (the hooks given are dropped; on the timer thread itself it never
  // waits). False when the thread could not be created. onStart runs on the thread before
  // its first pass, onStop after its last one, once the entries have been dropped.
  bool startThread(Hook onStart = nullptr, Hook onStop = nullptr);
  // Any thread. Adds an entry due delayMs from now (at once when 0); a periodic entry then
  // comes due every intervalMs. Returns its id (ids wrap, skipping ids still in the list), or
  // -1 with the task destroyed when the thread is not running, delayMs < 0, intervalMs < 1,
  // the task is empty, or a one-shot entry finds maxPending one-shot entries waiting that no
  // pass has taken up yet (*full set true then, when given).
  int32_t addTimer(int32_t delayMs, int32_t intervalMs, bool once, Task task, void* context,
                   bool* full = nullptr);
  // Any thread. The entry with this id runs no more (a running one finishes its run); false
  // when no such entry is waiting.
  bool removeTimer(int32_t id);
  // Any thread, the capture threads included: never blocks, never allocates. The next pass
  // comes at once and runs every periodic entry, due or not.
  void wake();
  // Any thread but the timer thread, several at once (serialised with startThread). Ends the
  // thread after the task in progress, drops every entry not yet run and joins; false with a
  // reason when not running, or when called on the timer thread (which keeps running).
  bool stopThread(std::string* reason);
  // Any thread. Whether a stop has been asked for since the last start; a long task may end
  // early when it reads true.
  bool stopRequested() const { return m_stopRequested.load(); }
  // Any thread. Whether the thread has been started and not stopped.
  bool isRunning() const { return m_running.load(std::memory_order_acquire); }
  // Any thread. Whether the caller is the timer thread.
  bool onTimerThread() const {
    return m_threadId.load(std::memory_order_acquire) == std::this_thread::get_id();
  }

  // Any thread. Steady clock in microseconds, the default time base.
  static int64_t SteadyUs();

 private:
  struct TimerEntry {
    int64_t dueUs;
    int64_t intervalUs;
    int32_t id;
    Task task;
    void* context;
    std::atomic<bool> finished;
    bool once;
    bool taken;  // under listLock: a one-shot collected by a pass, no longer waiting
  };

  void run();
  void processTimers();
  // Under listLock: the earliest due time of the waiting entries, or -1 without any.
  int64_t nextDueLocked() const;
  // Under listLock: an id no waiting entry holds.
  int32_t takeIdLocked();

  const Clock m_clock;
  const size_t m_maxPending;
  const int32_t m_idLimit;
  std::mutex m_lifeLock;            // start and stop, one at a time
  std::list<TimerEntry> m_entries;  // a list: entries stay in place while posts append
  std::mutex m_listLock;            // entries, nextId, pendingOnce, notified, accepting
  std::condition_variable m_wakeup;
  std::atomic<bool> m_stopRequested{false};
  std::atomic<bool> m_wakeRequested{false};
  std::unique_ptr<std::thread> m_thread;
  std::atomic<bool> m_running{false};
  std::atomic<std::thread::id> m_threadId{std::thread::id()};
  std::string m_name = "brivok_thread_timer_thread";
  int32_t m_nextId = 0;
  size_t m_pendingOnce = 0;
  Hook m_onStart;
  Hook m_onStop;
  bool m_notified = false;
  // True from startThread until the thread has dropped its entries, so that a post racing a
  // stop cannot leave an entry behind for the next start.
  bool m_accepting = false;
  std::vector<TimerEntry*> m_due;  // timer thread only
};
