#include "send/win/AudioOutputWinMME.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "tests/fakes/LogCapture.h"
#include "tests/fakes/win/AllocationCount.h"
#include "tests/fakes/win/FakeWave.h"

namespace {

constexpr int kRing = AudioOutputWinMME::kBufferCount;
constexpr int32_t kSamples = AudioOutputWinMME::kBufferSamples;

// Writes a running ramp, and notes the allocations its reading thread has made at each read.
class RampSource : public AudioOutput::AudioSource {
 public:
  int32_t answer = kSamples;  // samples given per read

  int32_t Read(int16_t* buffer, int32_t count) override {
    int n = reads.load();
    if (n < kMaxReads) {
      m_allocations[n] = ThreadAllocations();
    }
    for (int32_t i = 0; i < answer && i < count; ++i) {
      buffer[i] = m_next++;
    }
    ++reads;
    return answer;
  }
  // Allocations the reading thread made between read first and read last.
  int64_t AllocationsBetween(int first, int last) const {
    return m_allocations[last] - m_allocations[first];
  }

  static constexpr int kMaxReads = 512;
  std::atomic<int> reads{0};

 private:
  int16_t m_next = 0;
  int64_t m_allocations[kMaxReads] = {};
};

std::vector<int16_t> Ramp(int first, int32_t count, int32_t given = kSamples) {
  std::vector<int16_t> samples(count, 0);
  for (int32_t i = 0; i < given; ++i) {
    samples[i] = static_cast<int16_t>(first + i);
  }
  return samples;
}

class AudioOutputWinMMETest : public ::testing::Test {
 protected:
  // Plays the oldest buffer and waits until the pump has queued its refill.
  void PlayOne() {
    int queued = wave.queued;
    ASSERT_TRUE(wave.ReturnOne());
    ASSERT_TRUE(wave.WaitForQueued(queued + 1));
  }

  LogCapture log;
  FakeWave wave;
  RampSource source;
  AudioOutputWinMME output;
};

TEST_F(AudioOutputWinMMETest, OpenQueuesTheWholeRingReadFromTheSourceOnTheMapper) {
  ASSERT_TRUE(output.Open(3, &source));
  EXPECT_EQ(wave.device, WAVE_MAPPER);
  EXPECT_EQ(wave.flags, static_cast<DWORD>(CALLBACK_FUNCTION | WAVE_ALLOWSYNC));
  const WAVEFORMATEX& format = wave.format;
  EXPECT_EQ(std::vector<int>({format.wFormatTag, format.nChannels,
                              static_cast<int>(format.nSamplesPerSec),
                              static_cast<int>(format.nAvgBytesPerSec), format.nBlockAlign,
                              format.wBitsPerSample, format.cbSize}),
            std::vector<int>({WAVE_FORMAT_PCM, 1, 48000, 96000, 2, 16, 0}));
  EXPECT_EQ(wave.queued, kRing);
  for (int i = 0; i < kRing; ++i) {
    EXPECT_EQ(wave.Held(i), Ramp(i * kSamples, kSamples)) << "buffer " << i;
  }
  output.Close();
  EXPECT_EQ(wave.openDevices, 0);
  EXPECT_EQ(wave.prepared, 0);
}

TEST_F(AudioOutputWinMMETest, EachPlayedBufferIsRefilledInRingOrderWithoutAllocating) {
  ASSERT_TRUE(output.Open(WAVE_MAPPER, &source));
  const int played = 300;  // more than a second of sound
  for (int n = 0; n < played; ++n) {
    PlayOne();
  }
  // The newest buffer holds the continuation of the stream.
  EXPECT_EQ(wave.Held(kRing - 1), Ramp((played + kRing - 1) * kSamples, kSamples));
  EXPECT_EQ(wave.orderErrors, 0);
  EXPECT_EQ(source.reads, kRing + played);
  // The pump thread allocates nothing per buffer once it runs (reads 4.. are all on it).
  EXPECT_EQ(source.AllocationsBetween(kRing + 1, kRing + played - 1), 0);
  output.Close();
}

TEST_F(AudioOutputWinMMETest, AShortReadIsPaddedWithSilence) {
  source.answer = kSamples / 2;
  ASSERT_TRUE(output.Open(WAVE_MAPPER, &source));
  EXPECT_EQ(wave.Held(1), Ramp(kSamples / 2, kSamples, kSamples / 2));
  output.Close();
}

TEST_F(AudioOutputWinMMETest, TheHandleUsesWaveOutAndTheMapperIsTheOnlyDevice) {
  std::vector<uint32_t> ids = {1, 2, 3};
  AudioOutput::LoadDevice(ids);
  EXPECT_EQ(ids, std::vector<uint32_t>{WAVE_MAPPER});
  AudioOutput handle;
  ASSERT_TRUE(handle.Open(0, &source));
  EXPECT_EQ(wave.opens, 1);
  handle.Close();
  EXPECT_EQ(wave.openDevices, 0);
}

}  // namespace
