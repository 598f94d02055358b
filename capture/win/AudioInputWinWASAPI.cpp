#include "capture/win/AudioInputWinWASAPI.h"

#include <audioclient.h>
#include <mmdeviceapi.h>
#include <mmreg.h>

#include <cstring>
#include <cwchar>

#include "capture/win/CaptureApi.h"
#include "capture/win/ScopeExit.h"
#include "runtime/HovLog.h"

namespace {

constexpr DWORD kRequiredRate = 48000;
constexpr DWORD kStreamFlags = AUDCLNT_STREAMFLAGS_EVENTCALLBACK | AUDCLNT_STREAMFLAGS_NOPERSIST;
constexpr REFERENCE_TIME kBufferDuration = 10000000;  // one second in 100 ns units
constexpr DWORD kCaptureEventAccess = SYNCHRONIZE | EVENT_MODIFY_STATE;
// The wait for a packet is bounded so that a stop request is seen even when the endpoint
// stops signalling (removed device).
constexpr DWORD kCaptureWaitMs = 100;

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
  ~StoredValue() { CaptureFunctions().propVariantClear(&m_value); }
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
  const CaptureApi& api = CaptureFunctions();
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

}  // namespace

AudioInputWinWASAPI::AudioInputWinWASAPI() = default;

AudioInputWinWASAPI::~AudioInputWinWASAPI() {
  // After a failed Open the thread has reported and is ending on its own.
  if (m_thread.joinable()) {
    m_running = 0;
    m_thread.join();
  }
}

void AudioInputWinWASAPI::LoadDevice(std::vector<uint32_t>& deviceIds) {
  deviceIds.clear();
  deviceIds.push_back(0);
}

int32_t AudioInputWinWASAPI::Open(uint32_t /*deviceIndex*/, AudioInput::AudioSink* sink) {
  ScopeTrace trace("AudioInputWinWASAPI::Open");
  const CaptureApi& api = CaptureFunctions();
  m_sink = sink;
  m_started = false;
  m_readyEvent = api.createEventA(nullptr, TRUE, FALSE, nullptr);
  if (m_readyEvent == nullptr) {
    HovLog(3, "CreateEvent failed");
    return 0;
  }
  m_running = 1;
  try {
    m_thread = std::thread(&AudioInputWinWASAPI::ThreadProc, this);
  } catch (...) {
    m_running = 0;
    api.closeHandle(m_readyEvent);
    m_readyEvent = nullptr;
    throw;
  }
  WaitForSingleObject(m_readyEvent, INFINITE);
  api.closeHandle(m_readyEvent);
  m_readyEvent = nullptr;
  HovLog(2, "AudioInputWinWASAPI::Open res: %d", m_started ? 1 : 0);
  return m_started ? 1 : 0;
}

void AudioInputWinWASAPI::Close() {
  if (m_running != 0) {
    m_running = 0;
    if (m_thread.joinable()) {
      m_thread.join();
    }
    m_thread = std::thread();
  }
  if (m_readyEvent != nullptr) {
    CaptureFunctions().closeHandle(m_readyEvent);
    m_readyEvent = nullptr;
  }
  if (m_sink != nullptr) {
    m_sink->Close();
  }
}

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

void AudioInputWinWASAPI::FailStart() {
  m_started = false;
  SetEvent(m_readyEvent);
}

