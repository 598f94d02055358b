// Fakes for the Windows backends: the Core Audio objects a capture thread meets (enumerator and
// endpoint collection, endpoints with their property stores, an audio client with its capture
// service), and FakeWin behind the function table (COM, task memory, events, a wave-out and
// wave-in device). A test chooses which call fails; the fakes count what the code under test
// acquires so that WinRig can check that all of it came back.
#pragma once

#include <windows.h>
// windows.h first: the headers below rely on its types.
#include <audioclient.h>
#include <gtest/gtest.h>
#include <mmdeviceapi.h>
#include <mmsystem.h>
#include <propsys.h>

#include <atomic>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "capture/AudioInput.h"
#include "platform/win/WinApi.h"
#include "send/AudioOutput.h"
#include "tests/fakes/Host.h"

// Any thread. Task memory that fakes hand out, counted so that a test can check it was freed.
void* AllocateTracked(size_t bytes);
wchar_t* CopyTracked(const std::wstring& text);
long TrackedBlocks();  // handed out and not freed (negative after a free too many)
// Any thread. Allocations made so far by the calling thread (operator new, counted).
int64_t ThreadAllocations();

// Any thread. Mono or interleaved samples of the given type as packet bytes.
template <typename Sample>
std::vector<BYTE> Bytes(const std::vector<Sample>& samples) {
  const BYTE* first = reinterpret_cast<const BYTE*>(samples.data());
  return std::vector<BYTE>(first, first + samples.size() * sizeof(Sample));
}

// One COM object for the interfaces listed. The test owns it; the count says how many
// references the code under test holds, so it must be back at 0 once the code is done.
template <typename... Interfaces>
class FakeUnknown : public Interfaces... {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++m_references); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--m_references); }
  LONG References() const { return m_references; }  // any thread

 private:
  std::atomic<LONG> m_references{0};
};

// Hands object out through out, with a reference, when result is a success; null otherwise.
template <typename Interface, typename Out>
HRESULT Hand(HRESULT result, Interface* object, Out** out) {
  *out = SUCCEEDED(result) ? object : nullptr;
  if (*out != nullptr) {
    object->AddRef();
  }
  return result;
}

// A method that answers result, and one that the code under test never calls.
#define HOV_FAKE_RESULT(method, result, ...)               \
  HRESULT STDMETHODCALLTYPE method(__VA_ARGS__) override { \
    return result;                                         \
  }
#define HOV_FAKE_UNCALLED(method, ...) HOV_FAKE_RESULT(method, E_NOTIMPL, __VA_ARGS__)

// An endpoint and its property store: the container id (built in or not), the friendly name and
// the enumerator name.
class FakeEndpoint : public FakeUnknown<IMMDevice, IPropertyStore> {
 public:
  FakeEndpoint(const std::wstring& name, const std::wstring& enumerator, bool builtIn)
      : name(name), enumerator(enumerator), builtIn(builtIn) {}

  std::wstring name, enumerator;
  bool builtIn;
  IAudioClient2* client = nullptr;  // what Activate hands out
  HRESULT getIdResult = S_OK, openStoreResult = S_OK, activateResult = S_OK;

  HRESULT STDMETHODCALLTYPE Activate(REFIID, DWORD, PROPVARIANT*, void** out) override {
    return Hand(activateResult, client, out);
  }
  HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD, IPropertyStore** out) override {
    return Hand<IPropertyStore>(openStoreResult, this, out);
  }
  HRESULT STDMETHODCALLTYPE GetId(LPWSTR* id) override {
    *id = FAILED(getIdResult) ? nullptr : CopyTracked(L"{0.0.1.00000000}." + name);
    return getIdResult;
  }
  HRESULT STDMETHODCALLTYPE GetCount(DWORD* count) override {
    *count = 3;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetAt(DWORD index, PROPERTYKEY* key) override {
    return index < 3 ? (*key = kKeys[index], S_OK) : E_INVALIDARG;
  }
  HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY key, PROPVARIANT* value) override;
  HOV_FAKE_UNCALLED(GetState, DWORD*);
  HOV_FAKE_UNCALLED(SetValue, REFPROPERTYKEY, REFPROPVARIANT);
  HOV_FAKE_UNCALLED(Commit, void);

  // Container id, friendly name, enumerator name.
  static constexpr PROPERTYKEY kKeys[] = {
      {{0x8C7ED206, 0x3F8A, 0x4827, {0xB3, 0xAB, 0xAE, 0x9E, 0x1F, 0xAE, 0xFC, 0x6C}}, 2},
      {{0xA45C254E, 0xDF1C, 0x4EFD, {0x80, 0x20, 0x67, 0xD1, 0x46, 0xA8, 0x50, 0xE0}}, 14},
      {{0xA45C254E, 0xDF1C, 0x4EFD, {0x80, 0x20, 0x67, 0xD1, 0x46, 0xA8, 0x50, 0xE0}}, 24}};
};

