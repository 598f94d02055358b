#include "receive/HovSinkConcurrent.h"

#include <cstring>

#include "codec/ShareKeyEncoder.h"
#include "receive/HovSink.h"
#include "runtime/HovLog.h"

namespace {
constexpr int32_t kDecoderCount = 10;
constexpr int32_t kDecoderStagger = 9600;  // frames between window starts: 0.2 s at 48000 Hz
constexpr int32_t kAcceptVotes = 2;
}  // namespace

HovSinkConcurrent::HovSinkConcurrent(uint32_t payloadLength) {
  for (int32_t i = 0; i < kDecoderCount; ++i) {
    m_decoders.insert(new HovSinkDelay(payloadLength, i * kDecoderStagger));
  }
}

HovSinkConcurrent::~HovSinkConcurrent() {
  for (HovSinkDelay* decoder : m_decoders) {
    delete decoder;
  }
  m_decoders.clear();
}

void HovSinkConcurrent::SetCompletionHook(void (*fn)(void*), void* context) {
  m_onComplete = fn;
  m_onCompleteContext = context;
}

void HovSinkConcurrent::Open(uint32_t channels, uint32_t samplesPerSec, uint32_t bitsPerSample) {
  HovLog(2, "HovSinkConcurrent Open Channels:%d,samplePerSec:%d,bitPerSample:%d",
         static_cast<int>(channels), static_cast<int>(samplesPerSec),
         static_cast<int>(bitsPerSample));
  for (HovSinkDelay* decoder : m_decoders) {
    decoder->Open(channels, samplesPerSec, bitsPerSample);
  }
}

void HovSinkConcurrent::Close() {
  for (HovSinkDelay* decoder : m_decoders) {
    decoder->Close();
  }
}

int32_t HovSinkConcurrent::Write(const int16_t* data, int32_t frames) {
  auto it = m_decoders.begin();
  while (it != m_decoders.end()) {
    HovSinkDelay* decoder = *it;
    decoder->Write(data, frames);
    if (!decoder->IsComplete()) {
      ++it;
      continue;
    }
    char result[kPacketCapacity];
    int32_t n = decoder->GetResult(result, kPacketCapacity);
    result[n] = '\0';
    std::string shareKey;
    if (ShareKeyEncoder::Decode(std::string(result), &shareKey)) {
      int32_t& votes = m_votes[shareKey];
      votes += 1;
      if (votes == kAcceptVotes) {
        HovLog(2, "Get a Valid Share Key");
        {
          std::lock_guard<std::mutex> lock(m_packetLock);
          std::memcpy(m_acceptedPacket, result, static_cast<size_t>(n));
          m_acceptedLength = n;
        }
        if (!m_complete.exchange(true, std::memory_order_acq_rel) && m_onComplete != nullptr) {
          m_onComplete(m_onCompleteContext);
        }
        // The accepting decoder stays; the ones after it wait for the next buffer.
        return frames;
      }
    }
    // Counted without acceptance, or failed the check: this decoder is done.
    decoder->Close();
    delete decoder;
    it = m_decoders.erase(it);
  }
  return frames;
}

bool HovSinkConcurrent::IsComplete() const {
  static LogThrottle throttle(5000);
  bool complete = m_complete.load(std::memory_order_acquire);
  if (throttle.Allow()) {
    HovLog(2, "HovSinkConcurrent::IsComplete %d ", complete ? 1 : 0);
  }
  return complete;
}

int32_t HovSinkConcurrent::GetMessage(char* buffer, int32_t count) {
  HovLog(2, "Get Message buffer Counter:%d", static_cast<int>(count));
  std::lock_guard<std::mutex> lock(m_packetLock);
  std::memcpy(buffer, m_acceptedPacket, static_cast<size_t>(m_acceptedLength));
  return m_acceptedLength;
}
