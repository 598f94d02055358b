#include "capture/win/AudioInputWin.h"

#include <vector>

#include "capture/win/AudioInputWinMME.h"
#include "capture/win/AudioInputWinWASAPI.h"
#include "runtime/HovLog.h"

std::unique_ptr<AudioInput::Impl> CreatePlatformAudioInput() {
  return std::make_unique<AudioInputWin>();
}

AudioInputWin::AudioInputWin() = default;

AudioInputWin::~AudioInputWin() = default;

bool AudioInputWin::Open(uint32_t /*microphone*/, AudioInput::AudioSink* sink) {
  ScopeTrace trace("AudioInputWin::Open");
  HovLog(2, "try use AudioInputWinWASAPI");
  std::vector<uint32_t> candidates;
  AudioInputWinWASAPI::LoadDevice(candidates);
  if (!candidates.empty()) {
    m_wasapi = std::make_unique<AudioInputWinWASAPI>();
    if (m_wasapi->Open(candidates[0], sink) != 0) {
      return true;
    }
    // Not closed: the failed capture thread has released what it acquired.
    m_wasapi.reset();
  }

  HovLog(3, "AudioInputWinWASAPI failed, try use AudioInputWinMME");
  AudioInputWinMME::LoadDevice(candidates);
  if (!candidates.empty()) {
    m_mme = std::make_unique<AudioInputWinMME>();
    if (!m_mme->Open(candidates[0], sink)) {
      m_mme.reset();
    }
  }
  if (m_mme == nullptr) {
    HovLog(3, "AudioInputWinMME failed, all failed");
    return false;
  }
  return true;
}

void AudioInputWin::Close() {
  if (m_wasapi != nullptr) {
    m_wasapi->Close();
    m_wasapi.reset();
  }
  if (m_mme != nullptr) {
    m_mme->Close();
    m_mme.reset();
  }
}
