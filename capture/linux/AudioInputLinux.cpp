#include "capture/linux/AudioInputLinux.h"

#include "capture/linux/AudioInputLinuxAlsa.h"
#include "capture/linux/AudioInputLinuxPulse.h"
#include "runtime/HovLog.h"

std::unique_ptr<AudioInput::Impl> CreatePlatformAudioInput() {
  return std::make_unique<AudioInputLinux>();
}

AudioInputLinux::AudioInputLinux()
    : AudioInputLinux([] { return std::make_unique<AudioInputLinuxPulse>(); },
                      [] { return std::make_unique<AudioInputLinuxAlsa>(); }) {}

AudioInputLinux::AudioInputLinux(AudioInput::Factory makePulse, AudioInput::Factory makeAlsa)
    : m_makePulse(std::move(makePulse)), m_makeAlsa(std::move(makeAlsa)) {}

AudioInputLinux::~AudioInputLinux() = default;

bool AudioInputLinux::Open(uint32_t microphone, AudioInput::AudioSink* sink) {
  ScopeTrace trace("AudioInputLinux::Open");
  HovLog(2, "try use AudioInputLinuxPulse");
  m_pulse = m_makePulse();
  if (m_pulse->Open(microphone, sink)) {
    return true;
  }
  m_pulse.reset();
  HovLog(3, "AudioInputLinuxPulse failed, try use AudioInputLinuxAlsa");
  m_alsa = m_makeAlsa();
  if (m_alsa->Open(microphone, sink)) {
    return true;
  }
  m_alsa.reset();
  HovLog(3, "AudioInputLinuxAlsa failed, all failed");
  return false;
}

void AudioInputLinux::Close() {
  if (m_pulse) {
    m_pulse->Close();
    m_pulse.reset();
  }
  if (m_alsa) {
    m_alsa->Close();
    m_alsa.reset();
  }
}
