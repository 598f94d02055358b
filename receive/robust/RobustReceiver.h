// The robust receiver: hears the repeating share-key packet at any capture rate, through a sender
// clock error of several thousand ppm, echo and noise, and commits a key only when every symbol of
// the packet stands clear of its rivals.
//
// The band of the 16 tones is mixed down and decimated to about 1500 complex samples per second.
// Every eighth of a symbol a spectrum of the last three eighths is taken, and a symbol is read from
// the geometric mean of a symbol's worth of them (a reverberant room makes a tone's energy swing
// within a symbol). Once enough frames hold a clear peak, every symbol a search tries the frequency
// offsets (one spectrum bin apart, each fixing the symbol length it implies) whose tone grid holds
// most recent peaks, and every symbol phase. It reads the symbols one by one, divides out the
// square root of each symbol's predecessor (its echo), sums the readings of each cycle position
// over up to three repetitions and aligns the cycle on its two tone-0 separator symbols. A key is
// committed when every position's margin clears a threshold, no symbol sits on the two tones beyond
// either end of the band, at least four symbols have been read twice and every reading agrees, a
// tone repeated in a row keeps its energy, the codec accepts the word, a neighbouring phase reads
// the same key and no hypothesis commits another key. Where symbols leave a tail at every phase
// (noise alone leaves none at the phase on the symbols), an echo in place of a faded tone is what
// to fear: no close runner-up (nor two at once), no tone beside a repeated one or in the last
// place, may spell another word, the packet read one symbol later must not spell one either, nor,
// when it ends on tone 0, the packet read one symbol earlier, and no position may be far weaker
// than the rest. There too the room fit (RoomFit) has the last word: a key is committed only when
// one room response explains the last second or so of signal through the word's own bursts far
// better than through any plausible change of one symbol, and a word refused on its energies may
// be confirmed that way, or one a few such changes from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

struct kiss_fft_state;
class RoomFit;

// What the receiver has found so far.
struct RobustResult {
  int32_t code = 0;             // 0 still listening, 1 a key is committed
  uint8_t key[4] = {};          // the encoded key as received (codec-checked) when code is 1
  int64_t samplePosition = -1;  // input samples consumed when the key was committed
};

// What the last search saw on its best hypothesis, for the analysis tool.
struct RobustInspection {
  static constexpr int kPositions = 10;   // symbols in one packet cycle
  static constexpr int kRepetitions = 3;  // packets summed at most
  int64_t samplePosition = -1;            // input samples consumed at this search
  int64_t searches = 0;                   // searches run so far
  int32_t repetitions = 0;                // packets summed on the best hypothesis
  int32_t shiftBins = 0;                  // frequency offset in spectrum bins
  double offsetPpm = 0.0;                 // the sender's clock error this offset implies
  int32_t phase = 0;                      // symbol phase, in eighths of a symbol
  int32_t separator = -1;                 // cycle position of the first separator symbol
  // Tone of each cycle position, oldest first, per repetition (row 0 newest; -2 where not
  // read) and summed; -1 and 16 stand for tones below and above the band.
  int32_t tones[kRepetitions][kPositions] = {};
  int32_t summed[kPositions] = {};
  float margins[kPositions] = {};  // best minus second, per repetition, in noise-floor units
  float rivals[kPositions] = {};   // second over best
  float minMargin = 0.0f;
  const char* verdict = "listening";  // why the best hypothesis was accepted or refused
};

class RobustReceiver {
 public:
  // Any thread (then used by one thread at a time). Allocates everything it will ever use for
  // capture at sampleRate (8000 Hz or more: the band must lie below half the rate).
  explicit RobustReceiver(double sampleRate);
  ~RobustReceiver();
  RobustReceiver(const RobustReceiver&) = delete;
  RobustReceiver& operator=(const RobustReceiver&) = delete;

  // The feeding thread. Takes n mono samples (any scale); true once a key is committed, after
  // which further samples are ignored. Allocates nothing.
  bool Feed(const float* samples, int32_t n);
  bool Feed(const int16_t* samples, int32_t n);

  // The feeding thread, or another once Feed has returned. The result so far.
  const RobustResult& Result() const { return m_result; }
  // The feeding thread, or another once Feed has returned. The last search's best hypothesis.
  const RobustInspection& Inspect() const { return m_inspection; }
  // Any thread. The capture rate this receiver was made for.
  double SampleRate() const { return m_sampleRate; }

 private:
  struct Candidate;

