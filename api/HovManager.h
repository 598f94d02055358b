// Owns at most one sender and one receiver; the only place they are made and destroyed.
// Worker thread only, so it takes no lock.
#pragma once

#include <memory>

class HovSend;
class HovRecv;

class HovManager {
 public:
  // How a receiver reports its one result.
  class RecvListener {
   public:
    virtual ~RecvListener() = default;
    // Worker thread. code 0 with the decoded key, or a negative code with a null key.
    virtual void OnRecvData(int code, const char* shareKey) = 0;
  };

  HovManager();
  ~HovManager();

  // Worker thread. The one manager of the process, made on first use.
  static HovManager* Instance();

  // Worker thread. Starts a sender unless one exists; false when refused or failed.
  bool SendStart(const char* shareKey);
  // Worker thread. Switches the running sender's key; nothing without a sender.
  void SendUpdate(const char* shareKey);
  // Worker thread. Stops and destroys the sender, if any.
  void SendStop();
  // Worker thread. Starts a receiver reporting to listener unless one exists.
  bool RecvStart(int timeoutMs, RecvListener* listener);
  // Worker thread. Stops and destroys the receiver, if any; it reports nothing more.
  void RecvStop();
  // Worker thread, every pass. Retires a sender or receiver whose Poll answers false.
  void Tick();

 private:
  std::unique_ptr<HovSend> m_hovSend;
  std::unique_ptr<HovRecv> m_hovRecv;
};
