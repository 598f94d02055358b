#include "receive/robust/RobustReceiver.h"

#include <kiss_fft.h>

#include <algorithm>
#include <bitset>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "codec/ShareKeyEncoder.h"
#include "modem/ModemParams.h"
#include "modem/OnAir.h"
#include "receive/robust/RoomFit.h"
#include "receive/robust/Triangle.h"

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr float kSenderRate = onair::kSampleRate;  // the rate every sender renders its bursts at
constexpr uint32_t kPayloadBytes = 4;              // the encoded key
constexpr int kPositions = RobustInspection::kPositions;
constexpr int kRepetitions = RobustInspection::kRepetitions;
constexpr int kTones = 16;
constexpr int kEdge = 2;                    // tones watched beyond each edge of the band
constexpr int kCells = kTones + 2 * kEdge;  // cells: the tones and those beyond the edges
constexpr int32_t kMaxSlots = kRepetitions * kPositions;  // symbols read at most
constexpr int32_t kFirstSlots = kPositions + 4;           // a cycle and four symbols read twice
constexpr int32_t kNoReading = -2;

constexpr double kBaseRate = 1500.0;       // decimated rate aimed at, complex samples per second
constexpr int32_t kFftSize = 128;          // spectrum of one frame, zero-padded
constexpr int32_t kBaseRing = 4096;        // decimated samples kept (power of two): 2.7 s
constexpr int32_t kFrameRing = 288;        // frames kept: three cycles, a symbol and its smoothing
constexpr int32_t kPhases = 8;             // frames per symbol, the symbol phases searched
constexpr double kWindowShare = 0.375;     // a frame spans the later part of a symbol
constexpr int32_t kSmooth = kPhases;       // frames averaged into one reading: a symbol's worth
constexpr int32_t kEchoSpan = 5;           // frames averaged into a symbol's level as an echo,
constexpr int32_t kEchoLag = 2;            // ending this many frames before its reading's last
constexpr double kMaxClockError = 6.5e-3;  // frequency offsets searched, either way
constexpr float kLogFloor = 3.0f;          // added to every power before its logarithm is taken
constexpr float kEchoicTail = 0.04f;       // a tail this strong calls for the echo checks
constexpr float kRepeatHold = 0.8f;        // a repeated tone keeps this much of its energy,
constexpr float kHoldSlack = 2.0f;         // give or take this much noise (floor units per reading)
constexpr float kRepeatRival = 0.25f;      // a tone this loud beside a repeat must not spell a word
constexpr float kRivalShare = 0.4f;        // a runner-up this close must not spell a word,
constexpr size_t kRivalsAtOnce = 2;        // nor such runner-ups put in together
constexpr float kFadedShare = 0.3f;        // a faded first symbol keeps this much over the echo
constexpr float kShiftRival = 0.05f;       // a runner-up this close may stand in a shifted word
constexpr float kUneven = 0.05f;           // the weakest margin against the median one
constexpr float kMinMargin = 4.0f;         // every position's margin, noise-floor units
constexpr float kPeakGate = 20.0f;         // a frame with a peak this far over its floor
constexpr int32_t kGateSpan = kPhases * kPositions;  // frames over which peaks are counted
constexpr int32_t kGateCount = kGateSpan / 4;        // peaks needed there to start a search
constexpr int32_t kSearchEvery = kPhases;            // frames between searches
// The room fit: where symbols leave a tail, a word is confirmed by fitting the room's response.
constexpr double kFitSettle = 0.2;            // left out after the signal's start: the room fills
constexpr double kClockSeconds = 0.35;        // fitted while the clock error is searched
constexpr double kClockStepHz = 1.0;          // its grid
constexpr double kFitMargin = 100.0;          // every plausible other word leaves this much more,
constexpr double kRefusedMargin = 120.0;      // or this much for a word the energies refused,
constexpr double kMovedMargin = 150.0;        // or this much for a word the fit moved to
constexpr double kFitUnexplained = 0.3;       // of what was heard, the word leaves at most this
constexpr double kFitHopeless = 0.6;          // a word leaving this much is not worth changing
constexpr int32_t kFitMoves = 3;              // cheaper words moved to at most
constexpr float kFitTail = 0.15f;             // the fit judges where symbols leave this much tail,
constexpr float kFitTailSignificance = 8.0f;  // standing this far out of the noise's spread,
constexpr float kLateTail = 0.05f;            // or this much at the end of the next symbol

// log2 x for x >= 1 and 2 to the x for x >= 0, to five digits: readings only compare powers.
float Log2(float x) {
  uint32_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  const int32_t exponent = static_cast<int32_t>(bits >> 23) - 127;
  bits = (bits & 0x7fffffu) | 0x3f800000u;
  float m;  // in [1, 2)
  std::memcpy(&m, &bits, sizeof m);
  const float t = (m - 1.0f) / (m + 1.0f), t2 = t * t;  // ln m = 2 atanh t, t below 1/3
  const float ln = 2.0f * t * (1.0f + t2 * (1.0f / 3 + t2 * (1.0f / 5 + t2 * (1.0f / 7))));
  return static_cast<float>(exponent) + ln * 1.44269504f;
}

float Exp2(float x) {
  const float whole = std::floor(x);
  const float z = (x - whole) * 0.693147181f;  // e to the z is 2 to the fraction
  const float e =
      1.0f +
      z * (1.0f + z * (0.5f + z * (1.0f / 6 + z * (1.0f / 24 + z * (1.0f / 120 + z / 720)))));
  const uint32_t bits = static_cast<uint32_t>(static_cast<int32_t>(whole) + 127) << 23;
  float scale;
  std::memcpy(&scale, &bits, sizeof scale);
  return e * scale;
}

// A tone as the inspection shows it: -1 and 16 for any below and above the band.
int32_t Shown(int32_t tone) {
  return std::clamp(tone, -1, kTones);
}

// True when the encoded key passes the codec's check.
bool Spells(const uint8_t* key) {
  std::string word(reinterpret_cast<const char*>(key), kPayloadBytes), letters;
  return ShareKeyEncoder::Decode(word, &letters);
}

