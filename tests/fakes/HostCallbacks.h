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
  bool nullKey;  // the library passed a null pointer (it never should)
  std::thread::id thread;
};

namespace host {

// Forget everything recorded so far.
void Reset();
// The callbacks to hand to the exports.
void HOV_CALL OnStatus(int code);
void HOV_CALL OnRecv(int code, const char* shareKey);
// A second receive callback, recorded apart (as results2).
void HOV_CALL OnRecv2(int code, const char* shareKey);

std::vector<int> Statuses();
std::vector<RecvResult> Results();
std::vector<RecvResult> Results2();
std::thread::id StatusThread(size_t index);
// Waits until status code has arrived count times in all; false after the limit.
bool WaitStatus(int code, int count = 1,
                std::chrono::milliseconds limit = std::chrono::milliseconds(10000));
// Waits until count results have arrived on OnRecv (or OnRecv2 when second is true).
bool WaitResults(size_t count, bool second = false,
                 std::chrono::milliseconds limit = std::chrono::milliseconds(10000));
}  // namespace host
