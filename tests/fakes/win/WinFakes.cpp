#include "tests/fakes/win/WinFakes.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <type_traits>

namespace {
thread_local int64_t t_allocations = 0;
std::atomic<long> g_trackedBlocks{0};  // task memory handed out by fakes and not freed

const auto kDeviceValue = static_cast<uintptr_t>(0x5A0);
using Proc = void(CALLBACK*)(HANDLE, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);
}  // namespace

// Counted in the test programs that link the fakes; the default deletes free these blocks.
void* operator new(std::size_t bytes) {
  ++t_allocations;
  if (void* block = std::malloc(bytes == 0 ? 1 : bytes)) {
    return block;
  }
  throw std::bad_alloc();
}

void* operator new[](std::size_t bytes) {
  return operator new(bytes);
}

int64_t ThreadAllocations() {
  return t_allocations;
}

void* AllocateTracked(size_t bytes) {
  ++g_trackedBlocks;
  return ::CoTaskMemAlloc(bytes);
}

wchar_t* CopyTracked(const std::wstring& text) {
  size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  auto* copy = static_cast<wchar_t*>(AllocateTracked(bytes));
  std::memcpy(copy, text.c_str(), bytes);
  return copy;
}

long TrackedBlocks() {
  return g_trackedBlocks;
}

HRESULT FakeEndpoint::GetValue(REFPROPERTYKEY key, PROPVARIANT* value) {
  PropVariantInit(value);
  auto is = [&](int i) {
    return IsEqualGUID(key.fmtid, kKeys[i].fmtid) && key.pid == kKeys[i].pid;
  };
  if (is(0)) {  // the built-in container id, or another
    value->vt = VT_CLSID;
    value->puuid = static_cast<CLSID*>(AllocateTracked(sizeof(CLSID)));
    *value->puuid = builtIn ? GUID{0, 0, 0, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}
                            : GUID{0x5A3C1E7B, 0x42D1, 0x4C8E, {1, 2, 3, 4, 5, 6, 7, 8}};
  } else if (is(1) || is(2)) {
    value->vt = VT_LPWSTR;
    value->pwszVal = CopyTracked(is(1) ? name : enumerator);
  }
  return S_OK;
}

void FakeAudioClient::SetMixFormat(WORD tag, WORD channels, DWORD rate, WORD bits,
                                   const GUID& subFormat) {
  m_mixFormat = WAVEFORMATEXTENSIBLE{};
  WORD align = static_cast<WORD>(channels * bits / 8);
  m_mixFormat.Format = {tag, channels, rate, rate * align, align, bits, 0};
  if (tag == WAVE_FORMAT_EXTENSIBLE) {
    m_mixFormat.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    m_mixFormat.Samples.wValidBitsPerSample = bits;
    m_mixFormat.SubFormat = subFormat;
  }
}

void FakeAudioClient::Deliver(std::vector<BYTE> data, UINT32 frames, HRESULT result) {
  {
    std::lock_guard<std::mutex> lock(m_changes.mutex);
    m_packets.push_back(Packet{std::move(data), frames, result});
  }
  SetEvent(m_event);
}

void FakeAudioClient::ReleaseStop() {
  std::lock_guard<std::mutex> lock(m_changes.mutex);
  m_stopReleased = true;
  m_changes.changed.notify_all();
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
  std::lock_guard<std::mutex> lock(m_changes.mutex);
  starts += SUCCEEDED(startResult) ? 1 : 0;
  m_changes.changed.notify_all();
  return startResult;
}

HRESULT FakeAudioClient::Stop() {
  m_changes.Until([&] { return !blockStop || m_stopReleased; });
  ++stops;
  return S_OK;
}

