#include "send/win/AudioOutputWinMME.h"

#include <windows.h>
// windows.h first: mmsystem.h relies on its types.
#include <mmsystem.h>

#include "runtime/HovLog.h"

std::unique_ptr<AudioOutput::Impl> CreatePlatformAudioOutput() {
  return std::make_unique<AudioOutputWinMME>();
}

void LoadPlatformAudioOutputDevices(std::vector<uint32_t>& deviceIds) {
  AudioOutputWinMME::LoadDevice(deviceIds);
}

AudioOutputWinMME::AudioOutputWinMME()
    : m_ring(WaveRing::Direction::kOut, "AudioOutputWinMME", kBufferCount, kBufferSamples) {}

AudioOutputWinMME::~AudioOutputWinMME() = default;

void AudioOutputWinMME::LoadDevice(std::vector<uint32_t>& deviceIds) {
  ScopeTrace trace("AudioOutputWinMME::LoadDevice");
  deviceIds.clear();
  deviceIds.push_back(WAVE_MAPPER);
}

bool AudioOutputWinMME::Open(uint32_t /*deviceId*/, AudioOutput::AudioSource* source) {
  ScopeTrace trace("AudioOutputWinMME::Open");
  m_source = source;
  return m_ring.Open(this) == MMSYSERR_NOERROR;
}

void AudioOutputWinMME::Close() {
  ScopeTrace trace("AudioOutputWinMME::Close");
  m_ring.Close();
}

void AudioOutputWinMME::Poll() {
  m_ring.Report();
}

void AudioOutputWinMME::Noticed() {
  m_source->OnDeviceNews();
}

int32_t AudioOutputWinMME::Transfer(int16_t* data, int32_t count) {
  return m_source->Read(data, count);
}
