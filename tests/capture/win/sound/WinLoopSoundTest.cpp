// Real sound under Wine: wave-out plays a ramp into the private PulseAudio null sink, and the
// capture front records the sink's monitor (the default source). Run by CTest under
// scripts/with-pulse, once at 48000 Hz (WASAPI captures) and once at 44100 Hz (WASAPI refuses
// the mix rate and wave-in captures), and once without a sound server.
#include <windows.h>
// windows.h first: mmsystem.h relies on its types.
#include <mmsystem.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>

#include "capture/win/AudioInputWin.h"
#include "send/win/AudioOutputWinMME.h"
#include "tests/fakes/LogCapture.h"

namespace {

constexpr int32_t kRampLow = -16000;
constexpr int32_t kRampLength = 32000;

// A sawtooth that climbs by one per sample: easy to recognise after the trip through the
// sound server, whose float conversions may move a sample by one.
class RampSource : public AudioOutput::AudioSource {
 public:
  int32_t Read(int16_t* buffer, int32_t count) override {
    for (int32_t i = 0; i < count; ++i) {
      buffer[i] = static_cast<int16_t>(kRampLow + m_position);
      m_position = (m_position + 1) % kRampLength;
    }
    return count;
  }

 private:
  int32_t m_position = 0;
};

// Counts the captured neighbours that climb as the ramp does (by 1, give or take 1, away from
// silence), and waits for enough of them.
class RampSink : public AudioInput::AudioSink {
 public:
  void Open(uint32_t channels, uint32_t samplesPerSec, uint32_t bitsPerSample) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_format = std::to_string(channels) + "/" + std::to_string(samplesPerSec) + "/" +
               std::to_string(bitsPerSample);
  }
  void Close() override {}
  int32_t Write(const int16_t* data, int32_t frames) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_frames += frames;
    for (int32_t i = 1; i < frames; ++i) {
      int32_t step = data[i] - data[i - 1];
      if (step >= 0 && step <= 2 && (data[i] > 100 || data[i] < -100)) {
        ++m_climbing;
      }
    }
    m_changed.notify_all();
    return frames;
  }

  // Waits until count climbing neighbours have arrived; false after the time limit.
  bool WaitForClimbing(int64_t count, std::chrono::seconds limit) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, limit, [&] { return m_climbing >= count; });
  }
  std::string Format() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_format;
  }
  int64_t Frames() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_frames;
  }
  int64_t Climbing() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_climbing;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::string m_format;
  int64_t m_frames = 0;
  int64_t m_climbing = 0;
};

class WinLoopSoundTest : public ::testing::Test {
 protected:
  // Plays the ramp and captures until one second of it has come back.
  void PlayAndCapture() {
    ASSERT_TRUE(m_output.Open(WAVE_MAPPER, &m_source));
    ASSERT_TRUE(m_input.Open(0, &m_sink));
    // The first packet may take a couple of seconds under Wine; the limit only ends a
    // capture that never comes.
    bool heard = m_sink.WaitForClimbing(48000, std::chrono::seconds(30));
    m_input.Close();
    m_output.Close();
    std::printf("captured %lld frames, %lld climbing like the ramp\n",
                static_cast<long long>(m_sink.Frames()), static_cast<long long>(m_sink.Climbing()));
    EXPECT_TRUE(heard);
    EXPECT_EQ(m_sink.Format(), "1/48000/16");
    PrintLog();
  }

  // The log without the playback callback's traces, for the test's output.
  void PrintLog() {
    for (const std::string& text : m_log.Texts()) {
      if (text.find("AudioOutputWinMME::WaveOutProc") == std::string::npos &&
          text.find("AudioOutputWinMME::On") == std::string::npos) {
        std::printf("%s\n", text.c_str());
      }
    }
  }

  LogCapture m_log;
  RampSource m_source;
  RampSink m_sink;
  AudioOutputWinMME m_output;
  AudioInputWin m_input;
};

TEST_F(WinLoopSoundTest, WasapiHearsWhatWaveOutPlays) {
  PlayAndCapture();
  EXPECT_TRUE(m_log.Contains("[hov] AudioInputWinWASAPI::Open res: 1"));
  EXPECT_TRUE(
      m_log.Contains("[hov] GetBuiltInAudioInputDevice failed, try to GetDefaultAudioEndpoint"));
  EXPECT_TRUE(m_log.Contains("[hov] pDeviceEnumerator->GetDefaultAudioEndpoint succeed"));
  EXPECT_FALSE(m_log.Contains("[hov] AudioInputWinWASAPI failed, try use AudioInputWinMME"));
}

TEST_F(WinLoopSoundTest, WaveInHearsWhatWaveOutPlaysWhenTheMixRateIs44100) {
  PlayAndCapture();
  EXPECT_TRUE(m_log.Contains("[hov] pwfx->nSamplesPerSec != 48000"));
  EXPECT_TRUE(m_log.Contains("[hov] AudioInputWinWASAPI::Open res: 0"));
  EXPECT_TRUE(m_log.Contains("[hov] AudioInputWinWASAPI failed, try use AudioInputWinMME"));
  EXPECT_FALSE(m_log.Contains("[hov] AudioInputWinMME failed, all failed"));
}

TEST_F(WinLoopSoundTest, WithoutASoundServerNothingOpensAndNothingHangs) {
  EXPECT_FALSE(m_output.Open(WAVE_MAPPER, &m_source));
  EXPECT_FALSE(m_input.Open(0, &m_sink));
  m_input.Close();
  std::vector<std::string> front;
  for (const std::string& text : m_log.Texts()) {
    if (text == "[hov] try use AudioInputWinWASAPI" ||
        text == "[hov] AudioInputWinWASAPI failed, try use AudioInputWinMME" ||
        text == "[hov] AudioInputWinMME failed, all failed") {
      front.push_back(text);
    }
  }
  EXPECT_EQ(front.size(), 3u);
  PrintLog();
}

}  // namespace
