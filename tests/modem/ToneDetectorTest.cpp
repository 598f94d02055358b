#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "modem/ModemParams.h"
#include "modem/ToneBank.h"
#include "modem/ToneDetector.h"

namespace {

const int kFrame = 1024;
const int kSymbol = 4096;
const int kWindow = 45056;
const double kTwoPi = 6.283185307179586;

class ToneDetectorTest : public ::testing::Test {
 protected:
  void SetUp() override { params_ = CreateModemParams(48000.0f, 4); }
  void TearDown() override {
    for (ToneDetector* detector : detectors_) {
      ToneDetector::Free(detector);
    }
    DestroyModemParams(params_);
  }
  ToneDetector* NewDetector() {
    ToneDetector* detector = ToneDetector::Create(params_);
    detectors_.push_back(detector);
    return detector;
  }

  // What a receiving sink sees of a sender playing payload from its first sample: the rendered
  // stream at full scale, taken to 16 bits and back to float by value, from sample `skip` on.
  std::vector<float> Received(const char* payload, int skip, int count) {
    ModemParams* sender = CreateModemParams(48000.0f, 4);
    sender->amplitude = 1.0f;
    ToneBank* bank = ToneBank::Create(sender);
    EXPECT_EQ(ToneBank::SetPayload(bank, payload), 0);
    std::vector<float> rendered(skip + count);
    ToneBank::Render(bank, rendered.data(), skip + count);
    ToneBank::Free(bank);
    DestroyModemParams(sender);
    std::vector<float> out(count);
    for (int i = 0; i < count; ++i) {
      out[i] = static_cast<float>(FloatToPcm16(rendered[skip + i]));
    }
    return out;
  }

  // One frame holding tone k at amplitude amplitudes[k]: cosines on the bin centres, so that
  // tone k's power is (amplitude * F / 2)^2.
  std::vector<float> CraftedFrame(const std::vector<double>& amplitudes) {
    std::vector<float> frame(kFrame);
    for (int n = 0; n < kFrame; ++n) {
      double sum = 0.0;
      for (int k = 0; k < 16; ++k) {
        sum += amplitudes[k] * std::cos(kTwoPi * params_->toneBins[k] * n / kFrame);
      }
      frame[n] = static_cast<float>(sum);
    }
    return frame;
  }

  static uint32_t ToneAt(const ToneDetector* detector, int phase, int slot) {
    return detector->toneIndexes[phase * detector->slotsPerPhase + slot];
  }

  // The score one frame's tone powers add to its phase, computed as the detector defines it.
  static float Ratio(const float* powers) {
    int32_t best = 0;
    const float peak = MaxIndex(powers, 16, &best);
    float total = 0.0f;
    for (int k = 0; k < 16; ++k) {
      total += powers[k];
    }
    return (15.0f * peak) / (total - peak);
  }

