// The send source: the steady stream and the cross-fade do not depend on how playback slices its
// reads, and a burst of updates costs one fade to the latest key.
#include "send/HovSource.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "modem/ModemParams.h"
#include "modem/ToneBank.h"

namespace {

const char kOld[] = "\x10\x54\xab\x8f";  // ABCDEF encoded
const char kNew[] = "\x21\x32\x43\x54";
const char kLast[] = "\x65\x76\x87\x98";

// The stream as one bank renders it in one go, with the cross-fade's gains over
// [fadeAt, fadeAt + 24000) and newKey from its middle on (no fade: fadeAt -1).
std::vector<int16_t> Reference(int32_t total, int32_t fadeAt, const char* newKey) {
  ModemParams* params = CreateModemParams(48000.0f, 4);
  params->amplitude = 1.0f;
  ToneBank* bank = ToneBank::Create(params);
  ToneBank::SetPayload(bank, kOld);
  std::vector<float> f(static_cast<size_t>(total));
  int32_t switchAt = fadeAt < 0 ? total : fadeAt + HovSource::kFadeSamples / 2;
  ToneBank::Render(bank, f.data(), switchAt);
  if (switchAt < total) {
    ToneBank::SetPayload(bank, newKey);
    ToneBank::Render(bank, f.data() + switchAt, total - switchAt);
  }
  std::vector<int16_t> out;
  for (int32_t i = 0; i < total; ++i) {
    float s = f[static_cast<size_t>(i)];
    int32_t p = i - fadeAt;
    if (fadeAt >= 0 && p >= 0 && p < 6000) {
      s = static_cast<float>(1.0 - p / 6000.0) * s;
    } else if (fadeAt >= 0 && p >= 6000 && p < 18000) {
      s = 0.0f;
    } else if (fadeAt >= 0 && p >= 18000 && p < 24000) {
      s = static_cast<float>((p - 18000) / 6000.0) * s;
    }
    out.push_back(FloatToPcm16(s));
  }
  ToneBank::Free(bank);
  DestroyModemParams(params);
  return out;
}

// Reads total samples in slices of `slice`, calling update(source) before the read that starts at
// sample `updateAt`.
template <class UpdateFn>
std::vector<int16_t> ReadInSlices(int32_t total, int32_t slice, int32_t updateAt, UpdateFn update) {
  HovSource source;
  source.Init(kOld);
  std::vector<int16_t> out(static_cast<size_t>(total));
  for (int32_t at = 0; at < total; at += slice) {
    if (at == updateAt) {
      update(source);
    }
    int32_t n = std::min(slice, total - at);
    EXPECT_EQ(source.Read(out.data() + at, n), n);
  }
  source.Uninit();
  return out;
}

TEST(HovSourceTest, MatchesOneBankRenderingWithTheFadeWhereTheUpdateCame) {
  struct Case {
    int32_t slice;
    int32_t updateAt;  // -1: none
    bool burst;        // 10000 updates, then the last key: one fade to the last key
  };
  const Case cases[] = {{48000, -1, false},  {37, -1, false},       {1, 7, false},
                        {1023, 2046, false}, {48000, 48000, false}, {960, 9600, true}};
  constexpr int32_t kTotal = 72000;
  for (const Case& c : cases) {
    std::vector<int16_t> got = ReadInSlices(kTotal, c.slice, c.updateAt, [&](HovSource& source) {
      for (int i = 0; c.burst && i < 10000; ++i) {
        source.Update(i % 2 ? kNew : kOld);
      }
      source.Update(c.burst ? kLast : kNew);
    });
    std::vector<int16_t> want = Reference(kTotal, c.updateAt, c.burst ? kLast : kNew);
    size_t i = 0;
    while (i < want.size() && got[i] == want[i]) {
      ++i;
    }
    EXPECT_EQ(i, want.size()) << "slice " << c.slice << ", update at " << c.updateAt;
  }
}

TEST(HovSourceTest, AnUpdateDuringTheFadeInFollowsRightAfterIt) {
  // The first fade switches at 12000 and ends at 24000: an update at 13000 waits for 24000.
  auto play = [](int32_t secondAt) {
    HovSource source;
    source.Init(kOld);
    std::vector<int16_t> out(96000);
    source.Update(kNew);
    source.Read(out.data(), secondAt);
    source.Update(kLast);
    source.Read(out.data() + secondAt, 96000 - secondAt);
    source.Uninit();
    return out;
  };
  std::vector<int16_t> got = play(13000);
  EXPECT_EQ(got, play(24000));
  // And the second fade really switched: the stream after it is not the first new key's.
  std::vector<int16_t> firstOnly = Reference(96000, 0, kNew);
  EXPECT_FALSE(std::equal(got.begin() + 60000, got.end(), firstOnly.begin() + 60000));
}

}  // namespace
