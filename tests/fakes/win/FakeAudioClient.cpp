#include "tests/fakes/win/FakeAudioClient.h"

#include <chrono>
#include <cstring>

const GUID FakeAudioClient::kFloat = {
    0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

bool FakeCaptureClient::WaitForGetBuffers(int count) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, std::chrono::seconds(10),
                            [&] { return m_getBuffers >= count && !m_holding; });
}

HRESULT FakeCaptureClient::GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64*, UINT64*) {
  std::lock_guard<std::mutex> lock(m_mutex);
  ++m_getBuffers;
  m_changed.notify_all();
  *data = nullptr;
  *frames = 0;
  *flags = 0;
  if (m_holding) {
    return E_INVALIDARG;
  }
  // An empty answer is still released, with 0 frames. Packets move: nothing here allocates.
  Packet packet{{}, 0, AUDCLNT_S_BUFFER_EMPTY};
  if (!m_packets.empty()) {
    packet = std::move(m_packets.front());
    m_packets.pop_front();
  }
  if (FAILED(packet.result)) {
    return packet.result;
  }
  m_held = std::move(packet);
  m_holding = true;
  *data = m_held.data.data();
  *frames = m_held.frames;
  return m_held.result;
}

HRESULT FakeCaptureClient::ReleaseBuffer(UINT32 frames) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_holding || frames != m_held.frames) {
    ++releaseMismatches;
  }
  m_holding = false;
  m_changed.notify_all();
  return S_OK;
}

void FakeAudioClient::SetMixFormat(WORD tag, WORD channels, DWORD rate, WORD bits,
                                   const GUID& subFormat) {
  m_mixFormat = WAVEFORMATEXTENSIBLE{};
  WAVEFORMATEX& format = m_mixFormat.Format;
  format.wFormatTag = tag;
  format.nChannels = channels;
  format.nSamplesPerSec = rate;
  format.wBitsPerSample = bits;
  format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
  format.nAvgBytesPerSec = rate * format.nBlockAlign;
  if (tag == WAVE_FORMAT_EXTENSIBLE) {
    format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    m_mixFormat.Samples.wValidBitsPerSample = bits;
    m_mixFormat.SubFormat = subFormat;
  }
}

void FakeAudioClient::Deliver(std::vector<BYTE> data, UINT32 frames, HRESULT result) {
  {
    std::lock_guard<std::mutex> lock(capture.m_mutex);
    capture.m_packets.push_back(FakeCaptureClient::Packet{std::move(data), frames, result});
  }
  SetEvent(m_event);
}

HRESULT FakeAudioClient::GetMixFormat(WAVEFORMATEX** format) {
  *format = nullptr;
  if (FAILED(getMixFormatResult)) {
    return getMixFormatResult;
  }
  size_t bytes = sizeof(WAVEFORMATEX) + m_mixFormat.Format.cbSize;
  *format = static_cast<WAVEFORMATEX*>(AllocateTracked(bytes));
  std::memcpy(*format, &m_mixFormat, bytes);
  return S_OK;
}

HRESULT FakeAudioClient::Start() {
  std::lock_guard<std::mutex> lock(m_mutex);
  starts += SUCCEEDED(startResult) ? 1 : 0;
  m_changed.notify_all();
  return startResult;
}

HRESULT FakeAudioClient::Stop() {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_changed.wait(lock, [&] { return !blockStop || m_released; });
  ++stops;
  return S_OK;
}

HRESULT FakeAudioClient::GetService(REFIID, void** out) {
  *out = SUCCEEDED(getServiceResult) ? static_cast<IAudioCaptureClient*>(&capture) : nullptr;
  if (*out != nullptr) {
    capture.AddRef();
  }
  return getServiceResult;
}

void FakeAudioClient::ReleaseStop() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_released = true;
  m_changed.notify_all();
}

bool FakeAudioClient::WaitForStarts(int count) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return starts >= count; });
}
