#include "receive/HovRecv.h"

#include <string>
#include <vector>

#include "capture/AudioInput.h"
#include "codec/ShareKeyEncoder.h"
#include "receive/HovSinkConcurrent.h"
#include "receive/robust/HovSinkRobust.h"
#include "receive/robust/ReceiverChoice.h"
#include "runtime/HovLog.h"

namespace {
constexpr uint32_t kPayloadBytes = 4;  // the encoded key
constexpr int32_t kMessageBuffer = 1024;
}  // namespace

HovRecv::HovRecv() = default;
HovRecv::~HovRecv() = default;

bool HovRecv::Start(int timeoutMs, HovManager::RecvListener* listener) {
  ScopeTrace trace("HovRecv::Start");
  m_deadlineMs = WallClockMs() + static_cast<int64_t>(timeoutMs);
  m_listener = listener;
  std::vector<uint32_t> microphones;
  AudioInput::GetMicrophoneNumbers(microphones);
  if (microphones.empty()) {
    HovLog(2, "Current Microphone Number is Empty");
    return false;
  }
  AudioInput::AudioSink* sink = nullptr;
  if (RobustReceiverChosen()) {
    m_robustSink = std::make_unique<HovSinkRobust>();
    sink = m_robustSink.get();
  } else {
    m_sink = std::make_unique<HovSinkConcurrent>(kPayloadBytes);
    sink = m_sink.get();
  }
  m_capture = std::make_unique<AudioInput>();
  if (m_capture->Open(microphones[0], sink)) {
    return true;
  }
  HovLog(2, "Open AudioInput Failed");
  m_capture.reset();
  sink->Close();
  m_sink.reset();
  m_robustSink.reset();
  return false;
}

bool HovRecv::Poll() {
  if (m_robustSink ? m_robustSink->IsComplete() : m_sink->IsComplete()) {
    HovLog(2, "HovSink Concurrent is Complete");
    char buffer[kMessageBuffer];
    int32_t n = m_robustSink ? m_robustSink->GetMessage(buffer, kMessageBuffer)
                             : m_sink->GetMessage(buffer, kMessageBuffer);
    buffer[n] = '\0';
    std::string packet(buffer);
    std::string key;
    if (ShareKeyEncoder::Decode(packet, &key)) {
      HovLog(2, "ShareKeyEncoder Decode Success");
      m_listener->OnRecvData(0, key.c_str());
    } else {
      HovLog(2, "ShareKeyEncoder Decode Failed");
      m_listener->OnRecvData(-3, nullptr);
    }
    return false;
  }
  if (WallClockMs() <= m_deadlineMs) {
    return true;
  }
  m_listener->OnRecvData(-2, nullptr);
  HovLog(2, "Invalid Recv Packet");
  return false;
}

void HovRecv::Stop() {
  m_capture->Close();
  m_capture.reset();
  m_sink.reset();
  m_robustSink.reset();
}
