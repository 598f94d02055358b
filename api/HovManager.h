// Owns at most one sender and one receiver; the only place they are made and destroyed.
// Worker thread only, so it takes no lock.
#pragma once

#include <memory>

#include "receive/HovRecv.h"
#include "send/HovSend.h"

class HovManager {
 public:
  HovManager();
  ~HovManager();

  // Worker thread. The one manager of the process, made on first use.
  static HovManager* Instance();

  // Worker thread. Starts a sender unless one exists, telling listener (if any) of its
  // device's news; false (nothing kept) when refused, failed or thrown.
  bool SendStart(const char* shareKey, HovSend::Listener* listener = nullptr);
  // Worker thread. Switches the running sender's key; nothing without a sender.
  void SendUpdate(const char* shareKey);
  // Worker thread. Stops and destroys the sender, if any.
  void SendStop();
  // Worker thread. Starts a receiver reporting to listener unless one exists; false (nothing
  // kept) when refused, failed or thrown.
  bool RecvStart(int timeoutMs, HovRecv::Listener* listener);
  // Worker thread. Stops and destroys the receiver, if any; it reports nothing more.
  void RecvStop();
  // Worker thread, every poll. Retires a sender or receiver whose Poll answers false.
  void Tick();
  // Worker thread. Whether a sender exists.
  bool Sending() const { return m_hovSend != nullptr; }
  // Worker thread. Whether a receiver exists.
  bool Receiving() const { return m_hovRecv != nullptr; }
  // Worker thread, as it stops. Stops both sessions, saying so at level 4 when one ran.
  void StopAll();

 private:
  std::unique_ptr<HovSend> m_hovSend;
  std::unique_ptr<HovRecv> m_hovRecv;
};
