#include "tests/fakes/HostCallbacks.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>

namespace host {
namespace {

std::mutex g_mutex;
std::condition_variable g_changed;
std::vector<int> g_statuses;
std::vector<std::thread::id> g_statusThreads;
std::vector<RecvResult> g_results;
std::vector<RecvResult> g_results2;

void Record(std::vector<RecvResult>* into, int code, const char* shareKey) {
  std::lock_guard<std::mutex> lock(g_mutex);
  into->push_back(RecvResult{code, shareKey != nullptr ? shareKey : "", shareKey == nullptr,
                             std::this_thread::get_id()});
  g_changed.notify_all();
}

}  // namespace

void Reset() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_statuses.clear();
  g_statusThreads.clear();
  g_results.clear();
  g_results2.clear();
}

void HOV_CALL OnStatus(int code) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_statuses.push_back(code);
  g_statusThreads.push_back(std::this_thread::get_id());
  g_changed.notify_all();
}

void HOV_CALL OnRecv(int code, const char* shareKey) {
  Record(&g_results, code, shareKey);
}
void HOV_CALL OnRecv2(int code, const char* shareKey) {
  Record(&g_results2, code, shareKey);
}

std::vector<int> Statuses() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_statuses;
}

std::vector<RecvResult> Results() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_results;
}

std::vector<RecvResult> Results2() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_results2;
}

std::thread::id StatusThread(size_t index) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return index < g_statusThreads.size() ? g_statusThreads[index] : std::thread::id();
}

bool WaitStatus(int code, int count, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(g_mutex);
  return g_changed.wait_for(
      lock, limit, [&] { return std::count(g_statuses.begin(), g_statuses.end(), code) >= count; });
}

bool WaitResults(size_t count, bool second, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(g_mutex);
  return g_changed.wait_for(lock, limit,
                            [&] { return (second ? g_results2 : g_results).size() >= count; });
}

}  // namespace host