// The encoded key a cycle of tones carries, its payload starting two after the separator's first.
void PackKey(const int32_t* tones, int32_t separator, uint8_t* key) {
  for (uint32_t j = 0; j < kPayloadBytes; ++j) {
    key[j] = static_cast<uint8_t>(tones[(separator + 2 + 2 * j) % kPositions] << 4 |
                                  tones[(separator + 3 + 2 * j) % kPositions]);
  }
}

// Puts tone in payload symbol j of key (even j the high nibble of byte j / 2).
void SetNibble(uint8_t* key, uint32_t j, int32_t tone) {
  const int shift = j % 2 == 0 ? 4 : 0;
  key[j / 2] = static_cast<uint8_t>((key[j / 2] & ~(15 << shift)) | (tone & 15) << shift);
}

uint32_t Packed(const uint8_t* key) {
  return static_cast<uint32_t>(key[0]) << 24 | static_cast<uint32_t>(key[1]) << 16 |
         static_cast<uint32_t>(key[2]) << 8 | key[3];
}

}  // namespace

struct RobustReceiver::Candidate {
  bool valid = false;     // separator found, no edge tone, every high nibble non-zero
  bool checked = false;   // and the codec accepts the word
  bool agreed = false;    // and every single reading shows its position's tone
  bool confirms = false;  // and it passes every test but the size or evenness of its margins
  bool echoic = false;    // symbols leave a tail in the next one
  float tail = 0.0f;      // how much: the tail over the symbols' own energy
  float tailSignificance = 0.0f;  // the tail's energy over the square root of the symbols' own
  float minMargin = 0.0f;
  float score = 0.0f;
  int32_t separator = -1;
  int32_t tones[kPositions] = {};
  int32_t runnerUp[kPositions] = {};  // the second loudest tone
  float margins[kPositions] = {};
  float rivals[kPositions] = {};
  uint8_t key[4] = {};
  const char* verdict = "";
};

RobustReceiver::RobustReceiver(double sampleRate) : m_sampleRate(sampleRate) {
  static_assert(kCellCount == kCells, "one cell per tone and per watched tone beyond the edges");
  ModemParams* params = CreateModemParams(kSenderRate, kPayloadBytes);
  double tone[kTones];
  for (int k = 0; k < kTones; ++k) {
    tone[k] = params->toneFrequencies[k];
  }
  const double symbolSeconds = params->symbolSamples / static_cast<double>(kSenderRate);
  DestroyModemParams(params);
  const double spacing = tone[1] - tone[0];
  const double centre = 0.5 * (tone[0] + tone[kTones - 1]);
  m_centreHz = centre;

  m_decimation = std::max(1, static_cast<int32_t>(std::lround(sampleRate / kBaseRate)));
  const double baseRate = sampleRate / m_decimation;
  m_symbolLength = symbolSeconds * baseRate;
  m_hop = std::max(1, static_cast<int32_t>(std::lround(m_symbolLength / kPhases)));
  m_window = std::min(kFftSize, static_cast<int32_t>(std::lround(kWindowShare * m_symbolLength)));
  m_binHz = baseRate / kFftSize;
  m_maxShift = static_cast<int32_t>(std::ceil(centre * kMaxClockError / m_binHz));
  const double reach = (kTones / 2 + kEdge - 0.5) * spacing + centre * kMaxClockError;
  m_bandHalf = static_cast<int32_t>(std::ceil(reach / m_binHz)) + 1;
  m_bandWidth = 2 * m_bandHalf + 1;

  // Mixer and triangle filter: block b's rising half and block b + 1's falling half make one
  // decimated sample.
  const double omega = kTwoPi * centre / sampleRate;
  const int32_t d = m_decimation;
  m_riseRe.resize(d);
  m_riseIm.resize(d);
  m_fallRe.resize(d);
  m_fallIm.resize(d);
  for (int32_t n = 0; n < d; ++n) {
    const double c = std::cos(omega * n), s = -std::sin(omega * n);
    const double rise = TriangleWeight(d, n), fall = TriangleWeight(d, d + n);
    m_riseRe[n] = static_cast<float>(c * rise);
    m_riseIm[n] = static_cast<float>(s * rise);
    m_fallRe[n] = static_cast<float>(c * fall);
    m_fallIm[n] = static_cast<float>(s * fall);
  }
  m_blockStepRe = std::cos(omega * d);
  m_blockStepIm = -std::sin(omega * d);

  // The filter's power response at every band bin, undone so that white noise stays flat.
  m_equalise.resize(m_bandWidth);
  for (int32_t b = 0; b < m_bandWidth; ++b) {
    const double gain = TriangleGain(d, (b - m_bandHalf) * m_binHz / sampleRate);
    m_equalise[b] = static_cast<float>(1.0 / std::max(gain * gain, 1e-9));
  }

  m_baseRe.assign(kBaseRing, 0.0f);
  m_baseIm.assign(kBaseRing, 0.0f);
  m_fft = AcquireForwardFft(kFftSize);
  m_fftIn.assign(2 * kFftSize, 0.0f);
  m_fftOut.assign(2 * kFftSize, 0.0f);
  m_scratch.assign(m_bandWidth, 0.0f);
  m_frames.assign(static_cast<size_t>(kFrameRing) * m_bandWidth, 0.0f);
  // Rows of these rings are written before they are read: left unset, their pages are only
  // touched once a search needs them.
  m_smoothed.reset(new float[static_cast<size_t>(kFrameRing) * m_bandWidth]);
  m_smoothedAt.assign(kFrameRing, -1);
  m_echoScale.reset(new float[static_cast<size_t>(kFrameRing) * m_bandWidth]);
  m_echoScaleAt.assign(kFrameRing, -1);
  m_peaky.assign(kFrameRing, 0);
  m_floors.assign(kFrameRing, 0.0f);
  m_floorScratch.assign(kFrameRing, 0.0f);
  m_fit.reset(new RoomFit(sampleRate, m_decimation, centre));
  // A frame's noise floor (the band's median power, the filter undone) as noise power per
  // decimated sample: the median of an exponential is ln 2 times its mean.
  double triangle = 0.0;
  for (int32_t n = 0; n < d; ++n) {
    triangle += 2.0 * TriangleWeight(d, n) * TriangleWeight(d, n);
  }
  m_floorToNoise = d * triangle / (0.6931471805599453 * m_window);

  // Each frequency offset stands for a clock error, which also sets the symbol length.
  const int32_t shifts = 2 * m_maxShift + 1;
  m_toneBins.resize(static_cast<size_t>(shifts) * kCells);
  m_framesPerSymbol.resize(shifts);
  for (int32_t s = -m_maxShift; s <= m_maxShift; ++s) {
    const double error = s * m_binHz / centre;
    for (int c = 0; c < kCells; ++c) {
      const double f = tone[0] + (c - kEdge) * spacing;
      const double offset = (f * (1.0 + error) - centre) / m_binHz;
      m_toneBins[(s + m_maxShift) * kCells + c] =
          static_cast<int32_t>(std::lround(offset)) + m_bandHalf;
    }
    m_framesPerSymbol[s + m_maxShift] = m_symbolLength / (1.0 + error) / m_hop;
  }
  m_gather.assign(static_cast<size_t>(kMaxSlots + 1) * kCells, 0.0f);
  m_echoGather.assign(static_cast<size_t>(kMaxSlots + 1) * kCells, 0.0f);
  m_echoFree.assign(static_cast<size_t>(kMaxSlots) * kCells, 0.0f);
  m_reading.assign(kMaxSlots, 0);
  m_bestReading.assign(kMaxSlots, 0);
  // Which tone (if any) each band bin is under each offset, for the offsets' votes: the tones
  // and the one just beyond each edge.
  m_cellOf.assign(static_cast<size_t>(shifts) * m_bandWidth, -1);
  for (int32_t s = 0; s < shifts; ++s) {
    for (int c = kEdge - 1; c <= kEdge + kTones; ++c) {
      const int32_t b = m_toneBins[s * kCells + c];
      if (b >= 0 && b < m_bandWidth) {
        m_cellOf[s * m_bandWidth + b] = static_cast<int8_t>(c);
      }
    }
  }
  m_shiftVotes.assign(shifts, 0);
  m_peakBin.assign(kFrameRing, -1);
}

