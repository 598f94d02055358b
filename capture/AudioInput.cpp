#include "capture/AudioInput.h"

namespace {
AudioInput::Factory& InputTestFactory() {
  static AudioInput::Factory factory;
  return factory;
}
}  // namespace

AudioInput::AudioInput()
    : m_impl(InputTestFactory() ? InputTestFactory()() : CreatePlatformAudioInput()) {}

AudioInput::~AudioInput() = default;

void AudioInput::GetMicrophoneNumbers(std::vector<uint32_t>& numbers) {
  numbers.clear();
  numbers.push_back(0);
}

bool AudioInput::Open(uint32_t microphone, AudioSink* sink) {
  return m_impl->Open(microphone, sink);
}

void AudioInput::Close() {
  m_impl->Close();
}

void AudioInput::Poll() {
  m_impl->Poll();
}

AudioInput::Factory AudioInput::SetFactoryForTesting(Factory factory) {
  Factory previous = std::move(InputTestFactory());
  InputTestFactory() = std::move(factory);
  return previous;
}