  ModemParams* params_ = nullptr;
  std::vector<ToneDetector*> detectors_;
};

TEST_F(ToneDetectorTest, CreateSizesTheWindow) {
  ToneDetector* detector = NewDetector();
  EXPECT_EQ(detector->frameLength, 1024);
  EXPECT_EQ(detector->windowFrames, 44);
  EXPECT_EQ(detector->slotsPerPhase, 11);
  EXPECT_EQ(detector->fillPosition, 0);
  EXPECT_EQ(detector->frameCounter, 0);
  EXPECT_EQ(detector->params.toneBins, params_->toneBins);
  for (int p = 0; p < 4; ++p) {
    EXPECT_EQ(detector->phaseScores[p], 0.0f);
  }
  ToneDetector::Free(nullptr);
}

TEST_F(ToneDetectorTest, WindowCompletesOnSample45057) {
  const std::vector<float> samples = Received("\x10\x54\xab\x8f", 0, kWindow + 1);

  ToneDetector* single = NewDetector();
  for (int i = 0; i < kWindow; ++i) {
    ASSERT_EQ(ToneDetector::Feed(single, &samples[i], 1), 0) << i;
  }
  EXPECT_EQ(ToneDetector::Feed(single, &samples[kWindow], 1), 1);

  ToneDetector* split = NewDetector();
  EXPECT_EQ(ToneDetector::Feed(split, samples.data(), kWindow), 0);
  EXPECT_EQ(ToneDetector::Feed(split, &samples[kWindow], 1), 1);

  ToneDetector* whole = NewDetector();
  EXPECT_EQ(ToneDetector::Feed(whole, samples.data(), kWindow + 1), 1);

  // Chunks of 1000: the 46th call brings samples 45001..46000.
  const std::vector<float> more = Received("\x10\x54\xab\x8f", 0, 46000);
  ToneDetector* chunked = NewDetector();
  for (int call = 0; call < 45; ++call) {
    ASSERT_EQ(ToneDetector::Feed(chunked, &more[call * 1000], 1000), 0) << call;
  }
  EXPECT_EQ(ToneDetector::Feed(chunked, &more[45000], 1000), 1);

  // Every way of feeding analysed the same frames.
  for (ToneDetector* other : {split, whole, chunked}) {
    for (int i = 0; i < 44 * 16; ++i) {
      ASSERT_EQ(other->tonePowers[i], single->tonePowers[i]) << i;
    }
    for (int i = 0; i < 44; ++i) {
      ASSERT_EQ(other->toneIndexes[i], single->toneIndexes[i]) << i;
    }
    for (int p = 0; p < 4; ++p) {
      EXPECT_EQ(other->phaseScores[p], single->phaseScores[p]) << p;
    }
  }
}

TEST(ExtractPacketTest, WorkedSequences) {
  uint8_t out[4] = {};
  const uint32_t first[11] = {5, 3, 0, 0, 7, 1, 2, 2, 4, 0, 5};
  ASSERT_EQ(ExtractPacket(out, 4, first, 11), 4);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{0x71, 0x22, 0x40, 0x53}));

  const uint32_t second[11] = {8, 9, 1, 0, 0, 0, 5, 2, 6, 4, 8};
  ASSERT_EQ(ExtractPacket(out, 4, second, 11), 4);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{0x52, 0x64, 0x89, 0x10}));
}

TEST(ExtractPacketTest, SeparatorAtEitherEndOfTheWindow) {
  uint8_t out[4] = {};
  const uint32_t atEnd[11] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0};
  ASSERT_EQ(ExtractPacket(out, 4, atEnd, 11), 4);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{0x23, 0x45, 0x67, 0x89}));

  const uint32_t atStart[11] = {0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 0};
  ASSERT_EQ(ExtractPacket(out, 4, atStart, 11), 4);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{0x12, 0x34, 0x56, 0x78}));

  // Nibbles above 15 contribute their low four bits only.
  const uint32_t wide[11] = {0, 0, 0x21, 0x32, 3, 4, 5, 6, 7, 8, 1};
  ASSERT_EQ(ExtractPacket(out, 4, wide, 11), 4);
  EXPECT_EQ(out[0], 0x12);
}

TEST(ExtractPacketTest, NoPacket) {
  uint8_t out[4] = {0xee, 0xee, 0xee, 0xee};
  const uint32_t noPair[11] = {1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6};
  EXPECT_EQ(ExtractPacket(out, 4, noPair, 11), -1);
  const uint32_t tooShort[10] = {1, 2, 3, 4, 5, 6, 7, 8, 0, 0};
  EXPECT_EQ(ExtractPacket(out, 4, tooShort, 10), -1);
  EXPECT_EQ(out[0], 0xee);
  // Shorter payloads need shorter windows; an empty payload only needs a separator.
  const uint32_t shortWindow[5] = {0, 0, 4, 2, 0};
  EXPECT_EQ(ExtractPacket(out, 1, shortWindow, 5), 1);
  EXPECT_EQ(out[0], 0x42);
  EXPECT_EQ(ExtractPacket(out, 0, shortWindow, 5), 0);
  EXPECT_EQ(ExtractPacket(out, 0, shortWindow, 1), -1);
}

