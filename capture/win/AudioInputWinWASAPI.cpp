#include "capture/win/AudioInputWinWASAPI.h"

#include <audioclient.h>
#include <mmdeviceapi.h>
#include <mmreg.h>

#include <cstring>
#include <cwchar>

#include <atomic>
#include <mutex>
#include <thread>

#include "platform/win/LossCounter.h"
#include "platform/win/RunWithin.h"
#include "platform/win/ScopeExit.h"
#include "platform/win/WinApi.h"
#include "runtime/HovLog.h"

namespace {

constexpr DWORD kRequiredRate = 48000;
constexpr DWORD kStreamFlags = AUDCLNT_STREAMFLAGS_EVENTCALLBACK | AUDCLNT_STREAMFLAGS_NOPERSIST;
constexpr REFERENCE_TIME kBufferDuration = 10000000;  // one second in 100 ns units
constexpr DWORD kCaptureEventAccess = SYNCHRONIZE | EVENT_MODIFY_STATE;

const GUID kContainerIdFormat = {
    0x8C7ED206, 0x3F8A, 0x4827, {0xB3, 0xAB, 0xAE, 0x9E, 0x1F, 0xAE, 0xFC, 0x6C}};
const PROPERTYKEY kFriendlyNameKey = {
    {0xA45C254E, 0xDF1C, 0x4EFD, {0x80, 0x20, 0x67, 0xD1, 0x46, 0xA8, 0x50, 0xE0}}, 14};
const PROPERTYKEY kEnumeratorNameKey = {
    {0xA45C254E, 0xDF1C, 0x4EFD, {0x80, 0x20, 0x67, 0xD1, 0x46, 0xA8, 0x50, 0xE0}}, 24};
const GUID kSubtypePcm = {
    0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
const GUID kSubtypeFloat = {
    0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

// The container id that the system gives every device built into the computer.
const wchar_t kBuiltInContainerId[] = L"{00000000-0000-0000-FFFF-FFFFFFFFFFFF}";
constexpr int kGuidTextSize = 4096;

constexpr float kFloatScale = 32767.0f;
constexpr double k8BitScale = 255.9921875;              // 32767 / 128
constexpr double k32BitScale = 1.5258323401212692e-05;  // 32767 / 2^31

enum class SampleKind { kPcm, kFloat, kUnsupported };

SampleKind KindOf(const WAVEFORMATEX* format) {
  if (format->wFormatTag == WAVE_FORMAT_PCM) {
    return SampleKind::kPcm;
  }
  if (format->wFormatTag != WAVE_FORMAT_EXTENSIBLE ||
      format->cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX)) {
    return SampleKind::kUnsupported;
  }
  const GUID& subFormat = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(format)->SubFormat;
  if (IsEqualGUID(subFormat, kSubtypePcm)) {
    return SampleKind::kPcm;
  }
  if (IsEqualGUID(subFormat, kSubtypeFloat) && format->wBitsPerSample == 32) {
    return SampleKind::kFloat;
  }
  return SampleKind::kUnsupported;
}

// Scales and truncates toward zero; values beyond the 16-bit range are clamped.
int16_t FloatToInt16(float sample) {
  float scaled = sample * kFloatScale;
  if (!(scaled > -32768.0f)) {
    return -32768;
  }
  if (!(scaled < 32767.0f)) {
    return 32767;
  }
  return static_cast<int16_t>(static_cast<int32_t>(scaled));
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
  return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

std::string ToSystemCodePage(const wchar_t* text) {
  int size = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) {
    return std::string();
  }
  std::string narrow(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, -1, &narrow[0], size, nullptr, nullptr);
  narrow.resize(static_cast<size_t>(size - 1));
  return narrow;
}

// One property value of a store, cleared when it goes; empty when the store has none.
class StoredValue {
 public:
  StoredValue(IPropertyStore* store, const PROPERTYKEY& key) {
    PropVariantInit(&m_value);
    if (FAILED(store->GetValue(key, &m_value))) {
      PropVariantInit(&m_value);
    }
  }
  ~StoredValue() { WinFunctions().propVariantClear(&m_value); }
  StoredValue(const StoredValue&) = delete;
  StoredValue& operator=(const StoredValue&) = delete;

  const PROPVARIANT& Value() const { return m_value; }
  // The wide text held, or null.
  const wchar_t* Text() const { return m_value.vt == VT_LPWSTR ? m_value.pwszVal : nullptr; }

 private:
  PROPVARIANT m_value;
};

// Whether endpoint i of the collection is built in and no stereo mix; its friendly name in the
// system code page when it is. Logs the failures that skip the endpoint.
bool IsBuiltInEndpoint(IMMDeviceCollection* collection, UINT i, std::string* name) {
  static const wchar_t* const kExcludedNames[] = {L"立体声混音", L"立体音混音", L"Stereo Mix"};
  const WinApi& api = WinFunctions();
  const int index = static_cast<int>(i);

  IMMDevice* endpoint = nullptr;
  HRESULT hr = collection->Item(i, &endpoint);
  if (FAILED(hr)) {
    HovLog(3, "pCollection->Item %d failed, res:%d", index, static_cast<int>(hr));
    return false;
  }
  ScopeExit releaseEndpoint([&] { endpoint->Release(); });

  LPWSTR id = nullptr;
  hr = endpoint->GetId(&id);
  if (FAILED(hr)) {
    HovLog(3, "pEndpoint->GetId %d failed, res:%d", index, static_cast<int>(hr));
    return false;
  }
  ScopeExit freeId([&] { api.coTaskMemFree(id); });

  IPropertyStore* store = nullptr;
  hr = endpoint->OpenPropertyStore(STGM_READ, &store);
  if (FAILED(hr)) {
    HovLog(3, "pEndpoint->OpenPropertyStore %d failed, res:%d", index, static_cast<int>(hr));
    return false;
  }
  ScopeExit releaseStore([&] { store->Release(); });

  DWORD propertyCount = 0;
  store->GetCount(&propertyCount);
  for (DWORD j = 0; j < propertyCount; ++j) {
    PROPERTYKEY key = {};
    if (FAILED(store->GetAt(j, &key)) || !IsEqualGUID(key.fmtid, kContainerIdFormat)) {
      continue;
    }
    StoredValue container(store, key);
    if (container.Value().vt != VT_CLSID || container.Value().puuid == nullptr) {
      return false;
    }
    wchar_t text[kGuidTextSize] = {};
    if (StringFromGUID2(*container.Value().puuid, text, kGuidTextSize) == 0 ||
        std::wcscmp(text, kBuiltInContainerId) != 0) {
      continue;
    }
    StoredValue friendlyName(store, kFriendlyNameKey);
    if (friendlyName.Text() == nullptr) {
      continue;
    }
    bool excluded = false;
    for (const wchar_t* excludedName : kExcludedNames) {
      excluded = excluded || StartsWith(friendlyName.Text(), excludedName);
    }
    StoredValue enumeratorName(store, kEnumeratorNameKey);
    bool builtIn = enumeratorName.Text() != nullptr &&
                   AudioInputWinWASAPI::IsBuiltInEnumeratorName(enumeratorName.Text());
    if (!excluded && builtIn) {
      *name = ToSystemCodePage(friendlyName.Text());
      return true;
    }
  }
  return false;
}

enum class StreamEnd { kNotStarted, kStopped, kLost };

}  // namespace

struct AudioInputWinWASAPI::Shared {
  ~Shared() {
    const WinApi& api = WinFunctions();
    if (ready != nullptr) {
      api.closeHandle(ready);
    }
    if (stop != nullptr) {
      api.closeHandle(stop);
    }
  }

