// Heap allocations on the playback and capture threads, counted by a malloc that this program
// puts in front of the C library's: after the first second, a steady stream allocates nothing.
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "capture/AudioInput.h"
#include "send/AudioOutput.h"
#include "send/HovSource.h"

extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_calloc(size_t count, size_t size);
extern "C" void* __libc_realloc(void* p, size_t size);

namespace {

std::atomic<bool> g_counting{false};
std::atomic<long> g_playback{0};
std::atomic<long> g_capture{0};

void Count() {
  if (!g_counting.load(std::memory_order_relaxed)) {
    return;
  }
  char name[16] = {};
  prctl(PR_GET_NAME, name, 0, 0, 0);
  if (std::strcmp(name, "hov_playback") == 0) {
    g_playback.fetch_add(1);
  } else if (std::strcmp(name, "hov_capture") == 0) {
    g_capture.fetch_add(1);
  }
}

}  // namespace

extern "C" void* malloc(size_t size) {
  Count();
  return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size) {
  Count();
  return __libc_calloc(count, size);
}
extern "C" void* realloc(void* p, size_t size) {
  Count();
  return __libc_realloc(p, size);
}

namespace {

// Counts the frames captured.
class CountingSink : public AudioInput::AudioSink {
 public:
  void Open(uint32_t, uint32_t, uint32_t) override {}
  void Close() override {}
  int32_t Write(const int16_t*, int32_t count) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    frames += count;
    m_changed.notify_all();
    return count;
  }
  bool WaitForFrames(long count) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return frames >= count; });
  }

 private:
  long frames = 0;
  std::mutex m_mutex;
  std::condition_variable m_changed;
};

TEST(AllocationSoundTest, PlaybackAndCaptureThreadsAllocateNothingAfterTheFirstSecond) {
  HovSource source;
  source.Init("\x10\x54\xab\x8f");
  AudioOutput output;
  ASSERT_TRUE(output.Open(0, &source)) << "needs the PulseAudio server of scripts/with-pulse";
  CountingSink sink;
  AudioInput input;
  ASSERT_TRUE(input.Open(0, &sink));
  ASSERT_TRUE(sink.WaitForFrames(48000));
  g_counting = true;
  // Key updates too: the cross-fade is rendered on the playback thread.
  source.Update("\x21\x32\x43\x54");
  bool captured = sink.WaitForFrames(4 * 48000);  // three seconds of steady stream
  g_counting = false;
  output.Close();
  input.Close();
  source.Uninit();
  EXPECT_TRUE(captured);
  EXPECT_EQ(g_playback.load(), 0);
  EXPECT_EQ(g_capture.load(), 0);
}

}  // namespace
