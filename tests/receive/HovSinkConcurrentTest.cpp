#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "codec/ShareKeyEncoder.h"
#include "receive/HovSink.h"
#include "receive/HovSinkConcurrent.h"
#include "runtime/HovLog.h"
#include "tests/fakes/LogCapture.h"
#include "tests/fakes/SignalFactory.h"

namespace {

constexpr uint32_t kPayload = 4;
constexpr size_t kDecoder2Done = 54657;  // 9600 + 45057: the second vote of a clean stream
constexpr size_t kLastDecoderDone = 131457;
const char kAccepted[] = "[hov] Get a Valid Share Key";

std::string Encoded(const std::string& key) {
  std::string encoded;
  EXPECT_TRUE(ShareKeyEncoder::Encode(key, &encoded));
  return encoded;
}

// The tone of every symbol position of an encoded key's packet, separator excluded.
std::vector<int32_t> Nibbles(const std::string& encoded) {
  std::vector<int32_t> nibbles;
  for (char c : encoded) {
    uint8_t byte = static_cast<uint8_t>(c);
    nibbles.push_back(byte >> 4);
    nibbles.push_back(byte & 15);
  }
  return nibbles;
}

// Packets of eight payload tones, each followed by the two-symbol separator.
std::vector<int32_t> Packets(const std::vector<std::vector<int32_t>>& payloads) {
  std::vector<int32_t> tones;
  for (const std::vector<int32_t>& payload : payloads) {
    tones.insert(tones.end(), payload.begin(), payload.end());
    tones.push_back(0);
    tones.push_back(0);
  }
  return tones;
}

std::string Message(HovSinkConcurrent& sink) {
  char buffer[1024];
  int32_t n = sink.GetMessage(buffer, sizeof(buffer));
  return std::string(buffer, static_cast<size_t>(n));
}

// Feeds the whole signal in buffers whose sizes cycle through `sizes`. Checks after every
// buffer that the sink is complete exactly from the buffer that brings frame `doneFrame` on
// (0: never). Returns the end frame of that buffer, or 0.
size_t FeedAndCheck(HovSinkConcurrent& sink, const std::vector<int16_t>& s,
                    const std::vector<int32_t>& sizes, size_t doneFrame) {
  size_t completedAt = 0;
  size_t pos = 0;
  for (size_t i = 0; pos < s.size(); ++i) {
    int32_t n = static_cast<int32_t>(std::min<size_t>(sizes[i % sizes.size()], s.size() - pos));
    EXPECT_EQ(n, sink.Write(&s[pos], n));
    pos += static_cast<size_t>(n);
    bool expected = doneFrame != 0 && pos >= doneFrame;
    bool complete = sink.IsComplete();
    EXPECT_EQ(expected, complete) << "after frame " << pos;
    if (complete && completedAt == 0) {
      completedAt = pos;
    }
    if (expected != complete) {
      break;
    }
  }
  return completedAt;
}

// What one decoder of the ten, started after `delay` frames, makes of the signal on its own.
std::string DecoderKey(const std::vector<int16_t>& s, int32_t delay) {
  HovSinkDelay decoder(kPayload, delay);
  decoder.Open(1, 48000, 16);
  for (size_t pos = 0; pos + 480 <= s.size() && !decoder.IsComplete(); pos += 480) {
    decoder.Write(&s[pos], 480);
  }
  char buffer[64];
  int32_t n = decoder.GetResult(buffer, sizeof(buffer));
  decoder.Close();
  std::string key;
  if (!decoder.IsComplete()) {
    return "(none)";
  }
  return ShareKeyEncoder::Decode(std::string(buffer, static_cast<size_t>(n)), &key) ? key : "-";
}

TEST(HovSinkConcurrentTest, OpenLogsTheFormat) {
  LogCapture log;
  HovSinkConcurrent sink(kPayload);
  sink.Open(1, 48000, 16);
  EXPECT_EQ(
      1, log.Count("[hov] HovSinkConcurrent Open Channels:1,samplePerSec:48000,bitPerSample:16"));
  sink.Close();
  sink.Close();
}

TEST(HovSinkConcurrentTest, CloseWithoutOpenIsHarmless) {
  HovSinkConcurrent sink(kPayload);
  sink.Close();
  sink.Close();
  EXPECT_FALSE(sink.IsComplete());
}

// A small corpus of captured streams, made the same way on every run. Levels are 16-bit
// sample values; noise is the sum of four uniform draws of a fixed generator.
std::vector<int16_t> Mix(const std::vector<int16_t>& signal, int32_t gainPercent, int32_t noise,
                         uint32_t seed) {
  std::vector<int16_t> out(signal.size());
  uint32_t state = seed;
  for (size_t i = 0; i < signal.size(); ++i) {
    int32_t n = 0;
    for (int k = 0; k < 4; ++k) {
      state = state * 1664525u + 1013904223u;
      n += static_cast<int32_t>(state >> 16) - 32768;
    }
    int32_t v = signal[i] * gainPercent / 100 +
                static_cast<int32_t>(static_cast<int64_t>(n) * noise / 65536);
    out[i] = static_cast<int16_t>(std::max(-32768, std::min(32767, v)));
  }
  return out;
}

std::vector<int16_t> Join(std::vector<int16_t> first, size_t firstFrames,
                          const std::vector<int16_t>& second) {
  first.resize(firstFrames);
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

constexpr size_t kCorpusFrames = 150000;

std::vector<int16_t> CorpusFile(int file) {
  const size_t n = kCorpusFrames;
  const std::vector<int16_t> silence(n, 0);
  switch (file) {
    case 0:
      return RenderKeySignal("ABCDEF", n);
    case 1: {  // from the middle of a packet, quiet
      std::vector<int16_t> s = RenderKeySignal("HOVKEY", n + 23456);
      s.erase(s.begin(), s.begin() + 23456);
      return Mix(s, 5, 0, 1);
    }
    case 2:
      return Mix(RenderKeySignal("HOVKEY", n), 3, 11000, 2);
    case 3:
      return Mix(std::vector<int16_t>(70000, 0), 0, 8000, 3);
    case 4:
      return silence;
    case 5:  // one key, then another from frame 50000 on
      return Join(RenderKeySignal("ABCDEF", n), 50000, RenderKeySignal("QWERTY", n - 50000));
    case 6:
      return Join(silence, 30000, RenderKeySignal("HOVKEY", n - 30000));
    case 7:  // a stream without separator leaves decoders without a packet, then a key
      return Join(RenderToneCycle({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, n), 50000,
                  RenderKeySignal("ZZTOPS", n - 50000));
    default:
      return Mix(RenderKeySignal("MNBVCX", n), 3, 10000, 8);
  }
}

const std::vector<std::vector<int32_t>> kFeedPatterns = {
    {1}, {7}, {480}, {4410}, {8192}, {480, 441, 1, 7, 1024, 4410, 3, 8192, 960, 2}};

struct Decision {
  int32_t code;  // 0: a key accepted; -2: none within the stream
  std::string key;
  size_t frame;  // end frame of the buffer in which the key was accepted
};

// What the ten decoders decide about a stream fed in buffers cycling through `sizes`: the first
// acceptance, as the receive session would take it.
Decision Decide(const std::vector<int16_t>& s, const std::vector<int32_t>& sizes) {
  HovSinkConcurrent sink(kPayload);
  sink.Open(1, 48000, 16);
  Decision decision{-2, "", 0};
  size_t pos = 0;
  for (size_t i = 0; pos < s.size(); ++i) {
    int32_t n = static_cast<int32_t>(std::min<size_t>(sizes[i % sizes.size()], s.size() - pos));
    EXPECT_EQ(n, sink.Write(&s[pos], n));
    pos += static_cast<size_t>(n);
    if (sink.IsComplete()) {
      decision.frame = pos;
      decision.code = ShareKeyEncoder::Decode(Message(sink), &decision.key) ? 0 : -3;
      break;
    }
  }
  sink.Close();
  return decision;
}

// The receiver's decisions, recorded from the design's receiver: any change to how samples
// reach the detectors, how frames are analysed or how votes are counted shows here.
TEST(HovSinkConcurrentTest, DecisionsOnTheCorpusForEveryBufferPattern) {
  struct Expected {
    int32_t code;
    const char* key;
    size_t frames[6];  // one per feed pattern
  };
  const Expected expected[] = {
      {0, "ABCDEF", {54657, 54663, 54720, 57330, 57344, 61118}},  // clean ABCDEF
      {0, "HOVKEY", {54657, 54663, 54720, 57330, 57344, 61118}},  // HOVKEY from mid-packet, quiet
      {0, "HOVKEY", {83457, 83461, 83520, 83790, 90112, 83963}},  // HOVKEY deep in noise
      {-2, "", {0, 0, 0, 0, 0, 0}},                               // white noise
      {-2, "", {0, 0, 0, 0, 0, 0}},                               // silence
      {0, "QWERTY", {102657, 102662, 102720, 105840, 106496, 107678}},  // ABCDEF, then QWERTY
      {0, "HOVKEY", {73857, 73857, 73920, 74970, 81920, 76638}},        // silence, then HOVKEY
      {0, "ZZTOPS", {102657, 102662, 102720, 105840, 106496, 107678}},  // no separator, then ZZTOPS
      {0, "MNBVCX", {93057, 93058, 93120, 97020, 98304, 93118}},        // MNBVCX deep in noise
  };
  LogCapture log;  // the codec's lines on rejected packets
  std::string table;
  bool same = true;
  for (int file = 0; file < static_cast<int>(sizeof(expected) / sizeof(expected[0])); ++file) {
    std::vector<int16_t> s = CorpusFile(file);
    std::string row = "      {";
    for (size_t p = 0; p < kFeedPatterns.size(); ++p) {
      Decision d = Decide(s, kFeedPatterns[p]);
      if (p == 0) {
        row += std::to_string(d.code) + ", \"" + d.key + "\", {";
      }
      row += std::to_string(d.frame) + (p + 1 < kFeedPatterns.size() ? ", " : "}},\n");
      same = same && d.code == expected[file].code && d.key == expected[file].key &&
             d.frame == expected[file].frames[p];
    }
    table += row;
  }
  EXPECT_TRUE(same) << "decisions now:\n" << table;
}

TEST(HovSinkConcurrentTest, KeysABAAcceptATheSecondBKeepsItsVote) {
  // A and B differ only in the low nibble of their first byte.
  std::vector<int32_t> a = Nibbles(Encoded("HOVKEY"));
  std::vector<int32_t> b = Nibbles(Encoded("HDMLOI"));
  for (size_t i = 0; i < a.size(); ++i) {
    ASSERT_EQ(i == 1, a[i] != b[i]) << i;
  }
  // A packet that starts like B, with two nibbles of the middle garbled, then A, then B. The
  // ten windows read: A, B, four garbled mixtures, A, A, A, and B again.
  std::vector<int32_t> garbled = {a[0], b[1], a[2], 1, 1, a[5], a[6], a[7]};
  std::vector<int16_t> s = RenderToneCycle(Packets({a, garbled, a, b}), kLastDecoderDone + 480);
  const char* expected[] = {"HOVKEY", "HDMLOI", "-",      "-",      "-",
                            "-",      "HOVKEY", "HOVKEY", "HOVKEY", "HDMLOI"};
  for (int32_t k = 0; k < 10; ++k) {
    ASSERT_EQ(expected[k], DecoderKey(s, 9600 * k)) << "decoder " << k + 1;
  }

  LogCapture log;
  HovSinkConcurrent sink(kPayload);
  sink.Open(1, 48000, 16);
  // The second vote for A comes from decoder 7, 57600 + 45057 frames in. The decoders after
  // the accepting one in visiting order miss the accepting buffer, so it is kept to one frame.
  const size_t kDecoder7Done = 102657;
  size_t pos = 0;
  for (; pos + 480 < kDecoder7Done; pos += 480) {
    sink.Write(&s[pos], 480);
  }
  for (; pos < kDecoder7Done + 100; ++pos) {
    EXPECT_EQ(pos >= kDecoder7Done, sink.IsComplete()) << "after frame " << pos;
    sink.Write(&s[pos], 1);
  }
  EXPECT_EQ(Encoded("HOVKEY"), Message(sink));
  EXPECT_EQ(1, log.Count(kAccepted));
  // Decoder 10 gives B its second vote (one frame late if it missed that buffer): B is
  // accepted in turn and replaces the packet.
  for (; pos + 480 <= s.size(); pos += 480) {
    sink.Write(&s[pos], 480);
    if (pos + 480 < kLastDecoderDone) {
      EXPECT_EQ(1, log.Count(kAccepted)) << "after frame " << pos + 480;
    } else if (pos + 480 > kLastDecoderDone) {
      EXPECT_EQ(2, log.Count(kAccepted)) << "after frame " << pos + 480;
    }
  }
  EXPECT_TRUE(sink.IsComplete());
  EXPECT_EQ(Encoded("HDMLOI"), Message(sink));
  sink.Close();
}

TEST(HovSinkConcurrentTest, PacketsThatFailTheCodecGiveNoVote) {
  std::vector<int32_t> key = Nibbles(Encoded("HOVKEY"));
  std::vector<int32_t> badCheck = key;
  badCheck[1] = 5;  // 0x45 0x1C 0x2D 0x65 fails the check
  std::vector<int32_t> lowByte = key;
  lowByte[2] = 0;  // second byte 0x0C, below 16
  for (const std::vector<int32_t>& bad : {badCheck, lowByte}) {
    // Decoder 1 reads the bad packet, decoders 2 and 3 read the key.
    std::vector<int16_t> s = RenderToneCycle(Packets({bad, key}), 70000);
    ASSERT_EQ("-", DecoderKey(s, 0));
    LogCapture log;
    HovSinkConcurrent sink(kPayload);
    sink.Open(1, 48000, 16);
    EXPECT_EQ(64320u, FeedAndCheck(sink, s, {480}, 9600 * 2 + 45057));
    EXPECT_EQ(Encoded("HOVKEY"), Message(sink));
    EXPECT_EQ(1, log.Count(kAccepted));
    sink.Close();
  }
}

TEST(HovSinkConcurrentTest, ShortPacketIsCheckedOnceAndItsDecoderDiscarded) {
  // Read from its start, this cycle is three bytes and a zero byte; decoders 1, 5 and 9 see it
  // that way, the others read bytes below 16.
  std::vector<int16_t> s = RenderToneCycle({0, 0, 4, 4, 1, 12, 2, 13, 0, 0}, 200000);
  const char kShort[] = "[hov] ShareKeyEncoder::Decode string length is 3,not equal to 4";
  LogCapture log;
  HovSinkConcurrent sink(kPayload);
  sink.Open(1, 48000, 16);
  EXPECT_EQ(45056, sink.Write(s.data(), 45056));
  EXPECT_EQ(0, log.Count(kShort));
  EXPECT_EQ(1, sink.Write(&s[45056], 1));
  EXPECT_EQ(1, log.Count(kShort));
  // A decoder that stayed would be read, and logged, on every later buffer.
  for (size_t pos = 45057; pos + 1000 <= s.size(); pos += 1000) {
    sink.Write(&s[pos], 1000);
  }
  EXPECT_EQ(3, log.Count(kShort));
  EXPECT_FALSE(sink.IsComplete());
  EXPECT_EQ(0, log.Count(kAccepted));
  sink.Close();
}

TEST(HovSinkConcurrentTest, AllDecodersDiscardedWithoutAgreement) {
  // Silence decodes to four zero bytes, an empty packet, in every window.
  std::vector<int16_t> silence(kLastDecoderDone + 48000, 0);
  const char kEmpty[] = "[hov] ShareKeyEncoder::Decode string length is 0,not equal to 4";
  LogCapture log;
  HovSinkConcurrent sink(kPayload);
  sink.Open(1, 48000, 16);
  EXPECT_EQ(0u, FeedAndCheck(sink, silence, {480}, 0));
  EXPECT_EQ(10, log.Count(kEmpty));
  EXPECT_EQ(4800, sink.Write(silence.data(), 4800));
  EXPECT_EQ(10, log.Count(kEmpty));
  EXPECT_FALSE(sink.IsComplete());
  sink.Close();
}

TEST(HovSinkConcurrentTest, OneMoreWriteAfterAcceptanceKeepsThePacket) {
  std::vector<int16_t> s = RenderKeySignal("ABCDEF", kDecoder2Done);
  std::vector<int16_t> other = RenderKeySignal("QQQQQQ", 20000);
  LogCapture log;
  HovSinkConcurrent sink(kPayload);
  sink.Open(1, 48000, 16);
  sink.Write(s.data(), static_cast<int32_t>(kDecoder2Done - 1));
  EXPECT_FALSE(sink.IsComplete());
  sink.Write(&s[kDecoder2Done - 1], 1);
  ASSERT_TRUE(sink.IsComplete());
  EXPECT_EQ(Encoded("ABCDEF"), Message(sink));
  EXPECT_EQ(480, sink.Write(other.data(), 480));
  EXPECT_TRUE(sink.IsComplete());
  EXPECT_EQ(Encoded("ABCDEF"), Message(sink));
  EXPECT_EQ(1, log.Count(kAccepted));
  sink.Close();
}

TEST(HovSinkConcurrentTest, GetMessageCopiesThePacketWhateverTheCount) {
  std::vector<int16_t> s = RenderKeySignal("ABCDEF", kDecoder2Done);
  HovSinkConcurrent sink(kPayload);
  sink.Open(1, 48000, 16);
  sink.Write(s.data(), static_cast<int32_t>(s.size()));
  ASSERT_TRUE(sink.IsComplete());
  std::string encoded = Encoded("ABCDEF");
  LogCapture log;
  for (int32_t count : {1024, 4, 1, 0}) {
    char buffer[16];
    std::memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(4, sink.GetMessage(buffer, count));
    EXPECT_EQ(0, std::memcmp(buffer, encoded.data(), 4));
    EXPECT_EQ('x', buffer[4]) << "no terminator is written";
    EXPECT_EQ(1, log.Count("[hov] Get Message buffer Counter:" + std::to_string(count)));
  }
  sink.Close();
}

TEST(HovSinkConcurrentTest, IsCompleteLogsAtMostOnceIn5000Ms) {
  HovSinkConcurrent first(kPayload);
  HovSinkConcurrent second(kPayload);
  LogCapture log;
  int64_t start = WallClockMs();
  EXPECT_FALSE(first.IsComplete());
  EXPECT_FALSE(first.IsComplete());
  EXPECT_FALSE(second.IsComplete());
  if (WallClockMs() - start >= 5000) {
    GTEST_SKIP() << "the machine stalled longer than the throttle's gap";
  }
  // The throttle is shared by every sink, and may have let a line through before this test.
  std::vector<std::string> lines = log.Texts();
  ASSERT_LE(lines.size(), 1u);
  if (!lines.empty()) {
    EXPECT_EQ("[hov] HovSinkConcurrent::IsComplete 0 ", lines[0]);
  }
}

TEST(HovSinkConcurrentTest, PollingThreadReadsThePacketWhileCaptureWrites) {
  std::vector<int16_t> s = RenderKeySignal("ABCDEF", 80000);
  std::string encoded = Encoded("ABCDEF");
  LogCapture log;
  HovSinkConcurrent sink(kPayload);
  sink.Open(1, 48000, 16);
  std::atomic<bool> writerDone{false};
  std::atomic<bool> pollerRunning{false};
  std::string polled;
  std::thread poller([&] {
    pollerRunning.store(true);
    bool complete = false;
    while (!complete) {
      complete = sink.IsComplete();
      if (!complete && writerDone.load()) {
        complete = sink.IsComplete();
        break;
      }
      std::this_thread::yield();
    }
    if (complete) {
      polled = Message(sink);
    }
  });
  while (!pollerRunning.load()) {
    std::this_thread::yield();
  }
  for (size_t pos = 0; pos + 480 <= s.size(); pos += 480) {
    sink.Write(&s[pos], 480);
  }
  writerDone.store(true);
  poller.join();
  EXPECT_EQ(encoded, polled);
  sink.Close();
}

}  // namespace
