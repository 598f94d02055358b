#include "api/HovManager.h"

#include <exception>

#include "runtime/HovLog.h"
#include "send/HovSend.h"

HovManager::HovManager() = default;
HovManager::~HovManager() = default;

HovManager* HovManager::Instance() {
  static HovManager* manager = new HovManager();  // lives as long as the library
  return manager;
}

bool HovManager::SendStart(const char* shareKey, HovSend::Listener* listener) {
  ScopeTrace trace("HovManager::SendStart");
  HovLog(2, "HovManager Send Start: %s", shareKey);
  if (m_hovSend) {
    HovLog(2, "Exit HovManager::SendStart Because Of HovSend Model Exist");
    return false;
  }
  bool started = false;
  try {
    m_hovSend = std::make_unique<HovSend>();
    started = m_hovSend->Start(shareKey, listener);
  } catch (const std::exception& e) {
    HovLog(3, "HovSend::Start threw: %s", e.what());
  } catch (...) {
    HovLog(3, "HovSend::Start threw");
  }
  if (started) {
    return true;
  }
  m_hovSend.reset();
  HovLog(2, "HovSend Start Failed");
  return false;
}

void HovManager::SendUpdate(const char* shareKey) {
  ScopeTrace trace("HovManager::SendUpdate");
  if (m_hovSend) {
    HovLog(2, "HovManager SendUpdate Start: %s", shareKey);
    m_hovSend->Update(shareKey);
  }
}

void HovManager::SendStop() {
  ScopeTrace trace("HovManager::SendStop");
  if (m_hovSend) {
    HovLog(2, "m_hovSend is not nullptr");
    m_hovSend->Stop();
    m_hovSend.reset();
  }
}

bool HovManager::RecvStart(int timeoutMs, HovRecv::Listener* listener) {
  ScopeTrace trace("HovManager::RecvStart");
  if (m_hovRecv) {
    HovLog(2, "HovManager::RecvStart exit because of m_hovRecv is not nullptr");
    return false;
  }
  bool started = false;
  try {
    m_hovRecv = std::make_unique<HovRecv>();
    started = m_hovRecv->Start(timeoutMs, listener);
  } catch (const std::exception& e) {
    HovLog(3, "HovRecv::Start threw: %s", e.what());
  } catch (...) {
    HovLog(3, "HovRecv::Start threw");
  }
  if (started) {
    return true;
  }
  m_hovRecv.reset();
  HovLog(4, "HovRecv Start Failed");
  return false;
}

void HovManager::RecvStop() {
  HovLog(2, "HovManager::RecvStop");
  if (m_hovRecv) {
    m_hovRecv->Stop();
    m_hovRecv.reset();
  }
}

void HovManager::Tick() {
  if (m_hovSend && !m_hovSend->Poll()) {
    m_hovSend->Stop();
    m_hovSend.reset();
  }
  if (m_hovRecv && !m_hovRecv->Poll()) {
    m_hovRecv->Stop();
    m_hovRecv.reset();
  }
}

void HovManager::StopAll() {
  const char* which = m_hovSend && m_hovRecv ? "sender and receiver"
                      : m_hovSend            ? "sender"
                      : m_hovRecv            ? "receiver"
                                             : nullptr;
  if (which == nullptr) {
    return;
  }
  if (m_hovSend) {
    m_hovSend->Stop();
    m_hovSend.reset();
  }
  if (m_hovRecv) {
    m_hovRecv->Stop();
    m_hovRecv.reset();
  }
  HovLog(4, "HovUninit stopped a running %s", which);
}
