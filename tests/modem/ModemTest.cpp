// The on-air format's parts: the codec's table of keys and their words; and, against references
// written in the test alone, the samples a sender plays (a plain synthesiser of the signal's
// definition: 16 tones on bin centres, Tukey-windowed bursts, nibbles high first, two separator
// symbols, 16-bit by truncation, the half-second cross-fade of a key change), the detector's tone
// powers (a plain DFT) and the resampler (exact sines: the same tone at the other rate, nothing
// left of what lies beyond the lower Nyquist frequency).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "codec/ShareKeyEncoder.h"
#include "modem/ModemParams.h"
#include "modem/Resampler.h"
#include "modem/ToneDetector.h"
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
constexpr double kPi = 3.141592653589793;

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

}  // namespace
