// The capture and playback fronts over stand-in backends: PulseAudio first, ALSA when it fails,
// and only the backend that opened is kept, polled and closed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/linux/AudioInputLinux.h"
#include "send/linux/AudioOutputLinux.h"
#include "tests/fakes/LogCapture.h"

namespace {

using Events = std::vector<std::string>;

template <class Impl, class Peer>
class StandIn : public Impl {
 public:
  StandIn(Events* events, std::string name, bool opens)
      : m_events(events), m_name(std::move(name)), m_opens(opens) {}
  ~StandIn() override { m_events->push_back(m_name + " destroyed"); }
  bool Open(uint32_t device, Peer*) override {
    m_events->push_back(m_name + " open " + std::to_string(device));
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
  int failureLines;  // at level 3
  Events events;     // of Open(4), Poll, Close, Close on the front
};

template <class Front, class Impl, class Peer>
void CheckFront(const FrontCase& c) {
  LogCapture log;
  Events events;
  {
    Front front(
        [&] { return std::make_unique<StandIn<Impl, Peer>>(&events, "pulse", c.pulseOpens); },
        [&] { return std::make_unique<StandIn<Impl, Peer>>(&events, "alsa", c.alsaOpens); });
    EXPECT_EQ(front.Open(4, nullptr), c.pulseOpens || c.alsaOpens);
    front.Poll();
    front.Close();
    front.Close();
  }
  int failures = 0;
  for (const LogLine& line : log.Lines()) {
    failures += line.level == 3 ? 1 : 0;
  }
  EXPECT_EQ(failures, c.failureLines);
  EXPECT_EQ(events, c.events);
}

TEST(LinuxFrontTest, TriesPulseThenAlsaAndKeepsOnlyTheOneThatOpened) {
  const FrontCase cases[] = {
      {true, true, 0, {"pulse open 4", "pulse poll", "pulse close", "pulse destroyed"}},
      {false,
       true,
       1,
       {"pulse open 4", "pulse destroyed", "alsa open 4", "alsa poll", "alsa close",
        "alsa destroyed"}},
      {false, false, 2, {"pulse open 4", "pulse destroyed", "alsa open 4", "alsa destroyed"}},
  };
  for (const FrontCase& c : cases) {
    CheckFront<AudioInputLinux, AudioInput::Impl, AudioInput::AudioSink>(c);
    CheckFront<AudioOutputLinux, AudioOutput::Impl, AudioOutput::AudioSource>(c);
  }
}

}  // namespace
