#include "send/win/AudioOutputWinMME.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/fakes/win/WinRig.h"

namespace {

constexpr int kRing = AudioOutputWinMME::kBufferCount;
constexpr int32_t kSamples = AudioOutputWinMME::kBufferSamples;

// The source's ramp from first on, given samples of it and silence after them.
std::vector<int16_t> Ramp(int first, int32_t given = kSamples) {
  std::vector<int16_t> samples(kSamples, 0);
  for (int32_t i = 0; i < given; ++i) {
    samples[i] = static_cast<int16_t>(first + i);
  }
  return samples;
}

// The ring is filled from the source at the open, and each played buffer is refilled with the
// continuation of the stream and queued again in ring order.
TEST_F(WinRig, PlayedBuffersAreRefilledInRingOrder) {
  AudioOutputWinMME output;
  ASSERT_TRUE(output.Open(WAVE_MAPPER, &sink));
  for (int i = 0; i < kRing; ++i) {
    EXPECT_EQ(wave.Held(i), Ramp(i * kSamples)) << "buffer " << i;
  }
  const int played = 30;
  for (int n = 0; n < played; ++n) {
    ASSERT_TRUE(wave.ReturnOne());
    ASSERT_TRUE(wave.WaitForQueued(kRing + n + 1));
  }
  EXPECT_EQ(wave.Held(kRing - 1), Ramp((played + kRing - 1) * kSamples));
  EXPECT_EQ(wave.orderErrors, 0);
  output.Close();
  ExpectNothingHeld();
}

// A short read is padded with silence, in a buffer that held sound before too.
TEST_F(WinRig, AShortReadIsPaddedWithSilence) {
  AudioOutputWinMME output;
  ASSERT_TRUE(output.Open(WAVE_MAPPER, &sink));
  sink.readAnswer = kSamples / 2;
  ASSERT_TRUE(wave.ReturnOne());
  ASSERT_TRUE(wave.WaitForQueued(kRing + 1));
  EXPECT_EQ(wave.Held(kRing - 1), Ramp(kRing * kSamples, kSamples / 2));
  output.Close();
  ExpectNothingHeld();
}

}  // namespace
