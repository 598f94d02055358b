#include "capture/win/AudioInputWinMME.h"

#include <windows.h>
// windows.h first: mmsystem.h relies on its types.
#include <mmsystem.h>

#include "runtime/HovLog.h"

AudioInputWinMME::AudioInputWinMME()
    : m_ring(WaveRing::Direction::kIn, "AudioInputWinMME", kBufferCount, kBufferSamples) {}

AudioInputWinMME::~AudioInputWinMME() = default;

void AudioInputWinMME::LoadDevice(std::vector<uint32_t>& deviceIds) {
  deviceIds.clear();
  deviceIds.push_back(WAVE_MAPPER);
}

bool AudioInputWinMME::Open(uint32_t /*deviceId*/, AudioInput::AudioSink* sink) {
  ScopeTrace trace("AudioInputWinMME::Open");
  m_sink = sink;
  uint32_t res = m_ring.Open(this);
  if (res != MMSYSERR_NOERROR) {
    HovLog(3, "waveInOpen failed, res:%d", static_cast<int>(res));
    return false;
  }
  m_open = true;
  return true;
}

void AudioInputWinMME::Close() {
  if (!m_open) {
    return;
  }
  m_open = false;
  m_ring.Close();
  m_sink->Close();
}

void AudioInputWinMME::Poll() {
  m_ring.Report();
}

int32_t AudioInputWinMME::Transfer(int16_t* data, int32_t count) {
  return m_sink->Write(data, count);
}

void AudioInputWinMME::Started() {
  m_sink->Open(1, 48000, 16);
}
