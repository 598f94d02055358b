#include "api/HovController.h"

#include <string>

#include "api/Guarded.h"
#include "api/HovManager.h"
#include "runtime/HovLog.h"

namespace {

void TickTask() {
  static LogThrottle throttle(5000);
  if (throttle.Allow()) {
    HovLog(2, "hov tick called");
  }
  HovManager::Instance()->Tick();
}

// A worker task that keeps any exception of body inside the pass.
template <typename Body>
TimerThread::Task MakeTask(const char* name, Body body) {
  return [name, body](void*) { Guarded(name, body); };
}

}  // namespace

void HovController::ReportStatus(int code) {
  HovStatusCallback callback = m_statusCallback.load(std::memory_order_acquire);
  if (callback != nullptr) {
    callback(code);
  }
}

void HovController::HovInit(HovStatusCallback statusCallback) {
  ScopeTrace trace("HovController::HovInit");
  m_statusCallback.store(statusCallback, std::memory_order_release);
  if (!m_worker.Init()) {
    return;  // logged by the queue; nothing else happens
  }
  m_worker.Post(MakeTask("Tick", [] { TickTask(); }), true);
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
                           if (HovManager::Instance()->SendStart(key.c_str())) {
                             HovLog(2, "SendStart Success");
                             ReportStatus(6);
                           } else {
                             HovLog(3, "SendStart Failed");
                             ReportStatus(7);
                           }
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
                           ReportStatus(8);
                         }),
                false);
}

void HovController::HovReceiveStart(int timeoutMs, HovRecvCallback recvCallback) {
  HovLog(2, "HovController::HovReceiveStart");
  m_worker.Post(MakeTask("ReceiveStart",
                         [this, timeoutMs, recvCallback] {
                           m_recvListener.InstallRecvDataCallback(recvCallback);
                           if (HovManager::Instance()->RecvStart(timeoutMs, &m_recvListener)) {
                             HovLog(2, "RecvStart Success");
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
                           ReportStatus(5);
                         }),
                false);
}
