#include "capture/win/AudioInputWinWASAPI.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/fakes/win/WinRig.h"

namespace {

const GUID kPcm = {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
const GUID kOther = {0x00000006, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

template <typename Sample>
std::vector<BYTE> Bytes(const std::vector<Sample>& samples) {
  return FakeAudioClient::Bytes(samples);
}

struct FormatCase {
  const char* name;
  WORD tag, channels, bits;
  GUID subFormat;
  std::vector<BYTE> packet;
  UINT32 frames;
  std::vector<int16_t> written;  // the first channel as 16-bit samples; empty: unsupported
  DWORD rate = 48000;            // the mix rate
  bool anyRate = false;          // the sink takes any rate
  bool opens = true;             // false: the mix rate is refused (the front falls back)
};

class WasapiFormatTest : public WinRig, public ::testing::WithParamInterface<FormatCase> {};

// One packet in the mix format through a running capture: the sink is opened 1/rate/16 on the
// capture thread, gets the first channel converted, and is closed once by the closing thread.
// A mix rate other than 48000 is taken only by a sink that takes any rate.
TEST_P(WasapiFormatTest, ThePacketReachesTheSinkAsMono16Bit) {
  const FormatCase& c = GetParam();
  client.SetMixFormat(c.tag, c.channels, c.rate, c.bits, c.subFormat);
  sink.anyRate = c.anyRate;
  {
    AudioInputWinWASAPI input;
    ASSERT_EQ(input.Open(0, &sink), c.opens);
    if (c.opens) {
      client.Deliver(c.packet, c.frames);
      ASSERT_TRUE(client.capture.WaitForGetBuffers(1));
    }
    input.Close();
  }
  EXPECT_EQ(sink.Samples(), c.written);
  EXPECT_EQ(sink.format, c.opens ? 1u * 1000000 + c.rate * 100 + 16 : 0u);
  EXPECT_EQ(sink.opens, c.opens ? 1 : 0);
  EXPECT_EQ(sink.closes, c.opens ? 1 : 0);
  if (c.opens) {
    EXPECT_EQ(sink.closer, std::this_thread::get_id());
  }
  EXPECT_EQ(log.Count("[hov] pwfx->nSamplesPerSec != 48000"), c.opens ? 0 : 1);
  EXPECT_EQ(client.capture.releaseMismatches, 0);
  ExpectNothingHeld();
}

const std::vector<float> kFloats = {0.5f, -0.5f, 1.0f, -1.0f, 0.0f, 0.25f, 2.0f, -2.0f};
const std::vector<int16_t> kFloatsAs16 = {16383, -16383, 32767, -32767, 0, 8191, 32767, -32768};

INSTANTIATE_TEST_SUITE_P(
    MixFormats, WasapiFormatTest,
    ::testing::Values(
        FormatCase{"MonoFloat", WAVE_FORMAT_EXTENSIBLE, 1, 32, FakeAudioClient::kFloat,
                   Bytes(kFloats), 8, kFloatsAs16},
        FormatCase{"MonoFloat44100", WAVE_FORMAT_EXTENSIBLE, 1, 32, FakeAudioClient::kFloat,
                   Bytes(kFloats), 8, std::vector<int16_t>{}, 44100, false, false},
        FormatCase{"MonoFloat44100AnyRate", WAVE_FORMAT_EXTENSIBLE, 1, 32, FakeAudioClient::kFloat,
                   Bytes(kFloats), 8, kFloatsAs16, 44100, true},
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

TEST_F(WinRig, AFailedGetBufferAndEmptyWakeUpsDeliverNothingAndCaptureGoesOn) {
  AudioInputWinWASAPI input;
  ASSERT_TRUE(input.Open(0, &sink));
  // One packet per wake-up: signals that come together wake the thread once.
  client.Deliver({}, 0, E_FAIL);
  ASSERT_TRUE(client.capture.WaitForGetBuffers(1));
  client.Deliver({}, 0);
  ASSERT_TRUE(client.capture.WaitForGetBuffers(2));
  client.Deliver(FakeAudioClient::Bytes(std::vector<float>{0.5f}), 1);
  ASSERT_TRUE(sink.WaitForCalls(1));
  input.Close();
  EXPECT_EQ(sink.Samples(), std::vector<int16_t>{16383});
  EXPECT_EQ(client.capture.releaseMismatches, 0);
  ExpectNothingHeld();
}

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
};

class EndpointChoiceTest : public WinRig, public ::testing::WithParamInterface<ChoiceCase> {};

// The first built-in endpoint (container id and enumerator name) in collection order that is no
// stereo mix; an endpoint that cannot be read is skipped.
TEST_P(EndpointChoiceTest, TheFirstBuiltInMicrophoneIsChosen) {
  std::vector<std::unique_ptr<FakeEndpoint>> endpoints;
  api.enumerator.collection.endpoints.clear();
  for (const Endpoint& e : GetParam().endpoints) {
    endpoints.push_back(std::make_unique<FakeEndpoint>(e.name, e.enumerator, e.builtIn));
    endpoints.back()->getIdResult = e.getId;
    endpoints.back()->openStoreResult = e.openStore;
    api.enumerator.collection.endpoints.push_back(endpoints.back().get());
  }
  api.enumerator.collection.failItem = GetParam().failItem;
  IMMDevice* device = nullptr;
  EXPECT_EQ(AudioInputWinWASAPI::GetBuiltInAudioInputDevice(&api.enumerator, &device),
            GetParam().chosen >= 0);
  EXPECT_EQ(device, GetParam().chosen < 0 ? nullptr : endpoints[GetParam().chosen].get());
  if (device != nullptr) {
    device->Release();
  }
  ExpectNothingHeld();
}

const Endpoint kMic{L"Microphone (HD Audio)", L"HDAUDIO", true};

INSTANTIATE_TEST_SUITE_P(
    Lists, EndpointChoiceTest,
    ::testing::Values(
        ChoiceCase{"StereoMixSkipped", {{L"Stereo Mix (HD Audio)", L"HDAUDIO", true}, kMic}, 1},
        ChoiceCase{"ChineseStereoMixSkipped",
                   {{L"立体声混音 (Realtek)", L"HDAUDIO", true},
                    {L"立体音混音 (Realtek)", L"INTELAUDIO", true},
                    kMic},
                   2},
        ChoiceCase{"StereoMixLaterInTheName", {{L"Mic (Stereo Mix)", L"HDAUDIO", true}, kMic}, 0},
        ChoiceCase{"CollectionOrder",
                   {{L"USB Microphone", L"USB", true},
                    {L"Line In (HD Audio)", L"HDAUDIO", false},
                    {L"Microphone Array", L"IntelAudio", true},
                    kMic},
                   2},
        ChoiceCase{"EnumeratorPrefix",
                   {{L"Mic", L"XHDAUDIO", true},
                    {L"Mic", L"HDAUDI", true},
                    {L"Mic", L"", true},
                    {L"Mic", L"hdaudio\\FUNC_01", true}},
                   3},
        ChoiceCase{"NoBuiltIn",
                   {{L"Microphone (USB)", L"USB", false}, {L"Headset", L"BTHENUM", true}},
                   -1},
        ChoiceCase{"Empty", {}, -1},
        ChoiceCase{"UnreadableSkipped",
                   {kMic,
                    {L"Microphone (HD Audio)", L"HDAUDIO", true, E_OUTOFMEMORY},
                    {L"Microphone (HD Audio)", L"HDAUDIO", true, S_OK, E_ACCESSDENIED},
                    kMic},
                   3,
                   0}),
    [](const ::testing::TestParamInfo<ChoiceCase>& info) { return info.param.name; });

TEST_F(WinRig, AFailedEnumerationFindsNothing) {
  api.enumerator.enumResult = E_OUTOFMEMORY;
  IMMDevice* device = nullptr;
  EXPECT_FALSE(AudioInputWinWASAPI::GetBuiltInAudioInputDevice(&api.enumerator, &device));
  EXPECT_FALSE(AudioInputWinWASAPI::GetBuiltInAudioInputDevice(nullptr, nullptr));
  ExpectNothingHeld();
}

}  // namespace