TEST(MaxIndexTest, FirstOccurrenceOfTheLargest) {
  int32_t index = -1;
  const float scores[4] = {5.0f, 9.0f, 9.0f, 2.0f};
  EXPECT_EQ(MaxIndex(scores, 4, &index), 9.0f);
  EXPECT_EQ(index, 1);

  const float first[3] = {7.0f, 7.0f, 7.0f};
  EXPECT_EQ(MaxIndex(first, 3, &index), 7.0f);
  EXPECT_EQ(index, 0);

  const float negative[3] = {-3.0f, -1.0f, -2.0f};
  EXPECT_EQ(MaxIndex(negative, 3, &index), -1.0f);
  EXPECT_EQ(index, 1);

  // A not-a-number never wins a comparison, in either direction.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float leadingNan[3] = {nan, 1.0f, 2.0f};
  MaxIndex(leadingNan, 3, &index);
  EXPECT_EQ(index, 0);
  const float innerNan[3] = {1.0f, nan, 3.0f};
  EXPECT_EQ(MaxIndex(innerNan, 3, &index), 3.0f);
  EXPECT_EQ(index, 2);
}

TEST_F(ToneDetectorTest, PeakRatioOfCraftedFrames) {
  // Frame 0: tone 3 at power 100, every other tone at power 1, so phase 0 gains
  // 15 * 100 / (115 - 100) = 100. Frame 1: tone 12 at power 4, the rest at 1: phase 1 gains 4.
  std::vector<double> amplitudes(16, 1.0 / 512.0);
  amplitudes[3] = 10.0 / 512.0;
  std::vector<float> samples = CraftedFrame(amplitudes);
  amplitudes[3] = 1.0 / 512.0;
  amplitudes[12] = 2.0 / 512.0;
  const std::vector<float> second = CraftedFrame(amplitudes);
  samples.insert(samples.end(), second.begin(), second.end());
  samples.push_back(0.0f);  // the sample after a frame triggers its analysis

  ToneDetector* detector = NewDetector();
  ASSERT_EQ(ToneDetector::Feed(detector, samples.data(), kFrame + 1), 0);
  EXPECT_EQ(detector->frameCounter, 1);
  EXPECT_EQ(detector->fillPosition, 1);
  for (int k = 0; k < 16; ++k) {
    EXPECT_NEAR(detector->tonePowers[k], k == 3 ? 100.0f : 1.0f, 1e-3f) << k;
  }
  EXPECT_EQ(ToneAt(detector, 0, 0), 3u);
  EXPECT_NEAR(detector->phaseScores[0], 100.0f, 0.05f);
  EXPECT_EQ(detector->phaseScores[1], 0.0f);

  ASSERT_EQ(ToneDetector::Feed(detector, samples.data() + kFrame + 1, kFrame), 0);
  EXPECT_EQ(detector->frameCounter, 2);
  EXPECT_NEAR(detector->tonePowers[16 + 12], 4.0f, 1e-3f);
  EXPECT_EQ(ToneAt(detector, 1, 0), 12u);
  EXPECT_NEAR(detector->phaseScores[1], 4.0f, 1e-3f);
  EXPECT_NEAR(detector->phaseScores[0], 100.0f, 0.05f);
  EXPECT_EQ(detector->phaseScores[2], 0.0f);
}

TEST_F(ToneDetectorTest, PowersMatchAPlainDft) {
  // A tone stream off the frame grid plus deterministic noise, so every tone bin carries power.
  std::vector<float> samples = Received("\x10\x54\xab\x8f", 1500, kWindow + 1);
  uint32_t state = 12345u;
  for (float& sample : samples) {
    state = state * 1664525u + 1013904223u;
    sample = std::trunc(sample * 0.5f + static_cast<float>(static_cast<int>(state >> 20) - 2048));
  }
  ToneDetector* detector = NewDetector();
  ASSERT_EQ(ToneDetector::Feed(detector, samples.data(), kWindow + 1), 1);
  for (int c : {0, 1, 6, 17, 30, 43}) {
    for (int k = 0; k < 16; ++k) {
      const int bin = params_->toneBins[k];
      double re = 0.0, im = 0.0;
      for (int n = 0; n < kFrame; ++n) {
        const double angle = kTwoPi * static_cast<double>((bin * n) % kFrame) / kFrame;
        re += samples[c * kFrame + n] * std::cos(angle);
        im -= samples[c * kFrame + n] * std::sin(angle);
      }
      const double expected = re * re + im * im;
      EXPECT_NEAR(detector->tonePowers[c * 16 + k], expected, expected * 1e-3)
          << "frame " << c << " tone " << k;
    }
  }
}