RobustReceiver::~RobustReceiver() {
  ReleaseForwardFft(kFftSize, m_fft);
}

// Mixes each block down and weighs it into two triangles: its rising half makes this decimated
// sample with the last block's falling half. A key can only be committed once a block is done.
template <typename Sample>
bool RobustReceiver::Take(const Sample* samples, int32_t n) {
  int32_t i = 0;
  while (i < n && m_result.code == 0) {
    const int32_t from = m_inBlock;
    const int32_t count = std::min(n - i, m_decimation - from);
    float riseRe = m_riseAccRe, riseIm = m_riseAccIm, fallRe = m_fallAccRe, fallIm = m_fallAccIm;
    for (int32_t k = 0; k < count; ++k) {
      const float x = static_cast<float>(samples[i + k]);
      riseRe += x * m_riseRe[from + k];
      riseIm += x * m_riseIm[from + k];
      fallRe += x * m_fallRe[from + k];
      fallIm += x * m_fallIm[from + k];
    }
    i += count;
    m_consumed += count;
    m_inBlock += count;
    if (m_inBlock < m_decimation) {
      m_riseAccRe = riseRe;
      m_riseAccIm = riseIm;
      m_fallAccRe = fallRe;
      m_fallAccIm = fallIm;
      break;
    }
    m_inBlock = 0;
    const float pr = static_cast<float>(m_blockPhaseRe), pi = static_cast<float>(m_blockPhaseIm);
    const float outRe = m_carryRe + pr * fallRe - pi * fallIm;
    const float outIm = m_carryIm + pr * fallIm + pi * fallRe;
    m_carryRe = pr * riseRe - pi * riseIm;
    m_carryIm = pr * riseIm + pi * riseRe;
    m_riseAccRe = m_riseAccIm = m_fallAccRe = m_fallAccIm = 0.0f;
    const double re = m_blockPhaseRe * m_blockStepRe - m_blockPhaseIm * m_blockStepIm;
    const double im = m_blockPhaseRe * m_blockStepIm + m_blockPhaseIm * m_blockStepRe;
    const double norm = 1.0 / std::sqrt(re * re + im * im);
    m_blockPhaseRe = re * norm;
    m_blockPhaseIm = im * norm;
    Decimated(outRe, outIm);
  }
  return m_result.code != 0;
}

bool RobustReceiver::Feed(const float* samples, int32_t n) {
  return Take(samples, n);
}

bool RobustReceiver::Feed(const int16_t* samples, int32_t n) {
  return Take(samples, n);
}

void RobustReceiver::Decimated(float re, float im) {
  const int32_t at = static_cast<int32_t>(m_decimatedCount & (kBaseRing - 1));
  m_baseRe[at] = re;
  m_baseIm[at] = im;
  ++m_decimatedCount;
  if (m_decimatedCount >= m_window && (m_decimatedCount - m_window) % m_hop == 0) {
    Analyse();
  }
}

