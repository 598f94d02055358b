// Forwards a receiver's result to the host's receive callback, logging the key masked.
#pragma once

#include <string>

#include "hov/hov.h"
#include "receive/HovRecv.h"

class WorkerThreadQueue;

class HovRecvListener : public HovRecv::Listener {
 public:
  // Owner's thread. worker is woken when a receiver has a result ready.
  explicit HovRecvListener(WorkerThreadQueue* worker) : m_worker(worker) {}

  // Worker thread. Installs the host's callback; null is installed too, after a notice.
  void InstallRecvDataCallback(HovRecvCallback callback);
  // Worker thread. Logs the result and calls the host with the mapped code and the key text.
  void OnRecvData(int code, const char* shareKey) override;
  // Capture thread. Wakes the worker so the result is polled at once; no lock, no line.
  void OnRecvReady() override;

 private:
  WorkerThreadQueue* m_worker;
  HovRecvCallback m_recvDataCallback = nullptr;  // worker thread only
};

// "AB" + "xxxx" for a six-letter key: the first two characters, then x, cut to the key's length.
std::string MaskShareKey(const std::string& shareKey);
