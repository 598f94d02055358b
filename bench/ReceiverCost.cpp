// What the receiver costs against the FFTs it has to run, and how often the capture and playback
// threads allocate. Prints each figure beside its floor, both measured in this run:
//   - receiver CPU (thread time, ten decoders, 480-frame buffers) against the same number of
//     bare Kiss FFTs on the same frames, for a clean key, silence and white noise;
//   - heap allocations per second of audio inside the receiver's Write, and on the capture and
//     playback threads of sessions started through the exports with in-process devices.
// Linux only: the FFTs are counted by standing in for kiss_fftr in front of the shared library.
#include <dlfcn.h>
#include <kiss_fftr.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CountingNew.h"
#include "capture/AudioInput.h"
#include "hov/hov.h"
#include "receive/HovSinkConcurrent.h"
#include "runtime/HovLog.h"
#include "send/AudioOutput.h"
#include "tests/fakes/SignalFactory.h"

namespace {

constexpr int32_t kRate = 48000;
constexpr size_t kTenWindows = 131457;  // the tenth decoder's window is complete here
constexpr int32_t kCaptureBuffer = 480;
constexpr int kRepeats = 21;

std::atomic<uint64_t> g_ffts{0};

using FftrFunction = void (*)(kiss_fftr_cfg, const kiss_fft_scalar*, kiss_fft_cpx*);
FftrFunction RealFftr() {
  static FftrFunction real = reinterpret_cast<FftrFunction>(dlsym(RTLD_NEXT, "kiss_fftr"));
  return real;
}

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

// Every FFT of the receiver passes through here on its way to the library.
extern "C" void kiss_fftr(kiss_fftr_cfg cfg, const kiss_fft_scalar* in, kiss_fft_cpx* out) {
  g_ffts.fetch_add(1, std::memory_order_relaxed);
  RealFftr()(cfg, in, out);
}

namespace {

// White noise of about 8000 RMS, the same on every run.
std::vector<int16_t> Noise(size_t samples) {
  std::vector<int16_t> out(samples);
  uint32_t state = 7;
  for (int16_t& v : out) {
    int32_t sum = 0;
    for (int k = 0; k < 4; ++k) {
      state = state * 1664525u + 1013904223u;
      sum += static_cast<int32_t>(state >> 16) - 32768;
    }
    v = static_cast<int16_t>(std::max(-32768, std::min(32767, sum * 14 / 64)));
  }
  return out;
}

struct ReceiverRun {
  double seconds;       // thread CPU of every Write
  double setupSeconds;  // thread CPU of construction and Open, Close and destruction
  uint64_t ffts;
  std::vector<uint64_t> allocationsPerSecond;  // inside Write, by second of audio
};

ReceiverRun RunReceiver(const std::vector<int16_t>& s) {
  ReceiverRun run{};
  run.allocationsPerSecond.assign((s.size() + kRate - 1) / kRate, 0);
  const uint64_t ffts = g_ffts.load();
  double t0 = ThreadCpuSeconds();
  HovSinkConcurrent* sink = new HovSinkConcurrent(4);
  sink->Open(1, kRate, 16);
  double t1 = ThreadCpuSeconds();
  for (size_t pos = 0; pos < s.size(); pos += kCaptureBuffer) {
    const int32_t n = static_cast<int32_t>(std::min<size_t>(kCaptureBuffer, s.size() - pos));
    const uint64_t before = AllocationsUnder(kCaptureThread);
    MarkAllocations(kCaptureThread);
    sink->Write(&s[pos], n);
    MarkAllocations(kOtherThread);
    run.allocationsPerSecond[pos / kRate] += AllocationsUnder(kCaptureThread) - before;
  }
  const double t2 = ThreadCpuSeconds();
  sink->Close();
  delete sink;
  run.seconds = t2 - t1;
  run.setupSeconds = (t1 - t0) + (ThreadCpuSeconds() - t2);
  run.ffts = g_ffts.load() - ffts;
  return run;
}

// The floor: count bare FFTs with one configuration made beforehand, over the stream's first
// frames: ten of them, as many as the decoders' frame buffers, so that the input is as warm in
// the cache as the receiver's.
double RunFloor(const std::vector<int16_t>& s, uint64_t count) {
  const size_t frames = 10;
  std::vector<float> in(frames * 1024);
  for (size_t i = 0; i < in.size(); ++i) {
    in[i] = static_cast<float>(s[i]);
  }
  std::vector<kiss_fft_cpx> out(513);
  kiss_fftr_cfg cfg = kiss_fftr_alloc(1024, 0, nullptr, nullptr);
  FftrFunction fft = RealFftr();
  const double t0 = ThreadCpuSeconds();
  for (uint64_t i = 0; i < count; ++i) {
    fft(cfg, &in[(i % frames) * 1024], out.data());
  }
  const double seconds = ThreadCpuSeconds() - t0;
  kiss_fft_free(cfg);
  return seconds;
}

std::string PerSecond(const std::vector<uint64_t>& counts) {
  std::string text;
  for (uint64_t c : counts) {
    text += (text.empty() ? "" : " ") + std::to_string(c);
  }
  return text;
}

uint64_t MaxAfterFirst(const std::vector<uint64_t>& counts) {
  uint64_t m = 0;
  for (size_t i = 1; i < counts.size(); ++i) {
    m = std::max(m, counts[i]);
  }
  return m;
}

void MeasureReceiver() {
  struct Input {
    const char* name;
    std::vector<int16_t> samples;
  };
  const Input inputs[] = {{"clean key", RenderKeySignal("ABCDEF", kTenWindows)},
                          {"silence", std::vector<int16_t>(kTenWindows, 0)},
                          {"white noise", Noise(kTenWindows)},
                          {"noise, 6 s", Noise(6 * kRate)}};
  std::printf(
      "receiver CPU, ten decoders over %zu frames (all ten windows) in %d-frame buffers, "
      "median of %d\n",
      kTenWindows, kCaptureBuffer, kRepeats);
  std::printf("  %-12s %6s %10s %10s %7s %9s %11s  %s\n", "input", "FFTs", "Writes", "FFT floor",
              "ratio", "outside", "open+close", "(goal: ratio <= 1.10, outside < 10 %)");
  for (const Input& input : inputs) {
    std::vector<double> receiver, floor, setup;
    ReceiverRun run{};
    for (int r = 0; r < kRepeats; ++r) {
      run = RunReceiver(input.samples);
      receiver.push_back(run.seconds);
      setup.push_back(run.setupSeconds);
      floor.push_back(RunFloor(input.samples, run.ffts));
    }
    const double rs = Median(receiver), fs = Median(floor);
    std::printf("  %-12s %6llu %7.2f ms %7.2f ms %6.2fx %7.1f %% %8.0f us\n", input.name,
                static_cast<unsigned long long>(run.ffts), rs * 1e3, fs * 1e3, rs / fs,
                100.0 * (rs - fs) / rs, Median(setup) * 1e6);
  }
  std::printf(
      "allocations in the receiver's Write, per second of audio (goal: 0 after the "
      "first)\n");
  for (const Input& input : inputs) {
    ReceiverRun run = RunReceiver(input.samples);
    std::printf("  %-12s max %llu after the first second (each second: %s)\n", input.name,
                static_cast<unsigned long long>(MaxAfterFirst(run.allocationsPerSecond)),
                PerSecond(run.allocationsPerSecond).c_str());
  }
}

// In-process devices for sessions started through the exports. Each runs its own thread, marks
// it, and moves audio as fast as it can; counts are per second of audio moved.
std::vector<uint64_t> g_threadCounts;
std::mutex g_deviceMutex;

class BenchInput : public AudioInput::Impl {
 public:
  explicit BenchInput(const std::vector<int16_t>* air) : m_air(air) {}
  bool Open(uint32_t, AudioInput::AudioSink* sink) override {
    m_thread = std::thread([this, sink] {
      MarkAllocations(kCaptureThread);
      sink->Open(1, kRate, 16);
      std::vector<uint64_t> counts;
      for (size_t pos = 0; pos + kCaptureBuffer <= m_air->size() && !m_stop;
           pos += kCaptureBuffer) {
        if (pos % kRate == 0) {
          counts.push_back(0);
        }
        const uint64_t before = AllocationsUnder(kCaptureThread);
        sink->Write(&(*m_air)[pos], kCaptureBuffer);
        counts.back() += AllocationsUnder(kCaptureThread) - before;
      }
      std::lock_guard<std::mutex> lock(g_deviceMutex);
      g_threadCounts = counts;
    });
    return true;
  }
  void Close() override {
    m_stop = true;
    if (m_thread.joinable()) {
      m_thread.join();
    }
  }

