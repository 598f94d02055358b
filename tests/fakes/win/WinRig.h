// The Windows backends' fakes together: Core Audio with one built-in HD Audio microphone that is
// also the default endpoint (a 48000 Hz float client), a wave device, the log; and the check
// that everything handed to a backend has come back.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/fakes/LogCapture.h"
#include "tests/fakes/win/FakeAudioClient.h"
#include "tests/fakes/win/FakeCaptureApi.h"
#include "tests/fakes/win/FakeEndpoints.h"
#include "tests/fakes/win/FakeWave.h"
#include "tests/fakes/win/TaskMemory.h"

class WinRig : public ::testing::Test {
 public:
  WinRig() : m_trackedAtStart(TrackedBlocks()) {
    mic.client = &client;
    api.enumerator.collection.endpoints = {&mic};
    api.enumerator.defaultEndpoint = &mic;
  }

  // Test thread, once the backend is closed or destroyed.
  void ExpectNothingHeld() {
    EXPECT_EQ(wave.openDevices, 0);
    EXPECT_EQ(wave.prepared, 0);
    EXPECT_TRUE(api.WaitForEventsClosed());
    EXPECT_EQ(api.enumerator.References(), 0);
    EXPECT_EQ(api.enumerator.collection.References(), 0);
    for (FakeEndpoint* endpoint : api.enumerator.collection.endpoints) {
      EXPECT_EQ(endpoint->References(), 0);
      EXPECT_EQ(endpoint->store.References(), 0);
    }
    EXPECT_EQ(mic.References(), 0);
    EXPECT_EQ(client.References(), 0);
    EXPECT_EQ(client.capture.References(), 0);
    EXPECT_EQ(TrackedBlocks(), m_trackedAtStart);
    EXPECT_EQ(api.ForeignFrees(), 0);
    EXPECT_EQ(api.ComUninitializations(), api.ComInitializations());
    EXPECT_EQ(client.starts, client.stops);
  }

  // Level of the first line reading text, or 0.
  int LevelOf(const std::string& text) {
    for (const LogLine& line : log.Lines()) {
      if (line.text == text) {
        return line.level;
      }
    }
    return 0;
  }

  LogCapture log;
  FakeCaptureApi api;  // before the wave fake: the tables are put back in reverse order
  FakeWave wave;
  FakeAudioClient client;
  FakeEndpoint mic{L"Microphone (HD Audio)", L"HDAUDIO", true};

 private:
  size_t m_trackedAtStart;
};
