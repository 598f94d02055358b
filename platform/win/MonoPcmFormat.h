// The one wave format of the library's wave-out playback and wave-in capture.
#pragma once

#include <mmreg.h>
#include <windows.h>

// Any thread. Mono signed 16-bit PCM at 48000 samples per second.
inline WAVEFORMATEX MonoPcmFormat() {
  WAVEFORMATEX format = {};
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.nChannels = 1;
  format.nSamplesPerSec = 48000;
  format.nAvgBytesPerSec = 96000;
  format.nBlockAlign = 2;
  format.wBitsPerSample = 16;
  format.cbSize = 0;
  return format;
}
