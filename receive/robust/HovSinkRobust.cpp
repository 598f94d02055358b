#include "receive/robust/HovSinkRobust.h"

#include <algorithm>
#include <cstring>

#include "runtime/HovLog.h"

namespace {
constexpr int32_t kChunk = 256;  // frames converted at a time when the capture has channels
}

HovSinkRobust::HovSinkRobust() = default;
HovSinkRobust::~HovSinkRobust() = default;

void HovSinkRobust::Open(uint32_t channels, uint32_t samplesPerSec, uint32_t bitsPerSample) {
  HovLog(2, "HovSinkRobust Open Channels:%d,samplePerSec:%d,bitPerSample:%d",
         static_cast<int>(channels), static_cast<int>(samplesPerSec),
         static_cast<int>(bitsPerSample));
  m_channels = std::max<uint32_t>(1, channels);
  m_receiver = std::make_unique<RobustReceiver>(static_cast<double>(samplesPerSec));
}

void HovSinkRobust::Close() {}

int32_t HovSinkRobust::Write(const int16_t* data, int32_t frames) {
  if (m_complete.load(std::memory_order_relaxed) || !m_receiver) {
    return frames;
  }
  bool done = false;
  if (m_channels == 1) {
    done = m_receiver->Feed(data, frames);
  } else {
    int16_t mono[kChunk];
    for (int32_t at = 0; at < frames && !done; at += kChunk) {
      const int32_t n = std::min(kChunk, frames - at);
      for (int32_t i = 0; i < n; ++i) {
        mono[i] = data[(at + i) * static_cast<int32_t>(m_channels)];
      }
      done = m_receiver->Feed(mono, n);
    }
  }
  if (done) {
    const RobustResult& result = m_receiver->Result();
    {
      std::lock_guard<std::mutex> lock(m_packetLock);
      std::memcpy(m_packet, result.key, sizeof m_packet);
      m_position = result.samplePosition;
    }
    m_complete.store(true, std::memory_order_release);
  }
  return frames;
}

bool HovSinkRobust::IsComplete() const {
  return m_complete.load(std::memory_order_acquire);
}

int32_t HovSinkRobust::GetMessage(char* buffer, int32_t count) {
  std::lock_guard<std::mutex> lock(m_packetLock);
  HovLog(2, "HovSinkRobust key at frame %lld, buffer %d", static_cast<long long>(m_position),
         static_cast<int>(count));
  std::memcpy(buffer, m_packet, sizeof m_packet);
  return 4;
}
