// hov encode and hov decode: the on-air signal of a share key to a WAV file and back, with the
// modem and the receive session's sink run in-process. Linux only (audio files via libsndfile).
#pragma once

#include <string>

struct EncodeOptions {
  std::string key;
  std::string outPath;
  double seconds = 5.0;
  std::string thenKey;  // empty: one key throughout
  double at = 0.0;      // seconds into the signal when thenKey is asked for
  bool verbose = false;
};

struct DecodeOptions {
  std::string inPath;
  int bufferFrames = 480;
  bool json = false;
  bool verbose = false;
};

// Main thread. Writes the signal of the key, and of a key change if asked; returns the exit
// status (0, 1 file, 2 bad key, 64 a change past the end).
int RunEncode(const EncodeOptions& options);
// Main thread. Decodes a recording; returns the exit status (0 key, 1 file, 2 time-out,
// 3 undecodable).
int RunDecode(const DecodeOptions& options);
