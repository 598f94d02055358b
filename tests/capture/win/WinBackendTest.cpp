// The Windows backends (wave-out playback, wave-in and WASAPI capture, and the capture front
// that tries them in turn) over the fakes: the wave devices' streams played and recorded whole and
// in ring order, and injected faults (failed start-ups, a device lost while running, a device that
// does not answer a stop). In every case what was acquired is released, and sound threads
// allocate nothing per buffer.
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
#include "tests/fakes/win/WinRig.h"

namespace {

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
      client.Deliver(FakeAudioClient::Bytes(std::vector<float>(480, 0.25f)), 480);
      return sink.WaitForCalls(calls + 1);
    }
    // Wave devices: the buffer has been used and queued again.
    int queued = wave.queued;
    return wave.ReturnOne(std::vector<int16_t>(4410, 7)) && sink.WaitForCalls(calls + 1) &&
           wave.WaitForQueued(queued + 1);
  }

 private:
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
                   [](T& t) { t.wave.openResult = MMSYSERR_ALLOCATED; }, ""},
        StartFault{"waveOutWrite", Kind::kWaveOut, [](T& t) { t.wave.failQueueCall = 2; }, ""},
        StartFault{"waveInOpen", Kind::kWaveIn,
                   [](T& t) { t.wave.openResult = MMSYSERR_BADDEVICEID; },
                   "waveInOpen failed, res:2"},
        StartFault{"waveInAddBuffer", Kind::kWaveIn, [](T& t) { t.wave.failQueueCall = 5; },
                   "waveInOpen failed, res:6"},
        StartFault{"CreateEvent", Kind::kWasapi, [](T& t) { t.api.failCreateEvent = true; },
                   "CreateEvent failed"},
        StartFault{"CoInitializeEx", Kind::kWasapi,
                   [](T& t) { t.api.coInitializeResult = E_OUTOFMEMORY; },
                   "CoInitializeEx failed, res:" + Res(E_OUTOFMEMORY)},
        StartFault{"CoCreateInstance", Kind::kWasapi,
                   [](T& t) { t.api.coCreateResult = REGDB_E_CLASSNOTREG; },
                   "CoCreateInstance failed, res:" + Res(REGDB_E_CLASSNOTREG)},
        StartFault{"GetDefaultAudioEndpoint", Kind::kWasapi,
                   [](T& t) {
                     t.api.enumerator.collection.endpoints.clear();
                     t.api.enumerator.defaultEndpoint = nullptr;
                   },
                   "pDeviceEnumerator->GetDefaultAudioEndpoint failed, res:" + Res(E_NOTFOUND)},
        StartFault{"Activate", Kind::kWasapi, [](T& t) { t.mic.activateResult = E_ACCESSDENIED; },
                   "pDevice->Activate failed, res:" + Res(E_ACCESSDENIED)},
        ClientFails("SetClientProperties", &FakeAudioClient::setClientPropertiesResult,
                    E_INVALIDARG),
        ClientFails("GetMixFormat", &FakeAudioClient::getMixFormatResult,
                    AUDCLNT_E_SERVICE_NOT_RUNNING),
        StartFault{"MixRate44100", Kind::kWasapi,
                   [](T& t) {
                     t.client.SetMixFormat(WAVE_FORMAT_EXTENSIBLE, 1, 44100, 32,
                                           FakeAudioClient::kFloat);
                   },
                   "pwfx->nSamplesPerSec != 48000"},
        ClientFails("Initialize", &FakeAudioClient::initializeResult, AUDCLNT_E_UNSUPPORTED_FORMAT),
        StartFault{"CreateEventEx", Kind::kWasapi, [](T& t) { t.api.failCreateEventEx = true; },
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
    wave.failQueueCall = 1;
    ASSERT_TRUE(wave.ReturnOne());
    // The failed call, then the whole ring on the reopened device.
    const int ring =
        kind == Kind::kWaveOut ? AudioOutputWinMME::kBufferCount : AudioInputWinMME::kBufferCount;
    ASSERT_TRUE(wave.WaitForQueued(ring + 2 + ring));
    EXPECT_EQ(wave.opens, 2);
  }
  ASSERT_TRUE(Flow(kind));
  Poll();
  Poll();
  const std::string name = NameOf(kind);
  EXPECT_EQ(log.Count("[hov] " + name + ": device lost, reopening the default device"), 1);
  EXPECT_EQ(log.Count("[hov] " + name + ": default device open again"), 1);
  Close();
  EXPECT_EQ(sink.opens, kind == Kind::kWaveOut ? 0 : 1);
  EXPECT_EQ(sink.closes, kind == Kind::kWaveOut ? 0 : 1);
  ExpectNothingHeld();
}

// The device does not answer the stop: Close still returns (bounded), nothing flows after it,
// and once the device lets go everything is released.
TEST_P(KindTest, CloseReturnsWhileTheDeviceHangsAndReleasesLater) {
  const Kind kind = GetParam();
  wave.blockReset = true;
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
  EXPECT_TRUE(wave.Release());
  EXPECT_EQ(sink.calls, calls);
  ExpectNothingHeld();
}

