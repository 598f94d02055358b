#include "send/linux/AudioOutputLinux.h"

#include "runtime/HovLog.h"
#include "send/linux/AudioOutputLinuxAlsa.h"
#include "send/linux/AudioOutputLinuxPulse.h"

std::unique_ptr<AudioOutput::Impl> CreatePlatformAudioOutput() {
  return std::make_unique<AudioOutputLinux>();
}

void LoadPlatformAudioOutputDevices(std::vector<uint32_t>& deviceIds) {
  AudioOutputLinuxAlsa::LoadDevice(deviceIds);
}

AudioOutputLinux::AudioOutputLinux()
    : AudioOutputLinux([] { return std::make_unique<AudioOutputLinuxPulse>(); },
                       [] { return std::make_unique<AudioOutputLinuxAlsa>(); }) {}

AudioOutputLinux::AudioOutputLinux(AudioOutput::Factory makePulse, AudioOutput::Factory makeAlsa)
    : m_backends{{"AudioOutputLinuxPulse", std::move(makePulse)},
                 {"AudioOutputLinuxAlsa", std::move(makeAlsa)}} {}

AudioOutputLinux::~AudioOutputLinux() = default;

bool AudioOutputLinux::Open(uint32_t deviceId, AudioOutput::AudioSource* source) {
  ScopeTrace trace("AudioOutputLinux::Open");
  m_open = OpenFirstBackend(m_backends, [deviceId, source](AudioOutput::Impl& backend) {
    return backend.Open(deviceId, source);
  });
  return m_open != nullptr;
}

void AudioOutputLinux::Close() {
  if (m_open) {
    m_open->Close();
    m_open.reset();
  }
}

void AudioOutputLinux::Poll() {
  if (m_open) {
    m_open->Poll();
  }
}
