#include "send/AudioOutput.h"

namespace {
AudioOutput::Factory& OutputTestFactory() {
  static AudioOutput::Factory factory;
  return factory;
}
}  // namespace

AudioOutput::AudioOutput()
    : m_impl(OutputTestFactory() ? OutputTestFactory()() : CreatePlatformAudioOutput()) {}

AudioOutput::~AudioOutput() = default;

void AudioOutput::LoadDevice(std::vector<uint32_t>& deviceIds) {
  LoadPlatformAudioOutputDevices(deviceIds);
}

bool AudioOutput::Open(uint32_t deviceId, AudioSource* source) {
  return m_impl->Open(deviceId, source);
}

void AudioOutput::Close() {
  m_impl->Close();
}

void AudioOutput::Poll() {
  m_impl->Poll();
}

AudioOutput::Factory AudioOutput::SetFactoryForTesting(Factory factory) {
  Factory previous = std::move(OutputTestFactory());
  OutputTestFactory() = std::move(factory);
  return previous;
}
