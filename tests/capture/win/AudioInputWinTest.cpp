#include "capture/win/AudioInputWin.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fakes/win/WinRig.h"

namespace {

const std::string kTryWasapi = "2 [hov] try use AudioInputWinWASAPI";
const std::string kTryWaveIn = "3 [hov] AudioInputWinWASAPI failed, try use AudioInputWinMME";
const std::string kAllFailed = "3 [hov] AudioInputWinMME failed, all failed";

struct FrontCase {
  const char* name;
  bool refuseWasapi;  // a 44100 Hz mix rate
  MMRESULT waveInOpen;
  const char* held;                // the backend that captures, or null
  std::vector<std::string> lines;  // the front's own lines (level and text), in order
};

class AudioInputWinTest : public WinRig, public ::testing::WithParamInterface<FrontCase> {};

// WASAPI first, wave-in when it fails; the discarded WASAPI backend has let go of everything
// before wave-in starts, and the front closes what it holds once.
TEST_P(AudioInputWinTest, TriesWasapiThenWaveInAndKeepsWhatOpened) {
  const FrontCase& c = GetParam();
  if (c.refuseWasapi) {
    client.SetMixFormat(WAVE_FORMAT_EXTENSIBLE, 1, 44100, 32, FakeAudioClient::kFloat);
  }
  wave.openResult = c.waveInOpen;
  AudioInputWin front;
  EXPECT_EQ(front.Open(9, &sink), c.held != nullptr);
  EXPECT_STREQ(front.Held(), c.held);
  std::vector<std::string> lines;
  for (const LogLine& line : log.Lines()) {
    if (line.text.find("try use ") != std::string::npos ||
        line.text.find("all failed") != std::string::npos) {
      lines.push_back(std::to_string(line.level) + " " + line.text);
    }
  }
  EXPECT_EQ(lines, c.lines);
  EXPECT_EQ(client.References(), c.lines.size() == 1 ? 1 : 0);
  front.Close();
  front.Close();
  EXPECT_EQ(front.Held(), nullptr);
  EXPECT_EQ(sink.closes, c.held == nullptr ? 0 : 1);
  ExpectNothingHeld();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AudioInputWinTest,
    ::testing::Values(
        FrontCase{"Wasapi", false, MMSYSERR_NOERROR, "AudioInputWinWASAPI", {kTryWasapi}},
        FrontCase{"WaveIn", true, MMSYSERR_NOERROR, "AudioInputWinMME", {kTryWasapi, kTryWaveIn}},
        FrontCase{"None", true, MMSYSERR_NODRIVER, nullptr, {kTryWasapi, kTryWaveIn, kAllFailed}}),
    [](const ::testing::TestParamInfo<FrontCase>& info) { return info.param.name; });

}  // namespace
