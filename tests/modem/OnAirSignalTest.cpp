// The samples a sender plays, against a reference synthesiser written from the signal's
// definition alone: 16 tones on bin centres, Tukey-windowed bursts, nibbles high first, two
// separator symbols, 16-bit by truncation, and the half-second cross-fade of a key change.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "modem/ModemParams.h"
#include "send/HovSource.h"

namespace {

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

}  // namespace
