// Receives one share key and prints it: the library from C++, with promises for the answers.
//
// Usage: receive [TIMEOUT_MS]   (default 10000)
// Exit status: 0 with the key, 2 when none was heard in time or it did not decode, 4 when the
// receiver did not start (no capture device).
#include <hov/hov.h>

#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>

namespace {
std::promise<int> g_started;         // 3 (started) or 4 (not), set by the library's worker thread
std::promise<std::string> g_result;  // the key, or "" on a time-out or an undecodable packet

// The library's worker thread (status 1: the thread calling HovInit).
void HOV_CALL OnStatus(int code) {
  if (code == 3 || code == 4) {
    g_started.set_value(code);
  }
}

// Any library thread.
void HOV_CALL OnLog(int level, const char* line) {
  if (level >= 3) {
    std::fprintf(stderr, "%s\n", line);
  }
}

// The library's worker thread, once for the receiver started below.
void HOV_CALL OnReceive(int code, const char* shareKey) {
  g_result.set_value(code == 0 ? shareKey : "");
}
}  // namespace

int main(int argc, char** argv) {
  const int timeoutMs = argc > 1 ? std::atoi(argv[1]) : 10000;
  HovInit(OnStatus, OnLog);
  HovReceiveStart(timeoutMs, OnReceive);
  int status = 4;
  if (g_started.get_future().get() == 3) {
    const std::string key = g_result.get_future().get();
    std::printf("%s\n", key.empty() ? "no share key heard" : key.c_str());
    status = key.empty() ? 2 : 0;
  } else {
    std::printf("the receiver did not start\n");
  }
  HovReceiveStop();
  HovUninit();
  return status;
}
