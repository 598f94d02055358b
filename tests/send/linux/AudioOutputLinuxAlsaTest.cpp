// The playback backend's device list and its place behind the playback handle.
#include "send/linux/AudioOutputLinuxAlsa.h"

#include <gtest/gtest.h>

#include "tests/fakes/LogCapture.h"

namespace {

TEST(AudioOutputLinuxAlsaTest, TheDeviceListHoldsExactlyTheDefaultDevice) {
  LogCapture log;
  std::vector<uint32_t> ids;
  AudioOutputLinuxAlsa::LoadDevice(ids);
  EXPECT_EQ(ids, std::vector<uint32_t>{0});
  ids = {5, 6, 7};
  AudioOutput::LoadDevice(ids);
  EXPECT_EQ(ids, std::vector<uint32_t>{0});
  EXPECT_EQ(log.Count("[hov] entry AudioOutputLinuxAlsa::LoadDevice"), 2);
}

TEST(AudioOutputLinuxAlsaTest, ThePlatformPlaybackIsTheAlsaBackend) {
  EXPECT_NE(dynamic_cast<AudioOutputLinuxAlsa*>(CreatePlatformAudioOutput().get()), nullptr);
}

}  // namespace