void RobustReceiver::Analyse() {
  const int64_t first = m_decimatedCount - m_window;
  for (int32_t j = 0; j < m_window; ++j) {
    const int32_t at = static_cast<int32_t>((first + j) & (kBaseRing - 1));
    m_fftIn[2 * j] = m_baseRe[at];
    m_fftIn[2 * j + 1] = m_baseIm[at];
  }
  kiss_fft(m_fft, reinterpret_cast<const kiss_fft_cpx*>(m_fftIn.data()),
           reinterpret_cast<kiss_fft_cpx*>(m_fftOut.data()));

  const int32_t slot = static_cast<int32_t>(m_frameCount % kFrameRing);
  float* row = &m_frames[static_cast<size_t>(slot) * m_bandWidth];
  for (int32_t b = 0; b < m_bandWidth; ++b) {
    const int32_t bin = (b - m_bandHalf + kFftSize) % kFftSize;
    const float re = m_fftOut[2 * bin], im = m_fftOut[2 * bin + 1];
    row[b] = (re * re + im * im) * m_equalise[b];
    m_scratch[b] = row[b];
  }
  // The median of the band is the noise floor: a few tones and their echoes do not move it.
  std::nth_element(m_scratch.begin(), m_scratch.begin() + m_bandHalf, m_scratch.end());
  const float floor = m_scratch[m_bandHalf] + 1e-30f;
  m_floors[m_frameCount % kFrameRing] = floor;
  float peak = 0.0f;
  int32_t peakBin = 0;
  for (int32_t b = 0; b < m_bandWidth; ++b) {
    const float power = row[b] / floor;
    if (power > peak) {
      peak = power;
      peakBin = b;
    }
    row[b] = Log2(kLogFloor + power);  // kept as a logarithm: readings are geometric means
  }
  const uint8_t peaky = peak >= kPeakGate ? 1 : 0;
  // Recent clear peaks vote for every offset whose tone grid they lie on.
  const int32_t shifts = 2 * m_maxShift + 1;
  const int32_t leaving = static_cast<int32_t>((m_frameCount - kGateSpan) % kFrameRing);
  if (m_frameCount >= kGateSpan) {
    m_peakyRecent -= m_peaky[leaving];
    if (m_peaky[leaving]) {
      for (int32_t s = 0; s < shifts; ++s) {
        m_shiftVotes[s] -= m_cellOf[s * m_bandWidth + m_peakBin[leaving]] >= 0 ? 1 : 0;
      }
    }
  }
  m_peaky[slot] = peaky;
  m_peakBin[slot] = peakBin;
  m_peakyRecent += peaky;
  if (peaky) {
    for (int32_t s = 0; s < shifts; ++s) {
      m_shiftVotes[s] += m_cellOf[s * m_bandWidth + peakBin] >= 0 ? 1 : 0;
    }
  }
  ++m_frameCount;
  if (m_frameCount % kSearchEvery == 0 && m_peakyRecent >= kGateCount) {
    Search();
  }
}

// True when tones loud enough put in place of repeated tones or of the last one, at payload
// symbols from `from` on (one or more of them at once), spell a word that passes the check.
bool RobustReceiver::RivalSpells(const Candidate& c, const float (*sums)[kCellCount], uint32_t from,
                                 const uint8_t* key) const {
  for (uint32_t j = from; j < 2 * kPayloadBytes; ++j) {
    const int p = (c.separator + 2 + static_cast<int>(j)) % kPositions;
    const int q = (p + kPositions - 1) % kPositions;
    const int r = (p + 1) % kPositions;
    if (c.tones[p] != c.tones[q] && c.tones[p] != c.tones[r] && j + 1 < 2 * kPayloadBytes) {
      continue;
    }
    const float top = sums[p][c.tones[p] + kEdge];
    for (int z = (j % 2 == 0 ? 1 : 0); z < kTones; ++z) {
      if (z == c.tones[p] || sums[p][z + kEdge] < kRepeatRival * top) {
        continue;
      }
      uint8_t other[4];
      std::copy(key, key + 4, other);
      SetNibble(other, j, z);
      if (Spells(other) || RivalSpells(c, sums, j + 1, other)) {
        return true;
      }
    }
  }
  return false;
}

// True when the packet read one symbol earlier spells a word: its first symbol any tone heard at
// the last separator symbol (a faded tone under the separator's echo), and at most one other
// symbol its close runner-up.
bool RobustReceiver::EarlierSpells(const Candidate& c, const float (*sums)[kCellCount]) const {
  const int faded = (c.separator + 1) % kPositions;
  for (int z = 1; z < kTones; ++z) {
    if (sums[faded][z + kEdge] < kFadedShare * sums[faded][kEdge]) {
      continue;
    }
    for (int swapped = -1; swapped < static_cast<int>(2 * kPayloadBytes); ++swapped) {
      uint8_t word[4] = {};
      bool possible = true;
      for (int j = 0; j < static_cast<int>(2 * kPayloadBytes); ++j) {
        const int p = (c.separator + 1 + j) % kPositions;
        int32_t tone = j == 0 ? z : c.tones[p];
        if (j == swapped && j > 0) {
          possible = possible && c.rivals[p] >= kShiftRival;
          tone = c.runnerUp[p];
        }
        possible = possible && tone >= (j % 2 == 0 ? 1 : 0) && tone < kTones;
        SetNibble(word, static_cast<uint32_t>(j), tone);
      }
      if (possible && Spells(word)) {
        return true;
      }
    }
  }
  return false;
}

