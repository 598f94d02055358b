#include "runtime/WorkerThreadQueue.h"

#include <string>

#include "runtime/HovLog.h"

bool WorkerThreadQueue::Init() {
  ScopeTrace trace("WorkerThreadQueue::Init");
  m_timer.setThreadName("brivok_hov_timer_thread");
  if (!m_timer.startThread(25)) {
    HovLog(3, "workerThreadTimer start failed");
    return false;
  }
  HovLog(2, "workerThreadTimer started");
  return true;
}

void WorkerThreadQueue::Uninit() {
  ScopeTrace trace("WorkerThreadQueue::Uninit");
  std::string reason;
  if (!m_timer.stopThread(&reason)) {
    HovLog(4, "stop timer thread error: %s", reason.c_str());
  }
  HovLog(2, "workerThreadTimer stopped");
}

void WorkerThreadQueue::Post(TimerThread::Task task, bool periodic) {
  m_timer.addTimer(0, 1, !periodic, std::move(task), nullptr);
}
