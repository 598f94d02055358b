// How long each export takes to return to the host while the worker runs. The exports only
// post a task, so this stays in the microseconds whatever the task does later.
#include <benchmark/benchmark.h>

#include <memory>

#include "capture/AudioInput.h"
#include "hov/hov.h"
#include "send/AudioOutput.h"

namespace {

// Devices that never open: the tasks fail fast and touch no sound system.
class ClosedOutput : public AudioOutput::Impl {
 public:
  bool Open(uint32_t, AudioOutput::AudioSource*) override { return false; }
  void Close() override {}
};
class ClosedInput : public AudioInput::Impl {
 public:
  bool Open(uint32_t, AudioInput::AudioSink*) override { return false; }
  void Close() override {}
};

// The worker's ids are finite over a process (about a million); every benchmark below posts
// a fixed number of tasks.
constexpr int kIterations = 20000;

class ExportsFixture : public benchmark::Fixture {
 public:
  void SetUp(const benchmark::State&) override {
    AudioOutput::SetFactoryForTesting([] { return std::make_unique<ClosedOutput>(); });
    AudioInput::SetFactoryForTesting([] { return std::make_unique<ClosedInput>(); });
    HovInit(nullptr, nullptr);
  }
  void TearDown(const benchmark::State&) override {
    HovUninit();
    AudioOutput::SetFactoryForTesting(nullptr);
    AudioInput::SetFactoryForTesting(nullptr);
  }
};

BENCHMARK_DEFINE_F(ExportsFixture, HovSendStart)(benchmark::State& state) {
  for (auto _ : state) {
    HovSendStart("ABCDEF");
  }
}
BENCHMARK_DEFINE_F(ExportsFixture, HovSendUpdate)(benchmark::State& state) {
  for (auto _ : state) {
    HovSendUpdate("ABCDEF");
  }
}
BENCHMARK_DEFINE_F(ExportsFixture, HovSendStop)(benchmark::State& state) {
  for (auto _ : state) {
    HovSendStop();
  }
}
BENCHMARK_DEFINE_F(ExportsFixture, HovReceiveStart)(benchmark::State& state) {
  for (auto _ : state) {
    HovReceiveStart(1000, nullptr);
  }
}
BENCHMARK_DEFINE_F(ExportsFixture, HovReceiveStop)(benchmark::State& state) {
  for (auto _ : state) {
    HovReceiveStop();
  }
}
BENCHMARK_REGISTER_F(ExportsFixture, HovSendStart)->Iterations(kIterations);
BENCHMARK_REGISTER_F(ExportsFixture, HovSendUpdate)->Iterations(kIterations);
BENCHMARK_REGISTER_F(ExportsFixture, HovSendStop)->Iterations(kIterations);
BENCHMARK_REGISTER_F(ExportsFixture, HovReceiveStart)->Iterations(kIterations);
BENCHMARK_REGISTER_F(ExportsFixture, HovReceiveStop)->Iterations(kIterations);

// HovInit and HovUninit start and join the worker: they are the two that wait.
void BM_InitUninit(benchmark::State& state) {
  for (auto _ : state) {
    HovInit(nullptr, nullptr);
    HovUninit();
  }
}
BENCHMARK(BM_InitUninit)->Iterations(200);

}  // namespace
