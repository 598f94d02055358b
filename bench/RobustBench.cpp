#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "receive/robust/RobustReceiver.h"
#include "receive/robust/RoomFit.h"

namespace {

// One fit of a word over the longest stretch, as the robust receiver scores each word it tries.
void BM_RoomFitCost(benchmark::State& state) {
  constexpr int32_t kRing = 4096;
  std::vector<float> re(kRing), im(kRing);
  std::mt19937 random(1);
  std::normal_distribution<float> noise;
  for (int32_t j = 0; j < kRing; ++j) {
    re[j] = noise(random);
    im[j] = noise(random);
  }
  RoomFit fit(48000.0, 32, 19450.0);
  fit.Load(re.data(), im.data(), kRing, 3000, RoomFit::kMaxSpan, 1.0);
  const int32_t tones[10] = {0, 0, 3, 9, 12, 4, 15, 1, 7, 2};
  double clock = 0.0;
  for (auto _ : state) {
    clock += 1e-7;  // a fit's clock search changes it every time
    benchmark::DoNotOptimize(fit.Cost(tones, 1000.0, clock));
  }
}
BENCHMARK(BM_RoomFitCost);

// A receiver made ready to listen, as every start of listening makes one.
void BM_RobustReceiverMake(benchmark::State& state) {
  for (auto _ : state) {
    RobustReceiver receiver(48000.0);
    benchmark::DoNotOptimize(&receiver);
  }
}
BENCHMARK(BM_RobustReceiverMake);

}  // namespace