TEST_F(ToneDetectorTest, DecodesSynthesisedStreamsAtEverySymbolOffset) {
  const char* payloads[] = {"\x10\x54\xab\x8f", "\x52\x64\x89\x10", "\x71\x22\x40\x53",
                            "\xff\xf0\x1f\x10"};
  for (const char* payload : payloads) {
    for (int offset = 0; offset < 10; ++offset) {
      const std::vector<float> samples = Received(payload, offset * kSymbol, kWindow + 1);
      ToneDetector* detector = NewDetector();
      ASSERT_EQ(ToneDetector::Feed(detector, samples.data(), kWindow + 1), 1);
      uint8_t out[5] = {0, 0, 0, 0, 0xee};
      ASSERT_EQ(ToneDetector::Decode(detector, out), 4) << "offset " << offset;
      EXPECT_EQ(std::memcmp(out, payload, 4), 0) << "offset " << offset;
      EXPECT_EQ(out[4], 0xee);
      // Decoding reads only: repeating it gives the same bytes.
      uint8_t again[4] = {};
      ASSERT_EQ(ToneDetector::Decode(detector, again), 4);
      EXPECT_EQ(std::memcmp(again, out, 4), 0);
    }
  }
}

TEST_F(ToneDetectorTest, DecodesStreamsOffTheSymbolGrid) {
  const char* payload = "\x52\x64\x89\x10";
  for (int skip :
       {1, 100, 511, 512, 700, 1023, 2348, 4095, 3 * kSymbol + 1234, 9 * kSymbol + 3333}) {
    const std::vector<float> samples = Received(payload, skip, kWindow + 1);
    ToneDetector* detector = NewDetector();
    ASSERT_EQ(ToneDetector::Feed(detector, samples.data(), kWindow + 1), 1);
    uint8_t out[4] = {};
    ASSERT_EQ(ToneDetector::Decode(detector, out), 4) << "skip " << skip;
    EXPECT_EQ(std::memcmp(out, payload, 4), 0) << "skip " << skip;
  }
}

TEST_F(ToneDetectorTest, SilenceDecodesToZeroBytes) {
  const std::vector<float> silence(kWindow + 1, 0.0f);
  ToneDetector* detector = NewDetector();
  ASSERT_EQ(ToneDetector::Feed(detector, silence.data(), kWindow + 1), 1);
  // Every tone ties at zero power, so tone 0 is recorded; every score is 0/0.
  for (int i = 0; i < 44; ++i) {
    EXPECT_EQ(detector->toneIndexes[i], 0u) << i;
  }
  for (int p = 0; p < 4; ++p) {
    EXPECT_TRUE(std::isnan(detector->phaseScores[p])) << p;
  }
  uint8_t out[4] = {0xee, 0xee, 0xee, 0xee};
  ASSERT_EQ(ToneDetector::Decode(detector, out), 4);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), std::vector<uint8_t>(4, 0));
}

TEST_F(ToneDetectorTest, FeedingOnAfterSampleBySampleWindowReanalysesLastFrame) {
  const std::vector<float> samples = Received("\x10\x54\xab\x8f", 0, kWindow + 1);
  ToneDetector* detector = NewDetector();
  for (int i = 0; i < kWindow; ++i) {
    ASSERT_EQ(ToneDetector::Feed(detector, &samples[i], 1), 0);
  }
  ASSERT_EQ(ToneDetector::Feed(detector, &samples[kWindow], 1), 1);
  // The last normal return stored a full frame buffer; the counter stayed at frame M - 1.
  EXPECT_EQ(detector->fillPosition, kFrame);
  EXPECT_EQ(detector->frameCounter, 43);

  const float lastRatio = Ratio(detector->tonePowers + 43 * 16);
  const float before = detector->phaseScores[3];
  const uint32_t tone = ToneAt(detector, 3, 10);
  const float other = detector->phaseScores[2];
  // The buffer is already full: the first sample of every further call re-analyses it.
  const float extra[2] = {5000.0f, -5000.0f};
  EXPECT_EQ(ToneDetector::Feed(detector, extra, 2), 1);
  EXPECT_FLOAT_EQ(detector->phaseScores[3], before + lastRatio);
  EXPECT_EQ(ToneAt(detector, 3, 10), tone);
  EXPECT_EQ(detector->phaseScores[2], other);
  EXPECT_EQ(detector->fillPosition, kFrame);
  EXPECT_EQ(detector->frameCounter, 43);
  EXPECT_EQ(ToneDetector::Feed(detector, extra, 1), 1);
  EXPECT_FLOAT_EQ(detector->phaseScores[3], before + 2.0f * lastRatio);
}

