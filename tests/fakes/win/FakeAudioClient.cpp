#include "tests/fakes/win/FakeAudioClient.h"

#include <chrono>
#include <cstring>

#include "tests/fakes/win/CallJournal.h"
#include "tests/fakes/win/TaskMemory.h"

namespace {
const GUID kFloatSubFormat = {
    0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}  // namespace

void FakeCaptureClient::Queue(std::vector<BYTE> data, UINT32 frames, HRESULT result) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_packets.push_back(Packet{std::move(data), frames, result});
}

bool FakeCaptureClient::WaitForGetBuffers(int count) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, std::chrono::seconds(10),
                            [&] { return m_getBuffers >= count && !m_holding; });
}

int FakeCaptureClient::ReleaseMismatches() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_releaseMismatches;
}

HRESULT FakeCaptureClient::GetBuffer(BYTE** data, UINT32* frames, DWORD* flags,
                                     UINT64* devicePosition, UINT64* qpcPosition) {
  std::lock_guard<std::mutex> lock(m_mutex);
  ++m_getBuffers;
  m_changed.notify_all();
  *data = nullptr;
  *frames = 0;
  *flags = 0;
  if (devicePosition != nullptr || qpcPosition != nullptr || m_holding) {
    return E_INVALIDARG;
  }
  if (m_packets.empty()) {
    m_holding = true;  // an empty answer is still released, with 0 frames
    m_held = Packet{{}, 0, S_OK};
    return AUDCLNT_S_BUFFER_EMPTY;
  }
  Packet packet = std::move(m_packets.front());
  m_packets.pop_front();
  if (FAILED(packet.result)) {
    return packet.result;
  }
  m_held = std::move(packet);
  m_holding = true;
  *data = m_held.data.data();
  *frames = m_held.frames;
  return S_OK;
}

HRESULT FakeCaptureClient::ReleaseBuffer(UINT32 frames) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_holding || frames != m_held.frames) {
    ++m_releaseMismatches;
  }
  m_holding = false;
  m_changed.notify_all();
  return S_OK;
}

ULONG FakeCaptureClient::Release() {
  JournalNote("Release capture client");
  return FakeUnknown::Release();
}

FakeAudioClient::FakeAudioClient() {
  SetMixFormat(WAVE_FORMAT_EXTENSIBLE, 1, 48000, 32, kFloatSubFormat);
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
    m_mixFormat.dwChannelMask =
        channels == 1 ? SPEAKER_FRONT_CENTER : (SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT);
    m_mixFormat.SubFormat = subFormat;
  }
}

void FakeAudioClient::Deliver(std::vector<BYTE> data, UINT32 frames, HRESULT result) {
  capture.Queue(std::move(data), frames, result);
  SetEvent(m_event);
}

HRESULT FakeAudioClient::Initialize(AUDCLNT_SHAREMODE mode, DWORD flags, REFERENCE_TIME duration,
                                    REFERENCE_TIME period, const WAVEFORMATEX* format,
                                    LPCGUID session) {
  JournalNote("Initialize");
  shareMode = mode;
  streamFlags = flags;
  bufferDuration = duration;
  periodicity = period;
  initializedWithMixFormat = format != nullptr && format == m_handedFormat;
  sessionGuidGiven = session != nullptr;
  return initializeResult;
}

HRESULT FakeAudioClient::GetMixFormat(WAVEFORMATEX** format) {
  *format = nullptr;
  if (FAILED(getMixFormatResult)) {
    return getMixFormatResult;
  }
  size_t bytes = sizeof(WAVEFORMATEX) + m_mixFormat.Format.cbSize;
  *format = static_cast<WAVEFORMATEX*>(AllocateTracked(bytes));
  std::memcpy(*format, &m_mixFormat, bytes);
  m_handedFormat = *format;
  return S_OK;
}

HRESULT FakeAudioClient::Start() {
  JournalNote("Start");
  if (SUCCEEDED(startResult)) {
    std::lock_guard<std::mutex> lock(m_stopMutex);
    ++starts;
    m_stopReleased.notify_all();
  }
  return startResult;
}

HRESULT FakeAudioClient::Stop() {
  JournalNote("Stop");
  {
    std::unique_lock<std::mutex> lock(m_stopMutex);
    m_stopReleased.wait(lock, [&] { return !blockStop || m_released; });
  }
  ++stops;
  return S_OK;
}

HRESULT FakeAudioClient::SetEventHandle(HANDLE event) {
  m_event = event;
  return setEventHandleResult;
}

HRESULT FakeAudioClient::GetService(REFIID iid, void** out) {
  *out = nullptr;
  if (FAILED(getServiceResult)) {
    return getServiceResult;
  }
  if (!IsEqualIID(iid, __uuidof(IAudioCaptureClient))) {
    return E_NOINTERFACE;
  }
  capture.AddRef();
  *out = static_cast<IAudioCaptureClient*>(&capture);
  return S_OK;
}

ULONG FakeAudioClient::Release() {
  JournalNote("Release audio client");
  return FakeUnknown::Release();
}

HRESULT FakeAudioClient::SetClientProperties(const AudioClientProperties* props) {
  properties = *props;
  return setClientPropertiesResult;
}

void FakeAudioClient::ReleaseStop() {
  std::lock_guard<std::mutex> lock(m_stopMutex);
  m_released = true;
  m_stopReleased.notify_all();
}

bool FakeAudioClient::WaitForStarts(int count) {
  std::unique_lock<std::mutex> lock(m_stopMutex);
  return m_stopReleased.wait_for(lock, std::chrono::seconds(10), [&] { return starts >= count; });
}