bool RobustReceiver::Evaluate(int32_t slots, Candidate* out) const {
  Candidate& c = *out;
  c = Candidate();
  // Evidence per cycle position: the sum of its readings among the newest slots.
  float sums[kPositions][kCells] = {};
  float raw[kPositions][kCells] = {};  // as heard, echo included
  int32_t readings[kPositions] = {};
  for (int32_t i = 0; i < slots; ++i) {
    const float* e = &m_echoFree[i * kCells];
    const float* g = &m_gather[i * kCells];
    const int p = kPositions - 1 - i % kPositions;  // positions run oldest first
    for (int k = 0; k < kCells; ++k) {
      sums[p][k] += e[k];
      raw[p][k] += g[k];
    }
    ++readings[p];
  }
  float total = 0.0f;
  float minMargin = 1e30f;
  for (int p = 0; p < kPositions; ++p) {
    const float* cell = sums[p];
    int best = 0;
    for (int k = 1; k < kCells; ++k) {
      if (cell[k] > cell[best]) {
        best = k;
      }
    }
    float second = -1e30f;
    for (int k = 0; k < kCells; ++k) {
      if (k != best && cell[k] > second) {
        second = cell[k];
        c.runnerUp[p] = k - kEdge;
      }
    }
    c.tones[p] = best - kEdge;
    c.rivals[p] = second / std::max(cell[best], 1e-30f);
    c.margins[p] = (cell[best] - second) / static_cast<float>(std::max(1, readings[p]));
    total += c.margins[p];
    minMargin = std::min(minMargin, c.margins[p]);
  }
  c.minMargin = minMargin;
  c.score = total;
  for (int p = 0; p < kPositions; ++p) {
    if (c.tones[p] < 0 || c.tones[p] >= kTones) {
      c.verdict = "edge tone";
      return false;
    }
  }
  // The separator is a pair of tone-0 symbols followed by a high nibble, which is never 0.
  int found = 0;
  for (int p = 0; p < kPositions; ++p) {
    if (c.tones[p] == 0 && c.tones[(p + 1) % kPositions] == 0 &&
        c.tones[(p + 2) % kPositions] != 0) {
      c.separator = p;
      ++found;
    }
  }
  if (found != 1) {
    c.verdict = "no separator";
    return false;
  }
  PackKey(c.tones, c.separator, c.key);
  for (uint32_t j = 0; j < kPayloadBytes; ++j) {
    if (c.key[j] >> 4 == 0) {
      c.verdict = "zero high nibble";
      return false;
    }
  }
  c.valid = true;
  c.checked = Spells(c.key);
  // Every single reading must show its position's tone: a packet repeats, music does not.
  c.agreed = true;
  for (int32_t i = 0; i < slots; ++i) {
    c.agreed = c.agreed && m_reading[i] == c.tones[kPositions - 1 - i % kPositions];
  }
  // How much of each symbol's energy is still there in the next one, over the noise floor (one
  // unit per reading): next to nothing on a dry channel, a good part of it in a reverberant room.
  // A phase that reads across symbol boundaries shows a tail of its own, and in strong noise so
  // may any phase: the channel counts as echoic only while no phase read it clean last search.
  float tail = 0.0f, own = 0.0f;
  for (int p = 0; p < kPositions; ++p) {
    const int q = (p + kPositions - 1) % kPositions;
    if (c.tones[p] != c.tones[q]) {
      tail += raw[p][c.tones[q] + kEdge] - static_cast<float>(readings[p]);
      own += raw[q][c.tones[q] + kEdge];
    }
  }
  c.tail = tail / std::max(own, 1e-6f);
  c.tailSignificance = tail / std::sqrt(std::max(own, 1e-6f));
  c.echoic = c.tail >= kEchoicTail && m_cleanestTail >= kEchoicTail;
  // Where symbols leave a tail, the separator's echo in place of a faded first symbol reads as a
  // packet one symbol late that ends on tone 0: such a packet is refused when the packet one
  // symbol earlier, with a faded tone in place of the last separator symbol, could spell a word.
  if (c.echoic && c.tones[(c.separator + kPositions - 1) % kPositions] == 0 &&
      EarlierSpells(c, sums)) {
    c.verdict = "tone 0 before separator";
    return false;
  }
  // And the third of three tone-0 symbols, read as the next tone, reads as a packet one symbol
  // early that starts on a repeated tone: it must not spell a word read one symbol later.
  if (c.echoic &&
      c.tones[(c.separator + 2) % kPositions] == c.tones[(c.separator + 3) % kPositions]) {
    uint8_t later[4];
    for (uint32_t j = 0; j < kPayloadBytes; ++j) {
      const int32_t high = c.tones[(c.separator + 3 + 2 * j) % kPositions];
      const int32_t low =
          j + 1 < kPayloadBytes ? c.tones[(c.separator + 4 + 2 * j) % kPositions] : 0;
      later[j] = static_cast<uint8_t>(high << 4 | low);
    }
    if (Spells(later)) {
      c.verdict = "shifted word";
      return false;
    }
  }
  // A tone read twice in a row must not fade in its second symbol (beyond what noise explains):
  // an echo does.
  for (int p = 0; p < kPositions; ++p) {
    const int q = (p + kPositions - 1) % kPositions;
    const int cell = c.tones[p] + kEdge;
    const float slack = kHoldSlack * static_cast<float>(readings[p]);
    if (c.tones[p] == c.tones[q] && raw[p][cell] + slack < kRepeatHold * raw[q][cell]) {
      c.verdict = "echo repeat";
      return false;
    }
  }
  if (!c.agreed) {
    c.verdict = "readings disagree";
    return false;
  }
  if (!c.checked) {
    c.verdict = "check failed";
    return false;
  }
  // Where symbols leave a tail, an echo can outweigh a faded tone: close runner-ups in any two
  // places, any tone loud enough beside a repeated one or in the last place, must not spell a
  // word, and no position may be far weaker than the rest.
  if (c.echoic) {
    // A close runner-up, or two at once, put in place of the tones read.
    int32_t places[2 * kPayloadBytes];
    int32_t close = 0;
    for (uint32_t j = 0; j < 2 * kPayloadBytes; ++j) {
      const int p = (c.separator + 2 + static_cast<int>(j)) % kPositions;
      const int32_t rival = c.runnerUp[p];
      if (c.rivals[p] >= kRivalShare && rival >= 0 && rival < kTones &&
          !(j % 2 == 0 && rival == 0)) {
        places[close++] = static_cast<int32_t>(j);
      }
    }
    for (uint32_t set = 1; set < (1u << close); ++set) {
      if (std::bitset<2 * kPayloadBytes>(set).count() > kRivalsAtOnce) {
        continue;
      }
      uint8_t other[4];
      std::copy(c.key, c.key + 4, other);
      for (int32_t k = 0; k < close; ++k) {
        if (set & (1u << k)) {
          SetNibble(other, static_cast<uint32_t>(places[k]),
                    c.runnerUp[(c.separator + 2 + places[k]) % kPositions]);
        }
      }
      if (Spells(other)) {
        c.verdict = "rival word";
        return false;
      }
    }
    if (RivalSpells(c, sums, 0, c.key)) {
      c.verdict = "rival repeat";
      return false;
    }
  }
  c.confirms = true;  // only the margins are left to judge
  if (c.echoic) {
    float sorted[kPositions];
    std::copy(c.margins, c.margins + kPositions, sorted);
    std::nth_element(sorted, sorted + kPositions / 2, sorted + kPositions);
    if (minMargin < kUneven * sorted[kPositions / 2]) {
      c.verdict = "uneven margin";
      return false;
    }
  }
  if (minMargin < kMinMargin) {
    c.verdict = "weak margin";
    return false;
  }
  c.verdict = "accepted";
  return true;
}

