// The controller's front to the worker thread: start, stop and post tasks.
#pragma once

#include "runtime/TimerThread.h"

class WorkerThreadQueue {
 public:
  // Any thread (HovInit's). Names and starts the worker with a 25 ms pass; logs
  // "workerThreadTimer started", also when it ran already. False (logged) when the thread
  // could not be created.
  bool Init();
  // Any thread but the worker (HovUninit's). Stops and joins the worker, dropping tasks
  // not yet run; a refused stop is logged with its reason.
  void Uninit();
  // Any thread. Queues a one-shot task (run once at the next pass) or a periodic one (run
  // on every pass). A refused task is silently destroyed.
  void Post(TimerThread::Task task, bool periodic);

 private:
  TimerThread m_timer;
};
