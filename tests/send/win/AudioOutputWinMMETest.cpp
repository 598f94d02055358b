#include "send/win/AudioOutputWinMME.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fakes/LogCapture.h"
#include "tests/fakes/win/FakeWaveOut.h"

namespace {

// Writes a running ramp; the counts of the first reads can be chosen.
class RampSource : public AudioOutput::AudioSource {
 public:
  std::vector<int32_t> answers;  // counts of the first reads; full reads after them
  int reads = 0;

  int32_t Read(int16_t* buffer, int32_t count) override {
    ++reads;
    int32_t n = reads <= static_cast<int>(answers.size()) ? answers[reads - 1] : count;
    for (int32_t i = 0; i < n; ++i) {
      buffer[i] = m_next++;
    }
    return n;
  }

 private:
  int16_t m_next = 0;
};

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

class AudioOutputWinMMETest : public ::testing::Test {
 protected:
  LogCapture log;
  FakeWaveOut device;
  RampSource source;
  AudioOutputWinMME output;
};

TEST_F(AudioOutputWinMMETest, LoadDeviceAlwaysYieldsTheMapperAlone) {
  std::vector<uint32_t> ids;
  AudioOutputWinMME::LoadDevice(ids);
  EXPECT_EQ(ids, std::vector<uint32_t>{0xFFFFFFFFu});

  ids = {1, 2, 3};
  AudioOutput::LoadDevice(ids);
  EXPECT_EQ(ids, std::vector<uint32_t>{0xFFFFFFFFu});
  EXPECT_EQ(log.Count("[hov] entry AudioOutputWinMME::LoadDevice"), 2);
}

TEST_F(AudioOutputWinMMETest, OpenQueuesFiveFullSecondsOnTheMapper) {
  ASSERT_TRUE(output.Open(3, &source));

  EXPECT_EQ(device.openedDevice, WAVE_MAPPER);
  EXPECT_EQ(device.openFlags, 0x30002u);
  EXPECT_EQ(device.openInstance, reinterpret_cast<DWORD_PTR>(&output));
  const WAVEFORMATEX& format = device.openedFormat;
  EXPECT_EQ(format.wFormatTag, WAVE_FORMAT_PCM);
  EXPECT_EQ(format.nChannels, 1);
  EXPECT_EQ(format.nSamplesPerSec, 48000u);
  EXPECT_EQ(format.nAvgBytesPerSec, 96000u);
  EXPECT_EQ(format.nBlockAlign, 2);
  EXPECT_EQ(format.wBitsPerSample, 16);
  EXPECT_EQ(format.cbSize, 0);

  EXPECT_EQ(device.preparedLengths, std::vector<DWORD>(10, 96000));
  EXPECT_EQ(device.written, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(device.writtenLengths, std::vector<DWORD>(5, 96000));
  EXPECT_EQ(source.reads, 5);
  // The device announced itself during the open.
  EXPECT_EQ(log.Count("[hov] entry AudioOutputWinMME::OnOpen"), 1);
  output.Close();
}

TEST_F(AudioOutputWinMMETest, EachPlayedBufferRefillsTheNextOfTheRing) {
  ASSERT_TRUE(output.Open(WAVE_MAPPER, &source));
  for (int n = 1; n <= 23; ++n) {
    device.FinishOne();
    // The n-th refill takes the header at the index Open left (5), advanced n - 1 times.
    ASSERT_EQ(device.written.back(), (5 + n - 1) % 10) << "after " << n << " notifications";
    ASSERT_EQ(device.InDevice(), 5u);
  }
  EXPECT_EQ(device.writesOfHeldHeaders, 0);
  EXPECT_EQ(source.reads, 5 + 23);
  output.Close();
}

TEST_F(AudioOutputWinMMETest, ShortReadQueuesOnlyWhatTheSourceGave) {
  source.answers = {48000, 24000};
  ASSERT_TRUE(output.Open(WAVE_MAPPER, &source));
  EXPECT_EQ(device.writtenLengths, (std::vector<DWORD>{96000, 48000, 96000, 96000, 96000}));
  output.Close();
}

TEST_F(AudioOutputWinMMETest, EmptyReadLeavesItsHeaderOutAndTheRingMovesOn) {
  source.answers = {48000, 48000, 0};
  ASSERT_TRUE(output.Open(WAVE_MAPPER, &source));
  EXPECT_EQ(device.written, (std::vector<int>{0, 1, 3, 4}));
  device.FinishOne();
  EXPECT_EQ(device.written.back(), 5);
  EXPECT_EQ(device.InDevice(), 4u);  // one buffer fewer for good
  output.Close();
}

TEST_F(AudioOutputWinMMETest, FailedOpenHoldsNothingAndLogsNoFailure) {
  device.openResult = MMSYSERR_ALLOCATED;
  EXPECT_FALSE(output.Open(WAVE_MAPPER, &source));
  EXPECT_TRUE(device.preparedLengths.empty());
  EXPECT_EQ(source.reads, 0);
  for (const LogLine& line : log.Lines()) {
    EXPECT_EQ(line.level, 2) << line.text;
  }
}

TEST_F(AudioOutputWinMMETest, CloseResetsUnpreparesAllThenClosesAndReadsNoMore) {
  ASSERT_TRUE(output.Open(WAVE_MAPPER, &source));
  device.FinishOne();
  int reads = source.reads;
  size_t written = device.written.size();

  output.Close();

  std::vector<std::string> expected = {"reset"};
  expected.insert(expected.end(), 10, "unprepare");
  expected.push_back("close");
  EXPECT_EQ(device.calls, expected);
  EXPECT_EQ(device.unprepared, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  // The five buffers that the reset returned found the flag cleared.
  EXPECT_EQ(source.reads, reads);
  EXPECT_EQ(device.written.size(), written);
  EXPECT_EQ(log.Count("[hov] entry AudioOutputWinMME::OnClose"), 1);
  EXPECT_EQ(log.Count("[hov] entry AudioOutputWinMME::Close"), 1);

  // A late notification does not touch the source either.
  device.Send(WOM_DONE);
  EXPECT_EQ(source.reads, reads);
}

TEST_F(AudioOutputWinMMETest, OtherMessagesOnlyTrace) {
  ASSERT_TRUE(output.Open(WAVE_MAPPER, &source));
  log.Clear();
  device.Send(0x3FF);
  std::vector<std::string> texts = log.Texts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], "[hov] entry AudioOutputWinMME::WaveOutProc");
  EXPECT_TRUE(StartsWith(texts[1], "[hov] exit AudioOutputWinMME::WaveOutProc, cost: "));
  EXPECT_EQ(source.reads, 5);
  output.Close();
}

TEST_F(AudioOutputWinMMETest, HandleMadeWithoutTestFactoryPlaysThroughWaveOut) {
  AudioOutput handle;
  ASSERT_TRUE(handle.Open(0, &source));
  EXPECT_EQ(device.written.size(), 5u);
  handle.Close();
  EXPECT_EQ(device.closes, 1);
}

}  // namespace
