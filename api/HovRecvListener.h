// Forwards a receiver's result to the host's receive callback, logging the key masked.
// Worker thread only.
#pragma once

#include <string>

#include "api/HovManager.h"
#include "hov/hov.h"

class HovRecvListener : public HovManager::RecvListener {
 public:
  // Worker thread. Installs the host's callback; null is installed too, after a notice.
  void InstallRecvDataCallback(HovRecvCallback callback);
  // Worker thread. Logs the result and calls the host with the mapped code and the key text.
  void OnRecvData(int code, const char* shareKey) override;

 private:
  HovRecvCallback m_recvDataCallback = nullptr;
};

// "AB" + "xxxx" for a six-letter key: the first two characters, then x, cut to the key's length.
std::string MaskShareKey(const std::string& shareKey);
