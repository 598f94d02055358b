#include "tests/fakes/Host.h"

#include <algorithm>

#include "runtime/HovLog.h"

namespace {

Changes g_changes;
std::vector<LogLine> g_lines;
std::vector<int> g_statuses;
std::vector<RecvResult> g_results;

// Runs f under the lock and wakes the waiters; f's result.
template <typename F>
auto Locked(F f) {
  std::lock_guard<std::mutex> lock(g_changes.mutex);
  g_changes.changed.notify_all();
  return f();
}

void HOV_CALL CaptureLine(int level, const char* line) {
  Locked([&] { g_lines.push_back(LogLine{level, line}); });
}

int CountLocked(const std::string& text) {
  return static_cast<int>(std::count_if(g_lines.begin(), g_lines.end(),
                                        [&](const LogLine& l) { return l.text == text; }));
}

}  // namespace

HovLogCallback LogCapture::Function() {
  return &CaptureLine;
}

LogCapture::LogCapture() {
  HovLogger::GetInstance()->RegisterLogger(&CaptureLine);
  Clear();
}

LogCapture::~LogCapture() {
  HovLogger::GetInstance()->RegisterLogger(&HovLogger::BuiltinPrinter);
}

std::vector<LogLine> LogCapture::Lines() const {
  return Locked([] { return g_lines; });
}

int LogCapture::Count(const std::string& text) const {
  return Locked([&] { return CountLocked(text); });
}

void LogCapture::Clear() {
  Locked([] { g_lines.clear(); });
}

bool LogCapture::WaitFor(const std::string& text, int count, milliseconds limit) const {
  return g_changes.Until([&] { return CountLocked(text) >= count; }, limit);
}

namespace host {

void Reset() {
  std::lock_guard<std::mutex> lock(g_changes.mutex);
  g_statuses.clear();
  g_results.clear();
}

void HOV_CALL OnStatus(int code) {
  Locked([&] { g_statuses.push_back(code); });
}

// A null key would be a fault of the library's: it shows as a key no test expects.
void HOV_CALL OnRecv(int code, const char* key) {
  RecvResult result{code, key != nullptr ? key : "(null)", std::this_thread::get_id()};
  Locked([&] { g_results.push_back(result); });
}

std::vector<int> Statuses() {
  return Locked([] { return g_statuses; });
}

int StatusCount(int code) {
  std::vector<int> statuses = Statuses();
  return static_cast<int>(std::count(statuses.begin(), statuses.end(), code));
}

std::vector<RecvResult> Results() {
  return Locked([] { return g_results; });
}

bool WaitStatus(int code, int count, milliseconds limit) {
  return g_changes.Until(
      [&] { return std::count(g_statuses.begin(), g_statuses.end(), code) >= count; }, limit);
}

bool WaitResults(size_t count, milliseconds limit) {
  return g_changes.Until([&] { return g_results.size() >= count; }, limit);
}

}  // namespace host
