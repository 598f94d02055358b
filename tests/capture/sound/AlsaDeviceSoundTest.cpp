// The ALSA paths over devices that the test defines itself: playback into a file, capture from a
// file, and devices that do not open. The PulseAudio client is pointed at a server that does not
// exist, so capture has to fall back to ALSA.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <set>

#include "capture/AudioInput.h"
#include "send/AudioOutput.h"
#include "tests/capture/sound/SoundFixtures.h"
#include "tests/fakes/LogCapture.h"

namespace {

using std::chrono::milliseconds;

constexpr int32_t kSecond = 48000;
constexpr int32_t kChunk = 960;  // the most the ALSA playback asks for at once
const char kNoServer[] = "unix:/nonexistent/hov-no-pulse";
const char kTryPulse[] = "[hov] try use AudioInputLinuxPulse";
const char kPulseFailed[] = "[hov] AudioInputLinuxPulse failed, try use AudioInputLinuxAlsa";
const char kAllFailed[] = "[hov] AudioInputLinuxAlsa failed, all failed";

std::vector<int16_t> Pattern(int64_t from, int64_t count) {
  std::vector<int16_t> samples;
  for (int64_t i = 0; i < count; ++i) {
    samples.push_back(PatternSample(from + i));
  }
  return samples;
}

// Lines of the capture front and the backends' failures, without the traces.
std::vector<std::pair<int, std::string>> FrontLines(const LogCapture& log) {
  std::vector<std::pair<int, std::string>> lines;
  for (const LogLine& line : log.Lines()) {
    if (line.text.rfind("[hov] entry ", 0) != 0 && line.text.rfind("[hov] exit ", 0) != 0) {
      lines.emplace_back(line.level, line.text);
    }
  }
  return lines;
}

TEST(AlsaPlaybackSoundTest, WithoutPulseTheFrontPlaysTheSourceInSmallChunksOnItsOwnThread) {
  AudioEnvironment env(kNoServer);
  env.SetAlsaDefault(AudioEnvironment::PlaybackToFile(env.Dir() + "/out.raw"));
  LogCapture log;
  // Read 1 gives 100 samples and read 2 none: what is missing is played as silence.
  PatternSource source({kChunk, 100, 0}, -1);
  AudioOutput output;
  ASSERT_TRUE(output.Open(7, &source));
  // This device takes samples as fast as they come.
  ASSERT_TRUE(source.WaitForReads(40, milliseconds(10000)));
  output.Close();
  EXPECT_TRUE(source.MarkClosed()) << "a Read runs after Close returned";
  EXPECT_TRUE(source.Violations().empty()) << source.Violations().front();
  std::vector<std::thread::id> threads = source.Threads();
  EXPECT_EQ(std::count(threads.begin(), threads.end(), threads[0]),
            static_cast<std::ptrdiff_t>(threads.size()));
  EXPECT_NE(threads[0], std::this_thread::get_id());

  std::vector<std::pair<int, std::string>> lines = FrontLines(log);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], std::make_pair(2, std::string("[hov] try use AudioOutputLinuxPulse")));
  EXPECT_EQ(lines[2], std::make_pair(3, std::string("[hov] AudioOutputLinuxPulse failed, try use "
                                                    "AudioOutputLinuxAlsa")));
  EXPECT_EQ(lines.size(), 3u);

  std::vector<int16_t> played = ReadRawFile(env.Dir() + "/out.raw");
  ASSERT_GE(played.size(), static_cast<size_t>(3 * kChunk));
  // Every read asked for one chunk at most; a short read was made up with silence.
  std::vector<int16_t> want = Pattern(0, kChunk + 100);
  want.resize(3 * kChunk, 0);
  std::vector<int16_t> rest =
      Pattern(kChunk + 100, static_cast<int64_t>(played.size()) - 3 * kChunk);
  want.insert(want.end(), rest.begin(), rest.end());
  EXPECT_TRUE(played == want);
}

TEST(AlsaPlaybackSoundTest, WhenBothBackendsFailOpenSaysSoWithoutARead) {
  AudioEnvironment env(kNoServer);
  env.SetAlsaDefault(AudioEnvironment::Missing());
  LogCapture log;
  PatternSource source;
  AudioOutput output;
  EXPECT_FALSE(output.Open(0, &source));
  EXPECT_EQ(source.Reads(), 0);
  std::vector<std::pair<int, std::string>> lines = FrontLines(log);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[3].second.rfind("[hov] snd_pcm_open failed, res:-", 0), 0u) << lines[3].second;
  EXPECT_EQ(lines[4],
            std::make_pair(3, std::string("[hov] AudioOutputLinuxAlsa failed, all failed")));
}

TEST(AlsaCaptureSoundTest, WithoutPulseTheFrontFallsBackToAlsaAndCapturesTheDevice) {
  AudioEnvironment env(kNoServer);
  std::vector<int16_t> recorded = Pattern(1000000, 2 * kSecond);
  WriteRawFile(env.Dir() + "/in.raw", recorded);
  env.SetAlsaDefault(AudioEnvironment::CaptureFromFile(env.Dir() + "/in.raw"));
  LogCapture log;
  CheckingSink sink(recorded.size());
  AudioInput input;
  ASSERT_TRUE(input.Open(3, &sink));
  ASSERT_TRUE(sink.WaitForFrames(static_cast<int64_t>(recorded.size()), milliseconds(10000)));
  input.Close();
  input.Close();

  std::vector<std::pair<int, std::string>> lines = FrontLines(log);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], std::make_pair(2, std::string(kTryPulse)));
  EXPECT_EQ(lines[1].first, 3);
  EXPECT_EQ(lines[1].second.rfind("[hov] hov_capture: pa_context_connect failed, res:", 0), 0u)
      << lines[1].second;
  EXPECT_EQ(lines[2], std::make_pair(3, std::string(kPulseFailed)));

  CheckingSink::Record r = sink.Snapshot();
  EXPECT_TRUE(r.violations.empty()) << r.violations.front();
  EXPECT_EQ(r.opens, 1);
  EXPECT_EQ(r.closes, 1);
  EXPECT_EQ(r.closeThread, std::this_thread::get_id());
  EXPECT_GE(r.minFrames, 1);
  EXPECT_LE(r.maxFrames, 480);
  EXPECT_TRUE(r.samples == recorded);
}

TEST(AlsaCaptureSoundTest, WhenBothBackendsFailTheFrontSaysSoAndLeavesTheSinkAlone) {
  AudioEnvironment env(kNoServer);
  env.SetAlsaDefault(AudioEnvironment::Missing());
  LogCapture log;
  CheckingSink sink(0);
  AudioInput input;
  EXPECT_FALSE(input.Open(0, &sink));
  input.Close();
  input.Close();

  std::vector<std::pair<int, std::string>> lines = FrontLines(log);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], std::make_pair(2, std::string(kTryPulse)));
  EXPECT_EQ(lines[1].second.rfind("[hov] hov_capture: pa_context_connect failed, res:", 0), 0u)
      << lines[1].second;
  EXPECT_EQ(lines[2], std::make_pair(3, std::string(kPulseFailed)));
  EXPECT_EQ(lines[3].first, 3);
  EXPECT_EQ(lines[3].second.rfind("[hov] snd_pcm_open failed, res:-", 0), 0u) << lines[3].second;
  EXPECT_EQ(lines[4], std::make_pair(3, std::string(kAllFailed)));

  CheckingSink::Record r = sink.Snapshot();
  EXPECT_EQ(r.opens + r.closes + r.writes, 0);
}

}  // namespace
