#include "tests/capture/sound/SoundFixtures.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

int16_t PatternSample(int64_t i) {
  uint32_t x = static_cast<uint32_t>(i + 12345) * 2654435761u;
  x ^= x >> 15;
  x *= 2246822519u;
  x ^= x >> 13;
  return static_cast<int16_t>(x >> 16);
}

PatternSource::PatternSource(std::vector<int32_t> counts, int32_t after)
    : m_counts(std::move(counts)), m_after(after) {}

int32_t PatternSource::Read(int16_t* buffer, int32_t count) {
  if (m_inRead.fetch_add(1) != 0) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_violations.push_back("overlapping reads");
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_closed) {
    m_violations.push_back("read after close");
  }
  size_t k = m_buffers.size();
  int32_t n = k < m_counts.size() ? m_counts[k] : m_after;
  if (n < 0 || n > count) {
    n = count;
  }
  for (int32_t j = 0; j < n; ++j) {
    buffer[j] = PatternSample(m_position + j);
  }
  m_position += n;
  m_buffers.push_back(buffer);
  m_threads.push_back(std::this_thread::get_id());
  m_inRead.fetch_sub(1);
  m_changed.notify_all();
  return n;
}

bool PatternSource::WaitForReads(int64_t reads, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, limit,
                            [&] { return static_cast<int64_t>(m_buffers.size()) >= reads; });
}

int64_t PatternSource::Reads() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return static_cast<int64_t>(m_buffers.size());
}

int64_t PatternSource::Samples() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_position;
}

std::vector<const int16_t*> PatternSource::Buffers() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_buffers;
}

std::vector<std::thread::id> PatternSource::Threads() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_threads;
}

bool PatternSource::MarkClosed() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_closed = true;
  return m_inRead.load() == 0;
}

std::vector<std::string> PatternSource::Violations() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_violations;
}

CheckingSink::CheckingSink(size_t keep) : m_keep(keep) {}

void CheckingSink::Open(uint32_t channels, uint32_t samplesPerSec, uint32_t bitsPerSample) {
  bool overlap = m_inCall.fetch_add(1) != 0;
  std::lock_guard<std::mutex> lock(m_mutex);
  Record& r = m_record;
  if (overlap) {
    r.violations.push_back("Open overlaps another call");
  }
  if (r.opens > 0 || r.closes > 0 || r.writes > 0) {
    r.violations.push_back("Open is not the first call");
  }
  if (channels != 1 || samplesPerSec != 48000 || bitsPerSample != 16) {
    r.violations.push_back("Open(" + std::to_string(channels) + ", " +
                           std::to_string(samplesPerSec) + ", " + std::to_string(bitsPerSample) +
                           ")");
  }
  r.opens++;
  r.openThread = std::this_thread::get_id();
  m_inCall.fetch_sub(1);
  m_changed.notify_all();
}

void CheckingSink::Close() {
  bool overlap = m_inCall.fetch_add(1) != 0;
  std::lock_guard<std::mutex> lock(m_mutex);
  if (overlap) {
    m_record.violations.push_back("Close overlaps another call");
  }
  m_record.closes++;
  m_record.closeThread = std::this_thread::get_id();
  m_inCall.fetch_sub(1);
  m_changed.notify_all();
}

int32_t CheckingSink::Write(const int16_t* data, int32_t frames) {
  bool overlap = m_inCall.fetch_add(1) != 0;
  std::lock_guard<std::mutex> lock(m_mutex);
  Record& r = m_record;
  if (overlap) {
    r.violations.push_back("Write overlaps another call");
  }
  if (r.opens == 0) {
    r.violations.push_back("Write before Open");
  }
  if (r.closes > 0) {
    r.violations.push_back("Write after Close");
  }
  if (data == nullptr || frames < 1 || frames > 48000) {
    r.violations.push_back("Write of " + std::to_string(frames) + " frames");
  } else {
    if (r.writes == 0) {
      r.firstWrite = std::chrono::steady_clock::now();
      r.minFrames = frames;
      r.maxFrames = frames;
    }
    r.minFrames = std::min(r.minFrames, frames);
    r.maxFrames = std::max(r.maxFrames, frames);
    size_t take = std::min(static_cast<size_t>(frames), m_keep - r.samples.size());
    r.samples.insert(r.samples.end(), data, data + take);
    r.frames += frames;
  }
  r.writes++;
  r.writeThreads.insert(std::this_thread::get_id());
  m_inCall.fetch_sub(1);
  m_changed.notify_all();
  return frames;
}

bool CheckingSink::WaitForFrames(int64_t frames, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, limit, [&] { return m_record.frames >= frames; });
}

CheckingSink::Record CheckingSink::Snapshot() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_record;
}

AudioEnvironment::AudioEnvironment(const char* pulseServer)
    : m_alsa(Save("ALSA_CONFIG_PATH")), m_pulse(Save("PULSE_SERVER")) {
  std::string pattern = testing::TempDir() + "hov-sound-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "cannot make a folder like " << pattern;
  }
  m_dir = pattern;
  if (pulseServer != nullptr) {
    setenv("PULSE_SERVER", pulseServer, 1);
  }
}

AudioEnvironment::~AudioEnvironment() {
  Restore(m_alsa);
  Restore(m_pulse);
  std::error_code ignored;
  std::filesystem::remove_all(m_dir, ignored);
}

void AudioEnvironment::SetAlsaDefault(const std::string& definition) {
  // A new file each time: ALSA reloads its configuration when the file list changes.
  std::string path = m_dir + "/asound-" + std::to_string(++m_configs) + ".conf";
  std::ofstream(path) << "pcm.!default {\n" << definition << "\n}\npcm.hov_null { type null }\n";
  setenv("ALSA_CONFIG_PATH", path.c_str(), 1);
}

std::string AudioEnvironment::PlaybackToFile(const std::string& path) {
  return "type file\nslave.pcm \"hov_null\"\nfile \"" + path + "\"\nformat \"raw\"";
}

std::string AudioEnvironment::CaptureFromFile(const std::string& path) {
  return "type file\nslave.pcm \"hov_null\"\nfile \"/dev/null\"\ninfile \"" + path +
         "\"\nformat \"raw\"";
}

std::string AudioEnvironment::Missing() {
  return "type hw\ncard \"hov_no_such_card\"";
}

AudioEnvironment::Saved AudioEnvironment::Save(const char* name) {
  const char* value = getenv(name);
  return Saved{name, value != nullptr, value != nullptr ? value : ""};
}

void AudioEnvironment::Restore(const Saved& saved) {
  if (saved.had) {
    setenv(saved.name, saved.value.c_str(), 1);
  } else {
    unsetenv(saved.name);
  }
}

std::vector<int16_t> ReadRawFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<int16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

void WriteRawFile(const std::string& path, const std::vector<int16_t>& samples) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(samples.data()),
            static_cast<std::streamsize>(samples.size() * 2));
}
