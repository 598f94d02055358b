// hov record: captures the default input through the library's own capture front into a WAV
// file, so the file holds exactly what the receiver would hear.
#pragma once

#include <string>

struct RecordOptions {
  std::string outPath;
  double seconds = 0.0;  // 0: until Ctrl-C
  bool verbose = false;
};

// Main thread. Records until the time is up or Ctrl-C; returns the exit status (0 written,
// 1 file not written, 4 no capture or nothing captured).
int RunRecord(const RecordOptions& options);