TEST_F(ToneDetectorTest, FeedingOnAfterOneCallWindowRefillsLastFrame) {
  const std::vector<float> samples = Received("\x10\x54\xab\x8f", 0, kWindow + 1);
  ToneDetector* detector = NewDetector();
  ASSERT_EQ(ToneDetector::Feed(detector, samples.data(), kWindow + 1), 1);
  // Nothing was written back by the completing call: position from creation, counter M - 1.
  EXPECT_EQ(detector->fillPosition, 0);
  EXPECT_EQ(detector->frameCounter, 43);
  const uint32_t oldTone = ToneAt(detector, 3, 10);
  ASSERT_NE(oldTone, 7u);
  const float before = detector->phaseScores[3];

  // A frame of tone 7, in two short calls that each write their position back.
  std::vector<float> tone(kFrame + 1);
  for (int n = 0; n < kFrame + 1; ++n) {
    tone[n] = static_cast<float>(
        std::trunc(20000.0 * std::sin(kTwoPi * params_->toneFrequencies[7] * n / 48000.0)));
  }
  EXPECT_EQ(ToneDetector::Feed(detector, tone.data(), 500), 0);
  EXPECT_EQ(detector->fillPosition, 500);
  EXPECT_EQ(detector->frameCounter, 43);
  EXPECT_EQ(ToneDetector::Feed(detector, tone.data() + 500, kFrame - 500), 0);
  EXPECT_EQ(detector->fillPosition, kFrame);
  EXPECT_EQ(ToneAt(detector, 3, 10), oldTone);
  EXPECT_EQ(detector->phaseScores[3], before);

  // The next sample re-analyses the buffer as frame 43: slot 10 of phase 3 now holds tone 7.
  EXPECT_EQ(ToneDetector::Feed(detector, tone.data() + kFrame, 1), 1);
  EXPECT_EQ(ToneAt(detector, 3, 10), 7u);
  int32_t best = -1;
  MaxIndex(detector->tonePowers + 43 * 16, 16, &best);
  EXPECT_EQ(best, 7);
  EXPECT_FLOAT_EQ(detector->phaseScores[3], before + Ratio(detector->tonePowers + 43 * 16));
  EXPECT_EQ(detector->fillPosition, kFrame);
  EXPECT_EQ(detector->frameCounter, 43);
}

TEST_F(ToneDetectorTest, CompletingCallKeepsTheStoredFillPosition) {
  const std::vector<float> samples = Received("\x10\x54\xab\x8f", 0, kWindow + kFrame);
  ToneDetector* detector = NewDetector();
  ASSERT_EQ(ToneDetector::Feed(detector, samples.data(), 300), 0);
  // 300 samples stored by the last normal return; this call completes the window and goes on.
  ASSERT_EQ(ToneDetector::Feed(detector, samples.data() + 300, kWindow + kFrame - 300), 1);
  EXPECT_EQ(detector->fillPosition, 300);
  EXPECT_EQ(detector->frameCounter, 43);
  // From 300, the buffer fills after 724 more samples; the 725th completes again.
  EXPECT_EQ(ToneDetector::Feed(detector, samples.data(), 724), 0);
  EXPECT_EQ(detector->fillPosition, kFrame);
  EXPECT_EQ(ToneDetector::Feed(detector, samples.data(), 1), 1);
}

}  // namespace
