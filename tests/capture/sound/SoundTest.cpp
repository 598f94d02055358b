// Playback and capture against real sound: the private PulseAudio server of scripts/with-pulse
// (what is played into the null sink comes back through its monitor, bit for bit), and ALSA
// devices defined by the test (playback into a file, capture from a file) with PulseAudio out of
// reach.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "capture/AudioInput.h"
#include "send/AudioOutput.h"

namespace {

using std::chrono::milliseconds;
constexpr int64_t kRate = 48000;

// Sample i of a fixed, non-repeating pattern, so that one stretch fixes the alignment.
int16_t PatternSample(int64_t i) {
  uint32_t x = static_cast<uint32_t>(i + 12345) * 2654435761u;
  x ^= x >> 15;
  x *= 2246822519u;
  x ^= x >> 13;
  return static_cast<int16_t>(x >> 16);
}

std::vector<int16_t> Pattern(int64_t from, int64_t count) {
  std::vector<int16_t> samples;
  for (int64_t i = 0; i < count; ++i) {
    samples.push_back(PatternSample(from + i));
  }
  return samples;
}

// Hands out the pattern: read k returns counts[k] samples while k < counts.size(), then as many
// as asked. Records breaches: overlapping reads, a read after the owner's Close.
class PatternSource : public AudioOutput::AudioSource {
 public:
  explicit PatternSource(std::vector<int32_t> counts = {}) : m_counts(std::move(counts)) {}
  int32_t Read(int16_t* buffer, int32_t count) override {
    bool overlap = m_inRead.fetch_add(1) != 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (overlap || m_closed) {
      violations.push_back(overlap ? "overlapping reads" : "read after close");
    }
    size_t k = static_cast<size_t>(reads++);
    int32_t n = k < m_counts.size() ? std::min(m_counts[k], count) : count;
    for (int32_t j = 0; j < n; ++j) {
      buffer[j] = PatternSample(samples + j);
    }
    samples += n;
    threads.insert(std::this_thread::get_id());
    m_inRead.fetch_sub(1);
    m_changed.notify_all();
    return n;
  }
  bool WaitForSamples(int64_t count) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, milliseconds(15000), [&] { return samples >= count; });
  }
  // The owner has closed playback: true when no Read is running.
  bool MarkClosed() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closed = true;
    return m_inRead.load() == 0;
  }

  // Read once playback is closed (samples also under WaitForSamples).
  int64_t reads = 0;
  int64_t samples = 0;
  std::set<std::thread::id> threads;
  std::vector<std::string> violations;

 private:
  const std::vector<int32_t> m_counts;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::atomic<int> m_inRead{0};
  bool m_closed = false;
};

// Keeps what capture delivers and every breach of the contract: Open(1, 48000, 16) first and
// once, Writes of 1 to 480 frames only between Open and Close on one thread, no overlapping calls.
class CheckingSink : public AudioInput::AudioSink {
 public:
  void Open(uint32_t channels, uint32_t rate, uint32_t bits) override {
    Check(opens + closes + writes > 0 || channels != 1 || rate != 48000 || bits != 16, "Open");
    ++opens;
    Done();
  }
  void Close() override {
    Check(false, "Close");
    ++closes;
    Done();
  }
  int32_t Write(const int16_t* data, int32_t frames) override {
    Check(opens == 0 || closes > 0 || data == nullptr || frames < 1 || frames > 480, "Write");
    ++writes;
    threads.insert(std::this_thread::get_id());
    if (data != nullptr && frames > 0) {
      samples.insert(samples.end(), data, data + frames);
    }
    Done();
    return frames;
  }
  bool WaitForSamples(size_t count) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, milliseconds(15000), [&] { return samples.size() >= count; });
  }

  // Read once capture is closed (samples also under WaitForSamples).
  int opens = 0;
  int closes = 0;
  int64_t writes = 0;
  std::set<std::thread::id> threads;
  std::vector<int16_t> samples;
  std::vector<std::string> violations;

 private:
  void Check(bool bad, const char* call) {
    bool overlap = m_inCall.fetch_add(1) != 0;
    m_mutex.lock();
    if (overlap || bad) {
      violations.push_back(call);
    }
  }
  void Done() {
    m_inCall.fetch_sub(1);
    m_mutex.unlock();
    m_changed.notify_all();
  }
  std::atomic<int> m_inCall{0};
  std::mutex m_mutex;
  std::condition_variable m_changed;
};

