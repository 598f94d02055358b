#include "receive/HovSink.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "modem/ModemParams.h"
#include "modem/ToneDetector.h"

HovSink::HovSink(uint32_t payloadLength)
    : m_payloadLength(payloadLength), m_packet(static_cast<size_t>(payloadLength) + 1, 0) {}

HovSink::~HovSink() = default;

void HovSink::Open(uint32_t channels, uint32_t samplesPerSec, uint32_t bitsPerSample) {
  m_channels = channels;
  m_samplesPerSec = samplesPerSec;
  m_bitsPerSample = bitsPerSample;
  m_params = CreateModemParams(static_cast<float>(samplesPerSec), m_payloadLength);
  m_detector = ToneDetector::Create(m_params);
}

void HovSink::Close() {
  ToneDetector::Free(m_detector);
  m_detector = nullptr;
  DestroyModemParams(m_params);
  m_params = nullptr;
}

const float* SamplesAsFloats(const int16_t* data, int32_t frames, std::vector<float>* floats) {
  const size_t count = frames > 0 ? static_cast<size_t>(frames) : 0;
  if (floats->size() < count) {
    floats->resize(count);
  }
  for (size_t i = 0; i < count; ++i) {
    (*floats)[i] = static_cast<float>(data[i]);
  }
  return floats->data();
}

int32_t HovSink::Write(const int16_t* data, int32_t frames) {
  if (m_complete.load(std::memory_order_acquire)) {
    return frames;
  }
  return HovSink::WriteFloats(SamplesAsFloats(data, frames, &m_floats), frames);
}

int32_t HovSink::WriteFloats(const float* samples, int32_t frames) {
  if (m_complete.load(std::memory_order_acquire)) {
    return frames;
  }
  if (ToneDetector::Feed(m_detector, samples, frames) != 0) {
    ++m_windowReads;
    int32_t n = ToneDetector::Decode(m_detector, m_packet.data());
    if (n > 0) {
      m_packet[static_cast<size_t>(n)] = 0;
      {
        std::lock_guard<std::mutex> lock(m_resultLock);
        // The packet is kept as text: a decoded zero byte ends it.
        m_result.assign(reinterpret_cast<const char*>(m_packet.data()));
      }
      m_complete.store(true, std::memory_order_release);
    }
  }
  return frames;
}

bool HovSink::IsComplete() const {
  return m_complete.load(std::memory_order_acquire);
}

int32_t HovSink::GetResult(char* buffer, int32_t capacity) {
  std::lock_guard<std::mutex> lock(m_resultLock);
  int32_t n = std::min(capacity - 1, static_cast<int32_t>(m_result.size()));
  if (n > 0) {
    std::memcpy(buffer, m_result.data(), static_cast<size_t>(n));
  }
  buffer[n] = '\0';
  return n;
}

HovSinkDelay::HovSinkDelay(uint32_t payloadLength, int32_t delayFrames)
    : HovSink(payloadLength), m_delayFrames(delayFrames), m_remainingDelay(delayFrames) {}

HovSinkDelay::~HovSinkDelay() = default;

void HovSinkDelay::Open(uint32_t channels, uint32_t samplesPerSec, uint32_t bitsPerSample) {
  HovSink::Open(channels, samplesPerSec, bitsPerSample);
  m_frameSize = (static_cast<int32_t>(channels) * static_cast<int32_t>(bitsPerSample)) / 8;
}

int32_t HovSinkDelay::Write(const int16_t* data, int32_t frames) {
  int32_t delay = m_remainingDelay;
  if (delay <= 0) {
    return HovSink::Write(data, frames);
  }
  if (delay >= frames) {
    m_remainingDelay = delay - frames;
    return frames;
  }
  m_remainingDelay = 0;
  // The delay ends inside this buffer: the detector gets the frames after it.
  const uint8_t* rest = reinterpret_cast<const uint8_t*>(data) +
                        static_cast<ptrdiff_t>(delay) * static_cast<ptrdiff_t>(m_frameSize);
  return delay + HovSink::Write(reinterpret_cast<const int16_t*>(rest), frames - delay);
}

int32_t HovSinkDelay::WriteFloats(const float* samples, int32_t frames) {
  int32_t delay = m_remainingDelay;
  if (delay <= 0) {
    return HovSink::WriteFloats(samples, frames);
  }
  if (delay >= frames) {
    m_remainingDelay = delay - frames;
    return frames;
  }
  m_remainingDelay = 0;
  // One float per 16-bit sample: the frame size in samples.
  const ptrdiff_t samplesPerFrame = m_frameSize / static_cast<int32_t>(sizeof(int16_t));
  return delay + HovSink::WriteFloats(samples + static_cast<ptrdiff_t>(delay) * samplesPerFrame,
                                      frames - delay);
}
