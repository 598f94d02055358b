#include "tests/fakes/win/FakeWaveIn.h"

#include <algorithm>
#include <cstring>

#include "tests/fakes/win/CallJournal.h"

namespace {
HWAVEIN const kDevice = reinterpret_cast<HWAVEIN>(static_cast<uintptr_t>(0x5A1));
using WaveInProc = void(CALLBACK*)(HWAVEIN, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);
}  // namespace

FakeWaveIn* FakeWaveIn::s_current = nullptr;

FakeWaveIn::FakeWaveIn() : m_saved(CaptureFunctions()) {
  s_current = this;
  CaptureApi& api = CaptureFunctions();
  api.waveInOpen = &FakeWaveIn::Open;
  api.waveInPrepareHeader = &FakeWaveIn::Prepare;
  api.waveInAddBuffer = &FakeWaveIn::AddBuffer;
  api.waveInStart = &FakeWaveIn::Start;
  api.waveInReset = &FakeWaveIn::Reset;
  api.waveInUnprepareHeader = &FakeWaveIn::Unprepare;
  api.waveInClose = &FakeWaveIn::Close;
}

FakeWaveIn::~FakeWaveIn() {
  CaptureFunctions() = m_saved;
  s_current = nullptr;
}

void FakeWaveIn::Complete(const std::vector<int16_t>& samples) {
  WAVEHDR* header = m_inDevice.front();
  m_inDevice.pop_front();
  std::memcpy(header->lpData, samples.data(), samples.size() * sizeof(int16_t));
  header->dwBytesRecorded = static_cast<DWORD>(samples.size() * sizeof(int16_t));
  header->dwFlags |= WHDR_DONE;
  Send(WIM_DATA, reinterpret_cast<DWORD_PTR>(header));
}

void FakeWaveIn::Send(UINT message, DWORD_PTR param1) {
  reinterpret_cast<WaveInProc>(m_callback)(kDevice, message, m_instance, param1, 0);
}

int FakeWaveIn::PositionOf(const WAVEHDR* header) const {
  auto found = std::find(m_prepared.begin(), m_prepared.end(), header);
  return found == m_prepared.end() ? -1 : static_cast<int>(found - m_prepared.begin());
}

MMRESULT FakeWaveIn::Open(LPHWAVEIN device, UINT id, LPCWAVEFORMATEX format, DWORD_PTR callback,
                          DWORD_PTR instance, DWORD flags) {
  FakeWaveIn& self = *s_current;
  self.openedDevice = id;
  self.openedFormat = *format;
  self.openFlags = flags;
  if (self.openResult != MMSYSERR_NOERROR) {
    return self.openResult;
  }
  *device = kDevice;
  self.m_callback = callback;
  self.m_instance = instance;
  self.Send(WIM_OPEN, 0);
  return MMSYSERR_NOERROR;
}

MMRESULT FakeWaveIn::Prepare(HWAVEIN, LPWAVEHDR header, UINT size) {
  s_current->m_prepared.push_back(header);
  s_current->headerSizes.push_back(size);
  s_current->bufferLengths.push_back(header->dwBufferLength);
  header->dwFlags |= WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT FakeWaveIn::AddBuffer(HWAVEIN, LPWAVEHDR header, UINT) {
  s_current->queued.push_back(s_current->PositionOf(header));
  header->dwBytesRecorded = 0;
  header->dwFlags &= ~static_cast<DWORD>(WHDR_DONE);
  s_current->m_inDevice.push_back(header);
  return MMSYSERR_NOERROR;
}

MMRESULT FakeWaveIn::Start(HWAVEIN) {
  JournalNote("waveInStart");
  ++s_current->starts;
  return MMSYSERR_NOERROR;
}

MMRESULT FakeWaveIn::Reset(HWAVEIN) {
  JournalNote("waveInReset");
  // Returned buffers carry what they had recorded so far: here, a full buffer of silence.
  while (!s_current->m_inDevice.empty()) {
    WAVEHDR* header = s_current->m_inDevice.front();
    s_current->m_inDevice.pop_front();
    header->dwBytesRecorded = header->dwBufferLength;
    header->dwFlags |= WHDR_DONE;
    s_current->Send(WIM_DATA, reinterpret_cast<DWORD_PTR>(header));
  }
  return MMSYSERR_NOERROR;
}

MMRESULT FakeWaveIn::Unprepare(HWAVEIN, LPWAVEHDR header, UINT) {
  s_current->unprepared.push_back(s_current->PositionOf(header));
  header->dwFlags &= ~static_cast<DWORD>(WHDR_PREPARED);
  return MMSYSERR_NOERROR;
}

MMRESULT FakeWaveIn::Close(HWAVEIN) {
  JournalNote("waveInClose");
  ++s_current->closes;
  s_current->Send(WIM_CLOSE, 0);
  return MMSYSERR_NOERROR;
}
