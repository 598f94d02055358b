#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "codec/ShareKeyEncoder.h"
#include "modem/ToneDetector.h"
#include "receive/HovSink.h"
#include "tests/fakes/SignalFactory.h"

namespace {

constexpr uint32_t kPayload = 4;
constexpr size_t kWindowFrames = 45056;  // 11 symbols of 4096 frames

// Lets a test look at the detector, to see exactly which samples reached it.
class ProbeDelaySink : public HovSinkDelay {
 public:
  using HovSink::Detector;
  using HovSinkDelay::HovSinkDelay;
};

class ProbeSink : public HovSink {
 public:
  using HovSink::Detector;
  using HovSink::HovSink;
};

std::string Encoded(const std::string& key) {
  std::string encoded;
  EXPECT_TRUE(ShareKeyEncoder::Encode(key, &encoded));
  return encoded;
}

std::string Result(HovSink& sink) {
  char buffer[1024];
  int32_t n = sink.GetResult(buffer, sizeof(buffer));
  return std::string(buffer, static_cast<size_t>(n));
}

// Two detectors that were fed the same samples in the same order are alike bit for bit.
::testing::AssertionResult SameState(const ToneDetector* a, const ToneDetector* b) {
  if (a->frameCounter != b->frameCounter || a->fillPosition != b->fillPosition) {
    return ::testing::AssertionFailure()
           << "frame " << a->frameCounter << " fill " << a->fillPosition << " vs frame "
           << b->frameCounter << " fill " << b->fillPosition;
  }
  size_t fill = static_cast<size_t>(a->fillPosition);
  size_t powers = static_cast<size_t>(a->windowFrames) * static_cast<size_t>(a->params.toneCount);
  if (std::memcmp(a->frame, b->frame, fill * sizeof(float)) != 0 ||
      std::memcmp(a->tonePowers, b->tonePowers, powers * sizeof(float)) != 0 ||
      std::memcmp(a->phaseScores, b->phaseScores,
                  static_cast<size_t>(a->params.framesPerSymbol) * sizeof(float)) != 0) {
    return ::testing::AssertionFailure() << "different samples reached the detectors";
  }
  return ::testing::AssertionSuccess();
}

bool Untouched(const ToneDetector* d) {
  return d->frameCounter == 0 && d->fillPosition == 0;
}

// Feeds the delayed sink fixed buffers and a plain reference sink the same stream without its
// first `delay` frames; after every buffer both detectors must hold the same samples. Returns
// the end frame of the buffer in which the delayed sink completed.
size_t FeedAgainstReference(int32_t delay, size_t bufferFrames, const std::vector<int16_t>& s) {
  ProbeDelaySink sink(kPayload, delay);
  ProbeSink reference(kPayload);
  sink.Open(1, 48000, 16);
  reference.Open(1, 48000, 16);
  size_t completedAt = 0;
  for (size_t pos = 0; pos + bufferFrames <= s.size(); pos += bufferFrames) {
    size_t end = pos + bufferFrames;
    int32_t frames = static_cast<int32_t>(bufferFrames);
    EXPECT_EQ(frames, sink.Write(&s[pos], frames));
    if (end > static_cast<size_t>(delay)) {
      size_t from = std::max(pos, static_cast<size_t>(delay));
      reference.Write(&s[from], static_cast<int32_t>(end - from));
    }
    EXPECT_TRUE(SameState(sink.Detector(), reference.Detector())) << "after frame " << end;
    EXPECT_EQ(sink.IsComplete(), reference.IsComplete());
    if (sink.IsComplete() && completedAt == 0) {
      completedAt = end;
      EXPECT_EQ(Result(reference), Result(sink));
      break;
    }
  }
  sink.Close();
  reference.Close();
  return completedAt;
}

TEST(HovSinkDelayTest, DelayOf9600In4800FrameBuffersSkipsTwoThenFeedsWhole) {
  std::vector<int16_t> s = RenderKeySignal("ABCDEF", 60000);
  ProbeDelaySink sink(kPayload, 9600);
  sink.Open(1, 48000, 16);
  EXPECT_EQ(4800, sink.Write(&s[0], 4800));
  EXPECT_TRUE(Untouched(sink.Detector()));
  EXPECT_EQ(4800, sink.Write(&s[4800], 4800));
  EXPECT_TRUE(Untouched(sink.Detector()));
  EXPECT_EQ(4800, sink.Write(&s[9600], 4800));
  // 4800 samples: four frames analysed, 704 samples of the fifth held.
  EXPECT_EQ(4, sink.Detector()->frameCounter);
  EXPECT_EQ(704, sink.Detector()->fillPosition);
  EXPECT_EQ(static_cast<float>(s[9600 + 4096]), sink.Detector()->frame[0]);
  sink.Close();

  // The window then runs from frame 9600 and completes in the buffer holding frame 54657.
  EXPECT_EQ(57600u, FeedAgainstReference(9600, 4800, s));
}

TEST(HovSinkDelayTest, DelayOf9600In5000FrameBuffersFeedsTheLast400OfTheSecond) {
  std::vector<int16_t> s = RenderKeySignal("ABCDEF", 60000);
  ProbeDelaySink sink(kPayload, 9600);
  ProbeSink reference(kPayload);
  sink.Open(1, 48000, 16);
  reference.Open(1, 48000, 16);
  EXPECT_EQ(5000, sink.Write(&s[0], 5000));
  EXPECT_TRUE(Untouched(sink.Detector()));
  EXPECT_EQ(5000, sink.Write(&s[5000], 5000));
  // 4600 frames were still to skip: the detector holds frames 9600..9999, 9200 bytes in.
  EXPECT_EQ(0, sink.Detector()->frameCounter);
  ASSERT_EQ(400, sink.Detector()->fillPosition);
  for (int i = 0; i < 400; ++i) {
    ASSERT_EQ(static_cast<float>(s[9600 + static_cast<size_t>(i)]), sink.Detector()->frame[i]);
  }
  reference.Write(&s[9600], 400);
  EXPECT_TRUE(SameState(sink.Detector(), reference.Detector()));
  EXPECT_EQ(5000, sink.Write(&s[10000], 5000));
  reference.Write(&s[10000], 5000);
  EXPECT_TRUE(SameState(sink.Detector(), reference.Detector()));
  sink.Close();
  reference.Close();

  EXPECT_EQ(55000u, FeedAgainstReference(9600, 5000, s));
}

TEST(HovSinkDelayTest, DelayOfZeroPassesEveryBufferStraightThrough) {
  std::vector<int16_t> s = RenderKeySignal("ABCDEF", kWindowFrames + 1000);
  ProbeDelaySink sink(kPayload, 0);
  ProbeSink reference(kPayload);
  sink.Open(1, 48000, 16);
  reference.Open(1, 48000, 16);
  const int32_t sizes[] = {1, 7, 480, 4410, 1023, 1024, 1025, 8192};
  size_t pos = 0;
  for (size_t i = 0; pos < kWindowFrames; ++i) {
    int32_t n = static_cast<int32_t>(std::min<size_t>(sizes[i % 8], kWindowFrames - pos));
    EXPECT_EQ(n, sink.Write(&s[pos], n));
    reference.Write(&s[pos], n);
    pos += static_cast<size_t>(n);
    ASSERT_TRUE(SameState(sink.Detector(), reference.Detector())) << "after frame " << pos;
  }
  // The window is 45056 frames; the frame after it completes the sink.
  EXPECT_FALSE(sink.IsComplete());
  EXPECT_EQ(1, sink.Write(&s[pos], 1));
  EXPECT_TRUE(sink.IsComplete());
  EXPECT_EQ(Encoded("ABCDEF"), Result(sink));
  sink.Close();
  reference.Close();
}

TEST(HovSinkTest, ZeroByteEndsTheStoredTextButTheSinkIsComplete) {
  // The window reads the separator first, then the bytes 0x41 0x00 0x52 0x63.
  std::vector<int16_t> s = RenderToneCycle({0, 0, 4, 1, 0, 0, 5, 2, 6, 3}, kWindowFrames + 1);
  HovSink sink(kPayload);
  sink.Open(1, 48000, 16);
  sink.Write(s.data(), static_cast<int32_t>(s.size()));
  EXPECT_TRUE(sink.IsComplete());
  EXPECT_EQ("A", Result(sink));
  sink.Close();

  // Silence reads as tone 0 throughout: four zero bytes, an empty text, still complete.
  std::vector<int16_t> silence(kWindowFrames + 1, 0);
  HovSink quiet(kPayload);
  quiet.Open(1, 48000, 16);
  quiet.Write(silence.data(), static_cast<int32_t>(silence.size()));
  EXPECT_TRUE(quiet.IsComplete());
  EXPECT_EQ("", Result(quiet));
  quiet.Close();
}

TEST(HovSinkTest, WindowWithoutSeparatorLeavesTheSinkOpen) {
  std::vector<int16_t> s = RenderToneCycle({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 3 * kWindowFrames);
  HovSink sink(kPayload);
  sink.Open(1, 48000, 16);
  for (size_t pos = 0; pos < s.size(); pos += 4096) {
    EXPECT_EQ(4096, sink.Write(&s[pos], 4096));
  }
  EXPECT_FALSE(sink.IsComplete());
  EXPECT_EQ("", Result(sink));
  sink.Close();
}

TEST(HovSinkTest, GetResultCopiesAtMostCapacityLessOne) {
  std::vector<int16_t> s = RenderKeySignal("ABCDEF", kWindowFrames + 1);
  HovSink sink(kPayload);
  sink.Open(1, 48000, 16);
  sink.Write(s.data(), static_cast<int32_t>(s.size()));
  ASSERT_TRUE(sink.IsComplete());
  std::string encoded = Encoded("ABCDEF");

  char buffer[1024];
  std::memset(buffer, 'x', sizeof(buffer));
  EXPECT_EQ(4, sink.GetResult(buffer, 1024));
  EXPECT_EQ(0, std::memcmp(buffer, encoded.data(), 4));
  EXPECT_EQ('\0', buffer[4]);
  EXPECT_EQ('x', buffer[5]);

  std::memset(buffer, 'x', sizeof(buffer));
  EXPECT_EQ(2, sink.GetResult(buffer, 3));
  EXPECT_EQ(0, std::memcmp(buffer, encoded.data(), 2));
  EXPECT_EQ('\0', buffer[2]);
  EXPECT_EQ('x', buffer[3]);

  std::memset(buffer, 'x', sizeof(buffer));
  EXPECT_EQ(0, sink.GetResult(buffer, 1));
  EXPECT_EQ('\0', buffer[0]);
  EXPECT_EQ('x', buffer[1]);

  // The packet stays readable after Close.
  sink.Close();
  EXPECT_EQ(encoded, Result(sink));
}

TEST(HovSinkTest, WriteAfterCompletionTakesTheFramesAndChangesNothing) {
  std::vector<int16_t> s = RenderKeySignal("ABCDEF", kWindowFrames + 1);
  std::vector<int16_t> other = RenderKeySignal("QQQQQQ", 5000);
  ProbeDelaySink sink(kPayload, 0);
  sink.Open(1, 48000, 16);
  sink.Write(s.data(), static_cast<int32_t>(s.size()));
  ASSERT_TRUE(sink.IsComplete());
  const ToneDetector* d = sink.Detector();
  int32_t frameCounter = d->frameCounter;
  int32_t fillPosition = d->fillPosition;
  std::vector<float> powers(d->tonePowers, d->tonePowers + d->windowFrames * d->params.toneCount);

  EXPECT_EQ(5000, sink.Write(other.data(), 5000));
  EXPECT_EQ(1, sink.Write(other.data(), 1));
  EXPECT_EQ(frameCounter, d->frameCounter);
  EXPECT_EQ(fillPosition, d->fillPosition);
  EXPECT_EQ(0, std::memcmp(powers.data(), d->tonePowers, powers.size() * sizeof(float)));
  EXPECT_EQ(Encoded("ABCDEF"), Result(sink));
  sink.Close();
}

TEST(HovSinkTest, CloseTwiceOrWithoutOpenIsHarmless) {
  HovSink never(kPayload);
  never.Close();
  never.Close();
  HovSinkDelay neverDelayed(kPayload, 9600);
  neverDelayed.Close();
  neverDelayed.Close();

  ProbeDelaySink opened(kPayload, 100);
  opened.Open(1, 48000, 16);
  ASSERT_NE(nullptr, opened.Detector());
  opened.Close();
  EXPECT_EQ(nullptr, opened.Detector());
  opened.Close();
  EXPECT_EQ(nullptr, opened.Detector());
  EXPECT_FALSE(opened.IsComplete());
}

}  // namespace
