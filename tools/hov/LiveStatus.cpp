#include "tools/hov/LiveStatus.h"

#include <chrono>
#include <cstdio>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {
constexpr std::chrono::milliseconds kRedrawPeriod(200);
}  // namespace

LiveStatus::LiveStatus(bool enabled, Text text) : m_text(std::move(text)) {
  if (enabled && StderrIsTerminal()) {
    m_thread = std::thread([this] { Draw(); });
  }
}

LiveStatus::~LiveStatus() {
  Stop();
}

void LiveStatus::Stop() {
  if (!m_thread.joinable()) {
    return;
  }
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_stop = true;
  }
  m_stopped.notify_all();
  m_thread.join();
}

bool LiveStatus::StderrIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(STDERR_FILENO) != 0;
#endif
}

void LiveStatus::Draw() {
  std::unique_lock<std::mutex> lock(m_lock);
  while (!m_stop) {
    lock.unlock();
    Redraw(m_text());
    lock.lock();
    m_stopped.wait_for(lock, kRedrawPeriod, [this] { return m_stop; });
  }
  lock.unlock();
  Redraw("");
  std::fputc('\r', stderr);
  std::fflush(stderr);
}

void LiveStatus::Redraw(const std::string& text) {
  // Spaces rather than a terminal escape: they clear on every console.
  std::string line = "\r" + text;
  if (text.size() < m_width) {
    line.append(m_width - text.size(), ' ');
  }
  m_width = text.size();
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}
