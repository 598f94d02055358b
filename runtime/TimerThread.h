// One thread, a list of timed entries, and a pass that runs every due entry once per interval.
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

  TimerThread() = default;
  ~TimerThread();  // stops the thread if it still runs
  TimerThread(const TimerThread&) = delete;
  TimerThread& operator=(const TimerThread&) = delete;

  // Owner's thread, before startThread. The thread applies the name when it starts.
  void setThreadName(const std::string& name);
  // Owner's thread. Starts the thread with a pass interval (500 ms when not above 0); does
  // nothing when it runs already. False when the thread could not be created.
  bool startThread(int32_t intervalMs, Hook onStart = nullptr, Hook onStop = nullptr);
  // Any thread. Adds an entry due after delayMs (or intervalMs when delayMs is 0); returns
  // its id, or -1 (the task destroyed) when the thread is not running, delayMs < 0,
  // intervalMs < 1, the task is empty or the id space is used up.
  int32_t addTimer(int32_t delayMs, int32_t intervalMs, bool once, Task task, void* context);
  // Any thread but the timer thread. Ends the thread after its current pass, drops the
  // entries not yet run and joins; false with a reason when not running or called from a
  // task.
  bool stopThread(std::string* reason);
  // Any thread. Whether the thread has been started and not stopped.
  bool isRunning() const { return m_running.load(std::memory_order_acquire); }

  // Any thread. Steady clock in microseconds, the time base of entries and passes.
  static int64_t SteadyUs();

 private:
  struct TimerEntry {
    int64_t dueUs;
    int64_t intervalUs;
    int32_t id;
    Task task;
    void* context;
    bool finished;
    bool once;
  };

  void run();
  void processTimers();

  // A list, so entries collected for a pass stay in place while posts append.
  std::list<TimerEntry> m_entries;
  std::mutex m_runLock;
  std::mutex m_listLock;
  std::condition_variable m_wakeup;
  std::atomic<bool> m_stopRequested{false};
  std::unique_ptr<std::thread> m_thread;
  std::atomic<bool> m_running{false};
  std::thread::id m_threadId;
  std::string m_name = "brivok_thread_timer_thread";
  int64_t m_intervalUs = 500000;
  int64_t m_lastPassUs = 0;
  int32_t m_nextId = 0;
  Hook m_onStart;
  Hook m_onStop;
  bool m_notified = false;
  // Under listLock: true from startThread until the thread has dropped its entries, so that
  // a post racing a stop cannot leave an entry behind for the next start.
  bool m_accepting = false;
  std::vector<TimerEntry*> m_due;  // timer thread only
};