// Where symbols leave a tail, a word's energies are poor witnesses: a faded tone can read as its
// predecessor's echo. So the word is put to the room fit: the newest stretch of signal (up to
// RoomFit::kMaxSpan samples, from a little after the signal started) is explained by the word's
// bursts through one room response, the clock error found to a fraction of a hertz first. True when
// the word, or one a few single changes from it, is confirmed; key receives it.
bool RobustReceiver::FitRoom(const Candidate& c, int32_t shift, int32_t phase, bool accepted,
                             uint8_t* key) {
  const double baseRate = m_sampleRate / m_decimation;
  // The signal started with the oldest run of symbols that each hold a clear peak.
  const int64_t oldest = std::max<int64_t>(0, m_frameCount - kFrameRing);
  int64_t startFrame = m_frameCount;
  while (startFrame - kPhases >= oldest) {
    bool peak = false;
    for (int64_t f = startFrame - kPhases; f < startFrame; ++f) {
      peak = peak || m_peaky[f % kFrameRing] != 0;
    }
    if (!peak) {
      break;
    }
    startFrame -= kPhases;
  }
  const int64_t end = m_decimatedCount;
  const int64_t first = std::max<int64_t>(startFrame * m_hop + std::lround(kFitSettle * baseRate),
                                          end - RoomFit::kMaxSpan);
  const int32_t span = static_cast<int32_t>(end - first);
  if (span < kPositions * m_symbolLength) {
    return false;
  }
  for (int64_t f = 0; f < kFrameRing && f < m_frameCount; ++f) {
    m_floorScratch[f] = m_floors[f];
  }
  const int64_t frames = std::min<int64_t>(kFrameRing, m_frameCount);
  std::nth_element(m_floorScratch.begin(), m_floorScratch.begin() + frames / 2,
                   m_floorScratch.begin() + frames);
  m_fit->Load(m_baseRe.data(), m_baseIm.data(), kBaseRing, end, span,
              m_floorScratch[frames / 2] * m_floorToNoise);

  // The packet's timing: the newest symbol read ends where its frame does.
  int32_t tones[kPositions];
  std::copy(c.tones, c.tones + kPositions, tones);
  const int64_t head = m_frameCount - 1 - phase;
  const double senderPerCapture = kSenderRate / m_sampleRate;
  auto startOf = [&](double error) {
    const double symbol = onair::kSymbolSamples / senderPerCapture / (1.0 + error);
    return static_cast<double>(head * m_hop + m_window) * m_decimation - 0.5 - kPositions * symbol;
  };
  auto cost = [&](double error, int32_t count = RoomFit::kMaxSpan, int32_t from = 0) {
    return m_fit->Cost(tones, startOf(error), error, count, from);
  };
  // The clock error. A grid over the offset's bin, fitted on a short stretch where the phase turns
  // little; then the response is fitted on two halves of ever longer stretches, and the phase it
  // turns by between them gives what is left (only the response's body turns with the clock: its
  // ends also soak up what the model leaves out). The packet repeats, so an error that turns the
  // phase by whole turns a packet fits almost as well: the nearest such are tried last.
  // Found once for an offset: later fits of the same offset start from it.
  double clock = shift * m_binHz / m_centreHz;
  const int32_t shortSpan = static_cast<int32_t>(kClockSeconds * baseRate);
  auto turn = [&](int32_t half) {
    cost(clock, half);
    m_fit->Keep();
    cost(clock, half, half);
    clock += m_fit->Turn() / (kTwoPi * half / baseRate * m_centreHz);
  };
  if (shift == m_fitShift) {
    clock = m_fitClock;
    turn(span / 2);
  } else {
    const double bin = m_binHz / m_centreHz, step = kClockStepHz / m_centreHz;
    double least = 1e300;
    const double coarse = clock;
    for (double e = coarse - 0.5 * bin; e <= coarse + 0.5 * bin; e += step) {
      const double c0 = cost(e, shortSpan);
      if (c0 < least) {
        least = c0;
        clock = e;
      }
    }
    for (int32_t half : {shortSpan, span / 2, span / 2}) {
      turn(half);
    }
  }
  const double packetTurn = kSenderRate / (kPositions * onair::kSymbolSamples) / m_centreHz;
  const double centre = clock;
  double least = cost(centre);
  for (int32_t k : {-2, -1, 1, 2}) {
    const double c0 = cost(centre + k * packetTurn);
    if (c0 < least) {
      least = c0;
      clock = centre + k * packetTurn;
    }
  }
  if (clock != centre) {
    turn(span / 2);
    least = cost(clock);
  }
  m_fitShift = shift;
  m_fitClock = clock;

  // The word, and each plausible change of one symbol: the tone read there and its runner-up,
  // and the tones up to two places either side (an echo stands in for a faded tone). A cheaper
  // change is moved to, a few times at most.
  double own = least;
  if (own > kFitHopeless * m_fit->Heard()) {  // not a packet (music, or another offset)
    return false;
  }
  for (int32_t moves = 0;; ++moves) {
    double rival = 1e300;
    int32_t moveAt = -1, moveTo = -1;
    for (int32_t j = 0; j < 2 * static_cast<int32_t>(kPayloadBytes); ++j) {
      const int p = (c.separator + 2 + j) % kPositions;
      const int32_t others[6] = {c.tones[p],
                                 c.runnerUp[p],
                                 tones[(p + kPositions - 1) % kPositions],
                                 tones[(p + 1) % kPositions],
                                 tones[(p + kPositions - 2) % kPositions],
                                 tones[(p + 2) % kPositions]};
      for (int o = 0; o < 6; ++o) {
        const int32_t z = others[o];
        if (z < (j % 2 == 0 ? 1 : 0) || z >= kTones || z == tones[p] ||
            std::find(others, others + o, z) != others + o) {
          continue;
        }
        const int32_t kept = tones[p];
        tones[p] = z;
        const double other = cost(clock);
        tones[p] = kept;
        if (other < rival) {
          rival = other;
          moveAt = p;
          moveTo = z;
        }
      }
    }
    if (rival < own) {
      if (moves == kFitMoves) {
        return false;
      }
      tones[moveAt] = moveTo;
      own = rival;
      continue;
    }
    // The word must spell, leave little of what was heard, and every change must leave a margin
    // more (in units of the noise, or of what the word leaves when that is more). A word the
    // energies refused needs a wider margin (band music can fit a word nearly as well), one moved
    // to a wider one still and no tone in it repeated: a room's tail, longer than the fitted
    // response, is what a repeated tone explains best.
    bool moved = false, repeated = false;
    for (int p = 0; p < kPositions; ++p) {
      moved = moved || tones[p] != c.tones[p];
      repeated =
          repeated || (tones[p] != 0 && tones[p] == tones[(p + kPositions - 1) % kPositions]);
    }
    PackKey(tones, c.separator, key);
    const double unit = std::max(1.0, own / span);
    return Spells(key) && own <= kFitUnexplained * m_fit->Heard() &&
           rival - own >= (moved      ? kMovedMargin
                           : accepted ? kFitMargin
                                      : kRefusedMargin) *
                              unit &&
           !(moved && repeated);
  }
}