  std::mutex mutex;  // guards running and each sink call
  bool running = false;
  AudioInput::AudioSink* sink = nullptr;
  bool anyRate = false;    // the sink takes any rate
  DWORD rate = 0;          // capture thread: the rate the sink was opened with, 0 before
  HANDLE ready = nullptr;  // manual reset: the outcome of the start-up is known
  HANDLE stop = nullptr;   // manual reset: Close asks the thread to end
  std::atomic<bool> started{false};
  std::thread thread;
  LossCounter losses;
};

namespace {

using Shared = AudioInputWinWASAPI::Shared;

// Capture thread: the first start-up failed; Open hears of it.
void FailStart(Shared& s, bool first) {
  if (first) {
    s.started = false;
    SetEvent(s.ready);
  }
}

// Capture thread: the audio client of the chosen endpoint, or null. Logs only when loud (the
// first start-up; reopen attempts are quiet).
IAudioClient2* GetAudioClient(bool loud) {
  IMMDeviceEnumerator* enumerator = nullptr;
  HRESULT hr = WinFunctions().coCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                               __uuidof(IMMDeviceEnumerator),
                                               reinterpret_cast<void**>(&enumerator));
  if (FAILED(hr)) {
    if (loud) {
      HovLog(3, "CoCreateInstance failed, res:%d", static_cast<int>(hr));
    }
    return nullptr;
  }
  ScopeExit releaseEnumerator([&] { enumerator->Release(); });

