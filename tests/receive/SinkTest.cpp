// The receive sinks: the design's receiver on a corpus of streams and votes, and the WAV recorder.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec/ShareKeyEncoder.h"
#include "receive/FileWavSink.h"
#include "receive/HovSinkConcurrent.h"
#include "tests/fakes/Host.h"
#include "tests/fakes/SignalFactory.h"

namespace {

constexpr uint32_t kPayload = 4;
constexpr size_t kLastDecoderDone = 131457;
const char kAccepted[] = "[hov] Get a Valid Share Key";

std::string Encoded(const std::string& key) {
  std::string encoded;
  EXPECT_TRUE(ShareKeyEncoder::Encode(key, &encoded));
  return encoded;
}

std::string Message(HovSinkConcurrent& sink) {
  char buffer[1024];
  return std::string(buffer, static_cast<size_t>(sink.GetMessage(buffer, sizeof(buffer))));
}

// Levels are 16-bit sample values; noise is the sum of four uniform draws of a fixed generator.
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

const std::vector<std::vector<int32_t>> kFeedPatterns = {
    {1}, {7}, {480}, {4410}, {8192}, {480, 441, 1, 7, 1024, 4410, 3, 8192, 960, 2}};

// The first acceptance of a stream fed in buffers cycling through sizes, as the receive session
// takes it: "KEY at FRAME", FRAME the end of the buffer that brought it; "none" without one.
std::string Decide(const std::vector<int16_t>& s, const std::vector<int32_t>& sizes) {
  HovSinkConcurrent sink(kPayload);
  sink.Open(1, 48000, 16);
  std::string decision = "none";
  for (size_t i = 0, pos = 0; pos < s.size() && decision == "none"; ++i) {
    int32_t n = static_cast<int32_t>(std::min<size_t>(sizes[i % sizes.size()], s.size() - pos));
    EXPECT_EQ(n, sink.Write(&s[pos], n));
    pos += static_cast<size_t>(n);
    if (sink.IsComplete()) {
      std::string key = "(a packet that does not decode)";
      ShareKeyEncoder::Decode(Message(sink), &key);
      decision = key + " at " + std::to_string(pos);
    }
  }
  sink.Close();
  return decision;
}

// The receiver's decisions on a small corpus of captured streams, made the same way on every
// run, recorded from the design's receiver: any change to how samples reach the delayed
// detectors, how frames are analysed or how votes are counted shows here.
TEST(HovSinkConcurrentTest, DecisionsOnTheCorpusForEveryBufferPattern) {
  const size_t n = 150000;
  std::vector<int16_t> midPacket = RenderKeySignal("HOVKEY", n + 23456);
  midPacket.erase(midPacket.begin(), midPacket.begin() + 23456);
  struct Stream {
    const char* name;
    std::vector<int16_t> samples;
    const char* key;
    size_t frames[6];  // one per feed pattern
  };
  const Stream streams[] = {
      {"clean", RenderKeySignal("ABCDEF", n), "ABCDEF", {54657, 54663, 54720, 57330, 57344, 61118}},
      {"from the middle of a packet, quiet",
       Mix(midPacket, 5, 0, 1),
       "HOVKEY",
       {54657, 54663, 54720, 57330, 57344, 61118}},
      {"deep in noise",
       Mix(RenderKeySignal("HOVKEY", n), 3, 11000, 2),
       "HOVKEY",
       {83457, 83461, 83520, 83790, 90112, 83963}},
      {"white noise", Mix(std::vector<int16_t>(70000, 0), 0, 8000, 3), "", {}},
      {"one key, then another from frame 50000 on",
       Join(RenderKeySignal("ABCDEF", n), 50000, RenderKeySignal("QWERTY", n - 50000)),
       "QWERTY",
       {102657, 102662, 102720, 105840, 106496, 107678}},
      {"silence, then a key",
       Join(std::vector<int16_t>(n, 0), 30000, RenderKeySignal("HOVKEY", n - 30000)),
       "HOVKEY",
       {73857, 73857, 73920, 74970, 81920, 76638}},
      // Decoders left without a packet, then a key.
      {"no separator, then a key",
       Join(RenderToneCycle({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, n), 50000,
            RenderKeySignal("ZZTOPS", n - 50000)),
       "ZZTOPS",
       {102657, 102662, 102720, 105840, 106496, 107678}},
  };
  LogCapture log;  // the codec's lines on rejected packets
  for (const Stream& stream : streams) {
    for (size_t p = 0; p < kFeedPatterns.size(); ++p) {
      const std::string want = stream.frames[p] == 0 ? "none"
                                                     : stream.key + std::string(" at ") +
                                                           std::to_string(stream.frames[p]);
      EXPECT_EQ(want, Decide(stream.samples, kFeedPatterns[p])) << stream.name << ", pattern " << p;
    }
  }
}

// The tones of packets of encoded keys, each followed by the two-symbol separator.
std::vector<int32_t> Packets(const std::vector<std::string>& packets) {
  std::vector<int32_t> tones;
  for (const std::string& packet : packets) {
    for (char c : packet) {
      tones.insert(tones.end(), {static_cast<uint8_t>(c) >> 4, static_cast<uint8_t>(c) & 15});
    }
    tones.insert(tones.end(), {0, 0});
  }
  return tones;
}

TEST(HovSinkConcurrentTest, KeysABAAcceptATheSecondBKeepsItsVote) {
  // A and B differ only in the low nibble of their first byte. The ten windows read: A, B,
  // four garbled mixtures, A, A, A, and B again.
  std::string a = Encoded("HOVKEY"), b = Encoded("HDMLOI"), garbled = a;
  garbled[0] = b[0];
  garbled[1] = static_cast<char>((a[1] & 0xF0) | 1);
  garbled[2] = static_cast<char>((a[2] & 0x0F) | 0x10);
  std::vector<int16_t> s = RenderToneCycle(Packets({a, garbled, a, b}), kLastDecoderDone + 480);
  LogCapture log;
  HovSinkConcurrent sink(kPayload);
  sink.Open(1, 48000, 16);
  // The second vote for A comes from decoder 7, 57600 + 45057 frames in; fed frame by frame
  // there, since decoders after the accepting one miss the accepting buffer.
  const size_t kDecoder7Done = 102657;
  size_t pos = 0;
  for (; pos + 480 < kDecoder7Done; pos += 480) {
    sink.Write(&s[pos], 480);
  }
  for (; pos < kDecoder7Done + 100; ++pos) {
    ASSERT_EQ(pos >= kDecoder7Done, sink.IsComplete()) << "after frame " << pos;
    sink.Write(&s[pos], 1);
  }
  EXPECT_EQ(Encoded("HOVKEY"), Message(sink));
  // Decoder 10 gives B its second vote: B is accepted in turn and replaces the packet.
  for (; pos + 480 <= s.size(); pos += 480) {
    sink.Write(&s[pos], 480);
    EXPECT_EQ(pos + 480 <= kLastDecoderDone ? 1 : 2, log.Count(kAccepted)) << pos + 480;
  }
  EXPECT_EQ(Encoded("HDMLOI"), Message(sink));
  sink.Close();
}

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The canonical 44-byte headers of 600000 bytes of 16-bit PCM, mono at 48000 Hz and stereo at
// 44100 Hz, written out by hand; the samples follow as written, little-endian.
TEST(FileWavSinkTest, RecordsTheExactStreamWhateverTheChunksOnClose) {
  const fs::path path = fs::temp_directory_path() / "hov_wav_sink_test.wav";
  std::vector<int16_t> ramp(300000);
  for (size_t i = 0; i < ramp.size(); ++i) {
    ramp[i] = static_cast<int16_t>(i * 7 + 3);
  }
  const std::string samples(reinterpret_cast<const char*>(ramp.data()), ramp.size() * 2);
  struct Case {
    uint16_t channels;
    uint32_t rate;
    std::vector<size_t> chunks;  // frames
    std::string header;
  };
  const Case cases[] = {
      {1,
       48000,
       {1, 8192, 7, 4410, 480, 2, 4096, 1023, 1025},
       std::string("RIFF\xE4\x27\x09\x00WAVEfmt \x10\0\0\0\x01\0\x01\0\x80\xBB\0\0"
                   "\x00\x77\x01\x00\x02\0\x10\0data\xC0\x27\x09\x00",
                   44)},
      {2,
       44100,
       {441},
       std::string("RIFF\xE4\x27\x09\x00WAVEfmt \x10\0\0\0\x01\0\x02\0\x44\xAC\0\0"
                   "\x10\xB1\x02\x00\x04\0\x10\0data\xC0\x27\x09\x00",
                   44)}};
  for (const Case& c : cases) {
    fs::remove(path);
    FileWavSink sink(path.string());
    sink.Open(c.channels, c.rate, 16);
    for (size_t i = 0, pos = 0; pos < ramp.size(); ++i) {
      size_t n = std::min(c.chunks[i % c.chunks.size()], (ramp.size() - pos) / c.channels);
      EXPECT_EQ(static_cast<int32_t>(n), sink.Write(&ramp[pos], static_cast<int32_t>(n)));
      pos += n * c.channels;
    }
    EXPECT_FALSE(fs::exists(path)) << "nothing is written before Close";
    sink.Close();
    EXPECT_TRUE(ReadAll(path) == c.header + samples) << c.channels << " channel(s)";
  }
  fs::remove(path);
}

TEST(FileWavSinkTest, WritesNothingWithoutSamplesOrFolder) {
  const fs::path path = fs::temp_directory_path() / "hov_wav_sink_empty.wav";
  std::ofstream(path, std::ios::binary) << "keep me";
  FileWavSink empty(path.string());
  empty.Close();
  empty.Open(1, 48000, 16);
  empty.Write(nullptr, 0);
  empty.Close();
  EXPECT_EQ("keep me", ReadAll(path));
  fs::remove(path);
  const fs::path dir = fs::temp_directory_path() / "hov_wav_no_such_directory";
  fs::remove_all(dir);
  FileWavSink sink((dir / "out.wav").string());
  sink.Open(1, 48000, 16);
  sink.Write(std::vector<int16_t>(100, 1).data(), 100);
  sink.Close();
  EXPECT_FALSE(fs::exists(dir));
}

}  // namespace