// The geometric mean of the span frames ending at a frame, into the ring rows (done is the frame
// each row was last worked out for). A symbol is read from a symbol's worth of frames: in a
// reverberant room a tone's energy swings within a symbol, and a faded tone holds its own where
// its predecessor's echo dies away. With asEcho, each row holds instead what a reading after this
// symbol is multiplied by to divide out the square root of its echo, scaled so that noise alone (a
// power of 1 over the floor) divides by nothing. Worked out only for frames a search reads, once
// each.
size_t RobustReceiver::Smooth(int64_t frame, int32_t span, bool asEcho, float* rows,
                              std::vector<int64_t>& done) {
  const size_t at = static_cast<size_t>(frame % kFrameRing) * m_bandWidth;
  if (done[frame % kFrameRing] == frame) {
    return at;
  }
  const int64_t oldest = std::max<int64_t>({0, m_frameCount - kFrameRing, frame - span + 1});
  float* smoothed = &rows[at];
  std::fill(smoothed, smoothed + m_bandWidth, 0.0f);
  for (int64_t f = oldest; f <= frame; ++f) {
    const float* logs = &m_frames[static_cast<size_t>(f % kFrameRing) * m_bandWidth];
    for (int32_t b = 0; b < m_bandWidth; ++b) {
      smoothed[b] += logs[b];
    }
  }
  const float scale = 1.0f / static_cast<float>(frame - oldest + 1);
  for (int32_t b = 0; b < m_bandWidth; ++b) {
    const float level = Exp2(smoothed[b] * scale) - kLogFloor;
    smoothed[b] = asEcho ? std::sqrt((kLogFloor + 1.0f) / (kLogFloor + level)) : level;
  }
  done[frame % kFrameRing] = frame;
  return at;
}

// How much of a symbol's tone is left at the end of the next symbol, over what it had at the end of
// its own: read from single frames (the latest three eighths of a symbol), where a smoothed
// reading also holds the previous symbol's last frames. A room leaves a good part, a dry channel
// next to nothing.
float RobustReceiver::LateTail(const Candidate& c, int32_t shift, int32_t phase,
                               int32_t slots) const {
  const int64_t head = m_frameCount - 1 - phase;
  const int32_t* bins = &m_toneBins[(shift + m_maxShift) * kCells];
  const double framesPerSymbol = m_framesPerSymbol[shift + m_maxShift];
  auto power = [&](int64_t frame, int32_t tone) {
    const float v =
        m_frames[static_cast<size_t>(frame % kFrameRing) * m_bandWidth + bins[tone + kEdge]];
    return std::max(0.0f, Exp2(v) - kLogFloor - 1.0f);
  };
  float left = 0.0f, own = 0.0f;
  for (int32_t i = 0; i + 1 < slots; ++i) {
    const int p = kPositions - 1 - i % kPositions, q = (p + kPositions - 1) % kPositions;
    if (c.tones[p] == c.tones[q]) {
      continue;
    }
    const int64_t frame = head - std::lround(i * framesPerSymbol);
    const int64_t before = head - std::lround((i + 1) * framesPerSymbol);
    left += power(frame, c.tones[q]);
    own += power(before, c.tones[q]);
  }
  return left / std::max(own, 1e-6f);
}

int32_t RobustReceiver::Read(int32_t shift, int32_t phase) {
  const int64_t head = m_frameCount - 1 - phase;
  const int64_t oldest = std::max<int64_t>(0, m_frameCount - kFrameRing);
  const int32_t* bins = &m_toneBins[(shift + m_maxShift) * kCells];
  const double framesPerSymbol = m_framesPerSymbol[shift + m_maxShift];
  int32_t slots = 0;  // readings available, each with the symbol before it
  float* g = m_gather.data();
  for (int32_t i = 0; i <= kMaxSlots; ++i) {
    const int64_t frame = head - std::lround(i * framesPerSymbol);
    if (frame < oldest) {
      break;
    }
    const size_t at = Smooth(frame, kSmooth, false, m_smoothed.get(), m_smoothedAt);
    // As an echo a symbol counts with its middle: its start is still building up in a room.
    const size_t echo = Smooth(std::max(oldest, frame - kEchoLag), kEchoSpan, true,
                               m_echoScale.get(), m_echoScaleAt);
    for (int c = 0; c < kCells; ++c) {
      g[i * kCells + c] = m_smoothed[at + bins[c]];
      m_echoGather[i * kCells + c] = m_echoScale[echo + bins[c]];
    }
    slots = i;
  }
  // Divide out part of the previous symbol's energy (its echo), and read every slot alone.
  for (int32_t i = 0; i < slots; ++i) {
    float* e = &m_echoFree[i * kCells];
    int top = 0;
    for (int c = 0; c < kCells; ++c) {
      e[c] = (kLogFloor + g[i * kCells + c]) * m_echoGather[(i + 1) * kCells + c] - kLogFloor;
      if (e[c] > e[top]) {
        top = c;
      }
    }
    m_reading[i] = top - kEdge;
  }
  return slots;
}