void AudioInputWinWASAPI::ThreadProc() {
  ScopeTrace trace("AudioInputWinWASAPI::ThreadProc");
  const CaptureApi& api = CaptureFunctions();
  HRESULT hr = api.coInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(hr)) {
    HovLog(3, "CoInitializeEx failed, res:%d", static_cast<int>(hr));
    FailStart();
    return;
  }
  ScopeExit uninitialize([&] { api.coUninitialize(); });

  IAudioClient2* client = GetAudioClient();
  if (client == nullptr) {
    return;
  }
  ScopeExit releaseClient([&] { client->Release(); });

  AudioClientProperties properties = {};
  properties.cbSize = sizeof(properties);
  properties.bIsOffload = FALSE;
  properties.eCategory = AudioCategory_Other;
  properties.Options = AUDCLNT_STREAMOPTIONS_RAW;
  hr = client->SetClientProperties(&properties);
  if (FAILED(hr)) {
    HovLog(3, "pAudioClient2->SetClientProperties failed, res:%d", static_cast<int>(hr));
    FailStart();
    return;
  }

  WAVEFORMATEX* format = nullptr;
  hr = client->GetMixFormat(&format);
  if (FAILED(hr)) {
    HovLog(3, "pAudioClient2->GetMixFormat failed, res:%d", static_cast<int>(hr));
    FailStart();
    return;
  }
  ScopeExit freeFormat([&] { api.coTaskMemFree(format); });
  // Only the rate the modem works at is taken; no rate conversion is attempted.
  if (format->nSamplesPerSec != kRequiredRate) {
    HovLog(3, "pwfx->nSamplesPerSec != 48000");
    FailStart();
    return;
  }

  hr = client->Initialize(AUDCLNT_SHAREMODE_SHARED, kStreamFlags, kBufferDuration, 0, format,
                          nullptr);
  if (FAILED(hr)) {
    HovLog(3, "pAudioClient2->Initialize failed, res:%d", static_cast<int>(hr));
    FailStart();
    return;
  }

  HANDLE captureEvent = api.createEventExA(nullptr, nullptr, 0, kCaptureEventAccess);
  if (captureEvent == nullptr) {
    HovLog(3, "CreateEventEx failed");
    FailStart();
    return;
  }
  ScopeExit closeEvent([&] { api.closeHandle(captureEvent); });

  hr = client->SetEventHandle(captureEvent);
  if (FAILED(hr)) {
    HovLog(3, "pAudioClient2->SetEventHandle failed, res:%d", static_cast<int>(hr));
    FailStart();
    return;
  }

  IAudioCaptureClient* captureClient = nullptr;
  hr = client->GetService(__uuidof(IAudioCaptureClient), reinterpret_cast<void**>(&captureClient));
  if (FAILED(hr)) {
    HovLog(3, "pAudioClient2->GetService failed, res:%d", static_cast<int>(hr));
    FailStart();
    return;
  }
  ScopeExit releaseCaptureClient([&] { captureClient->Release(); });

  hr = client->Start();
  if (FAILED(hr)) {
    HovLog(3, "pAudioClient2->Start failed, res:%d", static_cast<int>(hr));
    FailStart();
    return;
  }
  ScopeExit stop([&] { client->Stop(); });

  CaptureLoop(captureClient, format, captureEvent);
}

IAudioClient2* AudioInputWinWASAPI::GetAudioClient() {
  IMMDeviceEnumerator* enumerator = nullptr;
  HRESULT hr = CaptureFunctions().coCreateInstance(__uuidof(MMDeviceEnumerator), nullptr,
                                                   CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
                                                   reinterpret_cast<void**>(&enumerator));
  if (FAILED(hr)) {
    HovLog(3, "CoCreateInstance failed, res:%d", static_cast<int>(hr));
    FailStart();
    return nullptr;
  }
  ScopeExit releaseEnumerator([&] { enumerator->Release(); });

  IMMDevice* device = nullptr;
  if (GetBuiltInAudioInputDevice(enumerator, &device)) {
    HovLog(2, "GetBuiltInAudioInputDevice succeed ");
  } else {
    HovLog(2, "GetBuiltInAudioInputDevice failed, try to GetDefaultAudioEndpoint");
    hr = enumerator->GetDefaultAudioEndpoint(eCapture, eConsole, &device);
    if (FAILED(hr)) {
      HovLog(3, "pDeviceEnumerator->GetDefaultAudioEndpoint failed, res:%d", static_cast<int>(hr));
      FailStart();
      return nullptr;
    }
    HovLog(2, "pDeviceEnumerator->GetDefaultAudioEndpoint succeed");
  }
  ScopeExit releaseDevice([&] { device->Release(); });

  IAudioClient2* client = nullptr;
  hr = device->Activate(__uuidof(IAudioClient2), CLSCTX_ALL, nullptr,
                        reinterpret_cast<void**>(&client));
  if (FAILED(hr)) {
    HovLog(3, "pDevice->Activate failed, res:%d", static_cast<int>(hr));
    FailStart();
    return nullptr;
  }
  return client;
}

void AudioInputWinWASAPI::CaptureLoop(IAudioCaptureClient* captureClient,
                                      const WAVEFORMATEX* format, HANDLE captureEvent) {
  m_sink->Open(1, format->nSamplesPerSec, 16);
  const SampleKind kind = KindOf(format);
  const uint32_t channels = format->nChannels;
  const uint32_t bits = format->wBitsPerSample;
  m_started = true;
  SetEvent(m_readyEvent);

  // Grows to the largest packet seen and is reused.
  std::vector<int16_t> samples;
  while (m_running != 0) {
    DWORD waited = WaitForSingleObject(captureEvent, kCaptureWaitMs);
    if (waited == WAIT_TIMEOUT) {
      continue;
    }
    if (waited != WAIT_OBJECT_0) {
      break;
    }
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    if (FAILED(captureClient->GetBuffer(&data, &frames, &flags, nullptr, nullptr))) {
      continue;
    }
    // One packet per wake-up; silent and discontinuous packets are delivered like any other.
    if (frames != 0) {
      if (samples.size() < frames) {
        samples.resize(frames);
      }
      bool converted = false;
      if (kind == SampleKind::kPcm) {
        converted = ConvertPcmToInt16(samples.data(), frames, data, channels, bits);
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
        m_sink->Write(samples.data(), static_cast<int32_t>(frames));
      }
    }
    captureClient->ReleaseBuffer(frames);
  }
  m_sink->Close();
}
