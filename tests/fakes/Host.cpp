#include "tests/fakes/Host.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "runtime/HovLog.h"

namespace {

std::mutex g_mutex;
std::condition_variable g_changed;
std::vector<LogLine> g_lines;
std::vector<int> g_statuses;
std::vector<RecvResult> g_results;

void HOV_CALL CaptureLine(int level, const char* line) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_lines.push_back(LogLine{level, line});
  g_changed.notify_all();
}

int CountLocked(const std::string& text) {
  return static_cast<int>(std::count_if(g_lines.begin(), g_lines.end(),
                                        [&](const LogLine& l) { return l.text == text; }));
}

template <typename T>
T Locked(const T& value) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return value;
}

template <typename Done>
bool Wait(milliseconds limit, Done done) {
  std::unique_lock<std::mutex> lock(g_mutex);
  return g_changed.wait_for(lock, limit, done);
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
  return Locked(g_lines);
}

int LogCapture::Count(const std::string& text) const {
  std::lock_guard<std::mutex> lock(g_mutex);
  return CountLocked(text);
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_lines.clear();
}

bool LogCapture::WaitFor(const std::string& text, int count, milliseconds limit) const {
  return Wait(limit, [&] { return CountLocked(text) >= count; });
}

namespace host {

void Reset() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_statuses.clear();
  g_results.clear();
}

void HOV_CALL OnStatus(int code) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_statuses.push_back(code);
  g_changed.notify_all();
}

void HOV_CALL OnRecv(int code, const char* shareKey) {
  std::lock_guard<std::mutex> lock(g_mutex);
  // A null key would be a fault of the library's: it shows as a key no test expects.
  g_results.push_back(
      RecvResult{code, shareKey != nullptr ? shareKey : "(null)", std::this_thread::get_id()});
  g_changed.notify_all();
}

std::vector<int> Statuses() {
  return Locked(g_statuses);
}

int StatusCount(int code) {
  std::vector<int> statuses = Statuses();
  return static_cast<int>(std::count(statuses.begin(), statuses.end(), code));
}

std::vector<RecvResult> Results() {
  return Locked(g_results);
}

bool WaitStatus(int code, int count, milliseconds limit) {
  return Wait(limit,
              [&] { return std::count(g_statuses.begin(), g_statuses.end(), code) >= count; });
}

bool WaitResults(size_t count, milliseconds limit) {
  return Wait(limit, [&] { return g_results.size() >= count; });
}

}  // namespace host
