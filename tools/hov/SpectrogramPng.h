// The picture of hov analyze --png: a spectrogram of 18.5 to 20.5 kHz over the file's time
// with the sender's sixteen tones marked as lines and the symbols that a decoder read marked
// where it read them, written as a PNG file with libpng.
//
// Layout: a 14-pixel margin on the left with the tone numbers (0-F) at their lines, one column
// per spectrogram frame (1024 points every 256 frames; every 512 or more for files over
// 42 s), a
// 12-pixel strip on top with the decoder's symbols (hex digits) above the frames it read and a
// bar over its window, 8 pixels per FFT bin (high frequencies on top) and an 8-pixel strip at
// the bottom with a tick every second.
#pragma once

#include <string>

#include "tools/hov/Analyze.h"

class SpectrogramPng {
 public:
  static constexpr int kLeft = 14;
  static constexpr int kTop = 12;
  static constexpr int kBottom = 8;
  static constexpr int kBinPixels = 8;

  // Any thread. The picture's size for a report; 0 by 0 when the file has no 18.5-20.5 kHz
  // spectrogram (shorter than 1024 frames, or a rate that holds no such band).
  static void Size(const analyze::Report& report, int* width, int* height);
  // Caller's thread. Draws the report's spectrogram to path; false with *error set when there
  // is nothing to draw or the file cannot be written.
  static bool Write(const analyze::Report& report, const std::string& path, std::string* error);
};
