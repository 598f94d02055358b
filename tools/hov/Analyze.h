// What hov analyze finds in a recording, for a person finding out why a receiver does not hear
// a key: the level of every tone against the noise between them over time, what each of the
// receiver's ten staggered decoders makes of its window, their vote, and a one-line verdict.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hov/modem.h"
#include "modem/OnAir.h"

namespace analyze {

constexpr int kTones = onair::kToneCount;
constexpr int kPhases = onair::kFramesPerSymbol;
constexpr int kDecoders = onair::kDecoderCount;
constexpr double kRowSeconds = 0.1;

// One 0.1 s stretch of the file.
struct LevelRow {
  double start = 0.0;          // seconds
  double noiseDb = 0.0;        // band noise: median bin between the tones' neighbours, dBFS
  double toneDb[kTones] = {};  // each tone's bin, dB above noiseDb
};

// One of the ten decoders, as the receiver's sink runs it.
struct DecoderReport {
  int number = 0;         // 1..10
  int64_t delay = 0;      // frames into the file where its window starts
  bool complete = false;  // its window ended inside the file
  float phaseScores[kPhases] = {};
  int bestPhase = 0;
  std::vector<uint32_t> tones;  // the strongest tone of each frame of the best phase
  bool packet = false;          // a separator was found
  std::vector<uint8_t> bytes;   // the packet
  std::string key;              // the share key of the packet; empty: the check failed
  bool late = false;            // the packet came only after the window, on re-reads
  int64_t packetFrame = -1;     // end of the stream buffer that brought its packet; -1: none
  int votes = 0;                // its key's count after its vote (0: no vote)
  bool accepting = false;       // its vote accepted the key
};

// The spectrogram of 18.5 to 20.5 kHz: 1024-point Hann frames every hop frames.
struct Spectrogram {
  int32_t firstBin = 0;
  int32_t lastBin = -1;
  int32_t hop = 256;
  int32_t columns = 0;
  std::vector<float> db;          // [column][bin - firstBin], dBFS
  int32_t toneBins[kTones] = {};  // bin nearest each tone the sender plays
};

struct Report {
  int32_t sampleRate = 0;
  int64_t frames = 0;
  double fileDb = -200.0;       // the whole file, dB against a full-scale sine
  double bandDb = -200.0;       // 19.1 to 19.9 kHz
  double referenceDb = -200.0;  // 12 to 16 kHz, per bin
  double bandBinDb = -200.0;    // 19.1 to 19.9 kHz, per bin
  double noiseDb = -200.0;      // band noise over the file, per bin
  double toneAboveNoiseDb = 0;  // the louder quarter of the 0.1 s stretches
  std::vector<LevelRow> rows;
  int64_t windowFrames = 0;  // a decoder's window, in the file's frames
  double frameFrames = 0.0;  // one of the receiver's FFT frames, in the file's frames
  std::vector<DecoderReport> decoders;
  int acceptedBy[2] = {0, 0};          // the two decoders that agreed first
  bool robust = false;                 // the robust receiver ran instead of the ten decoders
  hov_modem_robust_view robustView{};  // its last search
  std::string acceptedKey;
  int64_t acceptedFrame = -1;
  std::string verdict;
  Spectrogram spectrogram;
};

// Caller's thread. Analyses samples (the first channel, in 16-bit units) recorded at
// sampleRate; the modem library's decoder (receiver: HOV_MODEM_RECEIVER_*) is fed buffers of
// bufferFrames as a capture would feed them, resampling to its own rate inside.
Report Analyze(const std::vector<float>& samples, int32_t sampleRate, int32_t bufferFrames,
               int receiver);

}  // namespace analyze
