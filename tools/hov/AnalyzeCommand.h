// hov analyze: what a recording holds of the tones and what the receiver's decoders make of
// it, as text or JSON, with a spectrogram picture on request. Linux only (libsndfile, libpng).
#pragma once

#include <string>

struct AnalyzeOptions {
  std::string inPath;
  std::string pngPath;  // empty: no picture
  int bufferFrames = 480;
  int receiver = 0;  // HOV_MODEM_RECEIVER_*
  bool json = false;
};

// Main thread. Analyses the file; returns the exit status (0 analysed, 1 a file cannot be read
// or written, none is left behind).
int RunAnalyze(const AnalyzeOptions& options);
