#include "tests/fakes/win/RecordingSink.h"

#include <algorithm>
#include <chrono>

#include "tests/fakes/win/CallJournal.h"

void RecordingSink::Open(uint32_t channels, uint32_t samplesPerSec, uint32_t bitsPerSample) {
  JournalNote("sink Open");
  std::lock_guard<std::mutex> lock(m_mutex);
  m_calls.push_back(Call{'O', std::this_thread::get_id()});
  m_format = {channels, samplesPerSec, bitsPerSample};
}

void RecordingSink::Close() {
  JournalNote("sink Close");
  std::lock_guard<std::mutex> lock(m_mutex);
  m_calls.push_back(Call{'C', std::this_thread::get_id()});
}

int32_t RecordingSink::Write(const int16_t* data, int32_t frames) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_calls.push_back(Call{'W', std::this_thread::get_id()});
  m_writes.emplace_back(data, data + frames);
  m_changed.notify_all();
  return frames;
}

std::vector<RecordingSink::Call> RecordingSink::Calls() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_calls;
}

std::vector<std::vector<int16_t>> RecordingSink::Writes() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_writes;
}

std::vector<uint32_t> RecordingSink::Format() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_format;
}

int RecordingSink::Count(char kind) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return static_cast<int>(std::count_if(m_calls.begin(), m_calls.end(),
                                        [&](const Call& call) { return call.kind == kind; }));
}

bool RecordingSink::WaitForWrites(int count) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, std::chrono::seconds(10),
                            [&] { return static_cast<int>(m_writes.size()) >= count; });
}
