// The receiver's demodulator: quarter-symbol FFT frames, strongest tone per frame, best of the
// four frame phases, then the packet behind the separator. One window per detector.
// Plain data with create, operate and free functions; used by one thread at a time.
#pragma once

#include <cstdint>

#include <kiss_fftr.h>

#include "modem/ModemParams.h"

struct ToneDetector {
  ModemParams params;      // copy; the tables stay owned by the original block
  kiss_fftr_cfg fft;       // forward real FFT of frameLength points, from the shared pool
  int32_t frameLength;     // F = symbolSamples / framesPerSymbol (1024)
  int32_t windowFrames;    // M, a multiple of framesPerSymbol (44)
  int32_t slotsPerPhase;   // K = M / framesPerSymbol (11)
  float* tonePowers;       // [M][toneCount] power of each tone in each frame
  uint32_t* toneIndexes;   // [framesPerSymbol][K] strongest tone of frame s * P + phase
  float* phaseScores;      // [framesPerSymbol] summed peak ratios
  float* frame;            // [F] samples of the frame being filled
  kiss_fft_cpx* spectrum;  // [F / 2 + 1]
  int32_t fillPosition;    // samples in frame
  int32_t frameCounter;    // number of the frame being filled

  // Capture side, when the sink opens. A detector for params (the capture's rate); params must
  // outlive it. Caller owns it.
  static ToneDetector* Create(const ModemParams* params);
  // Capture side, when the sink closes. Frees everything but params; null is ignored.
  static void Free(ToneDetector* detector);
  // Capture thread. Feeds count samples: 0 while the window is incomplete, 1 once all M frames are
  // analysed.
  static int32_t Feed(ToneDetector* detector, const float* samples, int32_t count);
  // Capture thread. After Feed returned 1: writes payloadBytes bytes to out and returns that count,
  // or -1.
  static int32_t Decode(const ToneDetector* detector, uint8_t* out);
};

// Any thread. Assembles n bytes from a window of k tone indexes (separator, then payload, wrapping
// one cycle back past the end). Returns n, or -1 when no packet can be extracted.
int32_t ExtractPacket(uint8_t* out, int32_t n, const uint32_t* symbols, int32_t k);

// Any thread. The largest of count values; *index gets its first occurrence.
float MaxIndex(const float* values, int32_t count, int32_t* index);
