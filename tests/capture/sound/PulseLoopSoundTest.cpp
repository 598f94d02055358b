// Playback and capture against the private PulseAudio server of scripts/with-pulse: what the
// playback backend plays into the null sink comes back through its monitor, bit for bit.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "capture/AudioInput.h"
#include "send/AudioOutput.h"
#include "tests/capture/sound/SoundFixtures.h"
#include "tests/fakes/LogCapture.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr int64_t kRate = 48000;

double MsSince(steady_clock::time_point start, steady_clock::time_point end) {
  return std::chrono::duration<double, std::milli>(end - start).count();
}

// Where the pattern begins in the capture: (capture index, pattern index), or (-1, -1).
std::pair<int64_t, int64_t> FindPattern(const std::vector<int16_t>& captured) {
  constexpr size_t kWindow = 64;
  size_t q = 0;
  while (q < captured.size() && captured[q] == 0) {
    ++q;
  }
  if (q + kWindow > captured.size()) {
    return {-1, -1};
  }
  for (int64_t s = 0; s < kRate; ++s) {
    size_t k = 0;
    while (k < kWindow && captured[q + k] == PatternSample(s + static_cast<int64_t>(k))) {
      ++k;
    }
    if (k == kWindow) {
      return {static_cast<int64_t>(q), s};
    }
  }
  return {-1, -1};
}

TEST(PulseLoopSoundTest, PlayedSamplesComeBackBitForBitThroughTheMonitor) {
  LogCapture log;
  constexpr int64_t kCompared = 3 * kRate;
  CheckingSink sink(12 * kRate);
  AudioInput input;
  steady_clock::time_point openAt = steady_clock::now();
  ASSERT_TRUE(input.Open(0, &sink)) << "needs the PulseAudio server of scripts/with-pulse";
  steady_clock::time_point openedAt = steady_clock::now();
  EXPECT_EQ(log.Count("[hov] try use AudioInputLinuxPulse"), 1);
  EXPECT_EQ(log.Count("[hov] AudioInputLinuxPulse failed, try use AudioInputLinuxAlsa"), 0);
  ASSERT_TRUE(sink.WaitForFrames(1, milliseconds(10000)));
  CheckingSink::Record first = sink.Snapshot();
  std::printf("[ timing ] capture Open %.1f ms, Open to first Write %.1f ms\n",
              MsSince(openAt, openedAt), MsSince(openAt, first.firstWrite));

  PatternSource source;
  AudioOutput output;
  ASSERT_TRUE(output.Open(0, &source));
  // The playback runs at the pace of the sink: wait until a second more than compared has gone.
  for (int i = 0; i < 300 && source.Samples() < kCompared + kRate; ++i) {
    std::this_thread::sleep_for(milliseconds(50));
  }
  ASSERT_GE(source.Samples(), kCompared + kRate);
  steady_clock::time_point closeAt = steady_clock::now();
  output.Close();
  std::printf("[ timing ] playback Close %.1f ms\n", MsSince(closeAt, steady_clock::now()));
  EXPECT_TRUE(source.MarkClosed()) << "a Read runs after Close returned";
  // Small reads, so that a key change is heard soon: about 150 ms lie ahead of the speaker.
  EXPECT_LE(source.Samples() / source.Reads(), kRate / 5);
  EXPECT_EQ(log.Count("[hov] entry AudioOutputLinuxPulse::Close"), 1);

  input.Close();
  input.Close();
  CheckingSink::Record r = sink.Snapshot();
  EXPECT_TRUE(r.violations.empty()) << r.violations.front();
  EXPECT_TRUE(source.Violations().empty()) << source.Violations().front();
  EXPECT_EQ(r.opens, 1);
  EXPECT_EQ(r.closes, 1);
  EXPECT_EQ(r.openThread, std::this_thread::get_id());
  EXPECT_EQ(r.closeThread, std::this_thread::get_id());
  ASSERT_EQ(r.writeThreads.size(), 1u);
  EXPECT_NE(*r.writeThreads.begin(), std::this_thread::get_id());
  EXPECT_EQ(r.minFrames, 480);
  EXPECT_EQ(r.maxFrames, 480);
  for (const LogLine& line : log.Lines()) {
    EXPECT_LT(line.level, 3) << line.text;
  }

  std::pair<int64_t, int64_t> at = FindPattern(r.samples);
  ASSERT_GE(at.first, 0) << "the pattern never came back";
  std::printf("[ info   ] pattern sample %lld arrived at capture sample %lld\n",
              static_cast<long long>(at.second), static_cast<long long>(at.first));
  EXPECT_EQ(at.second, 0) << "the start of the stream was lost";
  ASSERT_GE(static_cast<int64_t>(r.samples.size()) - at.first, kCompared);
  int64_t mismatches = 0;
  int64_t firstMismatch = -1;
  for (int64_t k = 0; k < kCompared; ++k) {
    if (r.samples[static_cast<size_t>(at.first + k)] != PatternSample(at.second + k)) {
      if (mismatches++ == 0) {
        firstMismatch = k;
      }
    }
  }
  EXPECT_EQ(mismatches, 0) << "first at pattern sample " << at.second + firstMismatch;
}

}  // namespace
