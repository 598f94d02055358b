#include "tools/hov/HostLink.h"

#include <algorithm>
#include <cstdio>

std::atomic<HostLink*> HostLink::s_link{nullptr};

HostLink::HostLink(bool verbose) : m_verbose(verbose) {
  s_link = this;
}

HostLink::~HostLink() {
  s_link = nullptr;
}

void HostLink::Init() {
  HovInit(&HostLink::OnStatus, &HostLink::OnLog);
}

HostLink::Clock::time_point HostLink::ReceiveStart(int timeoutMs) {
  Clock::time_point start = Clock::now();
  HovReceiveStart(timeoutMs, &HostLink::OnResult);
  return start;
}

int HostLink::WaitStatus(std::initializer_list<int> codes, Clock::time_point deadline) {
  auto wanted = [&codes](int code) {
    return std::find(codes.begin(), codes.end(), code) != codes.end();
  };
  std::unique_lock<std::mutex> lock(m_lock);
  m_changed.wait_until(lock, deadline, [this, &wanted] {
    return std::any_of(m_statuses.begin(), m_statuses.end(), wanted);
  });
  auto found = std::find_if(m_statuses.begin(), m_statuses.end(), wanted);
  if (found == m_statuses.end()) {
    return 0;
  }
  int code = *found;
  m_statuses.erase(found);
  return code;
}

bool HostLink::WaitResult(Clock::time_point deadline, Result* result) {
  std::unique_lock<std::mutex> lock(m_lock);
  m_changed.wait_until(lock, deadline, [this] { return m_haveResult || m_stopRequested; });
  if (!m_haveResult) {
    return false;
  }
  *result = m_result;
  return true;
}

void HostLink::ForgetResult() {
  std::lock_guard<std::mutex> lock(m_lock);
  m_haveResult = false;
}

bool HostLink::WaitStopRequest(Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(m_lock);
  return m_changed.wait_until(lock, deadline, [this] { return m_stopRequested; });
}

void HostLink::RequestStop() {
  std::lock_guard<std::mutex> lock(m_lock);
  m_stopRequested = true;
  m_changed.notify_all();
}

void HOV_CALL HostLink::OnStatus(int code) {
  HostLink* link = s_link;
  if (link == nullptr) {
    return;
  }
  if (link->m_verbose) {
    std::fprintf(stderr, "hov: status %d\n", code);
  }
  std::lock_guard<std::mutex> lock(link->m_lock);
  link->m_statuses.push_back(code);
  link->m_changed.notify_all();
}

void HOV_CALL HostLink::OnLog(int /*level*/, const char* line) {
  HostLink* link = s_link;
  if (link != nullptr && link->m_verbose && line != nullptr) {
    // One call per line: the library logs from several threads at once.
    std::fprintf(stderr, "%s\n", line);
  }
}

void HOV_CALL HostLink::OnResult(int code, const char* shareKey) {
  HostLink* link = s_link;
  if (link == nullptr) {
    return;
  }
  Clock::time_point at = Clock::now();
  std::lock_guard<std::mutex> lock(link->m_lock);
  if (link->m_haveResult) {
    return;  // one result per reception; the first one counts
  }
  link->m_haveResult = true;
  link->m_result.code = code;
  link->m_result.key = shareKey != nullptr ? shareKey : "";
  link->m_result.at = at;
  link->m_changed.notify_all();
}