HRESULT FakeAudioClient::GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64*, UINT64*) {
  std::lock_guard<std::mutex> lock(m_changes.mutex);
  ++m_getBuffers;
  m_changes.changed.notify_all();
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

HRESULT FakeAudioClient::ReleaseBuffer(UINT32 frames) {
  std::lock_guard<std::mutex> lock(m_changes.mutex);
  releaseMismatches += !m_holding || frames != m_held.frames ? 1 : 0;
  m_holding = false;
  m_changes.changed.notify_all();
  return S_OK;
}

FakeWin* FakeWin::s_current = nullptr;

FakeWin::FakeWin() : m_saved(WinFunctions()) {
  s_current = this;
  WinApi& api = WinFunctions();
  api.coInitializeEx = [](LPVOID, DWORD) {
    s_current->comInits += SUCCEEDED(s_current->coInitializeResult) ? 1 : 0;
    return s_current->coInitializeResult;
  };
  api.coUninitialize = [] { ++s_current->comUninits; };
  api.coCreateInstance = [](REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID* out) {
    return Hand<IMMDeviceEnumerator>(s_current->coCreateResult, &s_current->enumerator, out);
  };
  // Every block the code frees was handed out by a fake: the system's objects are all fakes.
  api.coTaskMemFree = [](LPVOID block) {
    g_trackedBlocks -= block != nullptr ? 1 : 0;
    ::CoTaskMemFree(block);
  };
  api.propVariantClear = [](PROPVARIANT* value) {
    g_trackedBlocks -= value->vt == VT_LPWSTR || value->vt == VT_CLSID ? 1 : 0;
    return ::PropVariantClear(value);
  };
  api.createEventA = [](LPSECURITY_ATTRIBUTES attributes, WINBOOL manual, WINBOOL initial,
                        LPCSTR name) {
    return s_current->failCreateEvent ? nullptr
                                      : Made(::CreateEventA(attributes, manual, initial, name));
  };
  api.createEventExA = [](LPSECURITY_ATTRIBUTES attributes, LPCSTR name, DWORD flags,
                          DWORD access) {
    return s_current->failCreateEventEx ? nullptr
                                        : Made(::CreateEventExA(attributes, name, flags, access));
  };
  api.closeHandle = [](HANDLE handle) {
    WINBOOL closed = ::CloseHandle(handle);
    std::lock_guard<std::mutex> lock(s_current->m_changes.mutex);
    --s_current->m_openEvents;
    s_current->m_changes.changed.notify_all();
    return closed;
  };

  // One body for wave-out and wave-in: each generic lambda becomes both entries.
  auto open = [](auto* device, UINT, LPCWAVEFORMATEX, DWORD_PTR callback, DWORD_PTR instance,
                 DWORD) {
    FakeWin& self = *s_current;
    {
      std::lock_guard<std::mutex> lock(self.m_changes.mutex);
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
    FakeWin& self = *s_current;
    std::lock_guard<std::mutex> lock(self.m_changes.mutex);
    ++self.queued;
    self.m_changes.changed.notify_all();
    if (self.failQueueCall > 0 && --self.failQueueCall == 0) {
      return MMRESULT{MMSYSERR_NODRIVER};
    }
    header->dwFlags &= ~static_cast<DWORD>(WHDR_DONE);
    self.m_held[self.m_heldCount++] = header;
    return MMRESULT{MMSYSERR_NOERROR};
  };
  auto reset = [](auto) {
    FakeWin& self = *s_current;
    self.m_changes.Until([&] { return !self.blockReset || self.m_resetReleased; });
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
    FakeWin& self = *s_current;
    {
      std::lock_guard<std::mutex> lock(self.m_changes.mutex);
      --self.openDevices;
      self.m_changes.changed.notify_all();
    }
    self.Notify(self.m_out ? WOM_CLOSE : WIM_CLOSE, nullptr);
    return MMRESULT{MMSYSERR_NOERROR};
  };
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

FakeWin::~FakeWin() {
  Release();
  WinFunctions() = m_saved;
  s_current = nullptr;
}

HANDLE FakeWin::Made(HANDLE event) {
  std::lock_guard<std::mutex> lock(s_current->m_changes.mutex);
  s_current->m_openEvents += event != nullptr ? 1 : 0;
  return event;
}

bool FakeWin::ReturnOne(const std::vector<int16_t>& samples) {
  WAVEHDR* header;
  {
    std::lock_guard<std::mutex> lock(m_changes.mutex);
    if (m_heldCount == 0) {
      return false;
    }
    header = m_held[0];
    std::copy(m_held + 1, m_held + m_heldCount--, m_held);
    if (m_out) {
      const auto* data = reinterpret_cast<const int16_t*>(header->lpData);
      played.insert(played.end(), data, data + header->dwBufferLength / 2);
    } else {
      size_t bytes = std::min<size_t>(samples.size() * 2, header->dwBufferLength);
      std::memcpy(header->lpData, samples.data(), bytes);
      header->dwBytesRecorded = static_cast<DWORD>(bytes);
    }
    header->dwFlags |= WHDR_DONE;
  }
  Notify(m_out ? WOM_DONE : WIM_DATA, header);
  return true;
}

bool FakeWin::Release() {
  {
    std::lock_guard<std::mutex> lock(m_changes.mutex);
    m_resetReleased = true;
    m_changes.changed.notify_all();
  }
  return m_changes.Until([&] { return openDevices == 0; });
}

void FakeWin::Notify(UINT message, WAVEHDR* header) {
  reinterpret_cast<Proc>(m_callback)(reinterpret_cast<HANDLE>(kDeviceValue), message, m_instance,
                                     reinterpret_cast<DWORD_PTR>(header), 0);
}
