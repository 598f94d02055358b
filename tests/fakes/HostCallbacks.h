// What a host application sees of the library: status codes and reception results, recorded
// from the callbacks so tests can wait for them.
#pragma once

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "hov/hov.h"

struct RecvResult {
  int code;
  std::string key;
  std::thread::id thread;
};

namespace host {

// Forget everything recorded so far.
void Reset();
// The callbacks to hand to the exports.
void HOV_CALL OnStatus(int code);
void HOV_CALL OnRecv(int code, const char* shareKey);

std::vector<int> Statuses();
std::vector<RecvResult> Results();
// Waits until status code has arrived count times in all; false after the limit.
bool WaitStatus(int code, int count = 1,
                std::chrono::milliseconds limit = std::chrono::milliseconds(10000));
// Waits until count results have arrived; false after the limit.
bool WaitResults(size_t count, std::chrono::milliseconds limit = std::chrono::milliseconds(10000));
}  // namespace host