  IMMDevice* device = nullptr;
  if (loud && AudioInputWinWASAPI::GetBuiltInAudioInputDevice(enumerator, &device)) {
    HovLog(2, "GetBuiltInAudioInputDevice succeed ");
  } else {
    if (loud) {
      HovLog(2, "GetBuiltInAudioInputDevice failed, try to GetDefaultAudioEndpoint");
    }
    // After a loss the default endpoint is taken: the built-in one is what went away.
    hr = enumerator->GetDefaultAudioEndpoint(eCapture, eConsole, &device);
    if (FAILED(hr)) {
      if (loud) {
        HovLog(3, "pDeviceEnumerator->GetDefaultAudioEndpoint failed, res:%d",
               static_cast<int>(hr));
      }
      return nullptr;
    }
    if (loud) {
      HovLog(2, "pDeviceEnumerator->GetDefaultAudioEndpoint succeed");
    }
  }
  ScopeExit releaseDevice([&] { device->Release(); });

  IAudioClient2* client = nullptr;
  hr = device->Activate(__uuidof(IAudioClient2), CLSCTX_ALL, nullptr,
                        reinterpret_cast<void**>(&client));
  if (FAILED(hr)) {
    if (loud) {
      HovLog(3, "pDevice->Activate failed, res:%d", static_cast<int>(hr));
    }
    return nullptr;
  }
  return client;
}

// Capture thread: delivers packets until Close asks to stop or the endpoint goes away.
StreamEnd CaptureLoop(Shared& s, IAudioCaptureClient* captureClient, const WAVEFORMATEX* format,
                      HANDLE captureEvent, std::vector<int16_t>& samples) {
  const SampleKind kind = KindOf(format);
  const uint32_t channels = format->nChannels;
  const uint32_t bits = format->wBitsPerSample;
  const HANDLE events[2] = {s.stop, captureEvent};
  ULONGLONG lastPacket = GetTickCount64();
  for (;;) {
    DWORD waited = WaitForMultipleObjects(2, events, FALSE, AudioInputWinWASAPI::kRetryMs);
    if (waited == WAIT_OBJECT_0) {
      return StreamEnd::kStopped;
    }
    if (waited == WAIT_FAILED || GetTickCount64() - lastPacket > AudioInputWinWASAPI::kStallMs) {
      return StreamEnd::kLost;
    }
    if (waited == WAIT_TIMEOUT) {
      continue;
    }
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    HRESULT hr = captureClient->GetBuffer(&data, &frames, &flags, nullptr, nullptr);
    if (hr == AUDCLNT_E_DEVICE_INVALIDATED) {
      return StreamEnd::kLost;
    }
    if (FAILED(hr)) {
      continue;
    }
    lastPacket = GetTickCount64();
    // One packet per wake-up; silent and discontinuous packets are delivered like any other.
    if (frames != 0) {
      // Grows to the largest packet seen and is reused.
      if (samples.size() < frames) {
        samples.resize(frames);
      }
      bool converted = false;
      if (kind == SampleKind::kPcm) {
        converted =
            AudioInputWinWASAPI::ConvertPcmToInt16(samples.data(), frames, data, channels, bits);
      } else if (kind == SampleKind::kFloat) {
        for (UINT32 k = 0; k < frames; ++k) {
          float sample;
          std::memcpy(&sample, data + static_cast<size_t>(k) * channels * sizeof(float),
                      sizeof(sample));
          samples[k] = FloatToInt16(sample);
        }
        converted = true;
      }
      if (converted) {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.running) {
          s.sink->Write(samples.data(), static_cast<int32_t>(frames));
        }
      }
    }
    captureClient->ReleaseBuffer(frames);
  }
}

