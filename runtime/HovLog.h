// Log lines, scope traces and throttles. Every line of the library goes through HovLog.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "hov/hov.h"
#include "runtime/Singleton.h"

// Holds the one log function; starts with the built-in printer (stdout below level 3,
// stderr from level 3 on).
class HovLogger : public ZORVANIK_COMMON::Singleton<HovLogger> {
 public:
  HovLogger();

  // Any thread (HovInit's). Replaces the log function, null included, then logs
  // "HovLogger::RegisterLogger" through it.
  void RegisterLogger(HovLogCallback fn);
  // Any thread. Hands a finished line to the log function, if there is one; no lock. A line
  // raised on a thread while that thread runs the log function is dropped, never re-entered.
  void Log(int level, const char* line);

  // The printer in use before a log function is registered.
  static void HOV_CALL BuiltinPrinter(int level, const char* line);

 private:
  std::atomic<HovLogCallback> m_logFunction;
};

// Any thread. Formats "[hov] " + message (at most 1017 characters) and logs it.
void HovLog(int level, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Any thread. System time in milliseconds since 1970-01-01 UTC.
int64_t WallClockMs();

// Logs "entry <name>" when made and "exit <name>, cost: <ms>" when destroyed, at level 2.
// Lives on the stack of one thread.
class ScopeTrace {
 public:
  explicit ScopeTrace(const char* name);
  ~ScopeTrace();
  ScopeTrace(const ScopeTrace&) = delete;
  ScopeTrace& operator=(const ScopeTrace&) = delete;

 private:
  std::string m_name;
  int64_t m_startMs;
};

// Lets a repeated line through at most once per gap; the first check passes.
class LogThrottle {
 public:
  // Milliseconds by the wall clock, or by a clock a test advances itself.
  using Clock = int64_t (*)();
  explicit LogThrottle(int64_t gapMs, Clock clock = &WallClockMs)
      : m_gapMs(gapMs), m_clock(clock) {}
  // Any thread. True when at least gapMs have passed since the last check that passed.
  bool Allow();
  // Any thread. Milliseconds until a check would pass; 0 when it would pass now.
  int64_t WaitMs() const;

 private:
  std::atomic<int64_t> m_lastMs{0};
  const int64_t m_gapMs;
  const Clock m_clock;
};
