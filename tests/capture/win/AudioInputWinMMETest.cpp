#include "capture/win/AudioInputWinMME.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fakes/LogCapture.h"
#include "tests/fakes/win/FakeWave.h"
#include "tests/fakes/win/RecordingSink.h"

namespace {

constexpr int kRing = AudioInputWinMME::kBufferCount;

std::vector<int16_t> Ramp(int first, size_t count) {
  std::vector<int16_t> samples(count);
  for (size_t i = 0; i < count; ++i) {
    samples[i] = static_cast<int16_t>(first + static_cast<int>(i));
  }
  return samples;
}

class AudioInputWinMMETest : public ::testing::Test {
 protected:
  LogCapture log;
  FakeWave wave;
  RecordingSink sink;
  AudioInputWinMME input;
};

TEST_F(AudioInputWinMMETest, OpenAsksForMono48kQueuesTheRingAndOpensTheSinkFirst) {
  ASSERT_TRUE(input.Open(7, &sink));
  EXPECT_EQ(wave.device, WAVE_MAPPER);
  EXPECT_EQ(wave.flags, static_cast<DWORD>(CALLBACK_FUNCTION));
  const WAVEFORMATEX& format = wave.format;
  EXPECT_EQ(std::vector<int>({format.wFormatTag, format.nChannels,
                              static_cast<int>(format.nSamplesPerSec), format.wBitsPerSample}),
            std::vector<int>({WAVE_FORMAT_PCM, 1, 48000, 16}));
  EXPECT_EQ(wave.queued, kRing);
  EXPECT_EQ(sink.Format(), (std::vector<uint32_t>{1, 48000, 16}));
  input.Close();
}

TEST_F(AudioInputWinMMETest, RecordedBuffersReachTheSinkInOrderOnThePumpThread) {
  ASSERT_TRUE(input.Open(WAVE_MAPPER, &sink));
  const int buffers = 12;
  for (int n = 0; n < buffers; ++n) {
    // An empty buffer delivers nothing but is queued again.
    ASSERT_TRUE(wave.ReturnOne(n == 3 ? std::vector<int16_t>() : Ramp(n * 100, 4410)));
    ASSERT_TRUE(wave.WaitForQueued(kRing + n + 1));
  }
  input.Close();
  std::vector<std::vector<int16_t>> writes = sink.Writes();
  ASSERT_EQ(writes.size(), static_cast<size_t>(buffers - 1));
  EXPECT_EQ(writes[0], Ramp(0, 4410));
  EXPECT_EQ(writes[3], Ramp(400, 4410));
  EXPECT_EQ(writes.back(), Ramp(1100, 4410));
  EXPECT_EQ(wave.orderErrors, 0);
  std::vector<RecordingSink::Call> calls = sink.Calls();
  EXPECT_NE(calls[1].thread, std::this_thread::get_id());
  // Closed once, after the device, on the closing thread.
  EXPECT_EQ(sink.Count('C'), 1);
  EXPECT_EQ(calls.back().kind, 'C');
  EXPECT_EQ(calls.back().thread, std::this_thread::get_id());
  EXPECT_EQ(wave.openDevices, 0);
  EXPECT_EQ(wave.prepared, 0);
}

TEST_F(AudioInputWinMMETest, TheMapperIsTheOnlyDevice) {
  std::vector<uint32_t> ids = {0, 5};
  AudioInputWinMME::LoadDevice(ids);
  EXPECT_EQ(ids, std::vector<uint32_t>{WAVE_MAPPER});
}

}  // namespace
