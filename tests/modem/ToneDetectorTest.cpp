#include "modem/ToneDetector.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "tests/fakes/SignalFactory.h"

namespace {

constexpr int kFrame = 1024;
constexpr int kSymbol = 4096;
constexpr int kWindow = 11 * kSymbol;  // one packet and one symbol more
constexpr double kTwoPi = 6.283185307179586;

// What a sink hands its detector: the sender's 16-bit samples as floats, from sample skip on.
std::vector<float> Received(const std::string& encoded, int skip, int count) {
  const std::vector<int16_t> pcm = RenderEncodedSignal(encoded, skip + count);
  return std::vector<float>(pcm.begin() + skip, pcm.end());
}

class ToneDetectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    params_ = CreateModemParams(48000.0f, 4);
    detector_ = ToneDetector::Create(params_);
  }
  void TearDown() override {
    ToneDetector::Free(detector_);
    DestroyModemParams(params_);
  }
  std::string Decoded() {
    uint8_t out[4] = {};
    const int32_t n = ToneDetector::Decode(detector_, out);
    return n == 4 ? std::string(reinterpret_cast<char*>(out), 4) : "failed";
  }
  ModemParams* params_ = nullptr;
  ToneDetector* detector_ = nullptr;
};

TEST_F(ToneDetectorTest, PowersMatchAPlainDft) {
  // Tones off the frame grid plus deterministic noise, so that every tone bin carries power.
  std::vector<float> samples = Received("\x10\x54\xab\x8f", 1500, kWindow + 1);
  uint32_t state = 12345u;
  for (float& sample : samples) {
    state = state * 1664525u + 1013904223u;
    sample = std::trunc(sample * 0.5f + static_cast<float>(static_cast<int>(state >> 20) - 2048));
  }
  ASSERT_EQ(ToneDetector::Feed(detector_, samples.data(), kWindow + 1), 1);
  for (int frame : {0, 1, 6, 17, 30, 43}) {
    for (int k = 0; k < 16; ++k) {
      // Tone k lies on bin 408 + k of the frame's spectrum.
      double re = 0.0, im = 0.0;
      for (int n = 0; n < kFrame; ++n) {
        const double angle = kTwoPi * static_cast<double>(((408 + k) * n) % kFrame) / kFrame;
        re += samples[frame * kFrame + n] * std::cos(angle);
        im -= samples[frame * kFrame + n] * std::sin(angle);
      }
      const double want = re * re + im * im;
      EXPECT_NEAR(detector_->tonePowers[frame * 16 + k], want, want * 1e-3)
          << "frame " << frame << " tone " << k;
    }
  }
}

TEST_F(ToneDetectorTest, FrameScoresItsPeakAgainstTheMeanOfTheOtherTones) {
  struct Case {
    int tone;
    double peak, others;  // powers
    float score;
  };
  const Case cases[] = {{3, 100.0, 4.0, 25.0f}, {12, 9.0, 1.0, 9.0f}, {0, 16.0, 4.0, 4.0f}};
  for (const Case& c : cases) {
    ToneDetector* detector = ToneDetector::Create(params_);
    // Cosines on the tones' bin centres: amplitude a gives the power (a * 1024 / 2)^2.
    std::vector<float> frame(kFrame + 1, 0.0f);
    for (int n = 0; n < kFrame; ++n) {
      for (int k = 0; k < 16; ++k) {
        const double power = k == c.tone ? c.peak : c.others;
        frame[n] += static_cast<float>(2.0 * std::sqrt(power) / kFrame *
                                       std::cos(kTwoPi * ((408 + k) * n % kFrame) / kFrame));
      }
    }
    ASSERT_EQ(ToneDetector::Feed(detector, frame.data(), kFrame + 1), 0);
    EXPECT_EQ(detector->toneIndexes[0], static_cast<uint32_t>(c.tone));
    EXPECT_NEAR(detector->phaseScores[0], c.score, 1e-3f * c.score) << "tone " << c.tone;
    ToneDetector::Free(detector);
  }
}