 private:
  const std::vector<int16_t>* m_air;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

class BenchOutput : public AudioOutput::Impl {
 public:
  explicit BenchOutput(int seconds) : m_seconds(seconds) {}
  bool Open(uint32_t, AudioOutput::AudioSource* source) override {
    std::vector<int16_t> queued(5 * kRate);
    source->Read(queued.data(), static_cast<int32_t>(queued.size()));
    m_thread = std::thread([this, source] {
      MarkAllocations(kPlaybackThread);
      {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_wake.wait(lock, [this] { return m_go || m_stop; });
      }
      std::vector<int16_t> buffer(kRate);
      std::vector<uint64_t> counts;
      for (int s = 0; s < m_seconds && !m_stop; ++s) {
        const uint64_t before = AllocationsUnder(kPlaybackThread);
        source->Read(buffer.data(), kRate);
        counts.push_back(AllocationsUnder(kPlaybackThread) - before);
      }
      std::lock_guard<std::mutex> lock(g_deviceMutex);
      g_threadCounts = counts;
    });
    return true;
  }
  void Close() override {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) {
      m_thread.join();
    }
  }
  // Lets the device thread start pulling.
  void Go() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_go = true;
    }
    m_wake.notify_all();
  }

 private:
  int m_seconds;
  std::mutex m_mutex;
  std::condition_variable m_wake;
  bool m_go = false;
  bool m_stop = false;
  std::thread m_thread;
};

