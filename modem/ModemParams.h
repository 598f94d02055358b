// The modem parameter block: symbol timing, band and the tone plan for one sample rate.
// Plain data, created and destroyed by the two functions below; only read after creation.
#pragma once

#include <cstdint>

#include <kiss_fftr.h>

constexpr double kPi = 3.14159265358979323846;

struct ModemParams {
  int32_t toneCount;        // 16 tones; a symbol carries 4 bits
  int32_t symbolSamples;    // 4096 samples per symbol and per burst
  int32_t framesPerSymbol;  // 4 analysis frames per symbol: 1024-point FFT
  uint32_t payloadBytes;    // bytes per packet (4: the encoded key)
  float sampleRate;         // samples per second
  float lowFrequency;       // 19100 Hz
  float highFrequency;      // 19900 Hz
  float packetSeconds;      // length of one receive window, 2n + 3 symbols
  float reserved;           // 100, read by nothing
  float taperRatio;         // 0.5, Tukey ratio of the bursts
  float amplitude;          // 0.8; the sender sets 1.0
  double* toneFrequencies;  // [16] Hz of each tone
  int32_t* toneBins;        // [toneCount] FFT bin of each tone in the 1024-point spectrum
};

// Any thread. A new block for the rate and payload length, tables filled; the caller owns it.
ModemParams* CreateModemParams(float sampleRate, uint32_t payloadBytes);
// Any thread. Frees the tables and the block; null is ignored.
void DestroyModemParams(ModemParams* params);

// Any thread. A forward real FFT configuration of `points` points for the caller alone: one given
// back earlier when there is one, else a new one. Kiss FFT keeps scratch space in its
// configuration, so a configuration serves one user at a time.
kiss_fftr_cfg AcquireForwardRealFft(int32_t points);
// Any thread. Gives back a configuration from AcquireForwardRealFft for the next user; no
// allocation. The process keeps a bounded number of them; null is ignored.
void ReleaseForwardRealFft(int32_t points, kiss_fftr_cfg cfg);
// Any thread. The same for a forward complex FFT configuration.
kiss_fft_cfg AcquireForwardFft(int32_t points);
// Any thread. Gives back a configuration from AcquireForwardFft; no allocation; null is ignored.
void ReleaseForwardFft(int32_t points, kiss_fft_cfg cfg);
