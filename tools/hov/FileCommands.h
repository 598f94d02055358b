// hov encode and hov decode: the on-air signal of a share key to a WAV file and back, through
// the modem library. Linux only (audio files via libsndfile).
#pragma once

#include <string>

struct EncodeOptions {
  std::string key;
  std::string outPath;
  double seconds = 5.0;
  std::string thenKey;  // empty: one key throughout
  double at = 0.0;      // seconds into the signal when thenKey is asked for
};

struct DecodeOptions {
  std::string inPath;
  int bufferFrames = 480;
  int receiver = 0;  // HOV_MODEM_RECEIVER_*
  bool json = false;
};

// Any thread. The HOV_MODEM_RECEIVER_* of "design" or "robust"; -1 for any other name.
int ReceiverChoice(const std::string& name);
// Main thread. Writes the signal of the key, and of a key change if asked; returns the exit
// status (0; 1 the file cannot be written, none is left behind; 2 bad key; 64 a change past the
// end).
int RunEncode(const EncodeOptions& options);
// Main thread. Decodes a recording at its own rate (resampled to the receiver's inside);
// returns the exit status (0 key, 1 file, 2 time-out, 3 undecodable, 64 receiver not built).
int RunDecode(const DecodeOptions& options);
