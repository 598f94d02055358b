// The Windows backends (wave-out playback, wave-in and WASAPI capture, and the capture front
// that tries them in turn) over the fakes: WASAPI's mix formats and endpoint choice, the wave
// devices' streams played and recorded whole and in ring order, and injected faults (failed
// start-ups, a device lost while running, a device that does not answer a stop). In every case
// what was acquired is released, and sound threads allocate nothing per buffer.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "capture/win/AudioInputWin.h"
#include "capture/win/AudioInputWinMME.h"
#include "capture/win/AudioInputWinWASAPI.h"
#include "send/win/AudioOutputWinMME.h"
#include "tests/fakes/win/WinFakes.h"

namespace {

const GUID kPcm = {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
const GUID kOther = {0x00000006, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

struct FormatCase {
  const char* name;
  WORD tag, channels, bits;
  GUID subFormat;
  std::vector<BYTE> packet;
  UINT32 frames;
  std::vector<int16_t> written;  // the first channel as 16-bit samples; empty: unsupported
  DWORD rate = 48000;            // the mix rate, taken by a sink that takes any rate
};

class WasapiFormatTest : public WinRig, public ::testing::WithParamInterface<FormatCase> {};

// One packet in the mix format through a running capture, after a failed GetBuffer and an
// empty one (capture goes on): the sink is opened 1/rate/16 on the capture thread, gets the
// first channel converted, and is closed once by the closing thread.
TEST_P(WasapiFormatTest, ThePacketReachesTheSinkAsMono16Bit) {
  const FormatCase& c = GetParam();
  client.SetMixFormat(c.tag, c.channels, c.rate, c.bits, c.subFormat);
  sink.anyRate = c.rate != 48000;
  {
    AudioInputWinWASAPI input;
    ASSERT_TRUE(input.Open(0, &sink));
    // One packet per wake-up: signals that come together wake the thread once.
    client.Deliver({}, 0, E_FAIL);
    ASSERT_TRUE(client.WaitForGetBuffers(1));
    client.Deliver({}, 0);
    ASSERT_TRUE(client.WaitForGetBuffers(2));
    client.Deliver(c.packet, c.frames);
    ASSERT_TRUE(client.WaitForGetBuffers(3));
    input.Close();
  }
  EXPECT_EQ(sink.Samples(), c.written);
  EXPECT_EQ(sink.format, 1u * 1000000 + c.rate * 100 + 16);
  EXPECT_EQ(sink.opens + sink.closes, 2);
  EXPECT_EQ(sink.closer, std::this_thread::get_id());
  EXPECT_EQ(client.releaseMismatches, 0);
  ExpectNothingHeld();
}

const std::vector<float> kFloats = {0.5f, -0.5f, 1.0f, -1.0f, 0.0f, 0.25f, 2.0f, -2.0f};
const std::vector<int16_t> kFloatsAs16 = {16383, -16383, 32767, -32767, 0, 8191, 32767, -32768};

INSTANTIATE_TEST_SUITE_P(
    MixFormats, WasapiFormatTest,
    ::testing::Values(
        FormatCase{"MonoFloat44100AnyRate", WAVE_FORMAT_EXTENSIBLE, 1, 32, FakeAudioClient::kFloat,
                   Bytes(kFloats), 8, kFloatsAs16, 44100},
        FormatCase{"StereoFloat", WAVE_FORMAT_EXTENSIBLE, 2, 32, FakeAudioClient::kFloat,
                   Bytes(std::vector<float>{0.5f, 0.9f, -0.5f, 0.9f, 0.75f, -0.9f}), 3,
                   std::vector<int16_t>{16383, -16383, 24575}},
        FormatCase{"Stereo16", WAVE_FORMAT_EXTENSIBLE, 2, 16, kPcm,
                   Bytes(std::vector<int16_t>{100, -1, -200, -1, 32767, -1, -32768, -1}), 4,
                   std::vector<int16_t>{100, -200, 32767, -32768}},
        FormatCase{"Plain32", WAVE_FORMAT_PCM, 1, 32, GUID{},
                   Bytes(std::vector<int32_t>{1 << 30, INT32_MIN, INT32_MAX, 65536}), 4,
                   std::vector<int16_t>{16383, -32767, 32766, 0}},
        FormatCase{"Stereo8", WAVE_FORMAT_EXTENSIBLE, 2, 8, kPcm,
                   Bytes(std::vector<int8_t>{64, 9, -64, 9, 127, 9, -128, 9}), 4,
                   std::vector<int16_t>{16383, -16383, 32511, -32767}},
        FormatCase{"Pcm24", WAVE_FORMAT_EXTENSIBLE, 1, 24, kPcm, std::vector<BYTE>(24), 8, {}},
        FormatCase{
            "OtherSubFormat", WAVE_FORMAT_EXTENSIBLE, 1, 32, kOther, std::vector<BYTE>(32), 8, {}},
        FormatCase{
            "FloatTag", WAVE_FORMAT_IEEE_FLOAT, 1, 32, GUID{}, std::vector<BYTE>(32), 8, {}}),
    [](const ::testing::TestParamInfo<FormatCase>& info) { return info.param.name; });

struct Endpoint {
  const wchar_t* name;
  const wchar_t* enumerator;
  bool builtIn;
  HRESULT getId = S_OK;
  HRESULT openStore = S_OK;
};

struct ChoiceCase {
  const char* name;
  std::vector<Endpoint> endpoints;
  int chosen;  // position in the list; -1: none
  UINT failItem = ~0u;
  HRESULT enumResult = S_OK;
};

class EndpointChoiceTest : public WinRig, public ::testing::WithParamInterface<ChoiceCase> {};

// The first built-in endpoint (container id and enumerator name) in collection order that is no
// stereo mix; an endpoint that cannot be read is skipped.
TEST_P(EndpointChoiceTest, TheFirstBuiltInMicrophoneIsChosen) {
  const ChoiceCase& c = GetParam();
  std::vector<std::unique_ptr<FakeEndpoint>> endpoints;
  win.enumerator.endpoints.clear();
  for (const Endpoint& e : c.endpoints) {
    endpoints.push_back(std::make_unique<FakeEndpoint>(e.name, e.enumerator, e.builtIn));
    endpoints.back()->getIdResult = e.getId;
    endpoints.back()->openStoreResult = e.openStore;
    win.enumerator.endpoints.push_back(endpoints.back().get());
  }
  win.enumerator.failItem = c.failItem;
  win.enumerator.enumResult = c.enumResult;
  IMMDevice* device = nullptr;
  EXPECT_EQ(AudioInputWinWASAPI::GetBuiltInAudioInputDevice(&win.enumerator, &device),
            c.chosen >= 0);
  EXPECT_EQ(device, c.chosen < 0 ? nullptr : endpoints[c.chosen].get());
  if (device != nullptr) {
    device->Release();
  }
  EXPECT_FALSE(AudioInputWinWASAPI::GetBuiltInAudioInputDevice(nullptr, nullptr));
  ExpectNothingHeld();
}

// Endpoints that are passed over, each for a reason of its own: stereo mixes (Chinese names
// too), no built-in container id or enumerator name (the enumerator's prefix), an endpoint that
// cannot be read; the last, a built-in microphone, sits at the position whose Item fails.
std::vector<Endpoint> PassedOver(const std::vector<Endpoint>& then = {}) {
  std::vector<Endpoint> list = {{L"Stereo Mix (HD Audio)", L"HDAUDIO", true},
                                {L"立体声混音 (Realtek)", L"HDAUDIO", true},
                                {L"立体音混音 (Realtek)", L"INTELAUDIO", true},
                                {L"USB Microphone", L"USB", true},
                                {L"Line In (HD Audio)", L"HDAUDIO", false},
                                {L"Mic", L"XHDAUDIO", true},
                                {L"Mic", L"HDAUDI", true},
                                {L"Mic", L"", true},
                                {L"Headset", L"BTHENUM", true},
                                {L"Microphone (HD Audio)", L"HDAUDIO", true, E_OUTOFMEMORY},
                                {L"Microphone (HD Audio)", L"HDAUDIO", true, S_OK, E_ACCESSDENIED},
                                {L"Microphone (HD Audio)", L"HDAUDIO", true}};
  list.insert(list.end(), then.begin(), then.end());
  return list;
}
constexpr UINT kFailingItem = 11;

INSTANTIATE_TEST_SUITE_P(
    Lists, EndpointChoiceTest,
    ::testing::Values(
        ChoiceCase{"NoneBuiltIn", PassedOver(), -1, kFailingItem},
        ChoiceCase{"FirstInCollectionOrder",
                   PassedOver({{L"Mic (Stereo Mix)", L"hdaudio\\FUNC_01", true},
                               {L"Microphone Array", L"IntelAudio", true}}),
                   12, kFailingItem},
        ChoiceCase{"IntelAudio", {{L"Microphone Array", L"IntelAudio", true}}, 0},
        ChoiceCase{"Empty", {}, -1},
        ChoiceCase{"FailedEnumeration", {{L"Mic", L"HDAUDIO", true}}, -1, ~0u, E_OUTOFMEMORY}),
    [](const ::testing::TestParamInfo<ChoiceCase>& info) { return info.param.name; });

enum class Kind { kWaveOut, kWaveIn, kWasapi };

class WinBackendTest : public WinRig {
 public:
  bool Open(Kind kind) {
    if (kind == Kind::kWaveOut) {
      m_output = std::make_unique<AudioOutputWinMME>();
      return m_output->Open(0, &sink);
    }
    m_input.reset(kind == Kind::kWaveIn ? static_cast<AudioInput::Impl*>(new AudioInputWinMME)
                                        : new AudioInputWinWASAPI);
    return m_input->Open(0, &sink);
  }
  void Close() {
    if (m_output)
      m_output->Close();
    if (m_input)
      m_input->Close();
    m_output.reset();
    m_input.reset();
  }
  void Poll() {
    if (m_output)
      m_output->Poll();
    if (m_input)
      m_input->Poll();
  }
  // One buffer or packet through the running backend; false when it did not arrive.
  bool Flow(Kind kind) {
    int calls = sink.calls;
    if (kind == Kind::kWasapi) {
      client.Deliver(Bytes(std::vector<float>(480, 0.25f)), 480);
      return sink.WaitForCalls(calls + 1);
    }
    // Wave devices: the buffer has been used and queued again. Recorded: the next stretch of
    // a ramp.
    int queued = win.queued;
    std::vector<int16_t> samples(AudioInputWinMME::kBufferSamples);
    for (int16_t& sample : samples) {
      sample = m_recorded++;
    }
    return win.ReturnOne(samples) && sink.WaitForCalls(calls + 1) && win.WaitForQueued(queued + 1);
  }

 private:
  int16_t m_recorded = 0;
  std::unique_ptr<AudioOutput::Impl> m_output;
  std::unique_ptr<AudioInput::Impl> m_input;
};

const char* NameOf(Kind kind) {
  return kind == Kind::kWaveOut  ? "AudioOutputWinMME"
         : kind == Kind::kWaveIn ? "AudioInputWinMME"
                                 : "AudioInputWinWASAPI";
}

std::string Res(long result) {
  return std::to_string(static_cast<int>(result));
}

struct StartFault {
  const char* name;
  Kind kind;
  std::function<void(WinBackendTest&)> inject;
  std::string line;  // the failure's line at level 3; empty: none
};

class StartFaultTest : public WinBackendTest, public ::testing::WithParamInterface<StartFault> {};

TEST_P(StartFaultTest, OpenFailsWithItsLineAndHoldsNothing) {
  GetParam().inject(*this);
  EXPECT_FALSE(Open(GetParam().kind));
  if (!GetParam().line.empty()) {
    EXPECT_EQ(log.Count("[hov] " + GetParam().line), 1);
  }
  // No other failure line (the chosen endpoint's name is logged at level 3 too).
  for (const LogLine& line : log.Lines()) {
    EXPECT_TRUE(line.level == 2 || line.text == "[hov] " + GetParam().line ||
                line.text.rfind("[hov] current audio device :", 0) == 0)
        << line.text;
  }
  Close();
  EXPECT_EQ(sink.opens + sink.closes, 0);
  ExpectNothingHeld();
}

using T = WinBackendTest;
// Client call that fails with result: its line.
StartFault ClientFails(const char* call, HRESULT FakeAudioClient::*field, HRESULT result) {
  return {call, Kind::kWasapi, [field, result](T& t) { t.client.*field = result; },
          std::string("pAudioClient2->") + call + " failed, res:" + Res(result)};
}
INSTANTIATE_TEST_SUITE_P(
    EveryStep, StartFaultTest,
    ::testing::Values(
        StartFault{"waveOutOpen", Kind::kWaveOut,
                   [](T& t) { t.win.openResult = MMSYSERR_ALLOCATED; }, ""},
        StartFault{"waveOutWrite", Kind::kWaveOut, [](T& t) { t.win.failQueueCall = 2; }, ""},
        StartFault{"waveInOpen", Kind::kWaveIn,
                   [](T& t) { t.win.openResult = MMSYSERR_BADDEVICEID; },
                   "waveInOpen failed, res:2"},
        StartFault{"waveInAddBuffer", Kind::kWaveIn, [](T& t) { t.win.failQueueCall = 5; },
                   "waveInOpen failed, res:6"},
        StartFault{"CreateEvent", Kind::kWasapi, [](T& t) { t.win.failCreateEvent = true; },
                   "CreateEvent failed"},
        StartFault{"CoInitializeEx", Kind::kWasapi,
                   [](T& t) { t.win.coInitializeResult = E_OUTOFMEMORY; },
                   "CoInitializeEx failed, res:" + Res(E_OUTOFMEMORY)},
        StartFault{"CoCreateInstance", Kind::kWasapi,
                   [](T& t) { t.win.coCreateResult = REGDB_E_CLASSNOTREG; },
                   "CoCreateInstance failed, res:" + Res(REGDB_E_CLASSNOTREG)},
        StartFault{"GetDefaultAudioEndpoint", Kind::kWasapi,
                   [](T& t) {
                     t.win.enumerator.endpoints.clear();
                     t.win.enumerator.defaultEndpoint = nullptr;
                   },
                   "pDeviceEnumerator->GetDefaultAudioEndpoint failed, res:" + Res(E_NOTFOUND)},
        StartFault{"Activate", Kind::kWasapi, [](T& t) { t.mic.activateResult = E_ACCESSDENIED; },
                   "pDevice->Activate failed, res:" + Res(E_ACCESSDENIED)},
        ClientFails("SetClientProperties", &FakeAudioClient::setClientPropertiesResult,
                    E_INVALIDARG),
        ClientFails("GetMixFormat", &FakeAudioClient::getMixFormatResult,
                    AUDCLNT_E_SERVICE_NOT_RUNNING),
        ClientFails("Initialize", &FakeAudioClient::initializeResult, AUDCLNT_E_UNSUPPORTED_FORMAT),
        StartFault{"CreateEventEx", Kind::kWasapi, [](T& t) { t.win.failCreateEventEx = true; },
                   "CreateEventEx failed"},
        ClientFails("SetEventHandle", &FakeAudioClient::setEventHandleResult, E_HANDLE),
        ClientFails("GetService", &FakeAudioClient::getServiceResult, E_NOINTERFACE),
        ClientFails("Start", &FakeAudioClient::startResult, AUDCLNT_E_NOT_INITIALIZED)),
    [](const ::testing::TestParamInfo<StartFault>& info) { return info.param.name; });

class KindTest : public WinBackendTest, public ::testing::WithParamInterface<Kind> {};

// The device goes away while running: the backend reopens the default device, sound flows
// again, and the owner's Poll logs the loss and the return once each.
TEST_P(KindTest, ALostDeviceIsReopenedAndLoggedOnceEachWay) {
  const Kind kind = GetParam();
  ASSERT_TRUE(Open(kind));
  ASSERT_TRUE(Flow(kind));
  if (kind == Kind::kWasapi) {
    client.Deliver({}, 0, AUDCLNT_E_DEVICE_INVALIDATED);
    ASSERT_TRUE(client.WaitForStarts(2));
  } else {
    win.failQueueCall = 1;
    ASSERT_TRUE(win.ReturnOne());
    // The failed call, then the whole ring on the reopened device.
    const int ring =
        kind == Kind::kWaveOut ? AudioOutputWinMME::kBufferCount : AudioInputWinMME::kBufferCount;
    ASSERT_TRUE(win.WaitForQueued(ring + 2 + ring));
    EXPECT_EQ(win.opens, 2);
  }
  ASSERT_TRUE(Flow(kind));
  Poll();
  Poll();
  const std::string name = NameOf(kind);
  EXPECT_EQ(log.Count("[hov] " + name + ": device lost, reopening the default device"), 1);
  EXPECT_EQ(log.Count("[hov] " + name + ": default device open again"), 1);
  Close();
  EXPECT_EQ(sink.opens + sink.closes, kind == Kind::kWaveOut ? 0 : 2);
  ExpectNothingHeld();
}

// The device does not answer the stop: Close still returns (bounded), nothing flows after it,
// and once the device lets go everything is released.
TEST_P(KindTest, CloseReturnsWhileTheDeviceHangsAndReleasesLater) {
  const Kind kind = GetParam();
  win.blockReset = true;
  client.blockStop = true;
  ASSERT_TRUE(Open(kind));
  ASSERT_TRUE(Flow(kind));
  const auto start = std::chrono::steady_clock::now();
  Close();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  const int calls = sink.calls;
  EXPECT_GE(log.Count(kind == Kind::kWasapi
                          ? "[hov] AudioInputWinWASAPI: the capture thread did not stop within "
                            "250 ms; it ends on its own"
                          : "[hov] " + std::string(NameOf(kind)) +
                                ": the device did not stop within 250 ms; it is left to close "
                                "on its own"),
            1);
  EXPECT_EQ(sink.closes, kind == Kind::kWaveOut ? 0 : 1);
  client.ReleaseStop();
  EXPECT_TRUE(win.Release());
  EXPECT_EQ(sink.calls, calls);
  ExpectNothingHeld();
}

// Many buffers through the backend: its sound thread allocates nothing per buffer; the wave
// devices' buffers are refilled with the source's ramp in ring order (out) and reach the sink
// whole and in order, each queued again, an empty one too (in).
TEST_P(KindTest, BuffersFlowInRingOrderWithoutAllocating) {
  const Kind kind = GetParam();
  ASSERT_TRUE(Open(kind));
  sink.countFrom = sink.calls + 2;
  constexpr int kBuffers = 200;
  for (int n = 0; n < kBuffers; ++n) {
    ASSERT_TRUE(Flow(kind)) << n;
  }
  EXPECT_EQ(sink.allocations, 0);
  if (kind == Kind::kWaveIn) {
    const int queued = win.queued;
    ASSERT_TRUE(win.ReturnOne() && win.WaitForQueued(queued + 1));
    ASSERT_TRUE(Flow(kind));
  }
  if (kind != Kind::kWasapi) {  // what was played or recorded: the ramp from its start
    const std::vector<int16_t> samples = kind == Kind::kWaveOut ? win.played : sink.Samples();
    ASSERT_EQ(samples.size(),
              static_cast<size_t>(kind == Kind::kWaveOut
                                      ? kBuffers * AudioOutputWinMME::kBufferSamples
                                      : (kBuffers + 1) * AudioInputWinMME::kBufferSamples));
    for (size_t i = 0; i < samples.size(); ++i) {
      ASSERT_EQ(samples[i], static_cast<int16_t>(i)) << i;
    }
  }
  Close();
  EXPECT_EQ(sink.closer, kind == Kind::kWaveOut ? std::thread::id() : std::this_thread::get_id());
  ExpectNothingHeld();
}

INSTANTIATE_TEST_SUITE_P(EveryBackend, KindTest,
                         ::testing::Values(Kind::kWaveOut, Kind::kWaveIn, Kind::kWasapi),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                           return std::string(NameOf(info.param));
                         });

const std::string kTryWasapi = "2 [hov] try use AudioInputWinWASAPI";
const std::string kRefused = "3 [hov] pwfx->nSamplesPerSec != 48000";
const std::string kTryWaveIn = "3 [hov] AudioInputWinWASAPI failed, try use AudioInputWinMME";
const std::string kAllFailed = "3 [hov] AudioInputWinMME failed, all failed";

struct FrontCase {
  const char* name;
  bool refuseWasapi;  // a 44100 Hz mix rate
  MMRESULT waveInOpen;
  const char* held;                // the backend that captures, or null
  std::vector<std::string> lines;  // the front's own lines (level and text), in order
};

class AudioInputWinTest : public WinRig, public ::testing::WithParamInterface<FrontCase> {};

// WASAPI first, wave-in when it fails (here: it refuses a 44100 Hz mix rate); the discarded WASAPI
// backend has let go of everything before wave-in starts, and the front closes what it holds once.
TEST_P(AudioInputWinTest, TriesWasapiThenWaveInAndKeepsWhatOpened) {
  const FrontCase& c = GetParam();
  if (c.refuseWasapi) {
    client.SetMixFormat(WAVE_FORMAT_EXTENSIBLE, 1, 44100, 32, FakeAudioClient::kFloat);
  }
  win.openResult = c.waveInOpen;
  AudioInputWin front;
  EXPECT_EQ(front.Open(9, &sink), c.held != nullptr);
  EXPECT_STREQ(front.Held(), c.held);
  std::vector<std::string> lines;
  for (const LogLine& line : log.Lines()) {
    if (line.text.find("try use ") != std::string::npos ||
        line.text.find("48000") != std::string::npos ||
        line.text.find("all failed") != std::string::npos) {
      lines.push_back(std::to_string(line.level) + " " + line.text);
    }
  }
  EXPECT_EQ(lines, c.lines);
  EXPECT_EQ(client.References(), c.lines.size() == 1 ? 2 : 0);  // the client and its service
  front.Close();
  front.Close();
  EXPECT_EQ(front.Held(), nullptr);
  EXPECT_EQ(sink.closes, c.held == nullptr ? 0 : 1);
  ExpectNothingHeld();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AudioInputWinTest,
    ::testing::Values(
        FrontCase{"Wasapi", false, MMSYSERR_NOERROR, "AudioInputWinWASAPI", {kTryWasapi}},
        FrontCase{"WaveIn",
                  true,
                  MMSYSERR_NOERROR,
                  "AudioInputWinMME",
                  {kTryWasapi, kRefused, kTryWaveIn}},
        FrontCase{"None",
                  true,
                  MMSYSERR_NODRIVER,
                  nullptr,
                  {kTryWasapi, kRefused, kTryWaveIn, kAllFailed}}),
    [](const ::testing::TestParamInfo<FrontCase>& info) { return info.param.name; });

}  // namespace
