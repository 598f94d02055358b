// The resampler against exact sines: what it makes of a tone at one rate must be the same tone
// at the other, with nothing left of what lies beyond the lower Nyquist frequency.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "modem/ModemParams.h"
#include "modem/Resampler.h"

namespace {
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
  double hz;
  double maxErrorDb;  // against 0.5 full scale; for a tone past the cutoff, the level left
  bool passes;        // the tone lies in the pass band
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
  double worst = 0.0;
  for (size_t i = skip; i < out.size(); ++i) {
    const double error = c.passes ? out[i] - expected[i] : out[i];
    worst = std::max(worst, std::fabs(error));
  }
  EXPECT_LT(20.0 * std::log10(worst / 0.5 + 1e-30), c.maxErrorDb) << c.from << "->" << c.to;
}

INSTANTIATE_TEST_SUITE_P(Rates, ResamplerTone,
                         testing::Values(Case{44100, 48000, 19125.0, -70.0, true},
                                         Case{44100, 48000, 19828.125, -70.0, true},
                                         Case{32000, 48000, 1000.0, -70.0, true},
                                         Case{96000, 48000, 19500.0, -70.0, true},
                                         Case{96000, 48000, 30000.0, -70.0, false},
                                         Case{192000, 48000, 40000.0, -70.0, false},
                                         Case{47999, 48000, 19500.0, -70.0, true}));

TEST(Resampler, GivesTheSameOutputWhateverTheInputPieces) {
  const std::vector<float> in = Sine(19500.0, 44100, 30000);
  const std::vector<float> whole = Convert(in, 44100, 48000, in.size());
  for (size_t chunk : {1, 2, 441, 4096}) {
    EXPECT_EQ(Convert(in, 44100, 48000, chunk), whole) << chunk;
  }
}

}  // namespace
