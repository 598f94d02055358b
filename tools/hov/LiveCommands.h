// hov send, hov receive and hov loopback: the library driven through its seven exports, as a
// host application drives it, playing through and capturing from the system's default devices.
#pragma once

#include <string>

struct SendOptions {
  std::string key;
  double seconds = 0.0;  // 0: until Ctrl-C
  std::string thenKey;   // empty: no update
  double at = 0.0;       // seconds after the start when thenKey replaces key
  bool verbose = false;
};

struct ReceiveOptions {
  int timeoutMs = 30000;
  std::string receiver = "design";  // HOV_RECEIVER for the library
  bool json = false;
  bool verbose = false;
};

struct LoopbackOptions {
  std::string key;
  int timeoutMs = 30000;
  std::string receiver = "design";  // HOV_RECEIVER for the library
  bool json = false;
  bool verbose = false;
};

// Main thread. Sends until the time is up or Ctrl-C; returns the exit status (0, 4 not started).
int RunSend(const SendOptions& options);
// Main thread. Receives one key; returns the exit status (0 key, 2 time-out, 3 undecodable,
// 4 not started, 130 interrupted).
int RunReceive(const ReceiveOptions& options);
// Main thread. Sends the key and receives it in one process; returns the exit status (0 the key
// came back, 2 time-out, 3 undecodable, 4 not started, 5 another key, 130 interrupted).
int RunLoopback(const LoopbackOptions& options);
