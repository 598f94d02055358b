#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "bench/channel/ChannelSim.h"
#include "codec/ShareKeyEncoder.h"
#include "receive/robust/HovSinkRobust.h"
#include "receive/robust/RobustReceiver.h"
#include "runtime/HovLog.h"
#include "tests/fakes/SignalFactory.h"

// Counts allocations while a test asks for it, to show that feeding allocates nothing.
namespace {
std::atomic<bool> g_counting{false};
std::atomic<int64_t> g_allocations{0};
}  // namespace

// The replacement pairs malloc with free itself; the compiler cannot see that.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t size) {
  if (g_counting.load(std::memory_order_relaxed)) {
    ++g_allocations;
  }
  if (void* p = std::malloc(size ? size : 1)) {
    return p;
  }
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, size_t) noexcept {
  std::free(p);
}

namespace {

std::string Letters(const uint8_t* key) {
  std::string letters;
  ShareKeyEncoder::Decode(std::string(reinterpret_cast<const char*>(key), 4), &letters);
  return letters;
}

// Feeds samples in blocks; the frame count after the block in which the key came, or -1.
int64_t FeedBlocks(RobustReceiver& receiver, const std::vector<int16_t>& samples, int32_t block) {
  for (size_t at = 0; at < samples.size(); at += static_cast<size_t>(block)) {
    const int32_t n = static_cast<int32_t>(std::min<size_t>(block, samples.size() - at));
    if (receiver.Feed(&samples[at], n)) {
      return static_cast<int64_t>(at) + n;
    }
  }
  return -1;
}

class RobustReceiverTest : public ::testing::Test {
 protected:
  void SetUp() override { HovLogger::GetInstance()->RegisterLogger(nullptr); }
};

struct HardCase {
  const char* name;
  double snrDb, clockPpm, rate;
  int32_t block;
  double rt60, drrDb;
  int heardOfEight;  // trials that must give the key; none may give a wrong one
};

// Each channel that defeats the design's receiver is heard, with the right key, within the
// trial, whatever the seed picks for key, lead silence and packet phase; the reverberant room
// is heard nearly always (a faded tone must stand clear of the echo before it) and never gives
// a wrong key.
TEST_F(RobustReceiverTest, HearsTheRightKeyThroughHardChannels) {
  const HardCase cases[] = {
      {"echo: RT60 0.6 s, DRR -6 dB", 10, 0, 48000, 1024, 0.6, -6, 7},
      {"drift: 5000 ppm", 10, 5000, 48000, 1024, 0, 0, 8},
      {"44.1 kHz capture in blocks of 4096", 10, 0, 44100, 4096, 0, 0, 8},
      {"noise: -15 dB", -15, 0, 48000, 480, 0, 0, 8},
  };
  for (const HardCase& c : cases) {
    ChannelCondition condition;
    condition.snrDb = c.snrDb;
    condition.clockPpm = c.clockPpm;
    condition.captureRate = c.rate;
    condition.block = c.block;
    condition.rt60 = c.rt60;
    condition.drrDb = c.drrDb;
    int heard = 0;
    for (uint64_t seed = 15; seed < 23; ++seed) {
      SCOPED_TRACE(std::string(c.name) + ", seed " + std::to_string(seed));
      const ChannelTrial trial = MakeTrial(condition, seed);
      RobustReceiver receiver(c.rate);
      const int64_t at = FeedBlocks(receiver, trial.samples, c.block);
      if (at < 0) {
        continue;
      }
      ++heard;
      EXPECT_EQ(Letters(receiver.Result().key), trial.shareKey);
      // Not before a cycle and a few symbols of signal have been read twice.
      EXPECT_GT(at - trial.signalStart, static_cast<int64_t>(1.0 * c.rate));
    }
    EXPECT_GE(heard, c.heardOfEight) << c.name;
  }
}

// How the capture is cut into buffers changes nothing: buffers of one frame, of a decimation
// block, and of more or less than a spectrum's hop all commit the same key at the same frame with
// the same margins (at 44.1 kHz no buffer size here is a whole number of blocks).
TEST_F(RobustReceiverTest, BufferSizesChangeNothing) {
  ChannelCondition condition;
  condition.captureRate = 44100;
  const ChannelTrial trial = MakeTrial(condition, 3);
  RobustResult first;
  float firstMargin = 0.0f;
  for (int32_t block : {4097, 1, 29, 1000}) {
    SCOPED_TRACE("blocks of " + std::to_string(block));
    RobustReceiver receiver(condition.captureRate);
    ASSERT_GE(FeedBlocks(receiver, trial.samples, block), 0);
    const RobustResult& result = receiver.Result();
    EXPECT_EQ(Letters(result.key), trial.shareKey);
    if (first.code == 0) {
      first = result;
      firstMargin = receiver.Inspect().minMargin;
    }
    EXPECT_EQ(result.samplePosition, first.samplePosition);
    EXPECT_TRUE(std::equal(result.key, result.key + 4, first.key));
    EXPECT_EQ(receiver.Inspect().minMargin, firstMargin);
  }
}

// Reverberant-room trials in which the energies alone commit a wrong key (a faded tone read as
// its predecessor's echo): the room fit refuses it, and whatever key comes is the right one.
TEST_F(RobustReceiverTest, TheRoomFitRefusesWhatAnEchoSpells) {
  ChannelCondition condition;
  condition.snrDb = 10;
  condition.rt60 = 0.6;
  condition.drrDb = -6;
  for (uint64_t seed : {2371049390545418100ull, 18213997327462760165ull, 3165770675275398040ull}) {
    const ChannelTrial trial = MakeTrial(condition, seed);
    RobustReceiver receiver(48000);
    if (FeedBlocks(receiver, trial.samples, 1024) >= 0) {
      EXPECT_EQ(Letters(receiver.Result().key), trial.shareKey) << "seed " << seed;
    }
  }
}

// Strong noise on a dry channel does not set off what guards against a room: keys that start
// on a repeated nibble or repeat one further on, at -15 dB, are heard (trials whose phases
// happen to read a noisy tail, or whose repeated tone comes back a little weaker).
TEST_F(RobustReceiverTest, StrongNoiseIsNoEcho) {
  ChannelCondition condition;
  condition.snrDb = -15;
  for (uint64_t seed : {454, 493, 555}) {
    const ChannelTrial trial = MakeTrial(condition, seed);
    RobustReceiver receiver(48000);
    if (FeedBlocks(receiver, trial.samples, 1024) < 0) {
      ADD_FAILURE() << "seed " << seed << ": " << receiver.Inspect().verdict;
      continue;
    }
    EXPECT_EQ(Letters(receiver.Result().key), trial.shareKey) << "seed " << seed;
  }
}

// A key whose every symbol comes back a symbol later at half its level, each symbol repeated
// into the next, is heard as itself: the refusals meant for faded tones in a reverberant room
// leave a clear key through a strong echo alone, also one whose word ends on tone 0 (STERNS)
// just before the separator's two.
TEST_F(RobustReceiverTest, HearsAKeyThroughOneStrongEcho) {
  for (const char* key : {"ECHOED", "BOUNCE", "STERNS"}) {
    const std::vector<int16_t> dry = RenderKeySignal(key, 48000 * 3);
    std::vector<int16_t> wet(dry.size());
    for (size_t i = 0; i < dry.size(); ++i) {
      wet[i] = static_cast<int16_t>(dry[i] / 4 + (i >= 4096 ? dry[i - 4096] / 8 : 0));
    }
    RobustReceiver receiver(48000);
    ASSERT_GT(FeedBlocks(receiver, wet, 1024), 0) << key << ": " << receiver.Inspect().verdict;
    EXPECT_EQ(Letters(receiver.Result().key), key);
  }
}

// A key that starts long after listening began is heard: the receiver never stops listening.
TEST_F(RobustReceiverTest, HearsAKeyThatStartsLate) {
  ChannelCondition noise;
  noise.kind = ChannelCondition::kNoise;
  std::vector<int16_t> samples;
  for (uint64_t seed = 30; seed < 33; ++seed) {
    const ChannelTrial quiet = MakeTrial(noise, seed);
    samples.insert(samples.end(), quiet.samples.begin(), quiet.samples.end());
  }
  const int64_t start = static_cast<int64_t>(samples.size());
  const std::vector<int16_t> key = RenderKeySignal("LATEST", 48000 * 2);
  for (int16_t s : key) {
    samples.push_back(static_cast<int16_t>(s / 8));
  }
  RobustReceiver receiver(48000);
  const int64_t at = FeedBlocks(receiver, samples, 1024);
  ASSERT_GT(at, start);
  EXPECT_EQ(Letters(receiver.Result().key), "LATEST");
}

// A word whose check fails is never committed, however clearly it is heard.
TEST_F(RobustReceiverTest, RefusesAPacketThatFailsTheCheck) {
  std::string encoded;
  ASSERT_TRUE(ShareKeyEncoder::Encode("ABCDEF", &encoded));
  encoded[3] = static_cast<char>(encoded[3] ^ 1);
  std::string letters;
  ASSERT_FALSE(ShareKeyEncoder::Decode(encoded, &letters));
  const std::vector<int16_t> samples = RenderEncodedSignal(encoded, 48000 * 4);
  RobustReceiver receiver(48000);
  EXPECT_EQ(FeedBlocks(receiver, samples, 1024), -1);
  EXPECT_STREQ(receiver.Inspect().verdict, "check failed");
}

// Chirps, keyed tones and notes on the tone grid near the band give no key.
TEST_F(RobustReceiverTest, GivesNoKeyFromChirpsTonesOrMusic) {
  for (ChannelCondition::Kind kind :
       {ChannelCondition::kChirps, ChannelCondition::kTones, ChannelCondition::kMusic}) {
    ChannelCondition condition;
    condition.kind = kind;
    for (uint64_t seed = 0; seed < 30; ++seed) {
      SCOPED_TRACE("kind " + std::to_string(kind) + ", seed " + std::to_string(seed));
      const ChannelTrial trial = MakeTrial(condition, 1000 + seed);
      RobustReceiver receiver(48000);
      EXPECT_EQ(FeedBlocks(receiver, trial.samples, 1024), -1);
    }
  }
}

// Feeding allocates nothing, neither while listening to noise nor while a key arrives.
TEST_F(RobustReceiverTest, FeedingAllocatesNothing) {
  // A clear key, and a room trial whose key the room fit confirms.
  ChannelCondition room;
  room.rt60 = 0.6;
  room.drrDb = -6;
  const std::vector<int16_t> signals[] = {RenderKeySignal("NOALLO", 48000 * 2),
                                          MakeTrial(room, 2371049390545418100ull).samples};
  for (const std::vector<int16_t>& samples : signals) {
    RobustReceiver receiver(48000);
    g_allocations = 0;
    g_counting = true;
    const int64_t at = FeedBlocks(receiver, samples, 1024);
    g_counting = false;
    EXPECT_GT(at, 0);
    EXPECT_EQ(g_allocations.load(), 0);
  }
}

// The sink hands the committed encoded key to the polling side from a stereo capture (the mono
// path runs in the tool's robust loopback).
TEST_F(RobustReceiverTest, SinkHandsOverTheEncodedKey) {
  std::string encoded;
  ASSERT_TRUE(ShareKeyEncoder::Encode("SINKER", &encoded));
  const std::vector<int16_t> mono = RenderKeySignal("SINKER", 48000 * 2);
  std::vector<int16_t> interleaved;
  for (int16_t s : mono) {
    interleaved.insert(interleaved.end(), {s, static_cast<int16_t>(-s / 3)});
  }
  HovSinkRobust sink;
  sink.Open(2, 48000, 16);
  for (size_t f = 0; f < mono.size() && !sink.IsComplete(); f += 1000) {
    EXPECT_EQ(sink.Write(&interleaved[f * 2], 1000), 1000);
  }
  char buffer[16];
  ASSERT_EQ(sink.GetMessage(buffer, sizeof buffer), 4);
  EXPECT_EQ(std::string(buffer, 4), encoded);
  sink.Close();
  sink.Close();
}

}  // namespace
