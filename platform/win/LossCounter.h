// Losses of a device and its recoveries, counted by the thread that meets them and logged by
// the owner's thread: sound threads do not log.
#pragma once

#include <atomic>
#include <cstdint>

#include "runtime/HovLog.h"

class LossCounter {
 public:
  // Sound thread. The device stopped answering; it is being reopened.
  void Lost() { ++m_losses; }
  // Sound thread. The default device is open again after a loss.
  void Recovered() { ++m_recoveries; }
  // Owner's thread. Logs at level 3, once each and in order, every loss and recovery counted
  // since the last call, naming the backend; afterwards all of them are logged.
  void Report(const char* name) {
    const int32_t losses = m_losses.load();
    const int32_t recoveries = m_recoveries.load();
    // Every loss comes before its recovery.
    for (;;) {
      if (m_lossesLogged == m_recoveriesLogged && m_lossesLogged < losses) {
        HovLog(3, "%s: device lost, reopening the default device", name);
        ++m_lossesLogged;
      } else if (m_recoveriesLogged < m_lossesLogged && m_recoveriesLogged < recoveries) {
        HovLog(3, "%s: default device open again", name);
        ++m_recoveriesLogged;
      } else {
        return;
      }
    }
  }

 private:
  std::atomic<int32_t> m_losses{0};
  std::atomic<int32_t> m_recoveries{0};
  int32_t m_lossesLogged = 0;  // owner's thread only, like the one below
  int32_t m_recoveriesLogged = 0;
};
