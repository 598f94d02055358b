// The capture front's order of attempts and its lines, over stand-in backends.
#include "capture/linux/AudioInputLinux.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/fakes/LogCapture.h"

namespace {

const char kTryPulse[] = "[hov] try use AudioInputLinuxPulse";
const char kPulseFailed[] = "[hov] AudioInputLinuxPulse failed, try use AudioInputLinuxAlsa";
const char kAllFailed[] = "[hov] AudioInputLinuxAlsa failed, all failed";

// What happened to the stand-in backends, in order, e.g. "pulse made", "pulse open 4".
struct Journal {
  std::vector<std::string> events;
};

class StandIn : public AudioInput::Impl {
 public:
  StandIn(Journal* journal, std::string name, bool opens)
      : m_journal(journal), m_name(std::move(name)), m_opens(opens) {
    m_journal->events.push_back(m_name + " made");
  }
  ~StandIn() override { m_journal->events.push_back(m_name + " destroyed"); }
  bool Open(uint32_t microphone, AudioInput::AudioSink* /*sink*/) override {
    m_journal->events.push_back(m_name + " open " + std::to_string(microphone));
    return m_opens;
  }
  void Close() override { m_journal->events.push_back(m_name + " close"); }

 private:
  Journal* m_journal;
  std::string m_name;
  bool m_opens;
};

class NullSink : public AudioInput::AudioSink {
 public:
  void Open(uint32_t, uint32_t, uint32_t) override {}
  void Close() override {}
  int32_t Write(const int16_t*, int32_t frames) override { return frames; }
};

class AudioInputLinuxTest : public testing::Test {
 protected:
  AudioInputLinux MakeFront(bool pulseOpens, bool alsaOpens) {
    return AudioInputLinux(
        [this, pulseOpens] { return std::make_unique<StandIn>(&m_journal, "pulse", pulseOpens); },
        [this, alsaOpens] { return std::make_unique<StandIn>(&m_journal, "alsa", alsaOpens); });
  }
  // The front's own lines (traces left out), with their levels.
  std::vector<std::pair<int, std::string>> FrontLines() const {
    std::vector<std::pair<int, std::string>> lines;
    for (const LogLine& line : m_log.Lines()) {
      if (line.text.rfind("[hov] entry ", 0) != 0 && line.text.rfind("[hov] exit ", 0) != 0) {
        lines.emplace_back(line.level, line.text);
      }
    }
    return lines;
  }
  std::vector<std::string> Events() const { return m_journal.events; }

  LogCapture m_log;
  Journal m_journal;
  NullSink m_sink;
};

using Lines = std::vector<std::pair<int, std::string>>;
using Names = std::vector<std::string>;

TEST_F(AudioInputLinuxTest, PulseOpeningEndsTheSearchWithOneLine) {
  AudioInputLinux front = MakeFront(true, true);
  EXPECT_TRUE(front.Open(4, &m_sink));
  EXPECT_EQ(FrontLines(), (Lines{{2, kTryPulse}}));
  EXPECT_EQ(m_log.Count("[hov] entry AudioInputLinux::Open"), 1);
  front.Close();
  front.Close();
  EXPECT_EQ(Events(), (Names{"pulse made", "pulse open 4", "pulse close", "pulse destroyed"}));
}

TEST_F(AudioInputLinuxTest, PulseFailingFallsBackToAlsaWithTwoLines) {
  AudioInputLinux front = MakeFront(false, true);
  EXPECT_TRUE(front.Open(0, &m_sink));
  EXPECT_EQ(FrontLines(), (Lines{{2, kTryPulse}, {3, kPulseFailed}}));
  front.Close();
  front.Close();
  // The failed backend is discarded without Close.
  EXPECT_EQ(Events(), (Names{"pulse made", "pulse open 0", "pulse destroyed", "alsa made",
                             "alsa open 0", "alsa close", "alsa destroyed"}));
}

TEST_F(AudioInputLinuxTest, BothFailingGivesThreeLinesFalseAndNothingHeld) {
  AudioInputLinux front = MakeFront(false, false);
  EXPECT_FALSE(front.Open(0, &m_sink));
  EXPECT_EQ(FrontLines(), (Lines{{2, kTryPulse}, {3, kPulseFailed}, {3, kAllFailed}}));
  front.Close();
  front.Close();
  EXPECT_EQ(Events(), (Names{"pulse made", "pulse open 0", "pulse destroyed", "alsa made",
                             "alsa open 0", "alsa destroyed"}));
}

TEST_F(AudioInputLinuxTest, ThePlatformCaptureIsTheFront) {
  EXPECT_NE(dynamic_cast<AudioInputLinux*>(CreatePlatformAudioInput().get()), nullptr);
}

}  // namespace
