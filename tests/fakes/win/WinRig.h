// The Windows backends' fakes together: Core Audio with one built-in HD Audio microphone that is
// also the default endpoint (a 48000 Hz float client), a wave device, the log, a sink; and the
// check that everything handed to a backend has come back.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/AudioInput.h"
#include "send/AudioOutput.h"
#include "tests/fakes/Host.h"
#include "tests/fakes/win/FakeAudioClient.h"
#include "tests/fakes/win/FakeCaptureApi.h"
#include "tests/fakes/win/FakeEndpoints.h"
#include "tests/fakes/win/FakeWave.h"

// Capture sink and playback source at once. Keeps the samples written and, at each Write or
// Read, the calling thread's allocation count, without allocating itself. Reads give a ramp.
// Any thread. Allocations made so far by the calling thread.
int64_t ThreadAllocations();

class TestSink : public AudioInput::AudioSink, public AudioOutput::AudioSource {
 public:
  TestSink() : m_samples(kKept), m_allocations(kKept) {}
  void Open(uint32_t channels, uint32_t rate, uint32_t bits) override {
    format = channels * 1000000 + rate * 100 + bits;
    ++opens;
  }
  void Close() override {
    closer = std::this_thread::get_id();
    ++closes;
  }
  int32_t Write(const int16_t* data, int32_t frames) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int32_t i = 0; i < frames && m_kept < kKept; ++i) {
      m_samples[m_kept++] = data[i];
    }
    Note();
    return frames;
  }
  bool TakesAnyRate() const override { return anyRate; }
  int32_t Read(int16_t* buffer, int32_t count) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int32_t i = 0; i < count; ++i) {
      buffer[i] = m_next++;
    }
    Note();
    return count;
  }
  // Test thread. Waits until count Writes or Reads have come (10 s at most).
  bool WaitForCalls(int count) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return calls >= count; });
  }
  int64_t AllocationsBetween(int first, int last) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_allocations[last] - m_allocations[first];
  }
  std::vector<int16_t> Samples() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::vector<int16_t>(m_samples.begin(), m_samples.begin() + m_kept);
  }

  static constexpr int kKept = 1 << 20;
  bool anyRate = false;             // what TakesAnyRate answers
  std::atomic<uint32_t> format{0};  // channels * 1000000 + rate * 100 + bits
  std::atomic<int> opens{0};
  std::atomic<int> closes{0};
  std::atomic<int> calls{0};  // Writes and Reads
  std::thread::id closer;

 private:
  void Note() {
    if (calls < kKept) {
      m_allocations[calls] = ThreadAllocations();
    }
    ++calls;
    m_changed.notify_all();
  }
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<int16_t> m_samples;
  std::vector<int64_t> m_allocations;
  int m_kept = 0;
  int16_t m_next = 0;
};

class WinRig : public ::testing::Test {
 public:
  WinRig() : m_trackedAtStart(TrackedBlocks()) {
    mic.client = &client;
    api.enumerator.collection.endpoints = {&mic};
    api.enumerator.defaultEndpoint = &mic;
  }

  // Test thread, once the backend is closed or destroyed.
  void ExpectNothingHeld() {
    EXPECT_EQ(wave.openDevices, 0);
    EXPECT_EQ(wave.prepared, 0);
    EXPECT_TRUE(api.WaitForEventsClosed());
    EXPECT_EQ(api.enumerator.References(), 0);
    EXPECT_EQ(api.enumerator.collection.References(), 0);
    for (FakeEndpoint* endpoint : api.enumerator.collection.endpoints) {
      EXPECT_EQ(endpoint->References() + endpoint->store.References(), 0);
    }
    EXPECT_EQ(mic.References(), 0);
    EXPECT_EQ(client.References() + client.capture.References(), 0);
    EXPECT_EQ(TrackedBlocks(), m_trackedAtStart);
    EXPECT_EQ(api.foreignFrees, 0);
    EXPECT_EQ(api.comUninits, api.comInits);
    EXPECT_EQ(client.starts, client.stops);
  }

  LogCapture log;
  FakeCaptureApi api;  // before the wave fake: the tables are put back in reverse order
  FakeWave wave;
  FakeAudioClient client;
  FakeEndpoint mic{L"Microphone (HD Audio)", L"HDAUDIO", true};
  TestSink sink;

 private:
  size_t m_trackedAtStart;
};