// The enumerator and the collection of capture endpoints it lists.
class FakeEnumerator : public FakeUnknown<IMMDeviceEnumerator, IMMDeviceCollection> {
 public:
  std::vector<FakeEndpoint*> endpoints;
  UINT failItem = ~0u;  // Item(failItem) fails with E_FAIL
  HRESULT enumResult = S_OK;
  FakeEndpoint* defaultEndpoint = nullptr;  // null: GetDefaultAudioEndpoint fails

  HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow, DWORD,
                                               IMMDeviceCollection** devices) override {
    return Hand<IMMDeviceCollection>(enumResult, this, devices);
  }
  HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow, ERole, IMMDevice** out) override {
    return Hand<IMMDevice>(defaultEndpoint ? S_OK : E_NOTFOUND, defaultEndpoint, out);
  }
  HRESULT STDMETHODCALLTYPE GetCount(UINT* count) override {
    *count = static_cast<UINT>(endpoints.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Item(UINT index, IMMDevice** device) override {
    bool fails = index == failItem || index >= endpoints.size();
    return Hand<IMMDevice>(fails ? E_FAIL : S_OK, fails ? nullptr : endpoints[index], device);
  }
  HOV_FAKE_UNCALLED(GetDevice, LPCWSTR, IMMDevice**);
  HOV_FAKE_UNCALLED(RegisterEndpointNotificationCallback, IMMNotificationClient*);
  HOV_FAKE_UNCALLED(UnregisterEndpointNotificationCallback, IMMNotificationClient*);
};

// An audio client and its capture service. The test chooses the mix format and which call
// fails, then delivers packets: each one is queued and the client's event is signalled, as an
// endpoint does once per period.
class FakeAudioClient : public FakeUnknown<IAudioClient2, IAudioCaptureClient> {
 public:
  FakeAudioClient() { SetMixFormat(WAVE_FORMAT_EXTENSIBLE, 1, 48000, 32, kFloat); }

  // Test thread, before use. The mix format handed out by GetMixFormat.
  void SetMixFormat(WORD tag, WORD channels, DWORD rate, WORD bits, const GUID& subFormat);
  // Test thread. Queues a packet (a failing result makes that GetBuffer fail instead) and
  // signals the event set by SetEventHandle.
  void Deliver(std::vector<BYTE> data, UINT32 frames, HRESULT result = S_OK);
  // Test thread. Waits until count GetBuffer calls (failed ones included) have been answered
  // and every packet handed out has been released; false after 10 s.
  bool WaitForGetBuffers(int count) {
    return m_changes.Until([&] { return m_getBuffers >= count && !m_holding; });
  }
  // Test thread. Waits until count successful Starts have been made; lets a blocked Stop go on.
  bool WaitForStarts(int count) {
    return m_changes.Until([&] { return starts >= count; });
  }
  void ReleaseStop();

  static constexpr GUID kFloat = {
      0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
  HRESULT setClientPropertiesResult = S_OK, getMixFormatResult = S_OK, initializeResult = S_OK,
          setEventHandleResult = S_OK, getServiceResult = S_OK, startResult = S_OK;
  bool blockStop = false;                 // Stop waits until ReleaseStop()
  std::atomic<int> starts{0}, stops{0};   // successful Starts; Stops
  std::atomic<int> releaseMismatches{0};  // ReleaseBuffer without a packet or with other frames

  HOV_FAKE_RESULT(Initialize, initializeResult, AUDCLNT_SHAREMODE, DWORD, REFERENCE_TIME,
                  REFERENCE_TIME, const WAVEFORMATEX*, LPCGUID);
  HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** format) override;
  HRESULT STDMETHODCALLTYPE Start() override;
  HRESULT STDMETHODCALLTYPE Stop() override;
  HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override {
    m_event = event;
    return setEventHandleResult;
  }
  HRESULT STDMETHODCALLTYPE GetService(REFIID, void** out) override {
    return Hand<IAudioCaptureClient>(getServiceResult, this, out);
  }
  HOV_FAKE_RESULT(SetClientProperties, setClientPropertiesResult, const AudioClientProperties*);
  HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64*,
                                      UINT64*) override;
  HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override;
  HOV_FAKE_UNCALLED(GetBufferSize, UINT32*);
  HOV_FAKE_UNCALLED(GetStreamLatency, REFERENCE_TIME*);
  HOV_FAKE_UNCALLED(GetCurrentPadding, UINT32*);
  HOV_FAKE_UNCALLED(IsFormatSupported, AUDCLNT_SHAREMODE, const WAVEFORMATEX*, WAVEFORMATEX**);
  HOV_FAKE_UNCALLED(GetDevicePeriod, REFERENCE_TIME*, REFERENCE_TIME*);
  HOV_FAKE_UNCALLED(Reset, void);
  HOV_FAKE_UNCALLED(IsOffloadCapable, AUDIO_STREAM_CATEGORY, WINBOOL*);
  HOV_FAKE_UNCALLED(GetBufferSizeLimits, const WAVEFORMATEX*, WINBOOL, REFERENCE_TIME*,
                    REFERENCE_TIME*);
  HOV_FAKE_UNCALLED(GetNextPacketSize, UINT32*);

 private:
  struct Packet {
    std::vector<BYTE> data;
    UINT32 frames;
    HRESULT result;
  };
  WAVEFORMATEXTENSIBLE m_mixFormat{};
  std::atomic<HANDLE> m_event{nullptr};
  Changes m_changes;
  std::deque<Packet> m_packets;
  Packet m_held{};
  bool m_holding = false;
  int m_getBuffers = 0;
  bool m_stopReleased = false;
};

