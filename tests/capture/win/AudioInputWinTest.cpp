#include "capture/win/AudioInputWin.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "tests/fakes/win/WinRig.h"

namespace {

using Lines = std::vector<std::pair<int, std::string>>;

struct FrontCase {
  const char* name;
  bool refuseWasapi;  // a 44100 Hz mix rate
  MMRESULT waveInOpen;
  const char* held;  // the backend that captures, or null
  Lines lines;       // the front's own lines, in order
};

class AudioInputWinTest : public WinRig, public ::testing::WithParamInterface<FrontCase> {
 protected:
  Lines FrontLines() {
    Lines lines;
    for (const LogLine& line : log.Lines()) {
      if (line.text.find("try use ") != std::string::npos ||
          line.text.find("all failed") != std::string::npos) {
        lines.emplace_back(line.level, line.text);
      }
    }
    return lines;
  }
};

TEST_P(AudioInputWinTest, TriesWasapiThenWaveInAndKeepsWhatOpened) {
  const FrontCase& c = GetParam();
  if (c.refuseWasapi) {
    client.SetMixFormat(WAVE_FORMAT_EXTENSIBLE, 1, 44100, 32, FakeAudioClient::kFloat);
  }
  wave.openResult = c.waveInOpen;
  AudioInputWin front;
  EXPECT_EQ(front.Open(9, &sink), c.held != nullptr);
  EXPECT_STREQ(front.Held(), c.held);
  EXPECT_EQ(FrontLines(), c.lines);
  // The discarded WASAPI backend let go of everything before wave-in started.
  const bool wasapi = c.held != nullptr && std::string(c.held) == "AudioInputWinWASAPI";
  EXPECT_EQ(client.References(), wasapi ? 1 : 0);
  front.Close();
  front.Close();
  EXPECT_EQ(front.Held(), nullptr);
  EXPECT_EQ(sink.closes, c.held == nullptr ? 0 : 1);
  ExpectNothingHeld();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AudioInputWinTest,
    ::testing::Values(FrontCase{"Wasapi",
                                false,
                                MMSYSERR_NOERROR,
                                "AudioInputWinWASAPI",
                                {{2, "[hov] try use AudioInputWinWASAPI"}}},
                      FrontCase{
                          "WaveIn",
                          true,
                          MMSYSERR_NOERROR,
                          "AudioInputWinMME",
                          {{2, "[hov] try use AudioInputWinWASAPI"},
                           {3, "[hov] AudioInputWinWASAPI failed, try use AudioInputWinMME"}}},
                      FrontCase{"None",
                                true,
                                MMSYSERR_NODRIVER,
                                nullptr,
                                {{2, "[hov] try use AudioInputWinWASAPI"},
                                 {3, "[hov] AudioInputWinWASAPI failed, try use AudioInputWinMME"},
                                 {3, "[hov] AudioInputWinMME failed, all failed"}}}),
    [](const ::testing::TestParamInfo<FrontCase>& info) { return info.param.name; });

TEST_F(WinRig, TheCaptureHandleUsesTheFront) {
  AudioInput handle;
  ASSERT_TRUE(handle.Open(0, &sink));
  EXPECT_EQ(client.starts, 1);
  handle.Close();
  ExpectNothingHeld();
}

}  // namespace