TEST(PulseLoopSoundTest, PlayedSamplesComeBackBitForBitThroughTheMonitor) {
  constexpr int64_t kCompared = 3 * kRate;
  CheckingSink sink;
  AudioInput input;
  ASSERT_TRUE(input.Open(0, &sink)) << "needs the PulseAudio server of scripts/with-pulse";
  ASSERT_TRUE(sink.WaitForSamples(1));
  PatternSource source;
  AudioOutput output;
  ASSERT_TRUE(output.Open(0, &source));
  // The playback runs at the pace of the sink: a second more than compared has to go out.
  ASSERT_TRUE(source.WaitForSamples(kCompared + kRate));
  output.Close();
  EXPECT_TRUE(source.MarkClosed()) << "a Read runs after Close returned";
  // Small reads, so that a key change is heard soon.
  EXPECT_LE(source.samples / source.reads, kRate / 5);
  input.Close();
  input.Close();

  EXPECT_EQ(sink.violations, std::vector<std::string>{});
  EXPECT_EQ(source.violations, std::vector<std::string>{});
  EXPECT_EQ(sink.opens, 1);
  EXPECT_EQ(sink.closes, 1);
  ASSERT_EQ(sink.threads.size(), 1u);
  EXPECT_NE(*sink.threads.begin(), std::this_thread::get_id());
  EXPECT_EQ(static_cast<int64_t>(sink.samples.size()), sink.writes * 480);
  // The monitor carries silence, then the whole pattern from its first sample on.
  auto from = std::find_if(sink.samples.begin(), sink.samples.end(), [](int16_t v) { return v; });
  ASSERT_GE(sink.samples.end() - from, kCompared);
  EXPECT_TRUE(std::vector<int16_t>(from, from + kCompared) == Pattern(0, kCompared));
}

// ALSA's "default" defined by the test in a fresh folder as a file device at no pace (plays into
// out.raw, captures from in.raw, then silence), and the PulseAudio client pointed at a server that
// does not exist. The last test of the program: the environment is left as it is.
TEST(AlsaSoundTest, BothDirectionsFallBackToAlsaAndCarryTheDeviceBitForBit) {
  std::string dir = testing::TempDir() + "hov-sound-XXXXXX";
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  const std::string out = dir + "/out.raw";
  const std::string in = dir + "/in.raw";
  std::ofstream(dir + "/asound.conf")
      << "pcm.!default {\ntype file\nslave.pcm \"hov_null\"\nfile \"" << out << "\"\ninfile \""
      << in << "\"\nformat \"raw\"\n}\npcm.hov_null { type null }\n";
  setenv("ALSA_CONFIG_PATH", (dir + "/asound.conf").c_str(), 1);
  setenv("PULSE_SERVER", "unix:/nonexistent/hov-no-pulse", 1);
  constexpr int32_t kChunk = 960;  // the most the ALSA playback asks for at once
  std::vector<int16_t> recorded = Pattern(1000000, 2 * kRate);
  std::ofstream(in, std::ios::binary)
      .write(reinterpret_cast<const char*>(recorded.data()),
             static_cast<std::streamsize>(recorded.size() * 2));

  PatternSource source({kChunk, 100, 0});  // read 2 gives 100 samples, read 3 none
  AudioOutput output;
  ASSERT_TRUE(output.Open(7, &source));
  ASSERT_TRUE(source.WaitForSamples(40 * kChunk));
  output.Close();
  EXPECT_TRUE(source.MarkClosed()) << "a Read runs after Close returned";
  EXPECT_EQ(source.violations, std::vector<std::string>{});
  ASSERT_EQ(source.threads.size(), 1u);
  EXPECT_NE(*source.threads.begin(), std::this_thread::get_id());
  std::ifstream file(out, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(file)), {});
  std::vector<int16_t> played(bytes.size() / 2);
  std::memcpy(played.data(), bytes.data(), played.size() * 2);
  ASSERT_GE(played.size(), static_cast<size_t>(3 * kChunk));
  // What a short read left out was played as silence.
  std::vector<int16_t> want = Pattern(0, kChunk + 100);
  want.resize(3 * kChunk, 0);
  std::vector<int16_t> rest =
      Pattern(kChunk + 100, static_cast<int64_t>(played.size()) - 3 * kChunk);
  want.insert(want.end(), rest.begin(), rest.end());
  EXPECT_TRUE(played == want);

  CheckingSink sink;
  AudioInput input;
  ASSERT_TRUE(input.Open(3, &sink));
  ASSERT_TRUE(sink.WaitForSamples(recorded.size()));
  input.Close();
  input.Close();
  EXPECT_EQ(sink.violations, std::vector<std::string>{});
  EXPECT_EQ(sink.opens, 1);
  EXPECT_EQ(sink.closes, 1);
  EXPECT_TRUE(std::equal(recorded.begin(), recorded.end(), sink.samples.begin()));
  std::filesystem::remove_all(dir);
}

}  // namespace
