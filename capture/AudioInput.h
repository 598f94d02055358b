// The capture handle that the receive session holds, and the consumer interface of captured
// audio. The handle forwards to one platform object, chosen when the handle is made.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class AudioInput {
 public:
  // Consumer of captured audio: told the format once, then fed buffer by buffer, then closed.
  // Calls of one capture never overlap; Open and Write come from the capture side, the last
  // Close may come from the thread that closes the capture. No Write after a Close.
  class AudioSink {
   public:
    virtual ~AudioSink() = default;
    // Capture side, once before the first Write: the format of what follows.
    virtual void Open(uint32_t channels, uint32_t samplesPerSec, uint32_t bitsPerSample) = 0;
    // Capture side, or the closing thread: capture has ended. Must take a second call, and a
    // call without Open.
    virtual void Close() = 0;
    // Capture side: one buffer of frames mono signed 16-bit samples; returns frames taken.
    virtual int32_t Write(const int16_t* data, int32_t frames) = 0;
    // Any thread; the same answer for the sink's whole life. True when Open may announce any
    // rate (the device's own); false: the backends announce 48000 or do not open.
    virtual bool TakesAnyRate() const { return false; }
  };

  // A platform capture backend behind the handle.
  class Impl {
   public:
    virtual ~Impl() = default;
    // Owner's thread. True when capture runs into sink, announced as (1, 48000, 16), or as
    // (1, the device's rate, 16) when the sink takes any rate.
    virtual bool Open(uint32_t microphone, AudioSink* sink) = 0;
    // Owner's thread. Stops capture; once it returns no sink call is in progress or follows.
    // Returns within a bounded time, even when the sound server does not answer.
    virtual void Close() = 0;
    // Owner's thread, now and then while open: logs what the capture thread has met (a lost
    // device, its return), since capture threads do not log.
    virtual void Poll() {}
  };
  using Factory = std::function<std::unique_ptr<Impl>()>;

  AudioInput();   // owner's thread; makes the platform object (or the test's)
  ~AudioInput();  // does not close; owners call Close first

  // Any thread. Empties the list and appends the one microphone number, 0.
  static void GetMicrophoneNumbers(std::vector<uint32_t>& numbers);
  // Owner's thread. Opens capture into sink; once per object.
  bool Open(uint32_t microphone, AudioSink* sink);
  // Owner's thread. Stops capture; harmless after a failed Open and when repeated.
  void Close();
  // Owner's thread, while open. See Impl::Poll.
  void Poll();

  // Test hook: handles made from now on use factory's objects (null: the platform's).
  // Returns the factory it replaces. Call while no handle is being made.
  static Factory SetFactoryForTesting(Factory factory);

 private:
  std::unique_ptr<Impl> m_impl;
};

// The platform's capture front, defined by the platform backend.
std::unique_ptr<AudioInput::Impl> CreatePlatformAudioInput();
