// A simulated acoustic channel between a sender of the design and a microphone: the sender's
// own 16-bit stream, a clock error applied by band-limited resampling to the capture rate, a
// synthetic room, white noise at a full-band SNR, lead silence and a random packet phase; or,
// for negative trials, noise, chirps, tones or music-like notes near the band. Seeded: the same
// condition and seed give the same samples.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ChannelCondition {
  std::string name;
  double snrDb = 10.0;         // full-band signal-to-noise ratio
  double clockPpm = 0.0;       // magnitude of the sender's clock error; its sign is random
  double captureRate = 48000;  // the microphone's rate
  int32_t block = 1024;        // capture buffer in frames
  double rt60 = 0.0;           // reverberation time of the room; 0: no room
  double drrDb = 0.0;          // direct-to-reverberant energy ratio
  enum Kind { kKey, kNoise, kChirps, kTones, kMusic } kind = kKey;
};

struct ChannelTrial {
  std::vector<int16_t> samples;  // the capture, mono 16-bit
  int64_t signalStart = -1;      // capture frame where the key's signal begins; -1: none
  std::string shareKey;          // the six letters sent; empty on negative trials
};

// Any thread. Seconds of capture in one trial.
double TrialSeconds();

// Any thread. One trial of condition under seed.
ChannelTrial MakeTrial(const ChannelCondition& condition, uint64_t seed);
