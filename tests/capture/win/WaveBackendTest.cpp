// The wave-out and wave-in backends over the fake wave device: the source's stream is played on
// in ring order, and what the device records reaches the sink whole and in order, each buffer
// queued again (an empty one too, though it delivers nothing).
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "capture/win/AudioInputWinMME.h"
#include "send/win/AudioOutputWinMME.h"
#include "tests/fakes/win/WinRig.h"

namespace {

TEST_F(WinRig, PlayedBuffersAreRefilledWithTheStreamInRingOrder) {
  constexpr int kRing = AudioOutputWinMME::kBufferCount;
  constexpr int32_t kSamples = AudioOutputWinMME::kBufferSamples;
  AudioOutputWinMME output;
  ASSERT_TRUE(output.Open(WAVE_MAPPER, &sink));
  constexpr int kPlayed = 30;
  for (int n = 0; n < kPlayed; ++n) {
    ASSERT_TRUE(wave.ReturnOne());
    ASSERT_TRUE(wave.WaitForQueued(kRing + n + 1));
  }
  for (int i = 0; i < kRing; ++i) {  // the source's ramp goes on from buffer to buffer
    std::vector<int16_t> ramp(kSamples);
    for (int32_t k = 0; k < kSamples; ++k) {
      ramp[k] = static_cast<int16_t>((kPlayed + i) * kSamples + k);
    }
    EXPECT_EQ(wave.Held(i), ramp) << "buffer " << i;
  }
  output.Close();
  ExpectNothingHeld();
}

TEST_F(WinRig, RecordedBuffersReachTheSinkWholeAndInOrder) {
  constexpr int kRing = AudioInputWinMME::kBufferCount;
  AudioInputWinMME input;
  ASSERT_TRUE(input.Open(WAVE_MAPPER, &sink));
  std::vector<int16_t> expected;
  for (int n = 0; n < 12; ++n) {
    std::vector<int16_t> samples(n == 3 ? 0 : AudioInputWinMME::kBufferSamples);
    for (size_t i = 0; i < samples.size(); ++i) {
      samples[i] = static_cast<int16_t>(n * 1000 + static_cast<int>(i));
    }
    expected.insert(expected.end(), samples.begin(), samples.end());
    ASSERT_TRUE(wave.ReturnOne(samples));
    ASSERT_TRUE(wave.WaitForQueued(kRing + n + 1));
  }
  input.Close();
  EXPECT_EQ(sink.Samples(), expected);
  EXPECT_EQ(sink.closes, 1);
  EXPECT_EQ(sink.closer, std::this_thread::get_id());
  ExpectNothingHeld();
}

}  // namespace
