#include "capture/win/AudioInputWin.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fakes/LogCapture.h"
#include "tests/fakes/win/FakeAudioClient.h"
#include "tests/fakes/win/FakeCaptureApi.h"
#include "tests/fakes/win/FakeEndpoints.h"
#include "tests/fakes/win/FakeWave.h"
#include "tests/fakes/win/RecordingSink.h"

namespace {

const GUID kFloat = {0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

// The front over fake Core Audio and a fake wave-in device.
class AudioInputWinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mic.client = &client;
    api.enumerator.collection.endpoints = {&mic};
    api.enumerator.defaultEndpoint = &mic;
  }

  void FailWasapi() { client.SetMixFormat(WAVE_FORMAT_EXTENSIBLE, 1, 44100, 32, kFloat); }

  // The front's own lines, with their levels, in order.
  std::vector<std::pair<int, std::string>> FrontLines() const {
    std::vector<std::pair<int, std::string>> lines;
    for (const LogLine& line : log.Lines()) {
      if (line.text == "[hov] try use AudioInputWinWASAPI" ||
          line.text == "[hov] AudioInputWinWASAPI failed, try use AudioInputWinMME" ||
          line.text == "[hov] AudioInputWinMME failed, all failed") {
        lines.emplace_back(line.level, line.text);
      }
    }
    return lines;
  }

  void ExpectCoreAudioReleased() {
    EXPECT_EQ(api.enumerator.References(), 0);
    EXPECT_EQ(mic.References(), 0);
    EXPECT_EQ(client.References(), 0);
    EXPECT_EQ(client.capture.References(), 0);
    EXPECT_EQ(api.OpenEvents(), 0);
    EXPECT_EQ(api.ComUninitializations(), api.ComInitializations());
  }

  LogCapture log;
  FakeCaptureApi api;
  FakeWave wave;
  FakeAudioClient client;
  FakeEndpoint mic{L"Microphone (HD Audio)", L"HDAUDIO", true};
  RecordingSink sink;
  AudioInputWin front;
};

TEST_F(AudioInputWinTest, WasapiOpensWithOneLineAndWaveInIsNotTried) {
  ASSERT_TRUE(front.Open(0, &sink));
  EXPECT_STREQ(front.Held(), "AudioInputWinWASAPI");
  EXPECT_EQ(FrontLines(),
            (std::vector<std::pair<int, std::string>>{{2, "[hov] try use AudioInputWinWASAPI"}}));
  EXPECT_EQ(wave.Opens(), 0);

  front.Close();
  EXPECT_EQ(front.Held(), nullptr);
  EXPECT_EQ(sink.Count('C'), 1);
  front.Close();
  EXPECT_EQ(sink.Count('C'), 1);
  ExpectCoreAudioReleased();
}

TEST_F(AudioInputWinTest, WaveInTakesOverWithTwoLinesWhenWasapiRefuses) {
  FailWasapi();
  ASSERT_TRUE(front.Open(9, &sink));
  EXPECT_STREQ(front.Held(), "AudioInputWinMME");
  EXPECT_EQ(FrontLines(), (std::vector<std::pair<int, std::string>>{
                              {2, "[hov] try use AudioInputWinWASAPI"},
                              {3, "[hov] AudioInputWinWASAPI failed, try use AudioInputWinMME"}}));
  // The microphone number plays no part: wave-in records from the mapper.
  EXPECT_EQ(wave.Device(), WAVE_MAPPER);
  // The discarded WASAPI object let go of everything before wave-in started.
  ExpectCoreAudioReleased();

  ASSERT_TRUE(wave.ReturnOne(std::vector<int16_t>(4410, 3)));
  EXPECT_TRUE(sink.WaitForWrites(1));
  front.Close();
  EXPECT_EQ(front.Held(), nullptr);
  EXPECT_EQ(sink.Count('C'), 1);
  EXPECT_EQ(wave.OpenDevices(), 0);
}

TEST_F(AudioInputWinTest, BothFailingGiveThreeLinesAndHoldNothing) {
  FailWasapi();
  wave.openResult = MMSYSERR_NODRIVER;
  EXPECT_FALSE(front.Open(0, &sink));
  EXPECT_EQ(front.Held(), nullptr);
  EXPECT_EQ(FrontLines(), (std::vector<std::pair<int, std::string>>{
                              {2, "[hov] try use AudioInputWinWASAPI"},
                              {3, "[hov] AudioInputWinWASAPI failed, try use AudioInputWinMME"},
                              {3, "[hov] AudioInputWinMME failed, all failed"}}));
  EXPECT_TRUE(log.Contains("[hov] waveInOpen failed, res:6"));
  EXPECT_TRUE(sink.Calls().empty());

  front.Close();
  front.Close();
  EXPECT_TRUE(sink.Calls().empty());
  EXPECT_EQ(wave.Opens(), 0);
  ExpectCoreAudioReleased();
}

TEST_F(AudioInputWinTest, TheCaptureHandleUsesThisFront) {
  FailWasapi();
  AudioInput handle;
  ASSERT_TRUE(handle.Open(0, &sink));
  EXPECT_EQ(wave.Opens(), 1);
  handle.Close();
  EXPECT_EQ(wave.OpenDevices(), 0);
  std::vector<uint32_t> numbers = {3, 4};
  AudioInput::GetMicrophoneNumbers(numbers);
  EXPECT_EQ(numbers, std::vector<uint32_t>{0});
}

}  // namespace