TEST_F(ToneDetectorTest, WindowCompletesOnTheSampleAfterItHoweverFed) {
  const std::vector<float> samples = Received("\x10\x54\xab\x8f", 0, kWindow + 1000);
  ASSERT_EQ(ToneDetector::Feed(detector_, samples.data(), kWindow + 1), 1);
  const std::vector<std::vector<int>> feeds = {
      {kWindow, 1}, {1, 4095, 40960, 1}, {1000}, {300, kWindow + 700}, {kFrame - 1, kFrame + 1}};
  for (const std::vector<int>& sizes : feeds) {
    ToneDetector* detector = ToneDetector::Create(params_);
    int before = 0;
    int done = 0;
    for (size_t call = 0; done <= kWindow; ++call) {
      before = done;
      done += sizes[call % sizes.size()];
      if (ToneDetector::Feed(detector, samples.data() + before, done - before) != 0) {
        break;
      }
    }
    // The call that brings the window's sample 45057 completes it, and no earlier one.
    EXPECT_LE(before, kWindow) << "first call " << sizes[0];
    EXPECT_GT(done, kWindow) << "first call " << sizes[0];
    EXPECT_EQ(0, std::memcmp(detector->tonePowers, detector_->tonePowers, 44 * 16 * sizeof(float)))
        << "first call " << sizes[0];
    ToneDetector::Free(detector);
  }
}

TEST_F(ToneDetectorTest, DecodesWhereverTheWindowStartsInThePacket) {
  const std::vector<std::string> payloads = {"\x10\x54\xab\x8f", "\x52\x64\x89\x10",
                                             "\xff\xf0\x1f\x10", "\x10\x10\x10\x10"};
  const std::vector<int> skips = {0,   kSymbol, 5 * kSymbol, 9 * kSymbol, 1,     511,
                                  512, 1023,    2348,        4095,        13822, 40211};
  for (const std::string& payload : payloads) {
    for (int skip : skips) {
      ToneDetector::Free(detector_);
      detector_ = ToneDetector::Create(params_);
      const std::vector<float> samples = Received(payload, skip, kWindow + 1);
      ASSERT_EQ(ToneDetector::Feed(detector_, samples.data(), kWindow + 1), 1);
      EXPECT_EQ(Decoded(), payload) << "skip " << skip;
    }
  }
}

TEST(ExtractPacketTest, SeparatorPayloadAndWrap) {
  struct Case {
    std::vector<uint32_t> symbols;
    int32_t bytes;
    std::vector<uint8_t> want;  // empty: no packet
  };
  const Case cases[] = {
      {{5, 3, 0, 0, 7, 1, 2, 2, 4, 0, 5}, 4, {0x71, 0x22, 0x40, 0x53}},  // wraps past the end
      {{1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0}, 4, {0x23, 0x45, 0x67, 0x89}},  // separator at the end
      {{0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 0}, 4, {0x12, 0x34, 0x56, 0x78}},  // at the start
      {{8, 9, 1, 0, 0, 0, 5, 2, 6, 4, 8}, 4, {0x52, 0x64, 0x89, 0x10}},  // a zero low nibble
      {{0, 0, 0x21, 0x32, 3, 4, 5, 6, 7, 8, 1}, 4, {0x12, 0x34, 0x56, 0x78}},  // low bits only
      {{1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6}, 4, {}},                              // no pair of 0
      {{1, 2, 3, 4, 5, 6, 7, 8, 0, 0}, 4, {}},                                 // too short
      {{0, 0, 4, 2, 0}, 1, {0x42}},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> out(4, 0xee);
    const int32_t n = ExtractPacket(out.data(), c.bytes, c.symbols.data(),
                                    static_cast<int32_t>(c.symbols.size()));
    if (c.want.empty()) {
      EXPECT_EQ(n, -1);
      EXPECT_EQ(out[0], 0xee);
    } else {
      ASSERT_EQ(n, c.bytes);
      EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + n), c.want);
    }
  }
}

}  // namespace
