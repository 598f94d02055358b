#include "receive/robust/RoomFit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "modem/ModemParams.h"
#include "modem/OnAir.h"
#include "modem/ToneBank.h"
#include "receive/robust/Triangle.h"

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr int32_t kRing = 1 << 13;
constexpr int32_t kLead = 12000;  // capture samples before the signal

struct Channel {
  const char* name;
  double rate;      // capture rate
  double clockPpm;  // the sender's clock error
  double drrDb;     // direct over reverberant energy; infinity: dry
};

class RoomFitTest : public ::testing::Test {
 protected:
  // Sends the cycle `tones` (position 0 first) through the channel with noise of `noise` per
  // capture sample (the bursts' amplitude being 1), and mixes and decimates the capture plainly
  // (a triangle over two blocks centred on b * D - 0.5) into the ring: what the receiver's front
  // end hands over, worked out here independently of the fit.
  void Capture(const int32_t* tones, const Channel& channel, double noise, uint64_t seed) {
    ModemParams* params = CreateModemParams(onair::kSampleRate, onair::kPayloadBytes);
    double tone[16];
    std::copy(params->toneFrequencies, params->toneFrequencies + 16, tone);
    const int32_t symbol = params->symbolSamples;
    std::vector<float> window(symbol);
    TukeyWindow(window.data(), symbol, params->taperRatio);
    DestroyModemParams(params);
    centre_ = 0.5 * (tone[0] + tone[15]);
    decimation_ = static_cast<int32_t>(std::lround(channel.rate / 1500.0));

    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    const double pace = (1.0 + channel.clockPpm * 1e-6) * onair::kSampleRate / channel.rate;
    const int32_t frames = kLead + static_cast<int32_t>(2.5 * channel.rate);
    std::vector<double> heard(frames, 0.0);
    for (int32_t n = kLead; n < frames; ++n) {
      const double sent = (n - kLead) * pace;  // sender samples since the first burst began
      const int64_t k = static_cast<int64_t>(sent / symbol);
      const double within = sent - static_cast<double>(k) * symbol;
      const double w = window[std::min<int32_t>(static_cast<int32_t>(within), symbol - 1)];
      heard[n] = w * std::sin(kTwoPi * tone[tones[k % 10]] * within / onair::kSampleRate);
    }
    if (std::isfinite(channel.drrDb)) {  // a decaying noise tail after 3 ms, RT60 0.6 s
      const int32_t length = static_cast<int32_t>(0.4 * channel.rate);
      const int32_t delay = static_cast<int32_t>(0.003 * channel.rate);
      std::vector<double> h(length, 0.0);
      double tail = 0.0;
      for (int32_t j = delay; j < length; ++j) {
        h[j] = normal(rng) * std::exp(-6.9 * j / (0.6 * channel.rate));
        tail += h[j] * h[j];
      }
      const double gain = std::sqrt(std::pow(10.0, -channel.drrDb / 10.0) / tail);
      std::vector<double> room(heard);
      for (int32_t n = kLead; n < frames; ++n) {
        for (int32_t j = delay; j < length && n + j < frames; ++j) {
          room[n + j] += gain * h[j] * heard[n];
        }
      }
      heard.swap(room);
    }
    for (double& v : heard) {
      v += noise * normal(rng);
    }
    const int32_t d = decimation_;
    const double omega = kTwoPi * centre_ / channel.rate;
    re_.assign(kRing, 0.0f);
    im_.assign(kRing, 0.0f);
    end_ = frames / d - 1;
    for (int32_t b = 1; b < end_; ++b) {
      std::complex<double> sum = 0.0;
      for (int32_t j = 0; j < 2 * d; ++j) {
        const int32_t n = (b - 1) * d + j;
        const double w = j < d ? (j + 0.5) / d : (2 * d - j - 0.5) / d;
        sum += w * heard[n] * std::polar(1.0, -omega * n);
      }
      re_[b % kRing] = static_cast<float>(sum.real());
      im_[b % kRing] = static_cast<float>(sum.imag());
    }
    // White noise of variance s^2 per capture sample, per decimated sample.
    noisePower_ = noise * noise * (2.0 * d / 3.0 - 1.0 / (6.0 * d));
  }

  double centre_ = 0.0, noisePower_ = 1.0;
  int32_t decimation_ = 32;
  int64_t end_ = 0;
  std::vector<float> re_, im_;
};

