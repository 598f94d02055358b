// The playback front's order of attempts and its lines, over stand-in backends.
#include "send/linux/AudioOutputLinux.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/fakes/LogCapture.h"

namespace {

using Lines = std::vector<std::pair<int, std::string>>;
using Events = std::vector<std::string>;

class StandIn : public AudioOutput::Impl {
 public:
  StandIn(Events* events, std::string name, bool opens)
      : m_events(events), m_name(std::move(name)), m_opens(opens) {
    m_events->push_back(m_name + " made");
  }
  ~StandIn() override { m_events->push_back(m_name + " destroyed"); }
  bool Open(uint32_t /*deviceId*/, AudioOutput::AudioSource* /*source*/) override {
    m_events->push_back(m_name + " open");
    return m_opens;
  }
  void Close() override { m_events->push_back(m_name + " close"); }
  void Poll() override { m_events->push_back(m_name + " poll"); }

 private:
  Events* m_events;
  std::string m_name;
  bool m_opens;
};

struct FrontCase {
  bool pulseOpens;
  bool alsaOpens;
  Lines lines;    // the front's lines, traces left out
  Events events;  // Open, Poll, Close, Close on the front
};

const char kTry[] = "[hov] try use AudioOutputLinuxPulse";
const char kPulseFailed[] = "[hov] AudioOutputLinuxPulse failed, try use AudioOutputLinuxAlsa";
const char kAllFailed[] = "[hov] AudioOutputLinuxAlsa failed, all failed";

class AudioOutputLinuxFront : public testing::TestWithParam<FrontCase> {};

TEST_P(AudioOutputLinuxFront, TriesPulseThenAlsaAndKeepsOnlyTheOneThatOpened) {
  const FrontCase& c = GetParam();
  LogCapture log;
  Events events;
  {
    AudioOutputLinux front(
        [&] { return std::make_unique<StandIn>(&events, "pulse", c.pulseOpens); },
        [&] { return std::make_unique<StandIn>(&events, "alsa", c.alsaOpens); });
    EXPECT_EQ(front.Open(3, nullptr), c.pulseOpens || c.alsaOpens);
    front.Poll();
    front.Close();
    front.Close();
  }
  Lines lines;
  for (const LogLine& line : log.Lines()) {
    if (line.text.rfind("[hov] entry ", 0) != 0 && line.text.rfind("[hov] exit ", 0) != 0) {
      lines.emplace_back(line.level, line.text);
    }
  }
  EXPECT_EQ(lines, c.lines);
  EXPECT_EQ(events, c.events);
}

INSTANTIATE_TEST_SUITE_P(Cases, AudioOutputLinuxFront,
                         testing::Values(FrontCase{true,
                                                   true,
                                                   {{2, kTry}},
                                                   {"pulse made", "pulse open", "pulse poll",
                                                    "pulse close", "pulse destroyed"}},
                                         FrontCase{false,
                                                   true,
                                                   {{2, kTry}, {3, kPulseFailed}},
                                                   {"pulse made", "pulse open", "pulse destroyed",
                                                    "alsa made", "alsa open", "alsa poll",
                                                    "alsa close", "alsa destroyed"}},
                                         FrontCase{false,
                                                   false,
                                                   {{2, kTry}, {3, kPulseFailed}, {3, kAllFailed}},
                                                   {"pulse made", "pulse open", "pulse destroyed",
                                                    "alsa made", "alsa open", "alsa destroyed"}}),
                         [](const testing::TestParamInfo<FrontCase>& info) {
                           return std::string(info.param.pulseOpens ? "PulseOpens" : "PulseFails") +
                                  (info.param.alsaOpens ? "AlsaOpens" : "AlsaFails");
                         });

TEST(AudioOutputLinuxTest, ThePlatformPlaybackIsTheFrontAndListsOneDevice) {
  EXPECT_NE(dynamic_cast<AudioOutputLinux*>(CreatePlatformAudioOutput().get()), nullptr);
  std::vector<uint32_t> ids = {5, 6, 7};
  AudioOutput::LoadDevice(ids);
  EXPECT_EQ(ids, std::vector<uint32_t>{0});
}

}  // namespace
