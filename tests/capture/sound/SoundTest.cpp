// Playback and capture against real sound: the private PulseAudio server of scripts/with-pulse
// (what is played into the null sink comes back through its monitor, bit for bit; after the
// first second the sound threads allocate nothing), and ALSA devices defined by the test
// (playback into a file, capture from a file) with PulseAudio out of reach. Both also check the
// threading contract: one sound thread, no overlapping calls, no call after Close.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/prctl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "capture/AudioInput.h"
#include "send/AudioOutput.h"
#include "send/HovSource.h"

namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_soundThreadAllocations{0};
}  // namespace

// Heap allocations on the playback and capture threads, counted by a malloc that this program
// puts in front of the C library's (not under a sanitizer, whose runtime owns malloc).
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define HOV_COUNT_ALLOCATIONS 1
extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_calloc(size_t count, size_t size);
extern "C" void* __libc_realloc(void* p, size_t size);

static void CountAllocation() {
  char name[16] = {};
  if (g_counting.load(std::memory_order_relaxed) && prctl(PR_GET_NAME, name, 0, 0, 0) == 0 &&
      (std::strcmp(name, "hov_playback") == 0 || std::strcmp(name, "hov_capture") == 0)) {
    g_soundThreadAllocations.fetch_add(1);
  }
}
extern "C" void* malloc(size_t size) {
  CountAllocation();
  return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size) {
  CountAllocation();
  return __libc_calloc(count, size);
}
extern "C" void* realloc(void* p, size_t size) {
  CountAllocation();
  return __libc_realloc(p, size);
}
#endif

namespace {

constexpr int64_t kRate = 48000;

// Sample i of a fixed, non-repeating pattern, so that one stretch fixes the alignment.
std::vector<int16_t> Pattern(int64_t from, int64_t count) {
  std::vector<int16_t> samples;
  for (int64_t i = from; i < from + count; ++i) {
    uint32_t x = static_cast<uint32_t>(i + 12345) * 2654435761u;
    x ^= x >> 15;
    x *= 2246822519u;
    samples.push_back(static_cast<int16_t>((x ^ (x >> 13)) >> 16));
  }
  return samples;
}

// Both ends of a stream: counts the contract's breaches (overlapping calls, calls after the
// owner's Close, a capture format other than 1/48000/16), the threads that read or write, and
// the samples (kept unless keep is false: then the sink allocates nothing).
class Checked : public AudioOutput::AudioSource, public AudioInput::AudioSink {
 public:
  // Playback: read k gives counts[k] samples of the pattern while k < counts.size(), then all.
  explicit Checked(std::vector<int32_t> counts = {}) : m_counts(std::move(counts)) {}
  int32_t Read(int16_t* buffer, int32_t count) override {
    Call call(this);
    const size_t k = reads++;
    const int32_t n = k < m_counts.size() ? std::min(m_counts[k], count) : count;
    const std::vector<int16_t> next = Pattern(frames, n);
    std::copy(next.begin(), next.end(), buffer);
    return Took(buffer, n);
  }
  void Open(uint32_t channels, uint32_t rate, uint32_t bits) override {
    Call call(this);
    breaches += opens++ > 0 || channels != 1 || rate != 48000 || bits != 16 ? 1 : 0;
  }
  void Close() override {
    Call call(this);
    ++closes;
  }
  int32_t Write(const int16_t* data, int32_t count) override {
    Call call(this);
    breaches += opens != 1 || closes != 0 || count < 1 || count > 480 ? 1 : 0;
    return Took(data, count);
  }
  bool WaitForSamples(int64_t count) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::seconds(15), [&] { return frames >= count; });
  }
  // The owner has returned from Close: every later call is a breach.
  void Closed() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closed = true;
  }
  // Read once the stream is closed.
  void ExpectContractKept() {
    EXPECT_EQ(breaches, 0);
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_NE(*threads.begin(), std::this_thread::get_id());
  }

  bool keep = true;
  size_t reads = 0;
  int opens = 0;
  int closes = 0;
  int breaches = 0;
  int64_t frames = 0;
  std::vector<int16_t> samples;
  std::set<std::thread::id> threads;

 private:
  int32_t Took(const int16_t* data, int32_t count) {
    threads.insert(std::this_thread::get_id());  // allocates for a new thread only
    keep ? samples.insert(samples.end(), data, data + count) : samples.end();
    frames += count;
    return count;
  }
  struct Call {
    explicit Call(Checked* c) : self(c), overlap(c->m_inCall.exchange(true)), lock(c->m_mutex) {
      self->breaches += overlap || self->m_closed ? 1 : 0;
    }
    ~Call() {
      self->m_changed.notify_all();
      self->m_inCall = overlap;
    }
    Checked* self;
    bool overlap;
    std::lock_guard<std::mutex> lock;
  };
  const std::vector<int32_t> m_counts;
  std::atomic<bool> m_inCall{false};
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_closed = false;
};

