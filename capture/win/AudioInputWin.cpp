#include "capture/win/AudioInputWin.h"

#include "capture/win/AudioInputWinMME.h"
#include "capture/win/AudioInputWinWASAPI.h"
#include "runtime/HovLog.h"

std::unique_ptr<AudioInput::Impl> CreatePlatformAudioInput() {
  return std::make_unique<AudioInputWin>();
}

AudioInputWin::AudioInputWin()
    : m_backends{{"AudioInputWinWASAPI", [] { return std::make_unique<AudioInputWinWASAPI>(); }},
                 {"AudioInputWinMME", [] { return std::make_unique<AudioInputWinMME>(); }}} {}

AudioInputWin::~AudioInputWin() = default;

bool AudioInputWin::Open(uint32_t microphone, AudioInput::AudioSink* sink) {
  ScopeTrace trace("AudioInputWin::Open");
  size_t tried = 0;  // every maker of the table makes a backend
  m_open = OpenFirstBackend(m_backends, [&](AudioInput::Impl& backend) {
    ++tried;
    return backend.Open(microphone, sink);
  });
  m_openName = m_open == nullptr ? nullptr : m_backends[tried - 1].name;
  return m_open != nullptr;
}

void AudioInputWin::Close() {
  if (m_open != nullptr) {
    m_open->Close();
    m_open.reset();
  }
}

void AudioInputWin::Poll() {
  if (m_open != nullptr) {
    m_open->Poll();
  }
}
