#include "tests/fakes/win/FakeWaveOut.h"

#include <algorithm>
#include <cstdint>

namespace {
HWAVEOUT const kDevice = reinterpret_cast<HWAVEOUT>(static_cast<uintptr_t>(0x5A0));
using WaveOutProc = void(CALLBACK*)(HWAVEOUT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);
}  // namespace

FakeWaveOut* FakeWaveOut::s_current = nullptr;

FakeWaveOut::FakeWaveOut() : m_saved(WaveOutFunctions()) {
  s_current = this;
  WaveOutApi& api = WaveOutFunctions();
  api.open = &FakeWaveOut::Open;
  api.prepareHeader = &FakeWaveOut::Prepare;
  api.write = &FakeWaveOut::Write;
  api.reset = &FakeWaveOut::Reset;
  api.unprepareHeader = &FakeWaveOut::Unprepare;
  api.close = &FakeWaveOut::Close;
}

FakeWaveOut::~FakeWaveOut() {
  WaveOutFunctions() = m_saved;
  s_current = nullptr;
}

void FakeWaveOut::FinishOne() {
  WAVEHDR* header = m_inDevice.front();
  m_inDevice.pop_front();
  Done(header);
}

void FakeWaveOut::Send(UINT message) {
  reinterpret_cast<WaveOutProc>(m_callback)(kDevice, message, openInstance, 0, 0);
}

void FakeWaveOut::Done(WAVEHDR* header) {
  header->dwFlags |= WHDR_DONE;
  reinterpret_cast<WaveOutProc>(m_callback)(kDevice, WOM_DONE, openInstance,
                                            reinterpret_cast<DWORD_PTR>(header), 0);
}

int FakeWaveOut::PositionOf(const WAVEHDR* header) const {
  auto found = std::find(m_prepared.begin(), m_prepared.end(), header);
  return found == m_prepared.end() ? -1 : static_cast<int>(found - m_prepared.begin());
}

MMRESULT FakeWaveOut::Open(LPHWAVEOUT device, UINT id, LPCWAVEFORMATEX format, DWORD_PTR callback,
                           DWORD_PTR instance, DWORD flags) {
  FakeWaveOut& self = *s_current;
  self.openedDevice = id;
  self.openedFormat = *format;
  self.openFlags = flags;
  self.openInstance = instance;
  if (self.openResult != MMSYSERR_NOERROR) {
    return self.openResult;
  }
  *device = kDevice;
  self.m_callback = callback;
  self.Send(WOM_OPEN);
  return MMSYSERR_NOERROR;
}

MMRESULT FakeWaveOut::Prepare(HWAVEOUT, LPWAVEHDR header, UINT) {
  s_current->m_prepared.push_back(header);
  s_current->preparedLengths.push_back(header->dwBufferLength);
  header->dwFlags |= WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT FakeWaveOut::Write(HWAVEOUT, LPWAVEHDR header, UINT) {
  std::deque<WAVEHDR*>& held = s_current->m_inDevice;
  if (std::find(held.begin(), held.end(), header) != held.end()) {
    ++s_current->writesOfHeldHeaders;
  }
  s_current->written.push_back(s_current->PositionOf(header));
  s_current->writtenLengths.push_back(header->dwBufferLength);
  header->dwFlags &= ~static_cast<DWORD>(WHDR_DONE);
  s_current->m_inDevice.push_back(header);
  return MMSYSERR_NOERROR;
}

MMRESULT FakeWaveOut::Reset(HWAVEOUT) {
  s_current->calls.push_back("reset");
  ++s_current->resets;
  while (!s_current->m_inDevice.empty()) {
    s_current->FinishOne();
  }
  return MMSYSERR_NOERROR;
}

MMRESULT FakeWaveOut::Unprepare(HWAVEOUT, LPWAVEHDR header, UINT) {
  s_current->calls.push_back("unprepare");
  s_current->unprepared.push_back(s_current->PositionOf(header));
  header->dwFlags &= ~static_cast<DWORD>(WHDR_PREPARED);
  return MMSYSERR_NOERROR;
}

MMRESULT FakeWaveOut::Close(HWAVEOUT) {
  s_current->calls.push_back("close");
  ++s_current->closes;
  s_current->Send(WOM_CLOSE);
  return MMSYSERR_NOERROR;
}