// Puts fakes behind the function table for its lifetime: CoCreateInstance hands out the fake
// enumerator, task memory and events are counted, and the wave entries reach one fake device
// that holds queued buffers in order. The test returns them one by one through the device's
// callback (on the test thread, as the system does on a thread of its own); a reset returns
// every held buffer.
class FakeWin {
 public:
  FakeWin();   // test thread; one at a time
  ~FakeWin();  // test thread; lets a blocked reset go on, then puts the system's table back

  // Set before the calls they affect (test thread).
  FakeEnumerator enumerator;
  HRESULT coInitializeResult = S_OK, coCreateResult = S_OK;
  bool failCreateEvent = false, failCreateEventEx = false;
  MMRESULT openResult = MMSYSERR_NOERROR;  // the result of every wave open from now on
  int failQueueCall = 0;    // the n-th queueing call from now (1 = the next) fails with NODRIVER
  bool blockReset = false;  // a reset waits until Release()

  // Any thread.
  std::atomic<int> comInits{0}, comUninits{0};  // successful initialisations; uninitialisations
  std::atomic<int> opens{0}, openDevices{0};    // successful wave opens; devices not closed
  std::atomic<int> prepared{0};                 // headers prepared and not unprepared
  std::atomic<int> queued{0};                   // queueing calls, failed ones included

  // Test thread. Waits until no event made through the fake is open.
  bool WaitForEventsClosed() {
    return m_changes.Until([&] { return m_openEvents == 0; });
  }
  // Test thread. The oldest held buffer comes back: out, played; in, recorded with samples
  // (the first ones of the buffer, as many as fit). False when the device holds none.
  bool ReturnOne(const std::vector<int16_t>& samples = {});
  // Test thread. Waits until count queueing calls have been made in all.
  bool WaitForQueued(int count) {
    return m_changes.Until([&] { return queued >= count; });
  }
  // Test thread. Lets a blocked reset go on and waits until every wave device is closed.
  bool Release();
  std::vector<int16_t> played;  // wave-out buffers returned so far; read while none returns

 private:
  static HANDLE Made(HANDLE event);
  void Notify(UINT message, WAVEHDR* header);  // the device's callback, outside the lock

