// A fake audio client and its capture service. The test chooses the mix format and which call
// fails, then delivers packets: each one is queued and the client's event is signalled, as an
// endpoint does once per period.
#pragma once

#include <windows.h>
// windows.h first: the headers below rely on its types.
#include <audioclient.h>
#include <mmreg.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

#include "tests/fakes/win/FakeUnknown.h"

class FakeCaptureClient : public FakeUnknown<IAudioCaptureClient> {
 public:
  // Test thread. Waits until count GetBuffer calls (failed ones included) have been answered
  // and every packet handed out has been released; false after 10 s.
  bool WaitForGetBuffers(int count);
  std::atomic<int> releaseMismatches{0};  // ReleaseBuffer without a packet or with other frames

  HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64*,
                                      UINT64*) override;
  HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override;
  HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32*) override { return E_NOTIMPL; }

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
  void SetMixFormat(WORD tag, WORD channels, DWORD rate, WORD bits, const GUID& subFormat);
  // Test thread. Queues a packet (a failing result makes that GetBuffer fail instead) and
  // signals the event set by SetEventHandle.
  void Deliver(std::vector<BYTE> data, UINT32 frames, HRESULT result = S_OK);
  // Mono or interleaved samples of the given type as packet bytes.
  template <typename Sample>
  static std::vector<BYTE> Bytes(const std::vector<Sample>& samples) {
    const BYTE* first = reinterpret_cast<const BYTE*>(samples.data());
    return std::vector<BYTE>(first, first + samples.size() * sizeof(Sample));
  }
  // Test thread. Lets a blocked Stop go on.
  void ReleaseStop();
  // Test thread. Waits until count successful Starts have been made (10 s at most).
  bool WaitForStarts(int count);

  static const GUID kFloat;
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
  HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*,
                                              WAVEFORMATEX**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** format) override;
  HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME*, REFERENCE_TIME*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Start() override;
  HRESULT STDMETHODCALLTYPE Stop() override;
  HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override {
    m_event = event;
    return setEventHandleResult;
  }
  HRESULT STDMETHODCALLTYPE GetService(REFIID, void** out) override;
  HRESULT STDMETHODCALLTYPE IsOffloadCapable(AUDIO_STREAM_CATEGORY, WINBOOL*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetClientProperties(const AudioClientProperties*) override {
    return setClientPropertiesResult;
  }
  HRESULT STDMETHODCALLTYPE GetBufferSizeLimits(const WAVEFORMATEX*, WINBOOL, REFERENCE_TIME*,
                                                REFERENCE_TIME*) override {
    return E_NOTIMPL;
  }

 private:
  WAVEFORMATEXTENSIBLE m_mixFormat{};
  std::atomic<HANDLE> m_event{nullptr};
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_released = false;
};
