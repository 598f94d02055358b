#include "capture/win/AudioInputWinWASAPI.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/fakes/win/CallJournal.h"
#include "tests/fakes/win/RecordingSink.h"
#include "tests/fakes/win/WinRig.h"

namespace {

const GUID kPcm = {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
const GUID kFloat = {0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
const GUID kOther = {0x00000006, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

std::string Res(HRESULT hr) {
  return std::to_string(static_cast<int>(hr));
}

// Captures with the rig's fakes: a built-in HD Audio microphone that is also the default.
class WasapiTest : public WinRig {
 public:
  void SetUp() override { JournalClear(); }

  // Opens, delivers one packet, waits for it to be taken, closes; the sink's writes.
  std::vector<std::vector<int16_t>> CaptureOnePacket(std::vector<BYTE> bytes, UINT32 frames) {
    AudioInputWinWASAPI input;
    EXPECT_TRUE(input.Open(0, &sink));
    client.Deliver(std::move(bytes), frames);
    EXPECT_TRUE(client.capture.WaitForGetBuffers(1));
    input.Close();
    return sink.Writes();
  }

  RecordingSink sink;
};

TEST_F(WasapiTest, LoadDeviceYieldsZero) {
  std::vector<uint32_t> ids = {4, 5};
  AudioInputWinWASAPI::LoadDevice(ids);
  EXPECT_EQ(ids, std::vector<uint32_t>{0});
}

TEST_F(WasapiTest, OpenStartsARawSharedEventStreamAndCloseReleasesAllInOrder) {
  {
    AudioInputWinWASAPI input;
    ASSERT_TRUE(input.Open(0, &sink));
    EXPECT_EQ(LevelOf("[hov] AudioInputWinWASAPI::Open res: 1"), 2);
    EXPECT_EQ(LevelOf("[hov] GetBuiltInAudioInputDevice succeed "), 2);
    EXPECT_EQ(LevelOf("[hov] current audio device :Microphone (HD Audio)"), 3);
    EXPECT_TRUE(api.CreateInstanceArgumentsRight());
    EXPECT_TRUE(api.enumerator.enumeratedCaptureActive);

    EXPECT_EQ(client.properties.cbSize, 16u);
    EXPECT_FALSE(client.properties.bIsOffload);
    EXPECT_EQ(client.properties.eCategory, AudioCategory_Other);
    EXPECT_EQ(client.properties.Options, AUDCLNT_STREAMOPTIONS_RAW);
    EXPECT_EQ(client.shareMode, AUDCLNT_SHAREMODE_SHARED);
    EXPECT_EQ(client.streamFlags, 0xC0000u);
    EXPECT_EQ(client.bufferDuration, 10000000);
    EXPECT_EQ(client.periodicity, 0);
    EXPECT_TRUE(client.initializedWithMixFormat);
    EXPECT_FALSE(client.sessionGuidGiven);
    EXPECT_EQ(sink.Format(), (std::vector<uint32_t>{1, 48000, 16}));

    JournalClear();
    input.Close();
  }
  std::vector<std::string> teardown;
  for (const std::string& note : JournalNotes()) {
    if (note != "sink Close") {
      teardown.push_back(note);
    }
  }
  EXPECT_EQ(teardown,
            (std::vector<std::string>{"Stop", "Release capture client", "CloseHandle capture event",
                                      "CoTaskMemFree", "Release audio client", "CoUninitialize"}));
  ExpectNothingHeld();
}

TEST_F(WasapiTest, SinkSeesOpenAndWritesOnTheCaptureThreadAndCloseOnceFromTheCloser) {
  std::vector<float> samples = {0.5f, -0.5f, 1.0f, -1.0f, 0.0f, 0.25f};
  EXPECT_EQ(CaptureOnePacket(FakeAudioClient::Bytes(samples), 6),
            (std::vector<std::vector<int16_t>>{{16383, -16383, 32767, -32767, 0, 8191}}));

  std::vector<RecordingSink::Call> calls = sink.Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(std::string({calls[0].kind, calls[1].kind, calls[2].kind}), "OWC");
  std::thread::id captureThread = calls[0].thread;
  EXPECT_NE(captureThread, std::this_thread::get_id());
  EXPECT_EQ(calls[1].thread, captureThread);
  EXPECT_EQ(calls[2].thread, std::this_thread::get_id());
  EXPECT_EQ(client.capture.ReleaseMismatches(), 0);
  ExpectNothingHeld();
}

TEST_F(WasapiTest, StereoFloatKeepsTheFirstChannel) {
  client.SetMixFormat(WAVE_FORMAT_EXTENSIBLE, 2, 48000, 32, kFloat);
  std::vector<float> samples = {0.5f, 0.9f, -0.5f, 0.9f, 0.75f, -0.9f};
  EXPECT_EQ(CaptureOnePacket(FakeAudioClient::Bytes(samples), 3),
            (std::vector<std::vector<int16_t>>{{16383, -16383, 24575}}));
  ExpectNothingHeld();
}

TEST_F(WasapiTest, Stereo16BitPcmKeepsTheFirstSampleOfEachFrame) {
  client.SetMixFormat(WAVE_FORMAT_EXTENSIBLE, 2, 48000, 16, kPcm);
  std::vector<int16_t> samples = {100, -1, -200, -1, 32767, -1, -32768, -1};
  EXPECT_EQ(CaptureOnePacket(FakeAudioClient::Bytes(samples), 4),
            (std::vector<std::vector<int16_t>>{{100, -200, 32767, -32768}}));
}

TEST_F(WasapiTest, PlainPcmTagIsConvertedToo) {
  client.SetMixFormat(WAVE_FORMAT_PCM, 1, 48000, 32, GUID{});
  std::vector<int32_t> samples = {1 << 30, INT32_MIN};
  EXPECT_EQ(CaptureOnePacket(FakeAudioClient::Bytes(samples), 2),
            (std::vector<std::vector<int16_t>>{{16383, -32767}}));
}

TEST_F(WasapiTest, UnsupportedSampleFormatsOpenButNeverWrite) {
  struct Case {
    WORD tag;
    WORD bits;
    GUID subFormat;
  };
  int packets = 0;
  for (const Case& c :
       {Case{WAVE_FORMAT_EXTENSIBLE, 24, kPcm}, Case{WAVE_FORMAT_EXTENSIBLE, 32, kOther},
        Case{WAVE_FORMAT_IEEE_FLOAT, 32, GUID{}}}) {
    RecordingSink formatSink;
    client.SetMixFormat(c.tag, 1, 48000, c.bits, c.subFormat);
    AudioInputWinWASAPI input;
    ASSERT_TRUE(input.Open(0, &formatSink));
    client.Deliver(std::vector<BYTE>(4 * 8), 8);
    ASSERT_TRUE(client.capture.WaitForGetBuffers(++packets));
    input.Close();
    EXPECT_EQ(formatSink.Count('W'), 0);
    EXPECT_EQ(formatSink.Count('O'), 1);
    EXPECT_EQ(formatSink.Count('C'), 1);
    EXPECT_EQ(client.capture.ReleaseMismatches(), 0);
  }
  ExpectNothingHeld();
}

TEST_F(WasapiTest, FailedGetBufferAndEmptyWakeUpsDeliverNothingAndCaptureGoesOn) {
  AudioInputWinWASAPI input;
  ASSERT_TRUE(input.Open(0, &sink));
  // One packet per wake-up: each is taken before the next is signalled, since signals that
  // come together wake the thread once.
  client.Deliver({}, 0, E_FAIL);
  ASSERT_TRUE(client.capture.WaitForGetBuffers(1));
  client.Deliver({}, 0);
  ASSERT_TRUE(client.capture.WaitForGetBuffers(2));
  client.Deliver(FakeAudioClient::Bytes(std::vector<float>{0.5f}), 1);
  ASSERT_TRUE(sink.WaitForWrites(1));
  input.Close();
  EXPECT_EQ(sink.Writes(), (std::vector<std::vector<int16_t>>{{16383}}));
  EXPECT_EQ(client.capture.ReleaseMismatches(), 0);
  ExpectNothingHeld();
}

TEST_F(WasapiTest, WithoutABuiltInEndpointTheDefaultConsoleEndpointIsUsed) {
  FakeEndpoint usb{L"Microphone (USB Audio Device)", L"USB", false};
  usb.client = &client;
  api.enumerator.collection.endpoints = {&usb};
  api.enumerator.defaultEndpoint = &usb;
  {
    AudioInputWinWASAPI input;
    ASSERT_TRUE(input.Open(0, &sink));
    input.Close();
  }
  EXPECT_EQ(LevelOf("[hov] GetBuiltInAudioInputDevice failed, try to GetDefaultAudioEndpoint"), 2);
  EXPECT_EQ(LevelOf("[hov] pDeviceEnumerator->GetDefaultAudioEndpoint succeed"), 2);
  EXPECT_TRUE(api.enumerator.defaultAskedCaptureConsole);
  EXPECT_EQ(usb.activations, 1);
  ExpectNothingHeld();
}

// The endpoint choice on its own, over fake endpoint lists.
class EndpointChoiceTest : public WasapiTest {
 protected:
  // The endpoint chosen (its position in the list), or -1.
  int Choose() {
    IMMDevice* device = nullptr;
    bool found = AudioInputWinWASAPI::GetBuiltInAudioInputDevice(&api.enumerator, &device);
    int position = -1;
    const std::vector<FakeEndpoint*>& endpoints = api.enumerator.collection.endpoints;
    for (size_t i = 0; i < endpoints.size(); ++i) {
      if (device == endpoints[i]) {
        position = static_cast<int>(i);
      }
    }
    EXPECT_EQ(found, device != nullptr);
    if (device != nullptr) {
      device->Release();
    }
    ExpectNothingHeld();
    return position;
  }

  void Use(std::vector<FakeEndpoint*> endpoints) {
    api.enumerator.collection.endpoints = std::move(endpoints);
  }
};

TEST_F(EndpointChoiceTest, StereoMixIsSkippedAndTheMicrophoneAfterItChosen) {
  FakeEndpoint stereoMix{L"Stereo Mix (HD Audio)", L"HDAUDIO", true};
  Use({&stereoMix, &mic});
  EXPECT_EQ(Choose(), 1);
  EXPECT_EQ(LevelOf("[hov] pCollection->GetCount, count 2"), 2);
  EXPECT_EQ(LevelOf("[hov] current audio device :Microphone (HD Audio)"), 3);
  EXPECT_EQ(log.Count("[hov] current audio device :Microphone (HD Audio)"), 1);
}

TEST_F(EndpointChoiceTest, ChineseStereoMixNamesAreSkippedToo) {
  FakeEndpoint simplified{L"立体声混音 (Realtek High Definition Audio)", L"HDAUDIO", true};
  FakeEndpoint variant{L"立体音混音 (Realtek)", L"INTELAUDIO", true};
  Use({&simplified, &variant, &mic});
  EXPECT_EQ(Choose(), 2);
}

TEST_F(EndpointChoiceTest, OnlyANameThatBeginsWithStereoMixIsExcluded) {
  FakeEndpoint named{L"Microphone (Stereo Mix)", L"HDAUDIO", true};
  Use({&named, &mic});
  EXPECT_EQ(Choose(), 0);
}

TEST_F(EndpointChoiceTest, TheFirstQualifyingEndpointInCollectionOrderWins) {
  FakeEndpoint usb{L"USB Microphone", L"USB", true};
  FakeEndpoint external{L"Line In (HD Audio)", L"HDAUDIO", false};
  FakeEndpoint intel{L"Microphone Array (Intel Smart Sound)", L"IntelAudio", true};
  Use({&usb, &external, &intel, &mic});
  EXPECT_EQ(Choose(), 2);
}

TEST_F(EndpointChoiceTest, NoBuiltInEndpointFindsNothing) {
  FakeEndpoint usb{L"Microphone (USB Audio Device)", L"USB", false};
  FakeEndpoint bluetooth{L"Headset (Bluetooth)", L"BTHENUM", true};
  Use({&usb, &bluetooth});
  EXPECT_EQ(Choose(), -1);
  Use({});
  EXPECT_EQ(Choose(), -1);
  EXPECT_EQ(LevelOf("[hov] pCollection->GetCount, count 0"), 2);
  EXPECT_FALSE(AudioInputWinWASAPI::GetBuiltInAudioInputDevice(nullptr, nullptr));
}

TEST_F(EndpointChoiceTest, MixedCaseEnumeratorNameIsAccepted) {
  FakeEndpoint hd{L"Microphone (HD Audio)", L"HdAudio", true};
  Use({&hd});
  EXPECT_EQ(Choose(), 0);
}

TEST_F(EndpointChoiceTest, AContainerIdThatIsNoGuidEndsThatEndpoint) {
  FakeEndpoint textFirst{L"Microphone (HD Audio)", L"HDAUDIO", true};
  // Stores answer the first property with the key; put a text container id first.
  FakePropertyStore& store = textFirst.store;
  store.Clear();
  store.AddText(kFakeContainerIdKey, L"{00000000-0000-0000-FFFF-FFFFFFFFFFFF}");
  store.AddGuid(kFakeContainerIdKey, kBuiltInContainer);
  store.AddText(kFakeFriendlyNameKey, L"Microphone (HD Audio)");
  store.AddText(kFakeEnumeratorNameKey, L"HDAUDIO");
  Use({&textFirst, &mic});
  EXPECT_EQ(Choose(), 1);
}

TEST_F(EndpointChoiceTest, AnEndpointThatCannotBeReadIsSkippedWithItsLine) {
  FakeEndpoint noId{L"Microphone (HD Audio)", L"HDAUDIO", true};
  noId.getIdResult = E_OUTOFMEMORY;
  FakeEndpoint noStore{L"Microphone (HD Audio)", L"HDAUDIO", true};
  noStore.openStoreResult = E_ACCESSDENIED;
  FakeEndpoint noItem{L"Microphone (HD Audio)", L"HDAUDIO", true};
  Use({&noItem, &noId, &noStore, &mic});
  api.enumerator.collection.failItemFromCall[0] = 1;
  EXPECT_EQ(Choose(), 3);
  EXPECT_EQ(LevelOf("[hov] pCollection->Item 0 failed, res:" + Res(E_FAIL)), 3);
  EXPECT_EQ(LevelOf("[hov] pEndpoint->GetId 1 failed, res:" + Res(E_OUTOFMEMORY)), 3);
  EXPECT_EQ(LevelOf("[hov] pEndpoint->OpenPropertyStore 2 failed, res:" + Res(E_ACCESSDENIED)), 3);
}

TEST_F(EndpointChoiceTest, AFailedSecondFetchLeavesTheEndpointUnqualified) {
  FakeEndpoint first{L"Microphone (HD Audio)", L"HDAUDIO", true};
  Use({&first, &mic});
  api.enumerator.collection.failItemFromCall[0] = 2;
  EXPECT_EQ(Choose(), 1);
}

TEST_F(EndpointChoiceTest, FailedEnumerationFindsNothing) {
  api.enumerator.enumResult = E_OUTOFMEMORY;
  EXPECT_EQ(Choose(), -1);
  EXPECT_EQ(
      LevelOf("[hov] pDeviceEnumerator->EnumAudioEndpoints failed, res:" + Res(E_OUTOFMEMORY)), 3);
}

TEST(IsBuiltInEnumeratorName, LowersAToZAndComparesTheBeginning) {
  EXPECT_TRUE(AudioInputWinWASAPI::IsBuiltInEnumeratorName(L"HDAUDIO"));
  EXPECT_TRUE(AudioInputWinWASAPI::IsBuiltInEnumeratorName(L"HdAudio"));
  EXPECT_TRUE(AudioInputWinWASAPI::IsBuiltInEnumeratorName(L"INTELAUDIO"));
  EXPECT_TRUE(AudioInputWinWASAPI::IsBuiltInEnumeratorName(L"hdaudio\\FUNC_01"));
  EXPECT_FALSE(AudioInputWinWASAPI::IsBuiltInEnumeratorName(L"USB"));
  EXPECT_FALSE(AudioInputWinWASAPI::IsBuiltInEnumeratorName(L"BTHENUM"));
  EXPECT_FALSE(AudioInputWinWASAPI::IsBuiltInEnumeratorName(L"SWD"));
  EXPECT_FALSE(AudioInputWinWASAPI::IsBuiltInEnumeratorName(L"XHDAUDIO"));
  EXPECT_FALSE(AudioInputWinWASAPI::IsBuiltInEnumeratorName(L"HDAUDI"));
  EXPECT_FALSE(AudioInputWinWASAPI::IsBuiltInEnumeratorName(L""));
}

TEST(ConvertPcmToInt16, ReadsTheFirstChannelOfEachSupportedWidth) {
  int16_t out[4] = {};
  const int8_t bytes[] = {64, 9, -64, 9, 127, 9, -128, 9};
  ASSERT_TRUE(
      AudioInputWinWASAPI::ConvertPcmToInt16(out, 4, reinterpret_cast<const BYTE*>(bytes), 2, 8));
  EXPECT_EQ(std::vector<int16_t>(out, out + 4),
            (std::vector<int16_t>{16383, -16383, 32511, -32767}));

  const int16_t words[] = {-5, 1, 2, 32767, 3, 4};
  ASSERT_TRUE(
      AudioInputWinWASAPI::ConvertPcmToInt16(out, 2, reinterpret_cast<const BYTE*>(words), 3, 16));
  EXPECT_EQ(std::vector<int16_t>(out, out + 2), (std::vector<int16_t>{-5, 32767}));

  const int32_t longs[] = {INT32_MAX, INT32_MIN, 65536, -(1 << 30)};
  ASSERT_TRUE(
      AudioInputWinWASAPI::ConvertPcmToInt16(out, 4, reinterpret_cast<const BYTE*>(longs), 1, 32));
  EXPECT_EQ(std::vector<int16_t>(out, out + 4), (std::vector<int16_t>{32766, -32767, 0, -16383}));
}

TEST(ConvertPcmToInt16, OtherWidthsWriteNothing) {
  int16_t out[2] = {7, 7};
  const BYTE bytes[6] = {0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0x7F};
  EXPECT_FALSE(AudioInputWinWASAPI::ConvertPcmToInt16(out, 2, bytes, 1, 24));
  EXPECT_EQ(out[0], 7);
  EXPECT_EQ(out[1], 7);
  EXPECT_TRUE(AudioInputWinWASAPI::ConvertPcmToInt16(out, 0, bytes, 1, 16));
  EXPECT_TRUE(AudioInputWinWASAPI::ConvertPcmToInt16(out, 0, bytes, 1, 8));
  EXPECT_FALSE(AudioInputWinWASAPI::ConvertPcmToInt16(out, 0, bytes, 1, 24));
  EXPECT_EQ(out[0], 7);
}

}  // namespace