  static FakeWin* s_current;
  WinApi m_saved;
  Changes m_changes;
  int m_openEvents = 0;  // made and not closed
  bool m_out = true;     // the wave device last opened is a wave-out device
  DWORD_PTR m_callback = 0, m_instance = 0;
  bool m_resetReleased = false;
  WAVEHDR* m_held[32] = {};  // oldest first; a fixed array: queueing allocates nothing
  int m_heldCount = 0;
};

// Capture sink and playback source at once. Keeps the samples written and counts what the
// calling thread allocates between calls, without allocating itself. Reads give a ramp.
class TestSink : public AudioInput::AudioSink, public AudioOutput::AudioSource {
 public:
  TestSink() : m_samples(kKept) {}
  void Open(uint32_t channels, uint32_t rate, uint32_t bits) override {
    format = channels * 1000000 + rate * 100 + bits;
    ++opens;
  }
  void Close() override {
    closer = std::this_thread::get_id();
    ++closes;
  }
  int32_t Write(const int16_t* data, int32_t frames) override {
    std::lock_guard<std::mutex> lock(m_changes.mutex);
    for (int32_t i = 0; i < frames && m_kept < kKept; ++i) {
      m_samples[m_kept++] = data[i];
    }
    return Note(frames);
  }
  bool TakesAnyRate() const override { return anyRate; }
  int32_t Read(int16_t* buffer, int32_t count) override {
    std::lock_guard<std::mutex> lock(m_changes.mutex);
    for (int32_t i = 0; i < count; ++i) {
      buffer[i] = m_next++;
    }
    return Note(count);
  }
  // Test thread. Waits until count Writes or Reads have come.
  bool WaitForCalls(int count) {
    return m_changes.Until([&] { return calls >= count; });
  }
  std::vector<int16_t> Samples() {
    std::lock_guard<std::mutex> lock(m_changes.mutex);
    return std::vector<int16_t>(m_samples.begin(), m_samples.begin() + m_kept);
  }

  static constexpr int kKept = 1 << 20;
  bool anyRate = false;             // what TakesAnyRate answers
  std::atomic<uint32_t> format{0};  // channels * 1000000 + rate * 100 + bits
  std::atomic<int> opens{0}, closes{0};
  std::atomic<int> calls{0};  // Writes and Reads
  std::thread::id closer;
  // What the calling thread allocated between consecutive calls after call countFrom (the
  // first call is 0), set on the test thread.
  std::atomic<int> countFrom{INT32_MAX};
  std::atomic<int64_t> allocations{0};

 private:
  int32_t Note(int32_t count) {
    allocations += calls++ > countFrom ? ThreadAllocations() - m_lastAllocations : 0;
    m_lastAllocations = ThreadAllocations();
    m_changes.changed.notify_all();
    return count;
  }
  Changes m_changes;
  std::vector<int16_t> m_samples;
  int64_t m_lastAllocations = 0;
  int m_kept = 0;
  int16_t m_next = 0;
};

// The fakes together: one built-in HD Audio microphone that is also the default endpoint (a
// 48000 Hz float client), a wave device, the log, a sink; and the check that everything handed
// to a backend has come back.
class WinRig : public ::testing::Test {
 public:
  WinRig() : m_trackedAtStart(TrackedBlocks()) {
    mic.client = &client;
    win.enumerator.endpoints = {&mic};
    win.enumerator.defaultEndpoint = &mic;
  }

  // Test thread, once the backend is closed or destroyed.
  void ExpectNothingHeld() {
    EXPECT_EQ(win.openDevices + win.prepared, 0);
    EXPECT_TRUE(win.WaitForEventsClosed());
    EXPECT_EQ(win.enumerator.References(), 0);
    for (FakeEndpoint* endpoint : win.enumerator.endpoints) {
      EXPECT_EQ(endpoint->References(), 0);
    }
    EXPECT_EQ(mic.References() + client.References(), 0);
    EXPECT_EQ(TrackedBlocks(), m_trackedAtStart);
    EXPECT_EQ(win.comUninits, win.comInits);
    EXPECT_EQ(client.starts, client.stops);
  }

  LogCapture log;
  FakeWin win;
  FakeAudioClient client;
  FakeEndpoint mic{L"Microphone (HD Audio)", L"HDAUDIO", true};
  TestSink sink;

 private:
  long m_trackedAtStart;
};