// Capture thread: one stream on the chosen endpoint, from activation to teardown. The first
// start-up logs its failures, opens the sink and reports to Open; later ones (after a loss)
// are quiet.
StreamEnd RunStream(Shared& s, bool first, std::vector<int16_t>& samples) {
  const WinApi& api = WinFunctions();
  IAudioClient2* client = GetAudioClient(first);
  if (client == nullptr) {
    FailStart(s, first);
    return StreamEnd::kNotStarted;
  }
  ScopeExit releaseClient([&] { client->Release(); });

  AudioClientProperties properties = {};
  properties.cbSize = sizeof(properties);
  properties.bIsOffload = FALSE;
  properties.eCategory = AudioCategory_Other;
  properties.Options = AUDCLNT_STREAMOPTIONS_RAW;
  HRESULT hr = client->SetClientProperties(&properties);
  if (FAILED(hr)) {
    if (first) {
      HovLog(3, "pAudioClient2->SetClientProperties failed, res:%d", static_cast<int>(hr));
    }
    FailStart(s, first);
    return StreamEnd::kNotStarted;
  }

  WAVEFORMATEX* format = nullptr;
  hr = client->GetMixFormat(&format);
  if (FAILED(hr)) {
    if (first) {
      HovLog(3, "pAudioClient2->GetMixFormat failed, res:%d", static_cast<int>(hr));
    }
    FailStart(s, first);
    return StreamEnd::kNotStarted;
  }
  ScopeExit freeFormat([&] { api.coTaskMemFree(format); });
  // No rate conversion is attempted: a sink that takes any rate gets the first endpoint's own,
  // and an endpoint chosen again after a loss must keep it; other sinks take 48000 only.
  const DWORD wanted = s.anyRate ? s.rate : kRequiredRate;
  if (wanted != 0 && format->nSamplesPerSec != wanted) {
    if (first) {
      HovLog(3, "pwfx->nSamplesPerSec != 48000");
    }
    FailStart(s, first);
    return StreamEnd::kNotStarted;
  }

  hr = client->Initialize(AUDCLNT_SHAREMODE_SHARED, kStreamFlags, kBufferDuration, 0, format,
                          nullptr);
  if (FAILED(hr)) {
    if (first) {
      HovLog(3, "pAudioClient2->Initialize failed, res:%d", static_cast<int>(hr));
    }
    FailStart(s, first);
    return StreamEnd::kNotStarted;
  }

  HANDLE captureEvent = api.createEventExA(nullptr, nullptr, 0, kCaptureEventAccess);
  if (captureEvent == nullptr) {
    if (first) {
      HovLog(3, "CreateEventEx failed");
    }
    FailStart(s, first);
    return StreamEnd::kNotStarted;
  }
  ScopeExit closeEvent([&] { api.closeHandle(captureEvent); });

  hr = client->SetEventHandle(captureEvent);
  if (FAILED(hr)) {
    if (first) {
      HovLog(3, "pAudioClient2->SetEventHandle failed, res:%d", static_cast<int>(hr));
    }
    FailStart(s, first);
    return StreamEnd::kNotStarted;
  }

  IAudioCaptureClient* captureClient = nullptr;
  hr = client->GetService(__uuidof(IAudioCaptureClient), reinterpret_cast<void**>(&captureClient));
  if (FAILED(hr)) {
    if (first) {
      HovLog(3, "pAudioClient2->GetService failed, res:%d", static_cast<int>(hr));
    }
    FailStart(s, first);
    return StreamEnd::kNotStarted;
  }
  ScopeExit releaseCaptureClient([&] { captureClient->Release(); });

  hr = client->Start();
  if (FAILED(hr)) {
    if (first) {
      HovLog(3, "pAudioClient2->Start failed, res:%d", static_cast<int>(hr));
    }
    FailStart(s, first);
    return StreamEnd::kNotStarted;
  }
  ScopeExit stop([&] { client->Stop(); });

  if (first) {
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      s.sink->Open(1, format->nSamplesPerSec, 16);
    }
    s.rate = format->nSamplesPerSec;
    s.started = true;
    SetEvent(s.ready);
  } else {
    s.losses.Recovered();
  }
  return CaptureLoop(s, captureClient, format, captureEvent, samples);
}

