// A fake audio client and its capture service. The test chooses the mix format and which call
// fails, then delivers packets: each one is queued and the client's event is signalled, as an
// endpoint does once per period. Calls are noted in the call journal.
#pragma once

#include <windows.h>
// windows.h first: the headers below rely on its types.
#include <audioclient.h>
#include <mmreg.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "tests/fakes/win/FakeUnknown.h"

class FakeCaptureClient : public FakeUnknown<IAudioCaptureClient> {
 public:
  // Test thread. Queues one packet; a failing result makes that GetBuffer fail instead.
  void Queue(std::vector<BYTE> data, UINT32 frames, HRESULT result = S_OK);
  // Test thread. Waits until count GetBuffer calls (failed ones included) have been answered
  // and every packet handed out has been released; false after 10 s.
  bool WaitForGetBuffers(int count);
  int ReleaseMismatches() const;  // ReleaseBuffer without a held packet or with other frames

  HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags,
                                      UINT64* devicePosition, UINT64* qpcPosition) override;
  HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override;
  HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32*) override { return E_NOTIMPL; }
  ULONG STDMETHODCALLTYPE Release() override;

 private:
  struct Packet {
    std::vector<BYTE> data;
    UINT32 frames;
    HRESULT result;
  };
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::deque<Packet> m_packets;
  Packet m_held{};
  bool m_holding = false;
  int m_getBuffers = 0;
  int m_releaseMismatches = 0;
};

class FakeAudioClient : public FakeUnknown<IAudioClient2> {
 public:
  FakeAudioClient();  // mono 48000 Hz 32-bit float, extensible, as a shared-mode endpoint gives

  // Test thread, before use. The mix format handed out by GetMixFormat.
  void SetMixFormat(WORD tag, WORD channels, DWORD rate, WORD bits, const GUID& subFormat);
  // Test thread. Queues a packet and signals the event set by SetEventHandle.
  void Deliver(std::vector<BYTE> data, UINT32 frames, HRESULT result = S_OK);
  // Mono or interleaved samples of the given type as packet bytes.
  template <typename Sample>
  static std::vector<BYTE> Bytes(const std::vector<Sample>& samples) {
    const BYTE* first = reinterpret_cast<const BYTE*>(samples.data());
    return std::vector<BYTE>(first, first + samples.size() * sizeof(Sample));
  }

  FakeCaptureClient capture;
  HRESULT setClientPropertiesResult = S_OK;
  HRESULT getMixFormatResult = S_OK;
  HRESULT initializeResult = S_OK;
  HRESULT setEventHandleResult = S_OK;
  HRESULT getServiceResult = S_OK;
  HRESULT startResult = S_OK;

  // What the code asked for, checked after the capture thread has ended or reported.
  AudioClientProperties properties{};
  AUDCLNT_SHAREMODE shareMode = AUDCLNT_SHAREMODE_EXCLUSIVE;
  DWORD streamFlags = 0;
  REFERENCE_TIME bufferDuration = 0;
  REFERENCE_TIME periodicity = -1;
  bool initializedWithMixFormat = false;
  bool sessionGuidGiven = true;
  std::atomic<int> starts{0};  // successful ones
  std::atomic<int> stops{0};
  bool blockStop = false;  // Stop waits until ReleaseStop()
  // Test thread. Lets a blocked Stop go on.
  void ReleaseStop();
  // Test thread. Waits until count successful Starts have been made (10 s at most).
  bool WaitForStarts(int count);

  HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE mode, DWORD flags, REFERENCE_TIME duration,
                                       REFERENCE_TIME period, const WAVEFORMATEX* format,
                                       LPCGUID session) override;
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
  HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override;
  HRESULT STDMETHODCALLTYPE GetService(REFIID iid, void** out) override;
  HRESULT STDMETHODCALLTYPE IsOffloadCapable(AUDIO_STREAM_CATEGORY, WINBOOL*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetClientProperties(const AudioClientProperties* props) override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetBufferSizeLimits(const WAVEFORMATEX*, WINBOOL, REFERENCE_TIME*,
                                                REFERENCE_TIME*) override {
    return E_NOTIMPL;
  }

 private:
  WAVEFORMATEXTENSIBLE m_mixFormat{};
  const WAVEFORMATEX* m_handedFormat = nullptr;
  std::atomic<HANDLE> m_event{nullptr};
  std::mutex m_stopMutex;
  std::condition_variable m_stopReleased;
  bool m_released = false;
};
