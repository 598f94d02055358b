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
    : m_backends{{"AudioInputLinuxPulse", std::move(makePulse)},
                 {"AudioInputLinuxAlsa", std::move(makeAlsa)}} {}

AudioInputLinux::~AudioInputLinux() = default;

bool AudioInputLinux::Open(uint32_t microphone, AudioInput::AudioSink* sink) {
  ScopeTrace trace("AudioInputLinux::Open");
  m_open = OpenFirstBackend(m_backends, [microphone, sink](AudioInput::Impl& backend) {
    return backend.Open(microphone, sink);
  });
  return m_open != nullptr;
}

void AudioInputLinux::Close() {
  if (m_open) {
    m_open->Close();
    m_open.reset();
  }
}

void AudioInputLinux::Poll() {
  if (m_open) {
    m_open->Poll();
  }
}
