#include "tests/fakes/LogCapture.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "runtime/HovLog.h"

namespace {

std::mutex g_mutex;
std::condition_variable g_changed;
std::vector<LogLine> g_lines;

void HOV_CALL CaptureLine(int level, const char* line) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_lines.push_back(LogLine{level, line});
  g_changed.notify_all();
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
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_lines;
}

std::vector<std::string> LogCapture::Texts() const {
  std::vector<std::string> texts;
  for (const LogLine& line : Lines()) {
    texts.push_back(line.text);
  }
  return texts;
}

int LogCapture::Count(const std::string& text) const {
  std::lock_guard<std::mutex> lock(g_mutex);
  return static_cast<int>(std::count_if(g_lines.begin(), g_lines.end(),
                                        [&](const LogLine& l) { return l.text == text; }));
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_lines.clear();
}

bool LogCapture::WaitFor(const std::string& text, int count,
                         std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(g_mutex);
  return g_changed.wait_for(lock, limit, [&] {
    return std::count_if(g_lines.begin(), g_lines.end(),
                         [&](const LogLine& l) { return l.text == text; }) >= count;
  });
}
