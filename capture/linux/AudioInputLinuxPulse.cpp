#include "capture/linux/AudioInputLinuxPulse.h"

#include "runtime/HovLog.h"

namespace {
constexpr int32_t kFragmentMs = 10;
}  // namespace

AudioInputLinuxPulse::AudioInputLinuxPulse()
    : m_stream(PulseStream::Direction::kRecord, kFragmentMs, "hov_capture", this) {}

AudioInputLinuxPulse::~AudioInputLinuxPulse() = default;

bool AudioInputLinuxPulse::Open(uint32_t /*microphone*/, AudioInput::AudioSink* sink) {
  ScopeTrace trace("AudioInputLinuxPulse::Open");
  m_sink = sink;
  if (sink->TakesAnyRate()) {
    m_stream.TakeDeviceRate();
  }
  if (!m_stream.Open()) {
    return false;
  }
  // Fragments that came before the sink was opened are dropped.
  m_sink->Open(1, m_stream.Rate(), 16);
  m_sinkOpen = true;
  m_delivering = true;
  return true;
}

void AudioInputLinuxPulse::Close() {
  ScopeTrace trace("AudioInputLinuxPulse::Close");
  m_stream.Close();
  m_delivering = false;
  if (m_sinkOpen) {
    m_sinkOpen = false;
    m_sink->Close();
  }
}

void AudioInputLinuxPulse::Poll() {
  m_stream.ReportChanges();
}

void AudioInputLinuxPulse::Take(const int16_t* in, int32_t frames) {
  if (m_delivering.load(std::memory_order_acquire)) {
    m_sink->Write(in, frames);
  }
}
