#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "modem/ModemParams.h"
#include "modem/ToneBank.h"

namespace {

const int kSymbol = 4096;
const int kPacket = 10 * kSymbol;

class ToneBankTest : public ::testing::Test {
 protected:
  void SetUp() override {
    params_ = CreateModemParams(48000.0f, 4);
    params_->amplitude = 1.0f;
  }
  void TearDown() override {
    for (ToneBank* bank : banks_) {
      ToneBank::Free(bank);
    }
    DestroyModemParams(params_);
  }
  ToneBank* NewBank(const char* payload) {
    ToneBank* bank = ToneBank::Create(params_);
    banks_.push_back(bank);
    if (payload != nullptr) {
      EXPECT_EQ(ToneBank::SetPayload(bank, payload), 0);
    }
    return bank;
  }
  std::vector<int32_t> Sequence(const ToneBank* bank) {
    return std::vector<int32_t>(bank->sequence, bank->sequence + bank->sequenceLength);
  }

  ModemParams* params_ = nullptr;
  std::vector<ToneBank*> banks_;
};

TEST(TukeyWindowTest, ValuesOfTheBurstWindow) {
  std::vector<float> w(4096);
  TukeyWindow(w.data(), 4096, 0.5);
  EXPECT_EQ(w[0], 0.0f);
  EXPECT_NEAR(w[512], 0.50019f, 1e-5f);
  EXPECT_NEAR(w[1023], 0.9999987f, 1e-7f);
  EXPECT_LT(w[1023], 1.0f);
  for (int i = 1024; i <= 3071; ++i) {
    ASSERT_EQ(w[i], 1.0f) << i;
  }
  EXPECT_EQ(w[3072], w[1023]);
  EXPECT_EQ(w[4095], 0.0f);
  for (int i = 0; i < 4096; ++i) {
    ASSERT_EQ(w[i], w[4095 - i]) << i;
  }
  for (int i = 1; i < 1024; ++i) {
    ASSERT_GT(w[i], w[i - 1]) << i;
  }
}

TEST(TukeyWindowTest, ShortWindow) {
  // r = 2 / 8 / 0.5 = 0.5, taper of 2 samples at each end.
  std::vector<float> w(9, -1.0f);
  TukeyWindow(w.data(), 9, 0.5);
  const std::vector<float> expected = {0.0f, 0.5f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 0.5f, 0.0f};
  for (int i = 0; i < 9; ++i) {
    EXPECT_NEAR(w[i], expected[i], 1e-7f) << i;
  }
}

TEST_F(ToneBankTest, CreateStartsSilentSequenceAtPositionZero) {
  ToneBank* bank = NewBank(nullptr);
  EXPECT_EQ(bank->sequenceLength, 10);
  EXPECT_EQ(Sequence(bank), std::vector<int32_t>(10, 0));
  EXPECT_EQ(bank->symbolIndex, 0);
  EXPECT_EQ(bank->sampleIndex, 0);
  EXPECT_EQ(bank->params.amplitude, 1.0f);
  EXPECT_EQ(bank->params.toneFrequencies, params_->toneFrequencies);
  ToneBank::Free(nullptr);
}

TEST_F(ToneBankTest, BurstsAreWindowedSinesFromZeroToZero) {
  ToneBank* bank = NewBank(nullptr);
  std::vector<float> window(kSymbol);
  TukeyWindow(window.data(), kSymbol, 0.5);
  const double omega = 6.283185307179586 / 48000.0;
  for (int t = 0; t < 16; ++t) {
    const float* burst = bank->bursts[t];
    EXPECT_EQ(burst[0], 0.0f) << t;
    EXPECT_EQ(burst[kSymbol - 1], 0.0f) << t;
    float largest = 0.0f;
    for (int i = 0; i < kSymbol; ++i) {
      largest = std::max(largest, std::fabs(burst[i]));
    }
    EXPECT_LE(largest, 1.0f) << t;
    EXPECT_NEAR(largest, 1.0f, 1e-6f) << t;
    for (int i : {1, 700, 2000, 3500}) {
      const float sine = static_cast<float>(std::sin(omega * params_->toneFrequencies[t] * i));
      EXPECT_EQ(burst[i], sine * window[i]) << t << " " << i;
    }
  }
}

TEST_F(ToneBankTest, AaaaaaPlaysOnePacketThenRepeats) {
  ToneBank* bank = NewBank("\x10\x10\x10\x10");
  EXPECT_EQ(Sequence(bank), (std::vector<int32_t>{1, 0, 1, 0, 1, 0, 1, 0, 0, 0}));
  std::vector<float> out(kPacket + kSymbol);
  ToneBank::Render(bank, out.data(), static_cast<int32_t>(out.size()));
  const int tones[11] = {1, 0, 1, 0, 1, 0, 1, 0, 0, 0, 1};
  for (int s = 0; s < 11; ++s) {
    for (int i = 0; i < kSymbol; ++i) {
      ASSERT_EQ(out[s * kSymbol + i], bank->bursts[tones[s]][i]) << s << " " << i;
    }
  }
  EXPECT_EQ(out[kPacket], bank->bursts[1][0]);
  EXPECT_EQ(bank->symbolIndex, 0);
  EXPECT_EQ(bank->sampleIndex, kSymbol);
}

TEST_F(ToneBankTest, NibblesHighFirstAndAmplitudeApplied) {
  params_->amplitude = 0.8f;
  ToneBank* bank = NewBank("\x10\x54\xab\x8f");
  EXPECT_EQ(Sequence(bank), (std::vector<int32_t>{1, 0, 5, 4, 10, 11, 8, 15, 0, 0}));
  std::vector<float> out(kPacket);
  ToneBank::Render(bank, out.data(), kPacket);
  for (int s = 0; s < 10; ++s) {
    const float* burst = bank->bursts[bank->sequence[s]];
    for (int i = 0; i < kSymbol; i += 37) {
      ASSERT_EQ(out[s * kSymbol + i], 0.8f * burst[i]) << s << " " << i;
    }
  }
}

TEST_F(ToneBankTest, ChunkedRenderingEqualsOneCall) {
  ToneBank* whole = NewBank("\x10\x54\xab\x8f");
  ToneBank* pieces = NewBank("\x10\x54\xab\x8f");
  std::vector<float> a(kSymbol), b(kSymbol, -7.0f);
  ToneBank::Render(whole, a.data(), kSymbol);
  ToneBank::Render(pieces, b.data(), 1);
  ToneBank::Render(pieces, b.data() + 1, 1000);
  ToneBank::Render(pieces, b.data() + 1001, 3095);
  EXPECT_EQ(a, b);

  // Uneven chunks across symbol and packet boundaries.
  const int total = 3 * kPacket + 1234;
  a.assign(total, 0.0f);
  b.assign(total, -7.0f);
  ToneBank::Render(whole, a.data(), total);
  const int chunks[] = {1, 4095, 4097, 7, 12000, 333, 40960, 2, 8191};
  int done = 0;
  for (int n = 0; done < total; ++n) {
    const int count = std::min(chunks[n % 9], total - done);
    ToneBank::Render(pieces, b.data() + done, count);
    done += count;
  }
  EXPECT_EQ(a, b);
  EXPECT_EQ(whole->symbolIndex, pieces->symbolIndex);
  EXPECT_EQ(whole->sampleIndex, pieces->sampleIndex);
}

TEST_F(ToneBankTest, CountBelowOneWritesNothing) {
  ToneBank* bank = NewBank("\x10\x54\xab\x8f");
  std::vector<float> out(kSymbol + 1);
  ToneBank::Render(bank, out.data(), kSymbol);
  float sentinel = 42.0f;
  ToneBank::Render(bank, &sentinel, 0);
  ToneBank::Render(bank, &sentinel, -5);
  EXPECT_EQ(sentinel, 42.0f);
  EXPECT_EQ(bank->symbolIndex, 0);
  EXPECT_EQ(bank->sampleIndex, kSymbol);
  ToneBank::Render(bank, &sentinel, 1);
  EXPECT_EQ(bank->symbolIndex, 1);
  EXPECT_EQ(bank->sampleIndex, 1);
}

TEST_F(ToneBankTest, SetPayloadRefusesNullAndWrongLength) {
  ToneBank* bank = NewBank("\x10\x54\xab\x8f");
  const std::vector<int32_t> before = Sequence(bank);
  EXPECT_EQ(ToneBank::SetPayload(bank, nullptr), 1);
  EXPECT_EQ(ToneBank::SetPayload(bank, "\x22\x33\x44"), 1);
  EXPECT_EQ(ToneBank::SetPayload(bank, "\x22\x33\x44\x55\x66"), 1);
  EXPECT_EQ(ToneBank::SetPayload(bank, ""), 1);
  EXPECT_EQ(Sequence(bank), before);
  EXPECT_EQ(ToneBank::SetPayload(bank, "\x22\x33\x44\x55"), 0);
  EXPECT_EQ(Sequence(bank), (std::vector<int32_t>{2, 2, 3, 3, 4, 4, 5, 5, 0, 0}));
}

TEST_F(ToneBankTest, NewPayloadMidSymbolChangesToneFromNextSample) {
  ToneBank* bank = NewBank("\x10\x54\xab\x8f");
  std::vector<float> out(kSymbol + 1000);
  ToneBank::Render(bank, out.data(), kSymbol + 1000);  // into symbol 1 (tone 0)
  ASSERT_EQ(bank->symbolIndex, 1);
  ASSERT_EQ(ToneBank::SetPayload(bank, "\x29\x33\x44\x55"), 0);
  EXPECT_EQ(bank->symbolIndex, 1);
  EXPECT_EQ(bank->sampleIndex, 1000);
  ToneBank::Render(bank, out.data(), 3000);
  for (int i = 0; i < 3000; ++i) {
    ASSERT_EQ(out[i], bank->bursts[9][1000 + i]) << i;
  }
  EXPECT_NE(out[0], 0.0f);
}

TEST(FloatToPcm16Test, ScalesAndTruncates) {
  EXPECT_EQ(FloatToPcm16(1.0f), 32767);
  EXPECT_EQ(FloatToPcm16(-1.0f), -32767);
  EXPECT_EQ(FloatToPcm16(0.99999f), 32766);
  EXPECT_EQ(FloatToPcm16(-0.99999f), -32766);
  EXPECT_EQ(FloatToPcm16(0.5f), 16383);
  EXPECT_EQ(FloatToPcm16(-0.5f), -16383);
  EXPECT_EQ(FloatToPcm16(0.0f), 0);
  // No clipping: beyond full scale only the low 16 bits remain.
  EXPECT_EQ(FloatToPcm16(1.5f), -16386);
}

}  // namespace