// What the fit is for: the right word, sent through a dry channel or a reverberant room, at any
// capture rate and a sender's clock error (known to the fit), leaves little of what was heard; a
// word with any one symbol changed leaves that symbol's bursts unexplained, by far more than the
// noise or than what the right word leaves (a room's tail beyond the response, at this SNR).
TEST_F(RoomFitTest, TheRightWordLeavesLittleAndEveryChangeFarMore) {
  const int32_t word[10] = {5, 3, 9, 2, 14, 6, 7, 1, 0, 0};
  const Channel channels[] = {
      {"dry", 48000, 0, INFINITY},
      {"dry, 44.1 kHz capture", 44100, 0, INFINITY},
      {"dry, sender 3000 ppm fast", 48000, 3000, INFINITY},
      {"room: RT60 0.6 s, DRR -6 dB", 48000, 0, -6},
      {"room, 44.1 kHz capture", 44100, 0, -6},
  };
  for (const Channel& channel : channels) {
    SCOPED_TRACE(channel.name);
    Capture(word, channel, 0.1, 7);
    RoomFit fit(channel.rate, decimation_, centre_);
    fit.Load(re_.data(), im_.data(), kRing, end_, RoomFit::kMaxSpan, noisePower_);
    const double clock = channel.clockPpm * 1e-6;
    const double start = kLead;  // capture sample at which position 0 of a packet began
    const double own = fit.Cost(word, start, clock);
    EXPECT_LT(own, (std::isfinite(channel.drrDb) ? 0.15 : 0.05) * fit.Heard());
    double cheapest = INFINITY;
    int32_t other[10];
    std::copy(word, word + 10, other);
    for (int p = 0; p < 8; ++p) {
      for (int z = 0; z < 16; ++z) {
        if (z != word[p]) {
          other[p] = z;
          cheapest = std::min(cheapest, fit.Cost(other, start, clock));
        }
      }
      other[p] = word[p];
    }
    EXPECT_GT(cheapest - own, 150.0 * std::max(1.0, own / RoomFit::kMaxSpan));
  }
}

// The fit keeps what a word's alternatives share (the bursts, the transforms of what was heard):
// a word's cost is the same whatever was fitted before it, over the whole stretch or part of it.
TEST_F(RoomFitTest, ACostDoesNotDependOnWhatWasFittedBefore) {
  const int32_t word[10] = {5, 3, 9, 2, 14, 6, 7, 1, 0, 0};
  const Channel room = {"room", 48000, 0, -6};
  Capture(word, room, 0.1, 7);
  struct Call {
    int32_t position, tone;  // one symbol changed (-1: the word itself)
    double clock;
    int32_t span, from;
  };
  const Call calls[] = {
      {-1, 0, 0.0, RoomFit::kMaxSpan, 0},
      {3, 11, 0.0, RoomFit::kMaxSpan, 0},
      {3, 12, 0.0, RoomFit::kMaxSpan, 0},
      {-1, 0, 0.0, RoomFit::kMaxSpan, 0},
      {7, 0, 0.0, RoomFit::kMaxSpan, 0},
      {-1, 0, 2e-5, RoomFit::kMaxSpan, 0},
      {-1, 0, 2e-5, 500, 0},
      {5, 2, 2e-5, 500, 0},
      {-1, 0, 2e-5, 500, 500},
      {-1, 0, 0.0, RoomFit::kMaxSpan, 0},
  };
  RoomFit fit(room.rate, decimation_, centre_);
  fit.Load(re_.data(), im_.data(), kRing, end_, RoomFit::kMaxSpan, noisePower_);
  for (const Call& call : calls) {
    int32_t tones[10];
    std::copy(word, word + 10, tones);
    if (call.position >= 0) {
      tones[call.position] = call.tone;
    }
    RoomFit fresh(room.rate, decimation_, centre_);
    fresh.Load(re_.data(), im_.data(), kRing, end_, RoomFit::kMaxSpan, noisePower_);
    const double expected = fresh.Cost(tones, kLead, call.clock, call.span, call.from);
    EXPECT_EQ(fit.Cost(tones, kLead, call.clock, call.span, call.from), expected)
        << call.position << " " << call.tone << " " << call.clock << " " << call.span << " "
        << call.from;
  }
}

// The front end's triangle, its gain stepped by recurrence, against the plain sum of its weights'
// cosines about the middle: at the band's edges and beyond, at both capture rates' decimations.
TEST(TriangleGainTest, MatchesThePlainSum) {
  for (int32_t d : {32, 29, 1}) {
    for (double cycles : {0.0, 0.0075, -0.012, 0.2}) {
      double plain = 0.0;
      for (int32_t j = 0; j < 2 * d; ++j) {
        const double w = j < d ? (j + 0.5) / d : (2 * d - j - 0.5) / d;
        plain += w * std::cos(kTwoPi * cycles * (j - d + 0.5));
      }
      EXPECT_NEAR(TriangleGain(d, cycles), plain, 1e-9 * d) << d << " " << cycles;
    }
  }
}

}  // namespace
