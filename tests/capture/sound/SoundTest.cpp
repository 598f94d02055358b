// Against real sound: the private PulseAudio server of scripts/with-pulse (what is played into
// the null sink comes back through its monitor, bit for bit; after the first second the sound
// threads allocate nothing), and ALSA devices defined by the test (playback into a file, capture
// from a file) with PulseAudio out of reach; both also check the threading contract: one sound
// thread, no overlapping calls, no call after Close. What an ALSA stream's thread met is logged
// by its owner only, once per kind. A host's view of sound-server faults (the test freezes, kills
// and restarts the server): stops answer while the server is frozen, a session whose server
// restarts carries on, and a sender started before any server plays once one exists.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/prctl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "capture/AudioInput.h"
#include "hov/hov.h"
#include "platform/linux/AlsaRecovery.h"
#include "send/AudioOutput.h"
#include "send/HovSource.h"
#include "tests/fakes/Host.h"

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
    return m_changes.Until([&] { return frames >= count; }, std::chrono::seconds(15));
  }
  // The owner has returned from Close: every later call is a breach.
  void Closed() {
    std::lock_guard<std::mutex> lock(m_changes.mutex);
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
    explicit Call(Checked* c)
        : self(c), overlap(c->m_inCall.exchange(true)), lock(c->m_changes.mutex) {
      self->breaches += overlap || self->m_closed ? 1 : 0;
    }
    ~Call() {
      self->m_changes.changed.notify_all();
      self->m_inCall = overlap;
    }
    Checked* self;
    bool overlap;
    std::lock_guard<std::mutex> lock;
  };
  const std::vector<int32_t> m_counts;
  std::atomic<bool> m_inCall{false};
  Changes m_changes;
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

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point from) {
  return std::chrono::duration<double, std::milli>(Clock::now() - from).count();
}

