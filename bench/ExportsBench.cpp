// What a host waits for: how long each export takes to return, how soon status 3 and 6 follow
// the export's return, how soon a result follows the buffer that completed the vote, and what
// an idle worker costs. Each figure comes with its goal and a floor measured in the same run.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/AudioInput.h"
#include "codec/ShareKeyEncoder.h"
#include "hov/hov.h"
#include "receive/HovSinkConcurrent.h"
#include "send/AudioOutput.h"
#include "send/HovSource.h"

namespace {

using Clock = std::chrono::steady_clock;

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
// Devices that open at once and carry nothing.
class QuietOutput : public AudioOutput::Impl {
 public:
  bool Open(uint32_t, AudioOutput::AudioSource*) override { return true; }
  void Close() override {}
};
class QuietInput : public AudioInput::Impl {
 public:
  bool Open(uint32_t, AudioInput::AudioSink*) override { return true; }
  void Close() override {}
};

// Three seconds of the key ABCDEF as the sender plays it.
const std::vector<int16_t>& KeySignal() {
  static const std::vector<int16_t> signal = [] {
    std::string encoded;
    ShareKeyEncoder::Encode("ABCDEF", &encoded);
    HovSource source;
    source.Init(encoded.c_str());
    std::vector<int16_t> samples(3 * 48000);
    source.Read(samples.data(), static_cast<int32_t>(samples.size()));
    source.Uninit();
    return samples;
  }();
  return signal;
}

// A capture thread that feeds the key in 480-frame buffers as fast as the decoders take them
// and notes when the buffer that completed the vote was handed over and when it returned.
class FeedingInput : public AudioInput::Impl {
 public:
  static std::atomic<int64_t> s_handedNs;
  static std::atomic<int64_t> s_completedNs;
  bool Open(uint32_t, AudioInput::AudioSink* sink) override {
    auto* concurrent = dynamic_cast<HovSinkConcurrent*>(sink);
    sink->Open(1, 48000, 16);
    m_thread = std::thread([this, sink, concurrent] {
      const std::vector<int16_t>& signal = KeySignal();
      for (size_t at = 0; at + 480 <= signal.size() && !m_stop.load(); at += 480) {
        int64_t handedNs = Clock::now().time_since_epoch().count();
        sink->Write(signal.data() + at, 480);
        if (concurrent != nullptr && concurrent->IsComplete()) {
          s_handedNs.store(handedNs);
          s_completedNs.store(Clock::now().time_since_epoch().count());
          return;
        }
      }
    });
    return true;
  }
  void Close() override {
    m_stop.store(true);
    m_thread.join();
  }

 private:
  std::thread m_thread;
  std::atomic<bool> m_stop{false};
};
std::atomic<int64_t> FeedingInput::s_handedNs{0};
std::atomic<int64_t> FeedingInput::s_completedNs{0};

// What the callbacks saw, with the time of each.
std::mutex g_mutex;
std::condition_variable g_changed;
std::vector<int> g_statuses;
int64_t g_lastStatusNs = 0;
int64_t g_resultNs = 0;

void HOV_CALL OnStatus(int code) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_statuses.push_back(code);
  g_lastStatusNs = Clock::now().time_since_epoch().count();
  g_changed.notify_all();
}
void HOV_CALL OnResult(int, const char*) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_resultNs = Clock::now().time_since_epoch().count();
  g_changed.notify_all();
}
// Waits (at most 5 s) for the next status code; returns it with the time it came.
int WaitNextStatus(size_t seen, int64_t* whenNs) {
  std::unique_lock<std::mutex> lock(g_mutex);
  g_changed.wait_for(lock, std::chrono::seconds(5), [&] { return g_statuses.size() > seen; });
  *whenNs = g_lastStatusNs;
  return g_statuses.size() > seen ? g_statuses[seen] : 0;
}
size_t StatusCount() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_statuses.size();
}

