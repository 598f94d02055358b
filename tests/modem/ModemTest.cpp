// The on-air format end to end: the codec's table of keys and their words; against references
// written in the test alone, the samples a sender plays (a plain synthesiser of the signal's
// definition: 16 tones on bin centres, Tukey-windowed bursts, nibbles high first, two separator
// symbols, 16-bit by truncation, the half-second cross-fade of a key change), the detector's tone
// powers (a plain DFT) and the resampler (exact sines: the same tone at the other rate, nothing
// left of what lies beyond the lower Nyquist frequency); the design's receiver on a corpus of
// streams and votes; the WAV recorder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec/ShareKeyEncoder.h"
#include "modem/ModemParams.h"
#include "modem/Resampler.h"
#include "modem/ToneDetector.h"
#include "receive/FileWavSink.h"
#include "receive/HovSinkConcurrent.h"
#include "send/HovSource.h"
#include "tests/fakes/Host.h"
#include "tests/fakes/SignalFactory.h"

namespace {

std::string Bytes(const std::vector<int>& values) {
  return std::string(values.begin(), values.end());
}

enum Way { kBoth, kEncodeRefused, kDecodeRefused, kDecodeOnly };

struct Row {
  Way way;
  std::string key;
  std::vector<int> bytes;
  const char* length;  // the end of the one line a wrong length logs
};

const Row kRows[] = {
    {kBoth, "AAAAAA", {16, 16, 16, 16}, nullptr},
    {kBoth, "AAAAAB", {16, 16, 16, 25}, nullptr},
    {kBoth, "BAAAAA", {22, 226, 61, 225}, nullptr},
    {kBoth, "ABCDEF", {16, 84, 171, 143}, nullptr},
    {kBoth, "ZZZZZY", {194, 200, 248, 134}, nullptr},
    {kBoth, "ZZZZZZ", {194, 200, 248, 143}, nullptr},
    // A word above the last key wraps its leading letter.
    {kDecodeOnly, "AAAAAA", {194, 200, 248, 150}, nullptr},
    {kEncodeRefused, "ABCDE", {}, "5,not equal to 6"},
    {kEncodeRefused, "ABCDEFG", {}, "7,not equal to 6"},
    {kEncodeRefused, "", {}, "0,not equal to 6"},
    {kEncodeRefused, "AAAAAa", {}, nullptr},
    {kEncodeRefused, "AAAAA1", {}, nullptr},
    {kEncodeRefused, "@AAAAA", {}, nullptr},
    {kEncodeRefused, "AAAAA[", {}, nullptr},
    {kEncodeRefused, "AAAA\304A", {}, nullptr},
    {kDecodeRefused, "", {16, 16, 16}, "3,not equal to 4"},
    {kDecodeRefused, "", {16, 16, 16, 16, 16}, "5,not equal to 4"},
    {kDecodeRefused, "", {}, "0,not equal to 4"},
    {kDecodeRefused, "", {15, 16, 16, 16}, nullptr},
    {kDecodeRefused, "", {16, 0, 16, 16}, nullptr},
    // Read as the digit -1, this 15 would borrow: 16 16 21 255 is AAAAGX.
    {kDecodeRefused, "", {16, 16, 22, 15}, nullptr},
    {kDecodeRefused, "", {255, 255, 255, 255}, nullptr},
};

TEST(ShareKeyEncoderTest, KeysAndTheirEncodedWords) {
  std::vector<Row> rows(std::begin(kRows), std::end(kRows));
  for (int i = 1; i < 8; ++i) {  // every change of one byte of ABCDEF by one fails the check
    std::vector<int> bytes = {16, 84, 171, 143};
    bytes[i / 2] += i % 2 != 0 ? 1 : -1;
    rows.push_back(Row{kDecodeRefused, "", bytes, nullptr});
  }
  for (const Row& row : rows) {
    SCOPED_TRACE(row.key + " " + testing::PrintToString(row.bytes));
    LogCapture capture;
    if (row.way == kBoth || row.way == kEncodeRefused) {
      std::string encoded = "kept";
      const bool ok = ShareKeyEncoder::Encode(row.key, &encoded);
      EXPECT_EQ(ok, row.way == kBoth);
      EXPECT_EQ(encoded, ok ? Bytes(row.bytes) : "kept");
    }
    if (row.way != kEncodeRefused) {
      capture.Clear();
      std::string key = "kept";
      const bool ok = ShareKeyEncoder::Decode(Bytes(row.bytes), &key);
      EXPECT_EQ(ok, row.way != kDecodeRefused);
      EXPECT_EQ(key, ok ? row.key : "kept");
      // Only a wrong length is logged.
      EXPECT_EQ(capture.Lines().size(), row.length != nullptr ? 1u : 0u);
      EXPECT_EQ(capture.Count(std::string("[hov] ShareKeyEncoder::Decode string length is ") +
                              (row.length != nullptr ? row.length : "")),
                row.length != nullptr ? 1 : 0);
    } else if (row.length != nullptr) {
      EXPECT_EQ(capture.Count(std::string("[hov] encode share key length is ") + row.length), 1);
    }
  }
}

constexpr int kSymbol = 4096;   // samples per burst
constexpr int kFade = 6000;     // samples of each fade ramp
constexpr int kChange = 12000;  // samples from an update to the new key's first sample
constexpr int kUpdate = 24000;  // samples of one cross-fade

// Tones sit on consecutive bin centres of a 1024-point spectrum at 48 kHz, the first at or above
// 19100 Hz.
double ToneHz(int tone) {
  const double bin = 48000.0 / 1024.0;
  return (std::ceil(19100.0 / bin) + tone) * bin;
}

// Tukey window of ratio 1/2: raised-cosine tapers over the first and last quarter.
double Window(int n) {
  const double edge = 0.25 * (kSymbol - 1);
  const double x = std::min(n, kSymbol - 1 - n);
  return x >= edge ? 1.0 : 0.5 * (1.0 - std::cos(kPi * x / edge));
}

// Tone of symbol position p of the packet of an encoded key.
int Tone(const std::string& key, int p) {
  if (p >= 2 * static_cast<int>(key.size())) {
    return 0;  // separator
  }
  const int byte = static_cast<unsigned char>(key[p / 2]);
  return p % 2 == 0 ? byte >> 4 : byte & 15;
}

// The key sequence keys[0], keys[1]... with update j made when the sender had produced at[j]
// samples; each burst starts at sine phase 0.
std::vector<int> Reference(const std::vector<std::string>& keys, const std::vector<int>& at,
                           int count) {
  std::vector<int> out(count);
  for (int t = 0; t < count; ++t) {
    size_t key = 0;
    double gain = 1.0;
    for (size_t j = 0; j < at.size(); ++j) {
      const int d = t - at[j];
      key += d >= kChange ? 1 : 0;
      if (d >= 0 && d < kFade) {
        gain *= 1.0 - d / static_cast<double>(kFade);
      } else if (d >= kFade && d < kUpdate - kFade) {
        gain = 0.0;
      } else if (d >= kUpdate - kFade && d < kUpdate) {
        gain *= (d - (kUpdate - kFade)) / static_cast<double>(kFade);
      }
    }
    const int period = 2 * static_cast<int>(keys[key].size()) + 2;
    const int i = t % kSymbol;
    const double hz = ToneHz(Tone(keys[key], (t / kSymbol) % period));
    const double sample = std::sin(2.0 * kPi * hz * i / 48000.0) * Window(i) * gain;
    out[t] = static_cast<int>(std::trunc(sample * 32767.0));
  }
  return out;
}

struct Playback {
  const char* name;
  std::vector<std::string> keys;  // encoded keys: the first, then one per update
  std::vector<int> updateAt;      // samples read before each update
  std::vector<int> reads;         // read sizes, repeated until the end
  int count;
};

const Playback kPlaybacks[] = {
    {"one key, device-sized reads", {"\x10\x54\xab\x8f"}, {}, {48000}, 3 * 40960},
    {"AAAAAA, odd reads", {"\x10\x10\x10\x10"}, {}, {1, 4095, 4097, 333}, 50000},
    {"change mid-symbol", {"\x10\x54\xab\x8f", "\xc2\xc8\xf8\x8f"}, {50001}, {48000}, 120000},
    {"change in one-sample reads", {"\x10\x54\xab\x8f", "\x21\x32\x43\x54"}, {7}, {1}, 40000},
    {"same key again", {"\x10\x54\xab\x8f", "\x10\x54\xab\x8f"}, {48000}, {48000}, 96000},
    {"change before playback", {"\x10\x10\x10\x10", "\xff\xf0\x1f\x10"}, {0}, {7, 30000}, 60000},
    {"two changes before a read: one fade, to the last",
     {"\x10\x54\xab\x8f", "\xc2\xc8\xf8\x8f", "\x10\x10\x10\x10"},
     {20000, 20000},
     {1000, 23999, 48000},
     130000},
    {"a change during the fade-in: the next fade follows it",
     {"\x10\x54\xab\x8f", "\xc2\xc8\xf8\x8f", "\x10\x10\x10\x10"},
     {20000, 40000},
     {1000, 4000, 480},
     130000},
};

TEST(OnAirSignalTest, SourceMatchesTheReferenceSynthesiser) {
  for (const Playback& play : kPlaybacks) {
    HovSource source;
    ASSERT_EQ(source.Init(play.keys[0].c_str()), 0) << play.name;
    std::vector<int16_t> got(play.count);
    // The keys as they go on air and where each fade begins: a fade starts at the first read
    // after an update; an update before its switch point only changes the key it fades to, and
    // one after it waits for the next fade, right after this one.
    std::vector<std::string> keys = {play.keys[0]};
    std::vector<int> at;
    size_t update = 0;
    int done = 0;
    for (size_t r = 0; done < play.count; ++r) {
      for (; update < play.updateAt.size() && play.updateAt[update] <= done; ++update) {
        const std::string& key = play.keys[update + 1];
        source.Update(key.c_str());
        if (!at.empty() && done < at.back() + kChange) {
          keys.back() = key;
        } else {
          at.push_back(at.empty() ? done : std::max(done, at.back() + kUpdate));
          keys.push_back(key);
        }
      }
      const int n = std::min(play.reads[r % play.reads.size()], play.count - done);
      ASSERT_EQ(source.Read(got.data() + done, n), n) << play.name;
      done += n;
    }
    source.Uninit();

    const std::vector<int> want = Reference(keys, at, play.count);
    int differ = 0;
    for (int t = 0; t < play.count; ++t) {
      if (std::abs(got[t] - want[t]) > 1) {
        FAIL() << play.name << ": sample " << t << " is " << got[t] << ", want " << want[t];
      }
      differ += got[t] != want[t] ? 1 : 0;
    }
    // The reference computes in double; rounding may move a truncation by one step, rarely.
    EXPECT_LT(differ, play.count / 100) << play.name;
  }
}

constexpr int kFrame = 1024;
constexpr int kWindow = 11 * 4096;  // one packet and one symbol more

// The detector's tone powers against a plain DFT of each frame. (Where a window may start in
// the packet: the receiver's corpus test.)
TEST(ToneDetectorTest, PowersMatchAPlainDft) {
  // Tones off the frame grid plus deterministic noise, so that every tone bin carries power.
  const std::vector<int16_t> pcm = RenderEncodedSignal("\x10\x54\xab\x8f", 1500 + kWindow + 1);
  std::vector<float> samples(pcm.begin() + 1500, pcm.end());
  uint32_t state = 12345u;
  for (float& sample : samples) {
    state = state * 1664525u + 1013904223u;
    sample = std::trunc(sample * 0.5f + static_cast<float>(static_cast<int>(state >> 20) - 2048));
  }
  ModemParams* params = CreateModemParams(48000.0f, 4);
  ToneDetector* detector = ToneDetector::Create(params);
  ASSERT_EQ(ToneDetector::Feed(detector, samples.data(), kWindow + 1), 1);
  for (int frame : {0, 1, 6, 17, 30, 43}) {
    for (int k = 0; k < 16; ++k) {
      // Tone k lies on bin 408 + k of the frame's spectrum.
      double re = 0.0, im = 0.0;
      for (int n = 0; n < kFrame; ++n) {
        const double angle = 2 * kPi * static_cast<double>(((408 + k) * n) % kFrame) / kFrame;
        re += samples[frame * kFrame + n] * std::cos(angle);
        im -= samples[frame * kFrame + n] * std::sin(angle);
      }
      const double want = re * re + im * im;
      EXPECT_NEAR(detector->tonePowers[frame * 16 + k], want, want * 1e-3)
          << "frame " << frame << " tone " << k;
    }
  }
  ToneDetector::Free(detector);
  DestroyModemParams(params);
}

TEST(ForwardRealFftPoolTest, GivenBackConfigurationsServeTheNextUserAndNeverTwoAtOnce) {
  // Kiss FFT keeps scratch space in a configuration: two users at once would overwrite it.
  kiss_fftr_cfg a = AcquireForwardRealFft(1024);
  kiss_fftr_cfg b = AcquireForwardRealFft(1024);
  kiss_fftr_cfg small = AcquireForwardRealFft(256);
  ASSERT_NE(a, b);
  ReleaseForwardRealFft(1024, a);
  ReleaseForwardRealFft(256, small);
  // The next users get the ones given back, for their own size, instead of new tables.
  EXPECT_EQ(small, AcquireForwardRealFft(256));
  kiss_fftr_cfg next = AcquireForwardRealFft(1024);
  EXPECT_EQ(a, next);
  kiss_fftr_cfg fresh = AcquireForwardRealFft(1024);
  EXPECT_NE(b, fresh);
  EXPECT_NE(next, fresh);
  for (kiss_fftr_cfg cfg : {b, next, fresh}) {
    ReleaseForwardRealFft(1024, cfg);
  }
  ReleaseForwardRealFft(256, small);
  // A complex configuration of the same size is another kind: it never stands in for a real one.
  kiss_fft_cfg complex = AcquireForwardFft(1024);
  ReleaseForwardFft(1024, complex);
  kiss_fftr_cfg real = AcquireForwardRealFft(1024);
  EXPECT_NE(static_cast<void*>(real), static_cast<void*>(complex));
  EXPECT_EQ(complex, AcquireForwardFft(1024));
  ReleaseForwardFft(1024, complex);
  ReleaseForwardRealFft(1024, real);
}

std::vector<float> Sine(double hz, int rate, size_t frames) {
  std::vector<float> out(frames);
  for (size_t i = 0; i < frames; ++i) {
    out[i] = static_cast<float>(0.5 * std::sin(2.0 * kPi * hz * static_cast<double>(i) / rate));
  }
  return out;
}

// Pushes in in pieces of chunk frames.
std::vector<float> Convert(const std::vector<float>& in, int from, int to, size_t chunk) {
  Resampler resampler(from, to);
  std::vector<float> out;
  for (size_t start = 0; start < in.size(); start += chunk) {
    resampler.Push(in.data() + start, std::min(chunk, in.size() - start), &out);
  }
  return out;
}

struct Case {
  int from;
  int to;
  double hz;  // in the pass band, or past the lower Nyquist frequency
};

class ResamplerTone : public testing::TestWithParam<Case> {};

TEST_P(ResamplerTone, MatchesTheToneAtTheNewRateOrRemovesIt) {
  const Case c = GetParam();
  const size_t frames = static_cast<size_t>(c.from) / 2;
  const std::vector<float> out = Convert(Sine(c.hz, c.from, frames), c.from, c.to, 997);
  const std::vector<float> expected = Sine(c.hz, c.to, out.size());
  // Away from the start, where the kernel reaches back into the zeros before the input.
  const size_t skip = 200;
  ASSERT_GT(out.size(), skip + 1000);
  EXPECT_NEAR(static_cast<double>(out.size()), static_cast<double>(frames) * c.to / c.from, 200.0);
  // Against 0.5 full scale: the error, or for a tone past the cutoff the level left.
  const bool passes = c.hz < std::min(c.from, c.to) / 2.0;
  double worst = 0.0;
  for (size_t i = skip; i < out.size(); ++i) {
    worst = std::max(worst, std::fabs(passes ? out[i] - expected[i] : double{out[i]}));
  }
  EXPECT_LT(20.0 * std::log10(worst / 0.5 + 1e-30), -70.0) << c.from << "->" << c.to;
}

INSTANTIATE_TEST_SUITE_P(Rates, ResamplerTone,
                         testing::Values(Case{44100, 48000, 19125.0}, Case{44100, 48000, 19828.125},
                                         Case{32000, 48000, 1000.0}, Case{96000, 48000, 19500.0},
                                         Case{96000, 48000, 30000.0}, Case{192000, 48000, 40000.0},
                                         Case{47999, 48000, 19500.0}));

TEST(Resampler, GivesTheSameOutputWhateverTheInputPieces) {
  const std::vector<float> in = Sine(19500.0, 44100, 30000);
  const std::vector<float> whole = Convert(in, 44100, 48000, in.size());
  for (size_t chunk : {1, 2, 441, 4096}) {
    EXPECT_EQ(Convert(in, 44100, 48000, chunk), whole) << chunk;
  }
}

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
