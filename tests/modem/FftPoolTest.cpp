#include <gtest/gtest.h>

#include "modem/ModemParams.h"

namespace {

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
