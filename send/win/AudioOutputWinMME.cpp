#include "send/win/AudioOutputWinMME.h"

#include "runtime/HovLog.h"
#include "send/win/MonoPcmFormat.h"
#include "send/win/WaveOutApi.h"

std::unique_ptr<AudioOutput::Impl> CreatePlatformAudioOutput() {
  return std::make_unique<AudioOutputWinMME>();
}

void LoadPlatformAudioOutputDevices(std::vector<uint32_t>& deviceIds) {
  AudioOutputWinMME::LoadDevice(deviceIds);
}

AudioOutputWinMME::AudioOutputWinMME() = default;

AudioOutputWinMME::~AudioOutputWinMME() = default;

void AudioOutputWinMME::LoadDevice(std::vector<uint32_t>& deviceIds) {
  ScopeTrace trace("AudioOutputWinMME::LoadDevice");
  deviceIds.clear();
  deviceIds.push_back(WAVE_MAPPER);
}

bool AudioOutputWinMME::Open(uint32_t /*deviceId*/, AudioOutput::AudioSource* source) {
  ScopeTrace trace("AudioOutputWinMME::Open");
  m_source = source;

  WAVEFORMATEX format = MonoPcmFormat();
  const WaveOutApi& api = WaveOutFunctions();
  MMRESULT res =
      api.open(&m_device, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(&WaveOutProc),
               reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION | WAVE_ALLOWSYNC);
  if (res != MMSYSERR_NOERROR) {
    return false;
  }

  for (int i = 0; i < kBufferCount; ++i) {
    m_data[i].reset(new char[kBufferBytes]);
    WAVEHDR& header = m_headers[i];
    header.dwFlags = 0;
    header.lpData = m_data[i].get();
    header.dwBufferLength = kBufferBytes;
    api.prepareHeader(m_device, &header, sizeof(WAVEHDR));
  }
  m_nextBuffer = 0;
  m_open = true;

  // No buffer can have finished yet, so the first reads need no lock of this object.
  for (int i = 0; i < kQueuedAtOpen; ++i) {
    RefillNext();
  }
  return true;
}

void AudioOutputWinMME::Close() {
  ScopeTrace trace("AudioOutputWinMME::Close");
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = false;
  }
  // Released before the reset: the WOM_DONE notifications it causes take the lock.
  const WaveOutApi& api = WaveOutFunctions();
  api.reset(m_device);
  for (int i = 0; i < kBufferCount; ++i) {
    api.unprepareHeader(m_device, &m_headers[i], sizeof(WAVEHDR));
    m_headers[i].lpData = nullptr;
    m_data[i].reset();
  }
  api.close(m_device);
  m_device = nullptr;
}

void CALLBACK AudioOutputWinMME::WaveOutProc(HWAVEOUT /*device*/, UINT message, DWORD_PTR instance,
                                             DWORD_PTR /*param1*/, DWORD_PTR /*param2*/) {
  ScopeTrace trace("AudioOutputWinMME::WaveOutProc");
  auto* self = reinterpret_cast<AudioOutputWinMME*>(instance);
  switch (message) {
    case WOM_OPEN:
      self->OnOpen();
      break;
    case WOM_CLOSE:
      self->OnClose();
      break;
    case WOM_DONE:
      self->OnDone();
      break;
    default:
      break;
  }
}

void AudioOutputWinMME::OnOpen() {
  ScopeTrace trace("AudioOutputWinMME::OnOpen");
}

void AudioOutputWinMME::OnClose() {
  ScopeTrace trace("AudioOutputWinMME::OnClose");
}

void AudioOutputWinMME::OnDone() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_open) {
    return;
  }
  // The header just played rests; the next one in the ring finished five notifications ago.
  RefillNext();
}

void AudioOutputWinMME::RefillNext() {
  WAVEHDR& header = m_headers[m_nextBuffer];
  m_nextBuffer = (m_nextBuffer + 1) % kBufferCount;
  int32_t count = m_source->Read(reinterpret_cast<int16_t*>(header.lpData), kBufferSamples);
  if (count < 1) {
    return;
  }
  header.dwBufferLength = static_cast<DWORD>(count) * 2;
  WaveOutFunctions().write(m_device, &header, sizeof(WAVEHDR));
}