// Many buffers through the backend: its sound thread allocates nothing per buffer.
TEST_P(KindTest, SoundThreadsAllocateNothingPerBuffer) {
  const Kind kind = GetParam();
  ASSERT_TRUE(Open(kind));
  const int first = sink.calls + 2;
  const int buffers = 200;
  for (int n = 0; n < buffers; ++n) {
    ASSERT_TRUE(Flow(kind)) << n;
  }
  const int last = sink.calls - 1;
  EXPECT_EQ(sink.AllocationsBetween(first, last), 0);
  Close();
  ExpectNothingHeld();
}

INSTANTIATE_TEST_SUITE_P(EveryBackend, KindTest,
                         ::testing::Values(Kind::kWaveOut, Kind::kWaveIn, Kind::kWasapi),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                           return std::string(NameOf(info.param));
                         });

// The wave devices' streams: what is played follows the source's ramp from buffer to buffer,
// and recorded buffers reach the sink whole and in order, each queued again (an empty one too).
TEST_F(WinRig, PlayedBuffersAreRefilledWithTheStreamInRingOrder) {
  constexpr int kRing = AudioOutputWinMME::kBufferCount;
  constexpr int32_t kSamples = AudioOutputWinMME::kBufferSamples;
  AudioOutputWinMME output;
  ASSERT_TRUE(output.Open(WAVE_MAPPER, &sink));
  constexpr int kPlayed = 30;
  for (int n = 0; n < kPlayed; ++n) {
    ASSERT_TRUE(wave.ReturnOne());
    ASSERT_TRUE(wave.WaitForQueued(kRing + n + 1));
  }
  for (int i = 0; i < kRing; ++i) {  // the source's ramp goes on from buffer to buffer
    std::vector<int16_t> ramp(kSamples);
    for (int32_t k = 0; k < kSamples; ++k) {
      ramp[k] = static_cast<int16_t>((kPlayed + i) * kSamples + k);
    }
    EXPECT_EQ(wave.Held(i), ramp) << "buffer " << i;
  }
  output.Close();
  ExpectNothingHeld();
}

TEST_F(WinRig, RecordedBuffersReachTheSinkWholeAndInOrder) {
  constexpr int kRing = AudioInputWinMME::kBufferCount;
  AudioInputWinMME input;
  ASSERT_TRUE(input.Open(WAVE_MAPPER, &sink));
  std::vector<int16_t> expected;
  for (int n = 0; n < 12; ++n) {
    std::vector<int16_t> samples(n == 3 ? 0 : AudioInputWinMME::kBufferSamples);
    for (size_t i = 0; i < samples.size(); ++i) {
      samples[i] = static_cast<int16_t>(n * 1000 + static_cast<int>(i));
    }
    expected.insert(expected.end(), samples.begin(), samples.end());
    ASSERT_TRUE(wave.ReturnOne(samples));
    ASSERT_TRUE(wave.WaitForQueued(kRing + n + 1));
  }
  input.Close();
  EXPECT_EQ(sink.Samples(), expected);
  EXPECT_EQ(sink.closes, 1);
  EXPECT_EQ(sink.closer, std::this_thread::get_id());
  ExpectNothingHeld();
}

const std::string kTryWasapi = "2 [hov] try use AudioInputWinWASAPI";
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

// WASAPI first, wave-in when it fails; the discarded WASAPI backend has let go of everything
// before wave-in starts, and the front closes what it holds once.
TEST_P(AudioInputWinTest, TriesWasapiThenWaveInAndKeepsWhatOpened) {
  const FrontCase& c = GetParam();
  if (c.refuseWasapi) {
    client.SetMixFormat(WAVE_FORMAT_EXTENSIBLE, 1, 44100, 32, FakeAudioClient::kFloat);
  }
  wave.openResult = c.waveInOpen;
  AudioInputWin front;
  EXPECT_EQ(front.Open(9, &sink), c.held != nullptr);
  EXPECT_STREQ(front.Held(), c.held);
  std::vector<std::string> lines;
  for (const LogLine& line : log.Lines()) {
    if (line.text.find("try use ") != std::string::npos ||
        line.text.find("all failed") != std::string::npos) {
      lines.push_back(std::to_string(line.level) + " " + line.text);
    }
  }
  EXPECT_EQ(lines, c.lines);
  EXPECT_EQ(client.References(), c.lines.size() == 1 ? 1 : 0);
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
        FrontCase{"WaveIn", true, MMSYSERR_NOERROR, "AudioInputWinMME", {kTryWasapi, kTryWaveIn}},
        FrontCase{"None", true, MMSYSERR_NODRIVER, nullptr, {kTryWasapi, kTryWaveIn, kAllFailed}}),
    [](const ::testing::TestParamInfo<FrontCase>& info) { return info.param.name; });

}  // namespace