void ThreadProc(Shared& s) {
  ScopeTrace trace("AudioInputWinWASAPI::ThreadProc");
  const WinApi& api = WinFunctions();
  HRESULT hr = api.coInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(hr)) {
    HovLog(3, "CoInitializeEx failed, res:%d", static_cast<int>(hr));
    FailStart(s, true);
    return;
  }
  ScopeExit uninitialize([&] { api.coUninitialize(); });

  std::vector<int16_t> samples;
  if (RunStream(s, true, samples) != StreamEnd::kLost) {
    return;
  }
  // Lost: the endpoint is chosen again, quietly, until one starts or Close asks to stop.
  for (int32_t attempt = 0; attempt < AudioInputWinWASAPI::kReopenAttempts; ++attempt) {
    if (attempt == 0) {
      s.losses.Lost();
    }
    if (WaitForSingleObject(s.stop, attempt == 0 ? 0 : AudioInputWinWASAPI::kRetryMs) ==
        WAIT_OBJECT_0) {
      return;
    }
    StreamEnd end = RunStream(s, false, samples);
    if (end == StreamEnd::kStopped) {
      return;
    }
    if (end == StreamEnd::kLost) {
      attempt = -1;  // it ran again and was lost again
    }
  }
}

}  // namespace

bool AudioInputWinWASAPI::IsBuiltInEnumeratorName(const std::wstring& name) {
  std::wstring lower = name;
  for (wchar_t& c : lower) {
    if (c >= L'A' && c <= L'Z') {
      c = static_cast<wchar_t>(c - L'A' + L'a');
    }
  }
  return StartsWith(lower, L"hdaudio") || StartsWith(lower, L"intelaudio");
}

bool AudioInputWinWASAPI::ConvertPcmToInt16(int16_t* output, uint32_t frames, const BYTE* input,
                                            uint32_t channels, uint32_t bitsPerSample) {
  const size_t stride = static_cast<size_t>(channels) * (bitsPerSample / 8);
  switch (bitsPerSample) {
    case 8:
      for (uint32_t k = 0; k < frames; ++k) {
        auto sample = static_cast<int8_t>(input[k * stride]);
        output[k] = static_cast<int16_t>(sample * k8BitScale);
      }
      return true;
    case 16:
      for (uint32_t k = 0; k < frames; ++k) {
        std::memcpy(&output[k], input + k * stride, sizeof(int16_t));
      }
      return true;
    case 32:
      for (uint32_t k = 0; k < frames; ++k) {
        int32_t sample;
        std::memcpy(&sample, input + k * stride, sizeof(sample));
        output[k] = static_cast<int16_t>(sample * k32BitScale);
      }
      return true;
    default:
      return false;
  }
}