std::atomic<int> g_lastStatus{0};
std::atomic<int> g_recvCode{1};
void HOV_CALL OnStatus(int code) {
  g_lastStatus = code;
}
void HOV_CALL OnLog(int, const char*) {}
void HOV_CALL OnRecv(int code, const char*) {
  g_recvCode = code;
}

bool WaitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 5000 && !done(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

std::vector<uint64_t> TakeThreadCounts() {
  std::lock_guard<std::mutex> lock(g_deviceMutex);
  std::vector<uint64_t> counts = g_threadCounts;
  g_threadCounts.clear();
  return counts;
}

void MeasureSessions() {
  std::printf(
      "allocations on the device threads of sessions, per second of audio (goal: 0 "
      "after the first)\n");
  HovInit(&OnStatus, &OnLog);

  // Capture of noise: no key, all ten decoders run and stay.
  const std::vector<int16_t> noise = Noise(static_cast<size_t>(12) * kRate);
  AudioInput::SetFactoryForTesting([&] { return std::make_unique<BenchInput>(&noise); });
  g_recvCode = 1;
  HovReceiveStart(60000, &OnRecv);
  const bool noiseDone = WaitFor([] {
    std::lock_guard<std::mutex> lock(g_deviceMutex);
    return !g_threadCounts.empty();
  });
  g_lastStatus = 0;
  HovReceiveStop();
  WaitFor([] { return g_lastStatus == 5; });
  std::printf("  capture, noise      %s\n",
              noiseDone ? PerSecond(TakeThreadCounts()).c_str() : "(no capture)");

  // Capture of a key, up to its acceptance and the stop that follows.
  const std::vector<int16_t> key = RenderKeySignal("ABCDEF", static_cast<size_t>(3) * kRate);
  AudioInput::SetFactoryForTesting([&] { return std::make_unique<BenchInput>(&key); });
  g_recvCode = 1;
  HovReceiveStart(60000, &OnRecv);
  WaitFor([] { return g_recvCode != 1; });
  WaitFor([] {
    std::lock_guard<std::mutex> lock(g_deviceMutex);
    return !g_threadCounts.empty();
  });
  std::printf("  capture, clean key  %s (result code %d)\n", PerSecond(TakeThreadCounts()).c_str(),
              g_recvCode.load());
  AudioInput::SetFactoryForTesting(nullptr);

  // Playback: a key, an update that cross-fades to another, then ten seconds pulled.
  BenchOutput* output = nullptr;
  AudioOutput::SetFactoryForTesting([&] {
    auto made = std::make_unique<BenchOutput>(10);
    output = made.get();
    return made;
  });
  g_lastStatus = 0;
  HovSendStart("ABCDEF");
  WaitFor([] { return g_lastStatus == 6; });
  HovSendUpdate("QWERTY");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  if (output != nullptr) {
    output->Go();
  }
  WaitFor([] {
    std::lock_guard<std::mutex> lock(g_deviceMutex);
    return !g_threadCounts.empty();
  });
  HovSendStop();
  WaitFor([] { return g_lastStatus == 8; });
  std::printf("  playback            %s\n", PerSecond(TakeThreadCounts()).c_str());
  AudioOutput::SetFactoryForTesting(nullptr);
  HovUninit();
}

}  // namespace

int main() {
  HovLogger::GetInstance()->RegisterLogger(&OnLog);
  if (RealFftr() == nullptr) {
    std::fprintf(stderr, "kiss_fftr not found behind this program\n");
    return 1;
  }
  MeasureReceiver();
  MeasureSessions();
  return 0;
}
