#include "tests/fakes/HostCallbacks.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

namespace host {
namespace {

std::mutex g_mutex;
std::condition_variable g_changed;
std::vector<int> g_statuses;
std::vector<RecvResult> g_results;

}  // namespace

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
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_statuses;
}

std::vector<RecvResult> Results() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_results;
}

bool WaitStatus(int code, int count, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(g_mutex);
  return g_changed.wait_for(
      lock, limit, [&] { return std::count(g_statuses.begin(), g_statuses.end(), code) >= count; });
}

bool WaitResults(size_t count, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(g_mutex);
  return g_changed.wait_for(lock, limit, [&] { return g_results.size() >= count; });
}

}  // namespace host
