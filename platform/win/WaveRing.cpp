#include "platform/win/WaveRing.h"

#include <windows.h>
// windows.h first: mmsystem.h relies on its types.
#include <mmsystem.h>

#include <mutex>
#include <thread>

#include "platform/win/LossCounter.h"
#include "platform/win/MonoPcmFormat.h"
#include "platform/win/RunWithin.h"
#include "platform/win/WinApi.h"
#include "runtime/HovLog.h"

struct WaveRing::State {
  State(Direction d, int32_t count, int32_t samples)
      : direction(d),
        bufferCount(count),
        bufferSamples(samples),
        data(new int16_t[static_cast<size_t>(count) * samples]()),
        headers(new WAVEHDR[count]()),
        doneEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
        stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~State() {
    CloseHandle(doneEvent);
    CloseHandle(stopEvent);
  }

  const Direction direction;
  const int32_t bufferCount;
  const int32_t bufferSamples;
  const std::unique_ptr<int16_t[]> data;
  const std::unique_ptr<WAVEHDR[]> headers;
  const HANDLE doneEvent;  // auto reset: the device returned a buffer
  const HANDLE stopEvent;  // manual reset: Close asks the pump thread to end
  void* device = nullptr;  // HWAVEOUT or HWAVEIN; the pump thread's once it runs
  int32_t next = 0;        // the ring position that comes back next
  std::thread pump;
  std::mutex mutex;  // guards running and each Transfer
  bool running = false;
  Client* client = nullptr;
  LossCounter losses;
};

namespace {

using State = WaveRing::State;

void CALLBACK OutProc(HWAVEOUT, UINT message, DWORD_PTR instance, DWORD_PTR, DWORD_PTR) {
  // Only a signal: the system allows little else inside its callback.
  if (message == WOM_DONE) {
    SetEvent(reinterpret_cast<State*>(instance)->doneEvent);
  }
}

void CALLBACK InProc(HWAVEIN, UINT message, DWORD_PTR instance, DWORD_PTR, DWORD_PTR) {
  if (message == WIM_DATA) {
    SetEvent(reinterpret_cast<State*>(instance)->doneEvent);
  }
}

bool IsOut(const State& s) {
  return s.direction == WaveRing::Direction::kOut;
}

MMRESULT Queue(State& s, WAVEHDR& header) {
  const WinApi& api = WinFunctions();
  return IsOut(s) ? api.waveOutWrite(static_cast<HWAVEOUT>(s.device), &header, sizeof(WAVEHDR))
                  : api.waveInAddBuffer(static_cast<HWAVEIN>(s.device), &header, sizeof(WAVEHDR));
}

// Moves one buffer's samples to or from the client, unless Close has begun.
void Transfer(State& s, WAVEHDR& header) {
  auto* samples = reinterpret_cast<int16_t*>(header.lpData);
  std::lock_guard<std::mutex> lock(s.mutex);
  if (IsOut(s)) {
    int32_t count = s.running ? s.client->Transfer(samples, s.bufferSamples) : 0;
    for (int32_t i = count < 0 ? 0 : count; i < s.bufferSamples; ++i) {
      samples[i] = 0;
    }
  } else if (s.running && header.dwBytesRecorded != 0) {
    s.client->Transfer(samples, static_cast<int32_t>(header.dwBytesRecorded / 2));
  }
}

// Resets and closes the device, releasing every buffer.
void StopDevice(State& s) {
  const WinApi& api = WinFunctions();
  if (IsOut(s)) {
    auto device = static_cast<HWAVEOUT>(s.device);
    api.waveOutReset(device);
    for (int32_t i = 0; i < s.bufferCount; ++i) {
      api.waveOutUnprepareHeader(device, &s.headers[i], sizeof(WAVEHDR));
    }
    api.waveOutClose(device);
  } else {
    auto device = static_cast<HWAVEIN>(s.device);
    api.waveInReset(device);
    for (int32_t i = 0; i < s.bufferCount; ++i) {
      api.waveInUnprepareHeader(device, &s.headers[i], sizeof(WAVEHDR));
    }
    api.waveInClose(device);
  }
  s.device = nullptr;
}

// Opens the default device and queues the whole ring; on the first start the client hears of
// it before recording begins. 0 when running, else the failing result with nothing held.
MMRESULT StartDevice(State& s, bool first) {
  const WinApi& api = WinFunctions();
  WAVEFORMATEX format = MonoPcmFormat();
  const auto instance = reinterpret_cast<DWORD_PTR>(&s);
  MMRESULT res;
  if (IsOut(s)) {
    HWAVEOUT device = nullptr;
    res = api.waveOutOpen(&device, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(&OutProc),
                          instance, CALLBACK_FUNCTION | WAVE_ALLOWSYNC);
    s.device = device;
  } else {
    HWAVEIN device = nullptr;
    res = api.waveInOpen(&device, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(&InProc),
                         instance, CALLBACK_FUNCTION);
    s.device = device;
  }
  if (res != MMSYSERR_NOERROR) {
    s.device = nullptr;
    return res;
  }
  for (int32_t i = 0; i < s.bufferCount; ++i) {
    WAVEHDR& header = s.headers[i];
    header = WAVEHDR{};
    header.lpData = reinterpret_cast<LPSTR>(&s.data[static_cast<size_t>(i) * s.bufferSamples]);
    header.dwBufferLength = static_cast<DWORD>(s.bufferSamples) * 2;
    if (IsOut(s)) {
      api.waveOutPrepareHeader(static_cast<HWAVEOUT>(s.device), &header, sizeof(WAVEHDR));
    } else {
      api.waveInPrepareHeader(static_cast<HWAVEIN>(s.device), &header, sizeof(WAVEHDR));
    }
  }
  s.next = 0;
  for (int32_t i = 0; i < s.bufferCount && res == MMSYSERR_NOERROR; ++i) {
    if (IsOut(s)) {
      Transfer(s, s.headers[i]);
    }
    res = Queue(s, s.headers[i]);
  }
  if (res == MMSYSERR_NOERROR && first) {
    s.client->Started();
  }
  if (res == MMSYSERR_NOERROR && !IsOut(s)) {
    res = api.waveInStart(static_cast<HWAVEIN>(s.device));
  }
  if (res != MMSYSERR_NOERROR) {
    StopDevice(s);
  }
  return res;
}

// Pump thread: closes the lost device and opens the default one again; false when Close asked
// to stop or every attempt failed (nothing held then).
bool Reopen(State& s) {
  s.losses.Lost();
  s.client->Noticed();
  if (s.device != nullptr) {
    StopDevice(s);
  }
  for (int32_t attempt = 0; attempt < WaveRing::kReopenAttempts; ++attempt) {
    if (WaitForSingleObject(s.stopEvent, attempt == 0 ? 0 : WaveRing::kRetryMs) == WAIT_OBJECT_0) {
      return false;
    }
    if (StartDevice(s, false) == MMSYSERR_NOERROR) {
      s.losses.Recovered();
      s.client->Noticed();
      return true;
    }
  }
  return false;
}

void Pump(State& s) {
  const HANDLE events[2] = {s.stopEvent, s.doneEvent};
  ULONGLONG lastBack = GetTickCount64();
  for (;;) {
    DWORD waited = WaitForMultipleObjects(2, events, FALSE, WaveRing::kRetryMs);
    if (waited == WAIT_OBJECT_0) {
      return;
    }
    bool lost = waited == WAIT_FAILED;
    // Buffers come back in the order they were queued; at most the whole ring per wake-up.
    for (int32_t n = 0; n < s.bufferCount && !lost; ++n) {
      WAVEHDR& header = s.headers[s.next];
      if ((header.dwFlags & WHDR_DONE) == 0) {
        break;
      }
      Transfer(s, header);
      lost = Queue(s, header) != MMSYSERR_NOERROR;
      s.next = (s.next + 1) % s.bufferCount;
      lastBack = GetTickCount64();
    }
    lost = lost || GetTickCount64() - lastBack > WaveRing::kStallMs;
    if (lost) {
      if (!Reopen(s)) {
        return;
      }
      lastBack = GetTickCount64();
    }
  }
}

}  // namespace

