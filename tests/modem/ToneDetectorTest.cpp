#include "modem/ToneDetector.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "modem/ModemParams.h"
#include "tests/fakes/SignalFactory.h"

namespace {

constexpr int kFrame = 1024;
constexpr int kWindow = 11 * 4096;  // one packet and one symbol more
constexpr double kTwoPi = 6.283185307179586;

// The detector's tone powers against a plain DFT of each frame. (Where a window may start in
// the packet: the receiver's corpus test.)
TEST(ToneDetectorTest, PowersMatchAPlainDft) {
  // Tones off the frame grid plus deterministic noise, so that every tone bin carries power.
  const std::vector<int16_t> pcm = RenderEncodedSignal("\x10\x54\xab\x8f", 1500 + kWindow + 1);
  std::vector<float> samples(pcm.begin() + 1500, pcm.end());
  uint32_t state = 12345u;
  for (float& sample : samples) {
    state = state * 1664525u + 1013904223u;
    sample = std::trunc(sample * 0.5f + static_cast<float>(static_cast<int>(state >> 20) - 2048));
  }
  ModemParams* params = CreateModemParams(48000.0f, 4);
  ToneDetector* detector = ToneDetector::Create(params);
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
  ToneDetector::Free(detector);
  DestroyModemParams(params);
}

TEST(ForwardRealFftPoolTest, GivenBackConfigurationsServeTheNextUserAndNeverTwoAtOnce) {
  // Kiss FFT keeps scratch space in a configuration: two users at once would overwrite it.
  kiss_fftr_cfg a = AcquireForwardRealFft(1024);
  kiss_fftr_cfg b = AcquireForwardRealFft(1024);
  kiss_fftr_cfg small = AcquireForwardRealFft(256);
  ASSERT_NE(a, b);
  ReleaseForwardRealFft(1024, a);
  ReleaseForwardRealFft(256, small);
  // The next users get the ones given back, for their own size, instead of new tables.
  EXPECT_EQ(small, AcquireForwardRealFft(256));
  kiss_fftr_cfg next = AcquireForwardRealFft(1024);
  EXPECT_EQ(a, next);
  kiss_fftr_cfg fresh = AcquireForwardRealFft(1024);
  EXPECT_NE(b, fresh);
  EXPECT_NE(next, fresh);
  for (kiss_fftr_cfg cfg : {b, next, fresh}) {
    ReleaseForwardRealFft(1024, cfg);
  }
  ReleaseForwardRealFft(256, small);
}

}  // namespace
