#include "capture/win/AudioInputWinMME.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "tests/fakes/win/WinRig.h"

namespace {

// Recorded buffers reach the sink whole and in order, each queued again in ring order (an empty
// one too, though it delivers nothing); the sink is closed once, by the closing thread.
TEST_F(WinRig, RecordedBuffersReachTheSinkInOrderAndAreQueuedAgain) {
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
  EXPECT_EQ(sink.calls, 11);
  EXPECT_EQ(wave.orderErrors, 0);
  EXPECT_EQ(sink.closes, 1);
  EXPECT_EQ(sink.closer, std::this_thread::get_id());
  ExpectNothingHeld();
}

}  // namespace
