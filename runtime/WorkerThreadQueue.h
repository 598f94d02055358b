// The controller's front to the worker thread: start, stop, post tasks, wake.
#pragma once

#include <cstdint>

#include "runtime/TimerThread.h"

class WorkerThreadQueue {
 public:
  // Interval of periodic tasks: the design's 25 ms poll.
  static constexpr int32_t kPeriodMs = 25;
  // One-shot tasks that may wait at once; a host far ahead of the worker is refused beyond.
  static constexpr size_t kMaxPending = 256;

  explicit WorkerThreadQueue(TimerThread::Clock clock = &TimerThread::SteadyUs,
                             size_t maxPending = kMaxPending);

  // Any thread, several at once (serialised with Uninit; on the worker it never waits).
  // Names and starts the worker, onStop to run on it after its last task; logs
  // "workerThreadTimer started", also when it ran already. False (logged) when the thread
  // could not be created.
  bool Init(TimerThread::Hook onStop = nullptr);
  // Any thread, several at once (serialised with Init). Stops the worker after the task in
  // progress, drops the tasks not yet run, runs onStop on it and joins; refused (logged at
  // level 4 with the reason) on the worker itself or when it is not running.
  void Uninit();
  // Any thread. Queues a one-shot task to run at once, in posting order, or a periodic one to
  // run every kPeriodMs; returns its id, or -1 when refused: quietly while the worker is not
  // running, with a level-3 line when maxPending one-shot tasks are already waiting.
  int32_t Post(TimerThread::Task task, bool periodic);
  // Any thread. Queues a periodic task that runs every intervalMs (>= 1), first intervalMs
  // from now; its id, or -1 while the worker is not running.
  int32_t PostEvery(TimerThread::Task task, int32_t intervalMs);
  // Any thread. The periodic task with this id runs no more.
  void Cancel(int32_t id);
  // Any thread, capture threads included (no lock waited for, no allocation, no log line):
  // the periodic tasks run at once instead of at their time.
  void Wake() { m_timer.wake(); }
  // Any thread. Whether the caller is the worker thread.
  bool OnWorker() const { return m_timer.onTimerThread(); }

 private:
  TimerThread m_timer;
};
