// A fake audio client and its capture service. The test chooses the mix format and which call
// fails, then delivers packets: each one is queued and the client's event is signalled, as an
// endpoint does once per period.
#pragma once

#include <windows.h>
// windows.h first: the headers below rely on its types.
#include <audioclient.h>
#include <mmreg.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "tests/fakes/win/FakeUnknown.h"

class FakeCaptureClient : public FakeUnknown<IAudioCaptureClient> {
 public:
  // Test thread. Waits until count GetBuffer calls (failed ones included) have been answered
  // and every packet handed out has been released; false after 10 s.
  bool WaitForGetBuffers(int count) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::seconds(10),
                              [&] { return m_getBuffers >= count && !m_holding; });
  }
  std::atomic<int> releaseMismatches{0};  // ReleaseBuffer without a packet or with other frames

  HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64*,
                                      UINT64*) override {
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
  HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    releaseMismatches += !m_holding || frames != m_held.frames ? 1 : 0;
    m_holding = false;
    m_changed.notify_all();
    return S_OK;
  }
  HOV_FAKE_UNCALLED(GetNextPacketSize, UINT32*);

 private:
  friend class FakeAudioClient;
  struct Packet {
    std::vector<BYTE> data;
    UINT32 frames;
    HRESULT result;
  };
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::deque<Packet> m_packets;
  Packet m_held{};
  bool m_holding = false;
  int m_getBuffers = 0;
};

class FakeAudioClient : public FakeUnknown<IAudioClient2> {
 public:
  FakeAudioClient() { SetMixFormat(WAVE_FORMAT_EXTENSIBLE, 1, 48000, 32, kFloat); }

  // Test thread, before use. The mix format handed out by GetMixFormat.
  void SetMixFormat(WORD tag, WORD channels, DWORD rate, WORD bits, const GUID& subFormat) {
    m_mixFormat = WAVEFORMATEXTENSIBLE{};
    WORD align = static_cast<WORD>(channels * bits / 8);
    m_mixFormat.Format = {tag, channels, rate, rate * align, align, bits, 0};
    if (tag == WAVE_FORMAT_EXTENSIBLE) {
      m_mixFormat.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
      m_mixFormat.Samples.wValidBitsPerSample = bits;
      m_mixFormat.SubFormat = subFormat;
    }
  }
  // Test thread. Queues a packet (a failing result makes that GetBuffer fail instead) and
  // signals the event set by SetEventHandle.
  void Deliver(std::vector<BYTE> data, UINT32 frames, HRESULT result = S_OK) {
    {
      std::lock_guard<std::mutex> lock(capture.m_mutex);
      capture.m_packets.push_back(FakeCaptureClient::Packet{std::move(data), frames, result});
    }
    SetEvent(m_event);
  }
  // Mono or interleaved samples of the given type as packet bytes.
  template <typename Sample>
  static std::vector<BYTE> Bytes(const std::vector<Sample>& samples) {
    const BYTE* first = reinterpret_cast<const BYTE*>(samples.data());
    return std::vector<BYTE>(first, first + samples.size() * sizeof(Sample));
  }
  // Test thread. Lets a blocked Stop go on.
  void ReleaseStop() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_released = true;
    m_changed.notify_all();
  }
  // Test thread. Waits until count successful Starts have been made (10 s at most).
  bool WaitForStarts(int count) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return starts >= count; });
  }

  static constexpr GUID kFloat = {
      0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
  FakeCaptureClient capture;
  HRESULT setClientPropertiesResult = S_OK;
  HRESULT getMixFormatResult = S_OK;
  HRESULT initializeResult = S_OK;
  HRESULT setEventHandleResult = S_OK;
  HRESULT getServiceResult = S_OK;
  HRESULT startResult = S_OK;
  bool blockStop = false;      // Stop waits until ReleaseStop()
  std::atomic<int> starts{0};  // successful ones
  std::atomic<int> stops{0};

  HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE, DWORD, REFERENCE_TIME, REFERENCE_TIME,
                                       const WAVEFORMATEX*, LPCGUID) override {
    return initializeResult;
  }
  HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** format) override {
    *format = nullptr;
    if (FAILED(getMixFormatResult)) {
      return getMixFormatResult;
    }
    size_t bytes = sizeof(WAVEFORMATEX) + m_mixFormat.Format.cbSize;
    *format = static_cast<WAVEFORMATEX*>(AllocateTracked(bytes));
    std::memcpy(*format, &m_mixFormat, bytes);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Start() override {
    std::lock_guard<std::mutex> lock(m_mutex);
    starts += SUCCEEDED(startResult) ? 1 : 0;
    m_changed.notify_all();
    return startResult;
  }
  HRESULT STDMETHODCALLTYPE Stop() override {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [&] { return !blockStop || m_released; });
    ++stops;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override {
    m_event = event;
    return setEventHandleResult;
  }
  HRESULT STDMETHODCALLTYPE GetService(REFIID, void** out) override {
    return Hand<IAudioCaptureClient>(getServiceResult, &capture, out);
  }
  HRESULT STDMETHODCALLTYPE SetClientProperties(const AudioClientProperties*) override {
    return setClientPropertiesResult;
  }
  HOV_FAKE_UNCALLED(GetBufferSize, UINT32*);
  HOV_FAKE_UNCALLED(GetStreamLatency, REFERENCE_TIME*);
  HOV_FAKE_UNCALLED(GetCurrentPadding, UINT32*);
  HOV_FAKE_UNCALLED(IsFormatSupported, AUDCLNT_SHAREMODE, const WAVEFORMATEX*, WAVEFORMATEX**);
  HOV_FAKE_UNCALLED(GetDevicePeriod, REFERENCE_TIME*, REFERENCE_TIME*);
  HOV_FAKE_UNCALLED(Reset, void);
  HOV_FAKE_UNCALLED(IsOffloadCapable, AUDIO_STREAM_CATEGORY, WINBOOL*);
  HOV_FAKE_UNCALLED(GetBufferSizeLimits, const WAVEFORMATEX*, WINBOOL, REFERENCE_TIME*,
                    REFERENCE_TIME*);

 private:
  WAVEFORMATEXTENSIBLE m_mixFormat{};
  std::atomic<HANDLE> m_event{nullptr};
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_released = false;
};
