// Scores a word by how well one room explains what was heard. Every burst of a word is known
// exactly (a windowed sine of its tone that starts at phase 0), so a word and its timing predict
// the whole band up to the room's response: a linear filter, found here by least squares over a
// stretch of the receiver's decimated samples. The right word leaves little more than the noise
// and the room's tail beyond the response; a word with one symbol wrong leaves that symbol's
// bursts unexplained, however the room faded or smeared them. Used where an echo makes a tone's
// energy a poor witness.
//
// The response spans kPreTaps samples before the assumed timing to kTaps after it; it is solved
// from the burst train's autocorrelation (a Toeplitz system, by FFT and Levinson recursion) and
// scored by its exact residual over the stretch: the normal equations give it for every row the
// bursts reach, and the few rows beyond the stretch are worked out and taken away.
#pragma once

#include <cstdint>
#include <vector>

#include "modem/OnAir.h"

struct kiss_fft_state;
struct kiss_fftr_state;

class RoomFit {
 public:
  static constexpr int32_t kTaps = 112;    // the response after the assumed timing, 75 ms
  static constexpr int32_t kPreTaps = 48;  // and before it: the timing's uncertainty
  static constexpr int32_t kFftSize = 2048;
  static constexpr int32_t kMaxSpan = kFftSize - 2 * (kTaps + kPreTaps);  // samples fitted at most

  // Any thread (then used by one thread at a time). Allocates everything it will use, for the
  // samples of a front end that mixes sampleRate capture down from centreHz and decimates it by
  // `decimation` with a triangle over two blocks (base sample b is centred on capture sample
  // b * decimation - 0.5).
  RoomFit(double sampleRate, int32_t decimation, double centreHz);
  ~RoomFit();
  RoomFit(const RoomFit&) = delete;
  RoomFit& operator=(const RoomFit&) = delete;

  // The owning thread. Takes the `span` (at most kMaxSpan) base samples before base sample `end`
  // from a ring of ringSize (a power of two) samples, and the noise power per base sample; Cost
  // then scores words against them. Allocates nothing.
  void Load(const float* ringRe, const float* ringIm, int32_t ringSize, int64_t end, int32_t span,
            double noise);
  // The owning thread, after Load. The residual, in units of the noise, of the best response to
  // the packet cycle `tones` (10 tones) whose position 0 starts at capture sample `start`, sent
  // with clock error `clockError` (its tones and symbols scaled by 1 + clockError), over `span`
  // loaded samples from the `from`th (all of them by default). Allocates nothing.
  double Cost(const int32_t* tones, double start, double clockError, int32_t span = kMaxSpan,
              int32_t from = 0);
  // The owning thread. Keeps the last response found; Turn then gives the last response's inner
  // product's angle with it: how far the phase turned between the two stretches fitted.
  void Keep();
  double Turn() const;
  // The owning thread, after Load. The loaded samples' energy in units of the noise.
  double Heard() const { return m_heardEnergy; }

 private:
  void Synthesise(const int32_t* tones, double start, double clockError, int64_t first,
                  int32_t count);
  bool Solve(int32_t n);

  double m_sampleRate;
  int32_t m_decimation;
  double m_centreHz;
  double m_tones[onair::kToneCount];
  double m_symbolSamples;       // the sender's samples per burst
  std::vector<float> m_window;  // the sender's burst window, one more sample (0) at the end
  // The front end's gain at each tone, for clock error m_gainError.
  double m_gain[onair::kToneCount] = {};
  double m_gainError = -1.0;
  struct Transforms {
    int32_t size = 0;
    kiss_fft_state* forward = nullptr;
    kiss_fftr_state* power = nullptr;  // of a real sequence: the train's power spectrum
  };
  Transforms m_transforms[2];  // half size (short stretches) and full size
  std::vector<float> m_heard;  // loaded samples (interleaved complex)
  std::vector<float> m_heardFft;
  std::vector<float> m_train;  // the burst train
  // What m_train holds: the timing it was made for and the tone of each cycle position.
  double m_trainStart = 0.0, m_trainError = 0.0;
  int64_t m_trainFirst = 0;
  int32_t m_trainCount = -1;
  int32_t m_trainTones[onair::kPacketSymbols] = {};
  std::vector<float> m_trainFft;
  std::vector<float> m_work, m_workFft;
  std::vector<double> m_lags;   // autocorrelation of the train (interleaved complex)
  std::vector<double> m_cross;  // the train against what was heard
  std::vector<double> m_solveScratch, m_response, m_kept;
  std::vector<float> m_edgeScratch;
  int64_t m_first = 0;  // base sample of the first one loaded
  int32_t m_span = 0;
  int32_t m_heardFrom = 0, m_heardSpan = 0;  // the loaded samples m_heardFft holds
  double m_noise = 1.0;
  double m_heardEnergy = 0.0;
  double m_heardPower = 0.0;  // of the rows m_heardFft holds
};
