#include "send/linux/AudioOutputLinuxPulse.h"

#include <algorithm>

#include "runtime/HovLog.h"

namespace {
constexpr int32_t kAheadMs = 250;
}  // namespace

AudioOutputLinuxPulse::AudioOutputLinuxPulse()
    : m_stream(PulseStream::Direction::kPlayback, kAheadMs, "hov_playback", this) {}

AudioOutputLinuxPulse::~AudioOutputLinuxPulse() = default;

bool AudioOutputLinuxPulse::Open(uint32_t /*deviceId*/, AudioOutput::AudioSource* source) {
  ScopeTrace trace("AudioOutputLinuxPulse::Open");
  m_source = source;
  return m_stream.Open();
}

void AudioOutputLinuxPulse::Close() {
  ScopeTrace trace("AudioOutputLinuxPulse::Close");
  m_stream.Close();
}

void AudioOutputLinuxPulse::Poll() {
  m_stream.ReportChanges();
}

void AudioOutputLinuxPulse::Noticed() {
  m_source->OnDeviceNews();
}

void AudioOutputLinuxPulse::Fill(int16_t* out, int32_t frames) {
  int32_t n = std::max(0, std::min(m_source->Read(out, frames), frames));
  std::fill(out + n, out + frames, int16_t{0});
}
