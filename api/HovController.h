// The process-wide controller behind the exports: turns calls into worker tasks and reports
// their outcomes as status codes.
#pragma once

#include <atomic>

#include "api/HovRecvListener.h"
#include "hov/hov.h"
#include "runtime/Singleton.h"
#include "runtime/WorkerThreadQueue.h"

class HovController : public ZORVANIK_COMMON::Singleton<HovController> {
 public:
  // Host thread. Stores the status callback, starts the worker, posts the Tick task and
  // reports status 1 on the calling thread.
  void HovInit(HovStatusCallback statusCallback);
  // Host thread (not the worker). Stops and joins the worker; tasks not yet run are dropped.
  void HovUninit();
  // Host thread. Posts SendStart with a copy of the key; status 6 or 7 from the worker.
  void HovSendStart(const char* shareKey);
  // Host thread. Posts SendUpdate with a copy of the key; no status.
  void HovSendUpdate(const char* shareKey);
  // Host thread. Posts SendStop; status 8 from the worker.
  void HovSendStop();
  // Host thread. Posts ReceiveStart; status 3 or 4 from the worker.
  void HovReceiveStart(int timeoutMs, HovRecvCallback recvCallback);
  // Host thread. Posts ReceiveStop; status 5 from the worker.
  void HovReceiveStop();

 private:
  // Worker thread (status 1: HovInit's thread). Calls the status callback, if any.
  void ReportStatus(int code);

  std::atomic<HovStatusCallback> m_statusCallback{nullptr};
  WorkerThreadQueue m_worker;
  HovRecvListener m_recvListener;
};