WaveRing::WaveRing(Direction direction, const char* name, int32_t bufferCount,
                   int32_t bufferSamples)
    : m_name(name), m_state(std::make_shared<State>(direction, bufferCount, bufferSamples)) {}

WaveRing::~WaveRing() {
  Close();
}

uint32_t WaveRing::Open(Client* client) {
  State& s = *m_state;
  s.client = client;
  s.running = true;  // nothing can be transferred concurrently before the pump starts
  MMRESULT res = StartDevice(s, true);
  if (res != MMSYSERR_NOERROR) {
    s.running = false;
    return res;
  }
  s.pump = std::thread([&s] { Pump(s); });
  return MMSYSERR_NOERROR;
}

void WaveRing::Close() {
  if (m_state == nullptr) {
    return;
  }
  std::shared_ptr<State> state = std::move(m_state);
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->running = false;
  }
  SetEvent(state->stopEvent);
  if (!state->pump.joinable() && state->device == nullptr) {
    return;  // never opened, or Open failed
  }
  const bool inTime = RunWithin(kStopLimitMs, [state] {
    if (state->pump.joinable()) {
      state->pump.join();
    }
    if (state->device != nullptr) {
      StopDevice(*state);
    }
  });
  if (!inTime) {
    HovLog(3, "%s: the device did not stop within %u ms; it is left to close on its own", m_name,
           static_cast<unsigned>(kStopLimitMs));
  }
  state->losses.Report(m_name);
}

void WaveRing::Report() {
  if (m_state != nullptr) {
    m_state->losses.Report(m_name);
  }
}