void RobustReceiver::Search() {
  // Only the offsets whose tone grid holds most of the recent peaks are worth reading.
  int32_t most = 0;
  for (int32_t s = 0; s < 2 * m_maxShift + 1; ++s) {
    most = std::max(most, m_shiftVotes[s]);
  }
  Candidate candidate, best, accepted;
  float cleanest = std::numeric_limits<float>::infinity();  // least tail of a checked, agreed word
  bool haveAccepted = false, ambiguous = false, bestValid = false, any = false;
  bool confirmed = false;
  int32_t bestShift = 0, bestPhase = 0, bestSlots = 0;
  for (int32_t s = -m_maxShift; s <= m_maxShift; ++s) {
    if (m_shiftVotes[s + m_maxShift] * 4 < most * 3) {
      continue;
    }
    // Per phase and number of packets summed: the key accepted, and the key that phase would
    // confirm (accepted, or refused only for weak or uneven margins), or 0.
    uint32_t phaseKeys[kPhases][kRepetitions] = {};
    uint32_t confirmKeys[kPhases][kRepetitions] = {};
    for (int32_t phase = 0; phase < kPhases; ++phase) {
      const int32_t slots = Read(s, phase);
      if (slots < kFirstSlots) {
        continue;
      }
      for (int32_t r = 0; r < kRepetitions; ++r) {
        const int32_t n = r == 0 ? kFirstSlots : (r + 1) * kPositions;
        if (n > slots) {
          break;
        }
        const bool ok = Evaluate(n, &candidate);
        if (candidate.checked && candidate.agreed) {
          cleanest = std::min(cleanest, candidate.tail);
        }
        confirmKeys[phase][r] = candidate.confirms ? Packed(candidate.key) : 0;
        if (ok) {
          phaseKeys[phase][r] = Packed(candidate.key);
          if (haveAccepted && !std::equal(candidate.key, candidate.key + 4, accepted.key)) {
            ambiguous = true;
          }
          if (!haveAccepted || candidate.minMargin > accepted.minMargin) {
            accepted = candidate;
          }
          haveAccepted = true;
        }
        const bool better =
            candidate.valid > bestValid ||
            (candidate.valid == bestValid && (candidate.valid ? candidate.minMargin > best.minMargin
                                                              : candidate.score > best.score));
        if (ok ? (accepted.minMargin == candidate.minMargin)
               : (!haveAccepted && (better || !any))) {
          best = candidate;
          bestValid = candidate.valid;
          bestShift = s;
          bestPhase = phase;
          bestSlots = n;
          std::copy(m_reading.begin(), m_reading.begin() + n, m_bestReading.begin());
        }
        any = true;
      }
    }
    // A true symbol phase lies on a plateau: a neighbouring phase, summing as many packets,
    // confirms the key (reading it less clearly: a reverberant room or noise may leave one of
    // its positions weak there), where a phase that reads across symbol boundaries stands alone.
    // Phases wrap: the one before phase 0 reads the same cycle one symbol later.
    for (int32_t p = 0; p < kPhases; ++p) {
      for (int32_t r = 0; r < kRepetitions; ++r) {
        const uint32_t key = phaseKeys[p][r];
        confirmed = confirmed || (key != 0 && (confirmKeys[(p + 1) % kPhases][r] == key ||
                                               confirmKeys[(p + kPhases - 1) % kPhases][r] == key));
      }
    }
  }

  m_cleanestTail = cleanest;

  RobustInspection& in = m_inspection;
  in.samplePosition = m_consumed;
  ++in.searches;
  in.repetitions = (bestSlots + kPositions - 1) / kPositions;
  in.shiftBins = bestShift;
  in.offsetPpm = bestShift * m_binHz / m_centreHz * 1e6;
  in.phase = bestPhase;
  in.separator = best.separator;
  for (int r = 0; r < kRepetitions; ++r) {
    for (int p = 0; p < kPositions; ++p) {
      const int32_t i = r * kPositions + (kPositions - 1 - p);
      in.tones[r][p] = i < bestSlots ? Shown(m_bestReading[i]) : kNoReading;
    }
  }
  for (int p = 0; p < kPositions; ++p) {
    in.summed[p] = Shown(best.tones[p]);
    in.margins[p] = best.margins[p];
    in.rivals[p] = best.rivals[p];
  }
  in.minMargin = best.minMargin;
  in.verdict = haveAccepted && ambiguous    ? "ambiguous"
               : haveAccepted && !confirmed ? "one phase only"
               : any                        ? best.verdict
                                            : "too short";
  bool commit = confirmed && !ambiguous;
  uint8_t key[4];
  std::copy(accepted.key, accepted.key + 4, key);
  // Where symbols leave a tail, the room fit has the last word: it vetoes every key it does not
  // confirm, and, where the tail reaches the end of the next symbol, may confirm a refused word
  // (or one a few symbols from it), at most once a packet. Strong noise alone now and then reads
  // as a tail: a tail that does not reach the next symbol's end must stand well out of it.
  const Candidate& judged = commit ? accepted : best;
  const bool late = judged.valid && judged.echoic &&
                    LateTail(judged, bestShift, bestPhase, bestSlots) >= kLateTail;
  const bool tailed = judged.tail >= kFitTail && judged.tailSignificance >= kFitTailSignificance;
  if ((commit && judged.echoic && (late || tailed)) ||
      (!commit && late && in.searches - m_lastFit >= kPositions)) {
    m_lastFit = in.searches;
    const bool fitted = FitRoom(judged, bestShift, bestPhase, commit, key);
    if (fitted) {
      in.verdict = commit ? "accepted, room fit confirms" : "room fit confirms";
    } else if (commit) {
      in.verdict = "room fit refuses";
    }
    commit = fitted;
  }
  if (commit) {
    m_result.code = 1;
    std::copy(key, key + 4, m_result.key);
    m_result.samplePosition = m_consumed;
  }
}
