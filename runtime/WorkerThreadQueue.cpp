#include "runtime/WorkerThreadQueue.h"

#include <string>
#include <utility>

#include "runtime/HovLog.h"

WorkerThreadQueue::WorkerThreadQueue(TimerThread::Clock clock, size_t maxPending)
    : m_timer(std::move(clock), maxPending) {
  m_timer.setThreadName("brivok_hov_timer_thread");
}

bool WorkerThreadQueue::Init(TimerThread::Hook onStop) {
  ScopeTrace trace("WorkerThreadQueue::Init");
  if (!m_timer.startThread(nullptr, std::move(onStop))) {
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

int32_t WorkerThreadQueue::Post(TimerThread::Task task, bool periodic) {
  bool full = false;
  if (periodic) {
    return PostEvery(std::move(task), kPeriodMs);
  }
  int32_t id = m_timer.addTimer(0, 1, true, std::move(task), nullptr, &full);
  if (full) {
    HovLog(3, "WorkerThreadQueue::Post refused: queue full");
  }
  return id;
}

int32_t WorkerThreadQueue::PostEvery(TimerThread::Task task, int32_t intervalMs) {
  return m_timer.addTimer(intervalMs, intervalMs, false, std::move(task), nullptr);
}

void WorkerThreadQueue::Cancel(int32_t id) {
  m_timer.removeTimer(id);
}