bool AudioInputWinWASAPI::GetBuiltInAudioInputDevice(IMMDeviceEnumerator* enumerator,
                                                     IMMDevice** device) {
  if (enumerator == nullptr) {
    return false;
  }
  IMMDeviceCollection* collection = nullptr;
  HRESULT hr = enumerator->EnumAudioEndpoints(eCapture, DEVICE_STATE_ACTIVE, &collection);
  if (FAILED(hr)) {
    HovLog(3, "pDeviceEnumerator->EnumAudioEndpoints failed, res:%d", static_cast<int>(hr));
    return false;
  }
  ScopeExit releaseCollection([&] { collection->Release(); });

  UINT count = 0;
  collection->GetCount(&count);
  HovLog(2, "pCollection->GetCount, count %d", static_cast<int>(count));
  for (UINT i = 0; i < count; ++i) {
    std::string name;
    if (!IsBuiltInEndpoint(collection, i, &name)) {
      continue;
    }
    HovLog(3, "current audio device :%s", name.c_str());
    // A second fetch that fails leaves the endpoint unqualified.
    if (SUCCEEDED(collection->Item(i, device)) && *device != nullptr) {
      return true;
    }
    *device = nullptr;
  }
  return false;
}

AudioInputWinWASAPI::AudioInputWinWASAPI() = default;

AudioInputWinWASAPI::~AudioInputWinWASAPI() {
  Stop();
}

void AudioInputWinWASAPI::LoadDevice(std::vector<uint32_t>& deviceIds) {
  deviceIds.clear();
  deviceIds.push_back(0);
}

bool AudioInputWinWASAPI::Open(uint32_t /*deviceIndex*/, AudioInput::AudioSink* sink) {
  ScopeTrace trace("AudioInputWinWASAPI::Open");
  const WinApi& api = WinFunctions();
  auto shared = std::make_shared<Shared>();
  shared->sink = sink;
  shared->anyRate = sink->TakesAnyRate();
  shared->ready = api.createEventA(nullptr, TRUE, FALSE, nullptr);
  shared->stop =
      shared->ready == nullptr ? nullptr : api.createEventA(nullptr, TRUE, FALSE, nullptr);
  if (shared->stop == nullptr) {
    HovLog(3, "CreateEvent failed");
    return false;
  }
  shared->running = true;
  Shared& s = *shared;
  s.thread = std::thread([&s] { ThreadProc(s); });  // throws std::system_error, nothing held
  m_shared = std::move(shared);
  if (WaitForSingleObject(s.ready, kStartLimitMs) != WAIT_OBJECT_0) {
    s.started = false;
  }
  const bool started = s.started;
  HovLog(2, "AudioInputWinWASAPI::Open res: %d", started ? 1 : 0);
  if (!started) {
    Stop();
  }
  m_open = started;
  return started;
}

void AudioInputWinWASAPI::Close() {
  Stop();
  m_open = false;
}

void AudioInputWinWASAPI::Poll() {
  if (m_shared != nullptr) {
    m_shared->losses.Report("AudioInputWinWASAPI");
  }
}

void AudioInputWinWASAPI::Stop() {
  if (m_shared == nullptr) {
    return;
  }
  std::shared_ptr<Shared> shared = std::move(m_shared);
  AudioInput::AudioSink* sink = nullptr;
  {
    std::lock_guard<std::mutex> lock(shared->mutex);
    if (shared->running && m_open) {
      sink = shared->sink;
    }
    shared->running = false;
  }
  SetEvent(shared->stop);
  if (!RunWithin(kStopLimitMs, [shared] { shared->thread.join(); })) {
    HovLog(3,
           "AudioInputWinWASAPI: the capture thread did not stop within %u ms; it ends on its own",
           static_cast<unsigned>(kStopLimitMs));
  }
  shared->losses.Report("AudioInputWinWASAPI");
  if (sink != nullptr) {
    sink->Close();
  }
}