void Server(const char* action) {
  const char* control = std::getenv("HOV_PULSE_CONTROL");
  const char* dir = std::getenv("HOV_PULSE_DIR");
  ASSERT_TRUE(control != nullptr && dir != nullptr) << "run under scripts/with-pulse";
  std::string command = std::string(control) + " --dir " + dir + " --control " + action;
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// Runs call and waits for the status it ends with; the time it took, or -1 after 5 s.
template <class Call>
double Timed(Call call, int status) {
  int before = host::StatusCount(status);
  Clock::time_point start = Clock::now();
  call();
  if (status != 0 && !host::WaitStatus(status, before + 1, milliseconds(5000))) {
    return -1;
  }
  return MsSince(start);
}

class FaultSoundTest : public testing::Test {
 protected:
  void SetUp() override {
    host::Reset();
    HovInit(&host::OnStatus, LogCapture::Function());
  }
  void TearDown() override {
    HovReceiveStop();
    Timed([] { HovSendStop(); }, 8);  // waits until both stops have run
    HovUninit();
    for (const LogLine& line : log.Lines()) {
      if (HasFailure() && line.level == 3) {
        std::printf("  log %s\n", line.text.c_str());
      }
    }
  }
  void StartBoth(int timeoutMs) {
    ASSERT_GE(Timed([] { HovSendStart("ABCDEF"); }, 6), 0);
    ASSERT_GE(Timed([timeoutMs] { HovReceiveStart(timeoutMs, &host::OnRecv); }, 3), 0);
  }
  LogCapture log;
};

// The thread sanitizer's runtime now and then halts the whole process for 100 to 250 ms, inside
// whichever call the stopping thread is in (seen in the disconnect, the join and the free of a
// stream's loop; never in the other trees). A stop that waited on the frozen server would not
// answer before the thaw, which comes after the 5 s the test waits.
#if defined(__SANITIZE_THREAD__)
constexpr double kStopAnswersMs = 1000;
#else
constexpr double kStopAnswersMs = 300;
#endif

TEST_F(FaultSoundTest, StopsAnswerWithin300MsAndStartsGiveUpWhileTheServerIsFrozen) {
  // A healthy server first: on a sink that rewinds, this is the stop a desktop sees.
  StartBoth(60000);
  double healthyRecvStop = Timed([] { HovReceiveStop(); }, 5);
  double healthySendStop = Timed([] { HovSendStop(); }, 8);
  StartBoth(60000);
  Server("freeze");
  double recvStop = Timed([] { HovReceiveStop(); }, 5);
  double sendStop = Timed([] { HovSendStop(); }, 8);
  double sendStart = Timed([] { HovSendStart("ABCDEF"); }, 7);
  double recvStart = Timed([] { HovReceiveStart(60000, &host::OnRecv); }, 4);
  Server("thaw");
  // And with both sessions running when the host leaves.
  StartBoth(60000);
  Server("freeze");
  double uninit = Timed([] { HovUninit(); }, 0);
  HovInit(&host::OnStatus, LogCapture::Function());
  Server("thaw");
  std::printf(
      "[ figure ] stops on a healthy server %.1f and %.1f ms; frozen server: HovReceiveStop %.1f "
      "ms, HovSendStop %.1f ms, HovUninit with both running %.1f ms; starts refused in %.0f and "
      "%.0f ms (-1: no answer in 5 s)\n",
      healthyRecvStop, healthySendStop, recvStop, sendStop, uninit, sendStart, recvStart);
  for (double stop : {healthyRecvStop, healthySendStop, recvStop, sendStop, uninit}) {
    EXPECT_TRUE(stop >= 0 && stop < kStopAnswersMs) << stop;
  }
  for (double start : {sendStart, recvStart}) {
    EXPECT_TRUE(start >= 0 && start < 2500) << start;
  }
}

TEST_F(FaultSoundTest, TheKeyIsHeardAgainAfterTheServerRestarts) {
  const std::string lost = ": sound server lost, reopening the default device";
  const std::string back = ": default device open again";
  StartBoth(8000);
  ASSERT_TRUE(host::WaitResults(1));
  ASSERT_EQ(host::Results()[0].code, 0);
  // A receive that the server's death interrupts, and a send that runs on through it.
  HovReceiveStart(15000, &host::OnRecv);
  ASSERT_TRUE(host::WaitStatus(3, 2));
  Server("kill");
  EXPECT_TRUE(log.WaitFor("[hov] hov_playback" + lost, 1, milliseconds(3000)));
  EXPECT_TRUE(log.WaitFor("[hov] hov_capture" + lost, 1, milliseconds(3000)));
  // Measured from the server's return: the control command answers once the server does.
  Server("start");
  Clock::time_point backAt = Clock::now();
  EXPECT_TRUE(log.WaitFor("[hov] hov_playback" + back, 1, milliseconds(3000)));
  const double playing = MsSince(backAt);
  EXPECT_TRUE(log.WaitFor("[hov] hov_capture" + back, 1, milliseconds(3000)));
  ASSERT_TRUE(host::WaitResults(2, milliseconds(15000)));
  std::printf("[ figure ] playback again %.0f ms after the server's return\n", playing);
  EXPECT_LT(playing, 1000);
  EXPECT_EQ(host::Results()[1].code, 0);
  EXPECT_EQ(host::Results()[1].key, "ABCDEF");
  EXPECT_EQ(log.Count("[hov] hov_playback" + lost), 1);
  EXPECT_EQ(log.Count("[hov] hov_playback" + back), 1);
}

// Run alone (ALSA reads its configuration once per process): no server when the process first
// plays, then a server, and the next start plays.
TEST_F(FaultSoundTest, ASenderStartsOnceAServerExists) {
  Server("kill");
  HovSendStart("ABCDEF");
  ASSERT_TRUE(host::WaitStatus(7));
  Server("start");
  StartBoth(8000);
  ASSERT_TRUE(host::WaitResults(1));
  EXPECT_EQ(host::Results()[0].key, "ABCDEF");
}

TEST(AlsaStreamLogTest, TheOwnerLogsEachKindOnceAndTheStreamThreadNothing) {
  struct Case {
    std::vector<std::pair<long, bool>> failures;  // (error, xrun) in the order met
    int recoverRes;                               // 0: no failed recovery
    std::vector<std::string> lines;               // at level 3
  };
  const Case cases[] = {
      {{}, 0, {}},
      {{{-EPIPE, true}, {-EPIPE, true}, {-ESTRPIPE, true}},
       0,
       {"[hov] snd_pcm_writei failed, res:-32"}},
      {{{-EPIPE, true}, {-ENODEV, false}, {-EIO, false}},
       -5,
       {"[hov] snd_pcm_writei failed, res:-32", "[hov] snd_pcm_writei failed, res:-19",
        "[hov] snd_pcm_recover failed, res:-5"}},
  };
  for (const Case& c : cases) {
    LogCapture log;
    AlsaStreamLog failures("snd_pcm_writei");
    for (const std::pair<long, bool>& f : c.failures) {
      failures.Failed(f.first, f.second);
    }
    if (c.recoverRes != 0) {
      failures.RecoverFailed(c.recoverRes);
    }
    EXPECT_TRUE(log.Lines().empty());
    failures.Report();
    failures.Report();
    std::vector<std::string> lines;
    for (const LogLine& line : log.Lines()) {
      lines.push_back(line.level == 3 ? line.text : "level " + std::to_string(line.level));
    }
    EXPECT_EQ(lines, c.lines);
  }
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
