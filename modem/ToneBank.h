// Renders the endless stream of tone bursts of a payload. Plain data with create, operate and
// free functions; no lock: its owner serialises every call.
#pragma once

#include <cstdint>

#include "modem/ModemParams.h"

struct ToneBank {
  ModemParams params;      // copy; the tables stay owned by the original block
  int32_t* sequence;       // [sequenceLength] tone of each symbol position of the packet
  int32_t sequenceLength;  // 2 * payloadBytes + 2
  float** bursts;          // [toneCount][symbolSamples] windowed sine of each tone
  int32_t symbolIndex;     // position in the sequence of the symbol being played
  int32_t sampleIndex;     // samples of the current burst already rendered

  // Worker thread. A bank with every burst built, an all-zero sequence, at position 0.
  // Caller owns it; params must outlive it.
  static ToneBank* Create(const ModemParams* params);
  // Worker thread, under the owner's lock. 0: the sequence now plays the payloadBytes bytes of
  // payload (zero-terminated); 1: refused (null, or wrong length), nothing changed. The position is
  // kept.
  static int32_t SetPayload(ToneBank* bank, const char* payload);
  // Playback thread (worker thread while the device opens), under the owner's lock.
  // Writes count samples and advances; count < 1 does nothing.
  static void Render(ToneBank* bank, float* out, int32_t count);
  // Worker thread. Frees the bank; null is ignored. Does not free the parameter tables.
  static void Free(ToneBank* bank);
};

// Any thread. Fills window[0..n-1] with a Tukey window of ratio alpha.
void TukeyWindow(float* window, int32_t n, double alpha);

// Any thread. A rendered sample as 16-bit PCM: times 32767 in float, truncated, low 16 bits.
int16_t FloatToPcm16(float sample);
