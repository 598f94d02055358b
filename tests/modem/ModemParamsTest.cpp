#include <gtest/gtest.h>

#include <memory>

#include "modem/ModemParams.h"

namespace {

struct ParamsDeleter {
  void operator()(ModemParams* params) const { DestroyModemParams(params); }
};
using ParamsPtr = std::unique_ptr<ModemParams, ParamsDeleter>;

ParamsPtr Make(float sampleRate, uint32_t payloadBytes = 4) {
  return ParamsPtr(CreateModemParams(sampleRate, payloadBytes));
}

TEST(ModemParamsTest, FixedFieldsAndInputs) {
  ParamsPtr params = Make(48000.0f);
  EXPECT_EQ(params->toneCount, 16);
  EXPECT_EQ(params->symbolSamples, 4096);
  EXPECT_EQ(params->framesPerSymbol, 4);
  EXPECT_EQ(params->payloadBytes, 4u);
  EXPECT_EQ(params->sampleRate, 48000.0f);
  EXPECT_EQ(params->lowFrequency, 19100.0f);
  EXPECT_EQ(params->highFrequency, 19900.0f);
  EXPECT_EQ(params->reserved, 100.0f);
  EXPECT_EQ(params->taperRatio, 0.5f);
  EXPECT_EQ(params->amplitude, 0.8f);
}

TEST(ModemParamsTest, TonePlanAt48000) {
  ParamsPtr params = Make(48000.0f);
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(params->toneBins[i], 408 + i) << i;
    EXPECT_EQ(params->toneFrequencies[i], 19125.0 + 46.875 * i) << i;
  }
  EXPECT_EQ(params->toneFrequencies[15], 19828.125);
  EXPECT_EQ(params->packetSeconds, 45056.0f / 48000.0f);
  EXPECT_NEAR(params->packetSeconds, 0.93866664f, 1e-7f);
}

TEST(ModemParamsTest, TonePlanAt44100) {
  ParamsPtr params = Make(44100.0f);
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(params->toneBins[i], 444 + i) << i;
    EXPECT_EQ(params->toneFrequencies[i], (444 + i) * 43.06640625) << i;
  }
  EXPECT_EQ(params->toneFrequencies[0], 19121.484375);
  EXPECT_EQ(params->toneFrequencies[15], 19767.48046875);
  EXPECT_EQ(params->packetSeconds, 45056.0f / 44100.0f);
  EXPECT_NEAR(params->packetSeconds, 1.0216780f, 1e-6f);
}

TEST(ModemParamsTest, TonePlanAt16000StepsThreeBinsBeyondTheSpectrum) {
  ParamsPtr params = Make(16000.0f);
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(params->toneBins[i], 1223 + 3 * i) << i;
    EXPECT_EQ(params->toneFrequencies[i], (1223 + 3 * i) * 15.625) << i;
  }
  EXPECT_EQ(params->toneBins[15], 1268);
  EXPECT_GT(params->toneFrequencies[0], 8000.0);
}

TEST(ModemParamsTest, StepRoundsDownToZeroFrom54614) {
  ParamsPtr below = Make(54613.0f);
  EXPECT_EQ(below->toneBins[1] - below->toneBins[0], 1);
  EXPECT_EQ(below->toneBins[15] - below->toneBins[0], 15);
  EXPECT_EQ(below->packetSeconds, 45056.0f / 54613.0f);

  ParamsPtr at = Make(54614.0f);
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(at->toneBins[i], 359) << i;
    EXPECT_EQ(at->toneFrequencies[i], 359 * (54614.0 / 1024.0)) << i;
  }
  EXPECT_EQ(at->packetSeconds, 45056.0f / 54614.0f);
}

TEST(ModemParamsTest, PayloadLengthChangesOnlyTheWindow) {
  ParamsPtr two = Make(48000.0f, 2);
  ParamsPtr four = Make(48000.0f, 4);
  EXPECT_EQ(two->payloadBytes, 2u);
  EXPECT_EQ(two->packetSeconds, 28672.0f / 48000.0f);
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(two->toneBins[i], four->toneBins[i]);
    EXPECT_EQ(two->toneFrequencies[i], four->toneFrequencies[i]);
  }
  DestroyModemParams(nullptr);
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

}  // namespace
