#include <benchmark/benchmark.h>

#include <vector>

#include "modem/ModemParams.h"
#include "modem/OnAir.h"
#include "modem/ToneBank.h"
#include "modem/ToneDetector.h"

namespace {

// One second of the tone stream per iteration, as the playback callback asks for it.
void BM_ToneBankRender(benchmark::State& state) {
  ModemParams* params = CreateModemParams(static_cast<float>(onair::kSampleRate), 4);
  params->amplitude = 1.0f;
  ToneBank* bank = ToneBank::Create(params);
  ToneBank::SetPayload(bank, "\x10\x54\xab\x8f");
  std::vector<float> out(onair::kSampleRate);
  for (auto _ : state) {
    ToneBank::Render(bank, out.data(), onair::kSampleRate);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * onair::kSampleRate);
  // Seconds of audio per second of computing.
  state.counters["x_realtime"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  ToneBank::Free(bank);
  DestroyModemParams(params);
}
BENCHMARK(BM_ToneBankRender);

// One detector window: 44 frame analyses over 45056 samples, plus the sample that completes it.
void BM_ToneDetectorFeedWindow(benchmark::State& state) {
  ModemParams* params = CreateModemParams(static_cast<float>(onair::kSampleRate), 4);
  params->amplitude = 1.0f;
  ToneBank* bank = ToneBank::Create(params);
  ToneBank::SetPayload(bank, "\x10\x54\xab\x8f");
  std::vector<float> samples(onair::kWindowFrames + 1);
  ToneBank::Render(bank, samples.data(), onair::kWindowFrames + 1);
  for (float& sample : samples) {
    sample = static_cast<float>(FloatToPcm16(sample));
  }
  for (auto _ : state) {
    state.PauseTiming();
    ToneDetector* detector = ToneDetector::Create(params);
    state.ResumeTiming();
    benchmark::DoNotOptimize(
        ToneDetector::Feed(detector, samples.data(), onair::kWindowFrames + 1));
    state.PauseTiming();
    ToneDetector::Free(detector);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * onair::kWindowFrames);
  state.counters["x_realtime"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * onair::kWindowFrames / onair::kSampleRate,
      benchmark::Counter::kIsRate);
  ToneBank::Free(bank);
  DestroyModemParams(params);
}
BENCHMARK(BM_ToneDetectorFeedWindow);

}  // namespace
