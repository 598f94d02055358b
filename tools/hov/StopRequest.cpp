#include "tools/hov/StopRequest.h"

#include <atomic>
#include <cstdlib>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <signal.h>
#endif

namespace {
// The signals the user stops with, and the one the destructor wakes the waiter with.
#ifndef _WIN32
sigset_t WaitedSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGUSR1);
  return set;
}
#else
std::atomic<std::function<void()>*> g_onStop{nullptr};
std::atomic<int> g_requests{0};

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  if (++g_requests > 1) {
    std::_Exit(130);
  }
  std::function<void()>* onStop = g_onStop.load();
  if (onStop != nullptr) {
    (*onStop)();
  }
  return TRUE;
}
#endif
}  // namespace

#ifndef _WIN32
void BlockStopSignals() {
  sigset_t set = WaitedSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void UnblockStopSignals() {
  sigset_t set = WaitedSignals();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

StopRequest::StopRequest(std::function<void()> onStop) : m_onStop(std::move(onStop)) {
  BlockStopSignals();
  m_waiter = std::thread([this] {
    sigset_t waited = WaitedSignals();
    int requests = 0;
    for (;;) {
      int sig = 0;
      if (sigwait(&waited, &sig) != 0 || sig == SIGUSR1) {
        return;
      }
      if (++requests > 1) {
        std::_Exit(130);
      }
      m_onStop();
    }
  });
}

StopRequest::~StopRequest() {
  pthread_kill(m_waiter.native_handle(), SIGUSR1);
  m_waiter.join();
}
#else
void BlockStopSignals() {}

void UnblockStopSignals() {}

StopRequest::StopRequest(std::function<void()> onStop) : m_onStop(std::move(onStop)) {
  g_onStop = &m_onStop;
  SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
}

StopRequest::~StopRequest() {
  SetConsoleCtrlHandler(&OnConsoleControl, FALSE);
  g_onStop = nullptr;
}
#endif