  template <typename Sample>
  bool Take(const Sample* samples, int32_t n);
  void Decimated(float re, float im);
  void Analyse();
  void Search();
  size_t Smooth(int64_t frame, int32_t span, bool asEcho, float* rows, std::vector<int64_t>& done);
  int32_t Read(int32_t shift, int32_t phase);
  bool Evaluate(int32_t slots, Candidate* out) const;
  static constexpr int kCellCount = 20;  // the 16 tones and two beyond each edge of the band
  bool RivalSpells(const Candidate& c, const float (*sums)[kCellCount], uint32_t from,
                   const uint8_t* key) const;
  bool EarlierSpells(const Candidate& c, const float (*sums)[kCellCount]) const;
  float LateTail(const Candidate& c, int32_t shift, int32_t phase, int32_t slots) const;
  bool FitRoom(const Candidate& c, int32_t shift, int32_t phase, bool accepted, uint8_t* key);

  double m_sampleRate;
  int64_t m_consumed = 0;
  RobustResult m_result;
  RobustInspection m_inspection;

  // Mixer and decimating filter (a triangle over two blocks of m_decimation samples).
  int32_t m_decimation;
  std::vector<float> m_riseRe, m_riseIm, m_fallRe, m_fallIm;
  double m_blockPhaseRe = 1.0, m_blockPhaseIm = 0.0;
  double m_blockStepRe = 1.0, m_blockStepIm = 0.0;
  int32_t m_inBlock = 0;
  float m_riseAccRe = 0, m_riseAccIm = 0, m_fallAccRe = 0, m_fallAccIm = 0;
  float m_carryRe = 0, m_carryIm = 0;  // the previous block's rising half, rotated

  // Decimated samples and their spectra.
  double m_symbolLength;  // decimated samples per symbol at zero clock error
  int32_t m_hop, m_window, m_bandHalf, m_bandWidth;
  double m_binHz;
  double m_centreHz;
  std::vector<float> m_baseRe, m_baseIm;  // ring of decimated samples
  int64_t m_decimatedCount = 0;
  kiss_fft_state* m_fft = nullptr;
  std::vector<float> m_fftIn, m_fftOut;  // interleaved complex
  std::vector<float> m_equalise;         // per band bin: 1 / filter power response
  std::vector<float> m_scratch;
  std::vector<float> m_frames;  // ring of frames: log2 (kLogFloor + power over the floor) per bin
  std::unique_ptr<float[]> m_smoothed;   // ring: a symbol's geometric mean ending at each frame
  std::vector<int64_t> m_smoothedAt;     // ring: the frame each smoothed row is for, or -1
  std::unique_ptr<float[]> m_echoScale;  // ring: the factor that divides out a symbol's echo
  std::vector<int64_t> m_echoScaleAt;    // ring: the frame each such row is for, or -1
  std::vector<uint8_t> m_peaky;          // ring: 1 when a frame holds a clear peak
  std::vector<float> m_floors;           // ring: each frame's noise floor
  std::vector<float> m_floorScratch;
  double m_floorToNoise = 1.0;  // floor to noise power per decimated sample
  std::unique_ptr<RoomFit> m_fit;
  int64_t m_lastFit = -1000;       // the search that last ran the room fit
  int32_t m_fitShift = INT32_MIN;  // the offset whose clock error it found last
  double m_fitClock = 0.0;         // and that error
  int64_t m_frameCount = 0;
  int32_t m_peakyRecent = 0;
  // The weakest tail (over the symbols' own energy) of any reading last search that passed the
  // check with every reading agreeing; until one has, the channel counts as echoic.
  float m_cleanestTail = std::numeric_limits<float>::infinity();

  // Hypotheses.
  int32_t m_maxShift;
  std::vector<int32_t> m_toneBins;        // [shift][tone] band index, tones -1..16
  std::vector<double> m_framesPerSymbol;  // [shift]
  std::vector<int8_t> m_cellOf;           // [shift][band bin] tone cell, or -1
  std::vector<int32_t> m_shiftVotes;      // [shift] recent clear peaks on that offset's tones
  std::vector<int32_t> m_peakBin;         // ring: each frame's loudest band bin
  std::vector<float> m_gather;            // [slot][cell], newest slot first
  std::vector<float> m_echoGather;        // [slot][cell] the echo factor each puts on the next slot
  std::vector<float> m_echoFree;          // [slot][cell] after the echo is taken away
  std::vector<int32_t> m_reading;         // [slot] loudest cell of each slot alone, as a tone
  std::vector<int32_t> m_bestReading;
};
