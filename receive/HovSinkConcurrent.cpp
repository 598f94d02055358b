#include "receive/HovSinkConcurrent.h"

#include <algorithm>
#include <cstring>

#include "codec/ShareKeyEncoder.h"
#include "modem/OnAir.h"
#include "receive/HovSink.h"
#include "runtime/HovLog.h"

namespace {
constexpr int32_t kDecoderStagger = onair::kDecoderStagger;  // 0.2 s at 48000 Hz
constexpr int32_t kAcceptVotes = onair::kAcceptVotes;
constexpr size_t kFloatsAtOpen = 8192;  // larger capture buffers grow the conversion buffer once
}  // namespace

HovSinkConcurrent::HovSinkConcurrent(uint32_t payloadLength) {
  for (size_t i = 0; i < kDecoderCount; ++i) {
    m_decoders.insert(new HovSinkDelay(payloadLength, static_cast<int32_t>(i) * kDecoderStagger));
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
  m_floats.resize(kFloatsAtOpen);
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
  if (m_decoders.empty()) {
    return frames;
  }
  const float* samples = SamplesAsFloats(data, frames, &m_floats);
  m_streamFrames += frames > 0 ? frames : 0;
  auto it = m_decoders.begin();
  while (it != m_decoders.end()) {
    HovSinkDelay* decoder = *it;
    const int32_t readsBefore = decoder->WindowReads();
    decoder->WriteFloats(samples, frames);
    if (!decoder->IsComplete()) {
      Report(decoder, readsBefore, nullptr, -1, std::string(), 0, false);
      ++it;
      continue;
    }
    char result[kPacketCapacity];
    int32_t n = decoder->GetResult(result, kPacketCapacity);
    result[n] = '\0';
    std::string shareKey;
    if (ShareKeyEncoder::Decode(std::string(result), &shareKey)) {
      int32_t& votes = VotesFor(shareKey);
      votes += 1;
      Report(decoder, readsBefore, result, n, shareKey, votes, votes == kAcceptVotes);
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
    } else {
      Report(decoder, readsBefore, result, n, std::string(), 0, false);
    }
    // Counted without acceptance, or failed the check: this decoder is done.
    decoder->Close();
    delete decoder;
    it = m_decoders.erase(it);
  }
  return frames;
}

int32_t& HovSinkConcurrent::VotesFor(const std::string& key) {
  for (size_t i = 0; i < m_voteKeys; ++i) {
    if (m_votes[i].key == key) {
      return m_votes[i].count;
    }
  }
  // There are as many entries as decoders, and a decoder is discarded after its vote, unless
  // that vote accepted its key, which is then already here.
  Vote& vote = m_votes[std::min(m_voteKeys, kDecoderCount - 1)];
  m_voteKeys = std::min(m_voteKeys + 1, kDecoderCount);
  vote.key = key;
  vote.count = 0;
  return vote.count;
}

void HovSinkConcurrent::Report(const HovSinkDelay* decoder, int32_t readsBefore, const char* packet,
                               int32_t length, const std::string& key, int32_t votes,
                               bool accepted) {
  if (m_observer == nullptr || decoder->WindowReads() == readsBefore) {
    return;
  }
  WindowReport report;
  report.delayFrames = decoder->DelayFrames();
  report.decoder = report.delayFrames / kDecoderStagger + 1;
  report.streamFrames = m_streamFrames;
  report.repeated = readsBefore > 0;
  report.detector = decoder->Detector();
  report.packet = packet;
  report.packetLength = length;
  report.key = key;
  report.votes = votes;
  report.accepted = accepted;
  m_observer->OnWindow(report);
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
