// The process-wide controller behind the exports: turns calls into worker tasks and reports
// their outcomes as status codes.
#pragma once

#include <atomic>
#include <cstdint>

#include "api/HovRecvListener.h"
#include "hov/hov.h"
#include "runtime/Singleton.h"
#include "runtime/WorkerThreadQueue.h"
#include "send/HovSend.h"

class HovController : public ZORVANIK_COMMON::Singleton<HovController>, private HovSend::Listener {
 public:
  HovController();

  // Any thread, several at once. Stores the status callback, starts the worker (if it is not
  // running) and reports status 1 on the calling thread.
  void HovInit(HovStatusCallback statusCallback);
  // Any thread, several at once; refused on the worker. Stops the worker after the task in
  // progress, drops the tasks not yet run, stops a running sender and receiver on it, joins.
  void HovUninit();
  // Any thread. Posts SendStart with a copy of the key; status 6 or 7 from the worker.
  void HovSendStart(const char* shareKey);
  // Any thread. Posts SendUpdate with a copy of the key; no status.
  void HovSendUpdate(const char* shareKey);
  // Any thread. Posts SendStop; status 8 from the worker.
  void HovSendStop();
  // Any thread. Posts ReceiveStart; status 3 or 4 from the worker.
  void HovReceiveStart(int timeoutMs, HovRecvCallback recvCallback);
  // Any thread. Posts ReceiveStop; status 5 from the worker.
  void HovReceiveStop();

 private:
  // Worker thread (status 1: HovInit's thread). Calls the status callback, if any.
  void ReportStatus(int code);
  // Worker thread, after every task and Tick: the periodic Tick runs exactly while a session
  // exists, every poll period while a receiver runs; for a sender alone only when its line is
  // due (the sender's device wakes the worker for its own lines).
  void KeepTicking();
  // Worker thread, when KeepTicking has it due, when a receiver has a result or when the
  // sender's device has news.
  void Tick();
  // Playback thread. Wakes the worker, whose Tick then logs the device's lines.
  void OnSendNews() override;
  // Worker thread, after its last task: stops running sessions; the Tick is gone.
  void OnWorkerStop();

  std::atomic<HovStatusCallback> m_statusCallback{nullptr};
  WorkerThreadQueue m_worker;
  HovRecvListener m_recvListener;
  int32_t m_tickId = -1;  // worker thread only, like the one below
  int32_t m_tickMs = 0;   // the running Tick's period, 0 when none runs
};