template <typename Output, typename Input>
void UseDevices() {
  AudioOutput::SetFactoryForTesting([] { return std::make_unique<Output>(); });
  AudioInput::SetFactoryForTesting([] { return std::make_unique<Input>(); });
}
void PlatformDevices() {
  AudioOutput::SetFactoryForTesting(nullptr);
  AudioInput::SetFactoryForTesting(nullptr);
}

constexpr int kIterations = 20000;

class ExportsFixture : public benchmark::Fixture {
 public:
  void SetUp(const benchmark::State&) override {
    UseDevices<ClosedOutput, ClosedInput>();
    HovInit(nullptr, nullptr);
  }
  void TearDown(const benchmark::State&) override {
    HovUninit();
    PlatformDevices();
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
BENCHMARK_DEFINE_F(ExportsFixture, HovReceiveStart)(benchmark::State& state) {
  for (auto _ : state) {
    HovReceiveStart(1000, nullptr);
  }
}
BENCHMARK_REGISTER_F(ExportsFixture, HovSendStart)->Iterations(kIterations);
BENCHMARK_REGISTER_F(ExportsFixture, HovSendUpdate)->Iterations(kIterations);
BENCHMARK_REGISTER_F(ExportsFixture, HovReceiveStart)->Iterations(kIterations);

// HovInit and HovUninit start and join the worker: they are the two that wait.
void BM_InitUninit(benchmark::State& state) {
  for (auto _ : state) {
    HovInit(nullptr, nullptr);
    HovUninit();
  }
}
BENCHMARK(BM_InitUninit)->Iterations(200);

// Floor of the status latencies: one thread wakes another through a condition variable.
void BM_WakeFloor(benchmark::State& state) {
  std::mutex mutex;
  std::condition_variable changed;
  int64_t postedNs = 0;
  int64_t wokeNs = 0;
  bool posted = false;
  bool done = false;
  std::thread waiter([&] {
    std::unique_lock<std::mutex> lock(mutex);
    while (!done) {
      changed.wait(lock, [&] { return posted || done; });
      if (posted) {
        wokeNs = Clock::now().time_since_epoch().count();
        posted = false;
        changed.notify_all();
      }
    }
  });
  for (auto _ : state) {
    std::unique_lock<std::mutex> lock(mutex);
    posted = true;
    postedNs = Clock::now().time_since_epoch().count();
    changed.notify_all();
    changed.wait(lock, [&] { return !posted; });
    state.SetIterationTime(static_cast<double>(wokeNs - postedNs) * 1e-9);
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
    changed.notify_all();
  }
  waiter.join();
}
BENCHMARK(BM_WakeFloor)->UseManualTime()->Iterations(200)->Unit(benchmark::kMicrosecond);

// From the return of HovSendStart (code 6) or HovReceiveStart (code 3) to the status code;
// goal: 2 ms. Each start is stopped again outside the timing.
void BM_StatusLatency(benchmark::State& state) {
  const bool send = state.range(0) == 6;
  UseDevices<QuietOutput, QuietInput>();
  HovInit(&OnStatus, nullptr);
  int64_t whenNs = 0;
  WaitNextStatus(0, &whenNs);
  for (auto _ : state) {
    size_t seen = StatusCount();
    if (send) {
      HovSendStart("ABCDEF");
    } else {
      HovReceiveStart(60000, &OnResult);
    }
    int64_t returnedNs = Clock::now().time_since_epoch().count();
    int code = WaitNextStatus(seen, &whenNs);
    state.SetIterationTime(static_cast<double>(whenNs - returnedNs) * 1e-9);
    if (code != state.range(0)) {
      state.SkipWithError("unexpected status code");
      break;
    }
    seen = StatusCount();
    send ? HovSendStop() : HovReceiveStop();
    WaitNextStatus(seen, &whenNs);
  }
  state.counters["goal_ms"] = 2;
  HovUninit();
  PlatformDevices();
}
BENCHMARK(BM_StatusLatency)
    ->Arg(6)
    ->Arg(3)
    ->UseManualTime()
    ->Iterations(50)
    ->Unit(benchmark::kMicrosecond);

// From the return of the capture buffer that completed the vote to the result callback (0 when
// the result came before the buffer returned); goal: 2 ms. write_ms: how long that buffer's
// Write took (the decoding it finished).
void BM_ResultDelay(benchmark::State& state) {
  KeySignal();
  UseDevices<QuietOutput, FeedingInput>();
  HovInit(&OnStatus, nullptr);
  double writeMs = 0;
  for (auto _ : state) {
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      g_resultNs = 0;
    }
    FeedingInput::s_completedNs.store(0);
    FeedingInput::s_handedNs.store(0);
    HovReceiveStart(60000, &OnResult);
    int64_t resultNs = 0;
    {
      std::unique_lock<std::mutex> lock(g_mutex);
      g_changed.wait_for(lock, std::chrono::seconds(10), [] { return g_resultNs != 0; });
      resultNs = g_resultNs;
    }
    int64_t completedNs = 0;
    for (int i = 0; i < 5000 && completedNs == 0; ++i) {
      completedNs = FeedingInput::s_completedNs.load();  // the feeder may still be returning
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    if (resultNs == 0 || completedNs == 0) {
      state.SkipWithError("no result");
      break;
    }
    writeMs += static_cast<double>(completedNs - FeedingInput::s_handedNs.load()) * 1e-6;
    state.SetIterationTime(static_cast<double>(std::max<int64_t>(0, resultNs - completedNs)) *
                           1e-9);
    size_t seen = StatusCount();
    HovReceiveStop();
    int64_t whenNs = 0;
    WaitNextStatus(seen, &whenNs);
  }
  state.counters["goal_ms"] = 2;
  state.counters["write_ms"] = writeMs / static_cast<double>(state.iterations());
  HovUninit();
  PlatformDevices();
}
BENCHMARK(BM_ResultDelay)->UseManualTime()->Iterations(20)->Unit(benchmark::kMicrosecond);

int64_t ProcessCpuNs() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// CPU time of the library's worker thread, found by its name; -1 when there is none. (Linux
// names a thread's CPU clock after its id: ~tid << 3 | 6.)
int64_t WorkerCpuNs() {
  int64_t ns = -1;
  DIR* tasks = opendir("/proc/self/task");
  while (dirent* task = tasks != nullptr ? readdir(tasks) : nullptr) {
    std::string path = std::string("/proc/self/task/") + task->d_name + "/comm";
    char name[32] = {};
    FILE* comm = std::fopen(path.c_str(), "r");
    if (comm == nullptr) {
      continue;
    }
    bool found = std::fgets(name, sizeof name, comm) != nullptr &&
                 std::string(name).rfind("brivok_hov_time", 0) == 0;
    std::fclose(comm);
    if (found) {
      clockid_t clock =
          static_cast<clockid_t>(~static_cast<unsigned>(std::atoi(task->d_name)) << 3 | 6);
      timespec ts{};
      if (clock_gettime(clock, &ts) == 0) {
        ns = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
      }
      break;
    }
  }
  if (tasks != nullptr) {
    closedir(tasks);
  }
  return ns;
}

// CPU per second while this thread sleeps: of the whole process with the worker idle after
// HovInit (range 1) and, as the floor, with no worker (range 0); and of the idle worker
// thread alone (worker_ms_per_s; goal 0.1 ms/s).
void BM_IdleCpu(benchmark::State& state) {
  const bool worker = state.range(0) == 1;
  if (worker) {
    HovInit(nullptr, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // past its start
  }
  double msPerSecond = 0;
  double workerMsPerSecond = 0;
  for (auto _ : state) {
    int64_t before = ProcessCpuNs();
    int64_t workerBefore = WorkerCpuNs();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    msPerSecond = static_cast<double>(ProcessCpuNs() - before) / 2e6;
    workerMsPerSecond = static_cast<double>(WorkerCpuNs() - workerBefore) / 2e6;
  }
  state.counters["cpu_ms_per_s"] = msPerSecond;
  if (worker) {
    state.counters["worker_ms_per_s"] = workerMsPerSecond;
  }
  state.counters["goal_ms_per_s"] = 0.1;
  if (worker) {
    HovUninit();
  }
}
BENCHMARK(BM_IdleCpu)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

// A playback device that takes 50 ms to open, as a real one may.
class SlowOutput : public AudioOutput::Impl {
 public:
  bool Open(uint32_t, AudioOutput::AudioSource*) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return true;
  }
  void Close() override {}
};

// HovUninit right after 20 rounds of HovSendStart and HovSendStop on a slow device: the tasks
// not yet run are dropped, so it waits for one open at most (floor: 50 ms).
void BM_UninitAfterBacklog(benchmark::State& state) {
  UseDevices<SlowOutput, QuietInput>();
  for (auto _ : state) {
    HovInit(nullptr, nullptr);
    for (int i = 0; i < 20; ++i) {
      HovSendStart("ABCDEF");
      HovSendStop();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));  // the first open is running
    auto before = Clock::now();
    HovUninit();
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - before).count());
  }
  state.counters["floor_ms"] = 50;
  PlatformDevices();
}
BENCHMARK(BM_UninitAfterBacklog)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// The 25 ms poll while a host floods the queue: a receiver with a 200 ms time-out still
// reports; the figure is how late after its deadline (floor: one 25 ms poll).
void BM_ResultUnderFlood(benchmark::State& state) {
  UseDevices<QuietOutput, QuietInput>();
  HovInit(&OnStatus, nullptr);
  for (auto _ : state) {
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      g_resultNs = 0;
    }
    std::atomic<bool> flooding{true};
    auto start = Clock::now();
    HovReceiveStart(200, &OnResult);
    std::thread flood([&flooding] {
      while (flooding.load()) {
        HovSendUpdate("ABCDEF");
      }
    });
    int64_t resultNs = 0;
    {
      std::unique_lock<std::mutex> lock(g_mutex);
      g_changed.wait_for(lock, std::chrono::seconds(20), [] { return g_resultNs != 0; });
      resultNs = g_resultNs;
    }
    flooding.store(false);
    flood.join();
    if (resultNs == 0) {
      state.SkipWithError("no result within 20 s");
      break;
    }
    int64_t deadlineNs = (start + std::chrono::milliseconds(200)).time_since_epoch().count();
    state.SetIterationTime(static_cast<double>(std::max<int64_t>(0, resultNs - deadlineNs)) * 1e-9);
  }
  state.counters["floor_ms"] = 25;
  HovUninit();
  PlatformDevices();
}
BENCHMARK(BM_ResultUnderFlood)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// Over a million posts (about 35 days of a host restarting its receiver every 3 s), then one
// HovSendStop: answered is 1 when its status 8 still comes.
void BM_MillionPosts(benchmark::State& state) {
  UseDevices<QuietOutput, QuietInput>();
  HovInit(&OnStatus, nullptr);
  double answered = 0;
  for (auto _ : state) {
    int64_t whenNs = 0;
    for (int round = 0; round < 5000; ++round) {
      for (int i = 0; i < 200; ++i) {
        HovSendUpdate("ABCDEF");
      }
      size_t seen = StatusCount();
      HovSendStop();
      if (WaitNextStatus(seen, &whenNs) != 8) {
        break;  // the worker no longer answers
      }
    }
    size_t seen = StatusCount();
    HovSendStop();
    answered = WaitNextStatus(seen, &whenNs) == 8 ? 1 : 0;
  }
  state.counters["answered"] = answered;
  HovUninit();
  PlatformDevices();
}
BENCHMARK(BM_MillionPosts)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