TEST(PulseLoopSoundTest, PlayedSamplesComeBackBitForBitThroughTheMonitor) {
  constexpr int64_t kCompared = 3 * kRate;
  Checked sink;
  AudioInput input;
  ASSERT_TRUE(input.Open(0, &sink)) << "needs the PulseAudio server of scripts/with-pulse";
  ASSERT_TRUE(sink.WaitForSamples(1));
  Checked source;
  AudioOutput output;
  ASSERT_TRUE(output.Open(0, &source));
  // The playback runs at the pace of the sink: a second more than compared has to go out.
  ASSERT_TRUE(source.WaitForSamples(kCompared + kRate));
  output.Close();
  source.Closed();
  // Small reads, so that a key change is heard soon.
  EXPECT_LE(source.frames / static_cast<int64_t>(source.reads), kRate / 5);
  input.Close();
  input.Close();
  sink.Closed();
  source.ExpectContractKept();
  sink.ExpectContractKept();
  EXPECT_EQ(sink.closes, 1);
  // The monitor carries silence, then the whole pattern from its first sample on.
  auto from = std::find_if(sink.samples.begin(), sink.samples.end(), [](int16_t v) { return v; });
  ASSERT_GE(sink.samples.end() - from, kCompared);
  EXPECT_TRUE(std::vector<int16_t>(from, from + kCompared) == Pattern(0, kCompared));
}

TEST(PulseLoopSoundTest, PlaybackAndCaptureThreadsAllocateNothingAfterTheFirstSecond) {
#ifndef HOV_COUNT_ALLOCATIONS
  GTEST_SKIP() << "a sanitizer owns malloc";
#endif
  HovSource source;
  source.Init("\x10\x54\xab\x8f");
  AudioOutput output;
  ASSERT_TRUE(output.Open(0, &source));
  Checked sink;
  sink.keep = false;
  AudioInput input;
  ASSERT_TRUE(input.Open(0, &sink));
  ASSERT_TRUE(sink.WaitForSamples(kRate));
  g_counting = true;
  // Key updates too: the cross-fade is rendered on the playback thread.
  source.Update("\x21\x32\x43\x54");
  const bool captured = sink.WaitForSamples(4 * kRate);  // three seconds of steady stream
  g_counting = false;
  output.Close();
  input.Close();
  source.Uninit();
  EXPECT_TRUE(captured);
  EXPECT_EQ(g_soundThreadAllocations.load(), 0);
}

// ALSA's "default" defined by the test in a fresh folder as a file device at no pace (plays into
// out.raw, captures from in.raw, then silence), and the PulseAudio client pointed at a server that
// does not exist. The last test of the program: the environment is left as it is.
TEST(AlsaSoundTest, BothDirectionsFallBackToAlsaAndCarryTheDeviceBitForBit) {
  std::string dir = testing::TempDir() + "hov-sound-XXXXXX";
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  const std::string out = dir + "/out.raw", in = dir + "/in.raw";
  std::ofstream(dir + "/asound.conf")
      << "pcm.!default {\ntype file\nslave.pcm \"hov_null\"\nfile \"" << out << "\"\ninfile \""
      << in << "\"\nformat \"raw\"\n}\npcm.hov_null { type null }\n";
  setenv("ALSA_CONFIG_PATH", (dir + "/asound.conf").c_str(), 1);
  setenv("PULSE_SERVER", "unix:/nonexistent/hov-no-pulse", 1);
  constexpr int32_t kChunk = 960;  // the most the ALSA playback asks for at once
  const std::vector<int16_t> recorded = Pattern(1000000, 2 * kRate);
  std::ofstream(in, std::ios::binary)
      .write(reinterpret_cast<const char*>(recorded.data()),
             static_cast<std::streamsize>(recorded.size() * 2));

  Checked source({kChunk, 100, 0});  // read 2 gives 100 samples, read 3 none
  AudioOutput output;
  ASSERT_TRUE(output.Open(7, &source));
  ASSERT_TRUE(source.WaitForSamples(40 * kChunk));
  output.Close();
  source.Closed();
  source.ExpectContractKept();
  std::ifstream file(out, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(file)), {});
  std::vector<int16_t> played(bytes.size() / 2);
  std::memcpy(played.data(), bytes.data(), played.size() * 2);
  ASSERT_GE(played.size(), static_cast<size_t>(3 * kChunk));
  // What a short read left out was played as silence.
  std::vector<int16_t> want = Pattern(0, kChunk + 100);
  want.resize(3 * kChunk, 0);
  const std::vector<int16_t> rest =
      Pattern(kChunk + 100, static_cast<int64_t>(played.size()) - 3 * kChunk);
  want.insert(want.end(), rest.begin(), rest.end());
  EXPECT_TRUE(played == want);

  Checked sink;
  AudioInput input;
  ASSERT_TRUE(input.Open(3, &sink));
  ASSERT_TRUE(sink.WaitForSamples(static_cast<int64_t>(recorded.size())));
  input.Close();
  sink.Closed();
  sink.ExpectContractKept();
  EXPECT_EQ(sink.closes, 1);
  EXPECT_TRUE(std::equal(recorded.begin(), recorded.end(), sink.samples.begin()));
  std::filesystem::remove_all(dir);
}

}  // namespace
