#include "modem/ToneDetector.h"

#include <gtest/gtest.h>

#include <cmath>
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

// Hands out detectors, all freed with the parameters at the end of the test.
class ToneDetectorTest : public ::testing::Test {
 protected:
  ~ToneDetectorTest() override {
    for (ToneDetector* detector : detectors_) {
      ToneDetector::Free(detector);
    }
    DestroyModemParams(params_);
  }
  ToneDetector* Fresh() {
    detectors_.push_back(ToneDetector::Create(params_));
    return detectors_.back();
  }
  ModemParams* params_ = CreateModemParams(48000.0f, 4);
  std::vector<ToneDetector*> detectors_;
};

TEST_F(ToneDetectorTest, PowersMatchAPlainDft) {
  // Tones off the frame grid plus deterministic noise, so that every tone bin carries power.
  std::vector<float> samples = Received("\x10\x54\xab\x8f", 1500, kWindow + 1);
  uint32_t state = 12345u;
  for (float& sample : samples) {
    state = state * 1664525u + 1013904223u;
    sample = std::trunc(sample * 0.5f + static_cast<float>(static_cast<int>(state >> 20) - 2048));
  }
  ToneDetector* detector = Fresh();
  ASSERT_EQ(ToneDetector::Feed(detector, samples.data(), kWindow + 1), 1);
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
      EXPECT_NEAR(detector->tonePowers[frame * 16 + k], want, want * 1e-3)
          << "frame " << frame << " tone " << k;
    }
  }
}

TEST_F(ToneDetectorTest, DecodesWhereverTheWindowStartsInThePacket) {
  const std::vector<std::string> payloads = {"\x10\x54\xab\x8f", "\x52\x64\x89\x10",
                                             "\xff\xf0\x1f\x10", "\x10\x10\x10\x10"};
  const std::vector<int> skips = {0,   kSymbol, 5 * kSymbol, 9 * kSymbol, 1,     511,
                                  512, 1023,    2348,        4095,        13822, 40211};
  for (const std::string& payload : payloads) {
    for (int skip : skips) {
      ToneDetector* detector = Fresh();
      const std::vector<float> samples = Received(payload, skip, kWindow + 1);
      ASSERT_EQ(ToneDetector::Feed(detector, samples.data(), kWindow + 1), 1);
      uint8_t out[4] = {};
      ASSERT_EQ(ToneDetector::Decode(detector, out), 4) << "skip " << skip;
      EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 4), payload) << "skip " << skip;
    }
  }
}

}  // namespace
