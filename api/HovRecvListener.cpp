#include "api/HovRecvListener.h"

#include <cstdio>
#include <vector>

#include "runtime/HovLog.h"
#include "runtime/WorkerThreadQueue.h"

void HovRecvListener::InstallRecvDataCallback(HovRecvCallback callback) {
  if (callback == nullptr) {
    HovLog(4, "HovRecvListener::InstallRecvDataCallback null");
  }
  m_recvDataCallback = callback;
}

void HovRecvListener::OnRecvData(int code, const char* shareKey) {
  std::string key = shareKey != nullptr ? shareKey : "";
  if (m_recvDataCallback == nullptr) {
    return;
  }
  HovLog(2, "recvDataCallback called, code:%d, shareKey:%s", code, MaskShareKey(key).c_str());
  int hostCode = (code == -1 || code == -2 || code == -3) ? code : 0;
  m_recvDataCallback(hostCode, key.c_str());
}

void HovRecvListener::OnRecvReady() {
  m_worker->Wake();
}

std::string MaskShareKey(const std::string& shareKey) {
  if (shareKey.empty()) {
    return std::string();
  }
  std::vector<char> buffer(shareKey.size() + 1);
  std::snprintf(buffer.data(), buffer.size(), "%c%cxxxxxx", shareKey[0],
                shareKey.size() > 1 ? shareKey[1] : '\0');
  return std::string(buffer.data());
}
