#include "capture/win/AudioInputWinMME.h"

#include "capture/win/CaptureApi.h"
#include "runtime/HovLog.h"
#include "send/win/MonoPcmFormat.h"

AudioInputWinMME::AudioInputWinMME() = default;

AudioInputWinMME::~AudioInputWinMME() = default;

void AudioInputWinMME::LoadDevice(std::vector<uint32_t>& deviceIds) {
  deviceIds.clear();
  deviceIds.push_back(WAVE_MAPPER);
}

bool AudioInputWinMME::Open(uint32_t deviceId, AudioInput::AudioSink* sink) {
  ScopeTrace trace("AudioInputWinMME::Open");
  m_sink = sink;

  WAVEFORMATEX format = MonoPcmFormat();
  const CaptureApi& api = CaptureFunctions();
  MMRESULT res =
      api.waveInOpen(&m_hWaveIn, deviceId, &format, reinterpret_cast<DWORD_PTR>(&WaveInProc),
                     reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION);
  if (res != MMSYSERR_NOERROR) {
    HovLog(3, "waveInOpen failed, res:%d", static_cast<int>(res));
    m_hWaveIn = nullptr;
    return false;
  }

  for (int i = 0; i < kBufferCount; ++i) {
    m_data[i].reset(new char[kBufferBytes]);
    WAVEHDR& header = m_headers[i];
    header.dwFlags = 0;
    header.lpData = m_data[i].get();
    header.dwBufferLength = kBufferBytes;
    api.waveInPrepareHeader(m_hWaveIn, &header, sizeof(WAVEHDR));
  }
  m_nextHeader = 0;
  for (int i = 0; i < kQueued; ++i) {
    QueueNext();
  }

  m_sink->Open(format.nChannels, format.nSamplesPerSec, format.wBitsPerSample);
  // Nothing is delivered before recording starts, so no lock is needed here.
  m_running = true;
  api.waveInStart(m_hWaveIn);
  return true;
}

void AudioInputWinMME::Close() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_running = false;
  }
  // Released before the reset: the buffers it returns come back through the callback, which
  // takes the lock and finds m_running false.
  const CaptureApi& api = CaptureFunctions();
  api.waveInReset(m_hWaveIn);
  for (int i = 0; i < kBufferCount; ++i) {
    api.waveInUnprepareHeader(m_hWaveIn, &m_headers[i], sizeof(WAVEHDR));
    m_headers[i].lpData = nullptr;
    m_data[i].reset();
  }
  api.waveInClose(m_hWaveIn);
  m_hWaveIn = nullptr;
  m_sink->Close();
}

void CALLBACK AudioInputWinMME::WaveInProc(HWAVEIN /*device*/, UINT message, DWORD_PTR instance,
                                           DWORD_PTR param1, DWORD_PTR /*param2*/) {
  if (message == WIM_DATA) {
    reinterpret_cast<AudioInputWinMME*>(instance)->OnData(reinterpret_cast<WAVEHDR*>(param1));
  }
}

void AudioInputWinMME::OnData(WAVEHDR* header) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_running) {
    return;
  }
  if (header->dwBytesRecorded != 0) {
    m_sink->Write(reinterpret_cast<const int16_t*>(header->lpData),
                  static_cast<int32_t>(header->dwBytesRecorded / 2));
  }
  // The returned header rests while the five after it record.
  QueueNext();
}

void AudioInputWinMME::QueueNext() {
  CaptureFunctions().waveInAddBuffer(m_hWaveIn, &m_headers[m_nextHeader], sizeof(WAVEHDR));
  m_nextHeader = (m_nextHeader + 1) % kBufferCount;
}
