#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "modem/OnAir.h"
#include "receive/HovSinkConcurrent.h"
#include "runtime/HovLog.h"
#include "tests/fakes/SignalFactory.h"

namespace {

const int kAllWindowsDone = 131457;  // the tenth decoder's window ends here

void Feed(HovSinkConcurrent* sink, const std::vector<int16_t>& s, size_t frames, int32_t buffer) {
  for (size_t pos = 0; pos < frames; pos += static_cast<size_t>(buffer)) {
    int32_t n = static_cast<int32_t>(std::min(static_cast<size_t>(buffer), frames - pos));
    sink->Write(&s[pos], n);
  }
}

// Capture of a clean key from its first frame until all ten decoders have read their window
// (the key is accepted on the way), in capture buffers of range(0) frames.
void BM_SinkConcurrentTenWindows(benchmark::State& state) {
  HovLogger::GetInstance()->RegisterLogger(nullptr);
  std::vector<int16_t> s = RenderToneCycle({1, 0, 5, 4, 10, 11, 8, 15, 0, 0}, kAllWindowsDone);
  int32_t buffer = static_cast<int32_t>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    HovSinkConcurrent* sink = new HovSinkConcurrent(4);
    sink->Open(1, onair::kSampleRate, 16);
    state.ResumeTiming();
    Feed(sink, s, s.size(), buffer);
    state.PauseTiming();
    if (!sink->IsComplete()) {
      state.SkipWithError("the key was not accepted");
    }
    sink->Close();
    delete sink;
    state.ResumeTiming();
  }
  // Seconds of audio per second of computing.
  state.counters["x_realtime"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kAllWindowsDone / onair::kSampleRate,
      benchmark::Counter::kIsRate);
  HovLogger::GetInstance()->RegisterLogger(&HovLogger::BuiltinPrinter);
}
BENCHMARK(BM_SinkConcurrentTenWindows)->Arg(480)->Arg(4800)->Unit(benchmark::kMillisecond);

// The worst steady state: a stream without separator, so no window yields a packet and all ten
// decoders stay and keep analysing. One second of capture per iteration.
void BM_SinkConcurrentTenStuck(benchmark::State& state) {
  HovLogger::GetInstance()->RegisterLogger(nullptr);
  std::vector<int16_t> s =
      RenderToneCycle({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, kAllWindowsDone + onair::kSampleRate);
  int32_t buffer = static_cast<int32_t>(state.range(0));
  HovSinkConcurrent sink(4);
  sink.Open(1, onair::kSampleRate, 16);
  Feed(&sink, s, kAllWindowsDone, buffer);
  std::vector<int16_t> second(s.begin() + kAllWindowsDone, s.end());
  for (auto _ : state) {
    Feed(&sink, second, second.size(), buffer);
  }
  if (sink.IsComplete()) {
    state.SkipWithError("a key was accepted");
  }
  state.counters["x_realtime"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  sink.Close();
  HovLogger::GetInstance()->RegisterLogger(&HovLogger::BuiltinPrinter);
}
BENCHMARK(BM_SinkConcurrentTenStuck)->Arg(480)->Arg(4800)->Unit(benchmark::kMillisecond);

}  // namespace
