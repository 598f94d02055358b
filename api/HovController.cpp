#include "api/HovController.h"

#include <algorithm>
#include <string>

#include "api/Guarded.h"
#include "api/HovManager.h"
#include "runtime/HovLog.h"

namespace {

// A worker task that keeps any exception of body inside the pass.
template <typename Body>
TimerThread::Task MakeTask(const char* name, Body body) {
  return [name, body](void*) { Guarded(name, body); };
}

// "hov tick called", at most once in this many milliseconds.
constexpr int64_t kTickLineGapMs = 5000;

LogThrottle& TickLine() {
  static LogThrottle throttle(kTickLineGapMs);
  return throttle;
}

}  // namespace

HovController::HovController() : m_recvListener(&m_worker) {}

void HovController::KeepTicking() {
  const HovManager* manager = HovManager::Instance();
  constexpr int32_t kPollMs = WorkerThreadQueue::kPeriodMs;
  // A receiver is polled for its deadline. A sender alone has only its device's lines to log,
  // and its device wakes the worker for those; it ticks when the tick's own line is due (never
  // sooner than a poll period after this, and no later than a gap should the wall clock step
  // back), so that the line comes as it always has.
  int32_t periodMs = 0;
  if (manager->Receiving()) {
    periodMs = kPollMs;
  } else if (manager->Sending()) {
    const int64_t due = std::min(TickLine().WaitMs() + 1, kTickLineGapMs + 1);
    periodMs = static_cast<int32_t>(std::max<int64_t>(kPollMs, due));
  }
  if (periodMs == m_tickMs) {
    return;
  }
  if (m_tickId >= 0) {
    m_worker.Cancel(m_tickId);
    m_tickId = -1;
  }
  m_tickMs = 0;
  if (periodMs > 0) {
    m_tickId = m_worker.PostEvery(MakeTask("Tick", [this] { Tick(); }), periodMs);
    m_tickMs = m_tickId >= 0 ? periodMs : 0;
  }
}

void HovController::Tick() {
  if (TickLine().Allow()) {
    HovLog(2, "hov tick called");
  }
  HovManager::Instance()->Tick();
  KeepTicking();
}

void HovController::OnSendNews() {
  m_worker.Wake();
}

void HovController::OnWorkerStop() {
  m_tickId = -1;  // dropped with the other entries
  m_tickMs = 0;
  Guarded("HovUninit", [] { HovManager::Instance()->StopAll(); });
}

void HovController::ReportStatus(int code) {
  HovStatusCallback callback = m_statusCallback.load(std::memory_order_acquire);
  if (callback != nullptr) {
    callback(code);
  }
}

void HovController::HovInit(HovStatusCallback statusCallback) {
  ScopeTrace trace("HovController::HovInit");
  m_statusCallback.store(statusCallback, std::memory_order_release);
  if (!m_worker.Init([this] { OnWorkerStop(); })) {
    return;  // logged by the queue; nothing else happens
  }
  ReportStatus(1);
}

void HovController::HovUninit() {
  m_worker.Uninit();
}

void HovController::HovSendStart(const char* shareKey) {
  ScopeTrace trace("HovController::HovSendStart");
  std::string key = shareKey != nullptr ? shareKey : "";
  m_worker.Post(MakeTask("SendStart",
                         [this, key] {
                           HovLog(2, "SendStart called");
                           if (HovManager::Instance()->SendStart(key.c_str(), this)) {
                             HovLog(2, "SendStart Success");
                             ReportStatus(6);
                           } else {
                             HovLog(3, "SendStart Failed");
                             ReportStatus(7);
                           }
                           KeepTicking();
                         }),
                false);
}

void HovController::HovSendUpdate(const char* shareKey) {
  ScopeTrace trace("HovController::HovSendUpdate");
  std::string key = shareKey != nullptr ? shareKey : "";
  m_worker.Post(MakeTask("SendUpdate",
                         [key] {
                           HovLog(2, "SendUpdate called");
                           HovManager::Instance()->SendUpdate(key.c_str());
                         }),
                false);
}

void HovController::HovSendStop() {
  ScopeTrace trace("HovController::HovSendStop");
  m_worker.Post(MakeTask("SendStop",
                         [this] {
                           HovLog(2, "SendStop called");
                           HovManager::Instance()->SendStop();
                           KeepTicking();
                           ReportStatus(8);
                         }),
                false);
}

void HovController::HovReceiveStart(int timeoutMs, HovRecvCallback recvCallback) {
  HovLog(2, "HovController::HovReceiveStart");
  m_worker.Post(MakeTask("ReceiveStart",
                         [this, timeoutMs, recvCallback] {
                           // Installed only for a receiver that starts: a refused start leaves the
                           // running receiver's callback alone.
                           if (HovManager::Instance()->RecvStart(timeoutMs, &m_recvListener)) {
                             m_recvListener.InstallRecvDataCallback(recvCallback);
                             HovLog(2, "RecvStart Success");
                             KeepTicking();
                             ReportStatus(3);
                           } else {
                             HovLog(3, "RecvStart failed");
                             ReportStatus(4);
                           }
                         }),
                false);
}

void HovController::HovReceiveStop() {
  ScopeTrace trace("HovController::HovReceiveStop");
  m_worker.Post(MakeTask("ReceiveStop",
                         [this] {
                           HovLog(2, "RecvStop called");
                           HovManager::Instance()->RecvStop();
                           m_recvListener.InstallRecvDataCallback(nullptr);
                           KeepTicking();
                           ReportStatus(5);
                         }),
                false);
}
