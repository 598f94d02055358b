#include "capture/win/AudioInputWinMME.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fakes/LogCapture.h"
#include "tests/fakes/win/CallJournal.h"
#include "tests/fakes/win/FakeWaveIn.h"
#include "tests/fakes/win/RecordingSink.h"

namespace {

std::vector<int16_t> Ramp(int16_t first, size_t count) {
  std::vector<int16_t> samples(count);
  for (size_t i = 0; i < count; ++i) {
    samples[i] = static_cast<int16_t>(first + static_cast<int16_t>(i));
  }
  return samples;
}

class AudioInputWinMMETest : public ::testing::Test {
 protected:
  void SetUp() override { JournalClear(); }

  LogCapture log;
  FakeWaveIn device;
  RecordingSink sink;
  AudioInputWinMME input;
};

TEST_F(AudioInputWinMMETest, LoadDeviceYieldsTheMapperAlone) {
  std::vector<uint32_t> ids = {0, 5};
  AudioInputWinMME::LoadDevice(ids);
  EXPECT_EQ(ids, std::vector<uint32_t>{0xFFFFFFFFu});
}

TEST_F(AudioInputWinMMETest, OpenAsksForMono48kAndQueuesFiveOfTenBuffers) {
  ASSERT_TRUE(input.Open(WAVE_MAPPER, &sink));

  EXPECT_EQ(device.openedDevice, WAVE_MAPPER);
  EXPECT_EQ(device.openFlags, 0x30000u);
  const WAVEFORMATEX& format = device.openedFormat;
  EXPECT_EQ(format.wFormatTag, WAVE_FORMAT_PCM);
  EXPECT_EQ(format.nChannels, 1);
  EXPECT_EQ(format.nSamplesPerSec, 48000u);
  EXPECT_EQ(format.nAvgBytesPerSec, 96000u);
  EXPECT_EQ(format.nBlockAlign, 2);
  EXPECT_EQ(format.wBitsPerSample, 16);
  EXPECT_EQ(format.cbSize, 0);
  EXPECT_EQ(device.bufferLengths, std::vector<DWORD>(10, 8820));
  EXPECT_EQ(device.headerSizes, std::vector<DWORD>(10, sizeof(WAVEHDR)));
  EXPECT_EQ(device.queued, (std::vector<int>{0, 1, 2, 3, 4}));

  // The sink learns the format before recording starts.
  EXPECT_EQ(sink.Format(), (std::vector<uint32_t>{1, 48000, 16}));
  EXPECT_EQ(JournalNotes(), (std::vector<std::string>{"sink Open", "waveInStart"}));
  EXPECT_EQ(device.starts, 1);
  input.Close();
}

TEST_F(AudioInputWinMMETest, FilledBuffersReachTheSinkAndTheRingQueuesInOrder) {
  ASSERT_TRUE(input.Open(WAVE_MAPPER, &sink));
  for (int n = 0; n < 12; ++n) {
    device.Complete(Ramp(static_cast<int16_t>(n * 100), 4410));
  }
  EXPECT_EQ(device.queued, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(device.InDevice(), 5u);
  std::vector<std::vector<int16_t>> writes = sink.Writes();
  ASSERT_EQ(writes.size(), 12u);
  EXPECT_EQ(writes[0], Ramp(0, 4410));
  EXPECT_EQ(writes[11], Ramp(1100, 4410));
  input.Close();
}

TEST_F(AudioInputWinMMETest, EmptyBufferQueuesTheNextWithoutWrite) {
  ASSERT_TRUE(input.Open(WAVE_MAPPER, &sink));
  device.Complete({});
  EXPECT_EQ(sink.Count('W'), 0);
  EXPECT_EQ(device.queued.back(), 5);
  device.Complete(Ramp(7, 3));
  ASSERT_EQ(sink.Writes().size(), 1u);
  EXPECT_EQ(sink.Writes()[0], Ramp(7, 3));  // frames = bytes recorded / 2
  EXPECT_EQ(device.queued.back(), 6);
  input.Close();
}

TEST_F(AudioInputWinMMETest, OtherMessagesAreIgnored) {
  ASSERT_TRUE(input.Open(WAVE_MAPPER, &sink));
  device.Send(WIM_OPEN, 0);
  device.Send(0x3FF, 0);
  EXPECT_EQ(device.queued.size(), 5u);
  EXPECT_EQ(sink.Count('W'), 0);
  input.Close();
}

TEST_F(AudioInputWinMMETest, CloseDeliversNothingMoreAndClosesTheSinkOnceAfterTheDevice) {
  ASSERT_TRUE(input.Open(WAVE_MAPPER, &sink));
  device.Complete(Ramp(0, 4410));
  size_t queued = device.queued.size();
  JournalClear();

  input.Close();

  // The reset returned five full buffers; none was delivered or queued again.
  EXPECT_EQ(sink.Count('W'), 1);
  EXPECT_EQ(device.queued.size(), queued);
  EXPECT_EQ(device.unprepared, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(JournalNotes(), (std::vector<std::string>{"waveInReset", "waveInClose", "sink Close"}));
  EXPECT_EQ(sink.Count('C'), 1);
  // The only log lines are the open trace's.
  for (const LogLine& line : log.Lines()) {
    EXPECT_EQ(line.level, 2) << line.text;
  }
}

TEST_F(AudioInputWinMMETest, FailedOpenLogsOneLineAndTouchesNothing) {
  device.openResult = MMSYSERR_BADDEVICEID;
  EXPECT_FALSE(input.Open(WAVE_MAPPER, &sink));

  std::vector<LogLine> failures;
  for (const LogLine& line : log.Lines()) {
    if (line.level != 2) {
      failures.push_back(line);
    }
  }
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].level, 3);
  EXPECT_EQ(failures[0].text, "[hov] waveInOpen failed, res:2");
  EXPECT_TRUE(device.bufferLengths.empty());
  EXPECT_TRUE(sink.Calls().empty());
}

}  // namespace
