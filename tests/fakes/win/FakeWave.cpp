#include "tests/fakes/win/FakeWave.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <type_traits>

namespace {
const auto kDeviceValue = static_cast<uintptr_t>(0x5A0);
using Proc = void(CALLBACK*)(HANDLE, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);
}  // namespace

FakeWave* FakeWave::s_current = nullptr;

FakeWave::FakeWave() : m_saved(WinFunctions()) {
  s_current = this;
  // One body for wave-out and wave-in: each generic lambda becomes both entries.
  auto open = [](auto* device, UINT, LPCWAVEFORMATEX, DWORD_PTR callback, DWORD_PTR instance,
                 DWORD) {
    FakeWave& self = *s_current;
    {
      std::lock_guard<std::mutex> lock(self.m_mutex);
      self.m_out = std::is_same<decltype(device), HWAVEOUT*>::value;
      if (self.openResult != MMSYSERR_NOERROR) {
        return self.openResult;
      }
      ++self.opens;
      ++self.openDevices;
      self.m_callback = callback;
      self.m_instance = instance;
      *device = reinterpret_cast<std::remove_pointer_t<decltype(device)>>(kDeviceValue);
    }
    self.Notify(self.m_out ? WOM_OPEN : WIM_OPEN, nullptr);
    return MMRESULT{MMSYSERR_NOERROR};
  };
  auto prepare = [](auto, LPWAVEHDR header, UINT) {
    ++s_current->prepared;
    header->dwFlags |= WHDR_PREPARED;
    return MMRESULT{MMSYSERR_NOERROR};
  };
  auto queue = [](auto, LPWAVEHDR header, UINT) {
    FakeWave& self = *s_current;
    std::lock_guard<std::mutex> lock(self.m_mutex);
    ++self.queued;
    self.m_changed.notify_all();
    if (self.failQueueCall > 0 && --self.failQueueCall == 0) {
      return MMRESULT{MMSYSERR_NODRIVER};
    }
    header->dwFlags &= ~static_cast<DWORD>(WHDR_DONE);
    self.m_held[self.m_heldCount++] = header;
    return MMRESULT{MMSYSERR_NOERROR};
  };
  auto reset = [](auto) {
    FakeWave& self = *s_current;
    {
      std::unique_lock<std::mutex> lock(self.m_mutex);
      self.m_changed.wait(lock, [&] { return !self.blockReset || self.m_resetReleased; });
    }
    // Every held buffer comes back, as the system returns them before the reset does.
    while (self.ReturnOne()) {
    }
    return MMRESULT{MMSYSERR_NOERROR};
  };
  auto unprepare = [](auto, LPWAVEHDR header, UINT) {
    if ((header->dwFlags & WHDR_PREPARED) != 0) {
      --s_current->prepared;
      header->dwFlags &= ~static_cast<DWORD>(WHDR_PREPARED);
    }
    return MMRESULT{MMSYSERR_NOERROR};
  };
  auto close = [](auto) {
    FakeWave& self = *s_current;
    {
      std::lock_guard<std::mutex> lock(self.m_mutex);
      --self.openDevices;
      self.m_changed.notify_all();
    }
    self.Notify(self.m_out ? WOM_CLOSE : WIM_CLOSE, nullptr);
    return MMRESULT{MMSYSERR_NOERROR};
  };
  WinApi& api = WinFunctions();
  api.waveOutOpen = open;
  api.waveOutPrepareHeader = prepare;
  api.waveOutWrite = queue;
  api.waveOutReset = reset;
  api.waveOutUnprepareHeader = unprepare;
  api.waveOutClose = close;
  api.waveInOpen = open;
  api.waveInPrepareHeader = prepare;
  api.waveInAddBuffer = queue;
  api.waveInStart = [](HWAVEIN) { return MMRESULT{MMSYSERR_NOERROR}; };
  api.waveInReset = reset;
  api.waveInUnprepareHeader = unprepare;
  api.waveInClose = close;
}

FakeWave::~FakeWave() {
  Release();
  WinApi& api = WinFunctions();
  api = m_saved;
  s_current = nullptr;
}

bool FakeWave::ReturnOne(const std::vector<int16_t>& samples) {
  WAVEHDR* header;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_heldCount == 0) {
      return false;
    }
    header = m_held[0];
    std::copy(m_held + 1, m_held + m_heldCount, m_held);
    --m_heldCount;
    if (!m_out) {
      size_t bytes = std::min<size_t>(samples.size() * 2, header->dwBufferLength);
      std::memcpy(header->lpData, samples.data(), bytes);
      header->dwBytesRecorded = static_cast<DWORD>(bytes);
    }
    header->dwFlags |= WHDR_DONE;
  }
  Notify(m_out ? WOM_DONE : WIM_DATA, header);
  return true;
}

bool FakeWave::WaitForQueued(int count) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return queued >= count; });
}

bool FakeWave::Release() {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_resetReleased = true;
  m_changed.notify_all();
  return m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return openDevices == 0; });
}

std::vector<int16_t> FakeWave::Held(size_t index) {
  std::lock_guard<std::mutex> lock(m_mutex);
  const auto* data = reinterpret_cast<const int16_t*>(m_held[index]->lpData);
  return std::vector<int16_t>(data, data + m_held[index]->dwBufferLength / 2);
}

void FakeWave::Notify(UINT message, WAVEHDR* header) {
  reinterpret_cast<Proc>(m_callback)(reinterpret_cast<HANDLE>(kDeviceValue), message, m_instance,
                                     reinterpret_cast<DWORD_PTR>(header), 0);
}
