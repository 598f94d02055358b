#include "runtime/HovLog.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {
constexpr char kPrefix[] = "[hov] ";
constexpr size_t kPrefixLength = sizeof(kPrefix) - 1;
constexpr size_t kLineBufferSize = 1024;

// Set while this thread runs the log function.
thread_local bool t_inLogFunction = false;

class InLogFunction {
 public:
  InLogFunction() { t_inLogFunction = true; }
  ~InLogFunction() { t_inLogFunction = false; }
  InLogFunction(const InLogFunction&) = delete;
  InLogFunction& operator=(const InLogFunction&) = delete;
};
}  // namespace

HovLogger::HovLogger() : m_logFunction(&HovLogger::BuiltinPrinter) {}

void HovLogger::RegisterLogger(HovLogCallback fn) {
  m_logFunction.store(fn, std::memory_order_release);
  HovLog(2, "HovLogger::RegisterLogger");
}

void HovLogger::Log(int level, const char* line) {
  if (t_inLogFunction) {
    return;  // the log function itself made this line happen: no re-entry
  }
  HovLogCallback fn = m_logFunction.load(std::memory_order_acquire);
  if (fn != nullptr) {
    InLogFunction guard;
    fn(level, line);
  }
}

void HOV_CALL HovLogger::BuiltinPrinter(int level, const char* line) {
  if (line != nullptr) {
    std::fprintf(level < 3 ? stdout : stderr, "%s\n", line);
  }
}

void HovLog(int level, const char* format, ...) {
  char line[kLineBufferSize];
  std::memcpy(line, kPrefix, kPrefixLength);
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(line + kPrefixLength, kLineBufferSize - kPrefixLength, format, args);
  va_end(args);
  if (n < 0) {
    line[kPrefixLength] = '\0';
  }
  HovLogger::GetInstance()->Log(level, line);
}

int64_t WallClockMs() {
  // 100-nanosecond units since the epoch, divided down to milliseconds.
  auto ticks = std::chrono::duration_cast<std::chrono::duration<int64_t, std::ratio<1, 10000000>>>(
      std::chrono::system_clock::now().time_since_epoch());
  return ticks.count() / 10000;
}

ScopeTrace::ScopeTrace(const char* name) : m_name(name), m_startMs(WallClockMs()) {
  HovLog(2, "entry %s", m_name.c_str());
}

ScopeTrace::~ScopeTrace() {
  HovLog(2, "exit %s, cost: %lld", m_name.c_str(),
         static_cast<long long>(WallClockMs() - m_startMs));
}

bool LogThrottle::Allow() {
  int64_t now = m_clock();
  if (now - m_lastMs.load(std::memory_order_relaxed) < m_gapMs) {
    return false;
  }
  m_lastMs.store(now, std::memory_order_relaxed);
  return true;
}

int64_t LogThrottle::WaitMs() const {
  const int64_t wait = m_lastMs.load(std::memory_order_relaxed) + m_gapMs - m_clock();
  return wait > 0 ? wait : 0;
}
