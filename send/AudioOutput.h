// The playback handle that the send session holds, and the pull interface of its samples.
// The handle forwards to one platform object, chosen when the handle is made.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class AudioOutput {
 public:
  // Where playback takes its samples from.
  class AudioSource {
   public:
    virtual ~AudioSource() = default;
    // The device's refill thread (and the opener's thread during Open): writes up to count
    // mono signed 16-bit samples at 48000 Hz; returns how many. 0 or less queues nothing.
    virtual int32_t Read(int16_t* buffer, int32_t count) = 0;
    // The device's thread: the backend has met something that its next Poll logs (a lost
    // device, its return, an underrun). Must not block, allocate or log.
    virtual void OnDeviceNews() {}
  };

  // A platform playback backend behind the handle.
  class Impl {
   public:
    virtual ~Impl() = default;
    // Owner's thread. Opens the default device and starts pulling samples; false (nothing
    // held) when the device does not open.
    virtual bool Open(uint32_t deviceId, AudioSource* source) = 0;
    // Owner's thread, only after a successful Open. Once it returns no Read is in progress
    // and none follows. Returns within a bounded time, even when the sound server does not
    // answer.
    virtual void Close() = 0;
    // Owner's thread, now and then while open: logs what the playback thread has met (a lost
    // device, its return), since playback threads do not log.
    virtual void Poll() {}
  };
  using Factory = std::function<std::unique_ptr<Impl>()>;

  AudioOutput();   // owner's thread; makes the platform object (or the test's)
  ~AudioOutput();  // does not close; owners call Close after a successful Open

  // Any thread. Empties the list and appends the one default device of the platform.
  static void LoadDevice(std::vector<uint32_t>& deviceIds);
  // Owner's thread. See Impl::Open.
  bool Open(uint32_t deviceId, AudioSource* source);
  // Owner's thread. See Impl::Close.
  void Close();
  // Owner's thread, while open. See Impl::Poll.
  void Poll();

  // Test hook: handles made from now on use factory's objects (null: the platform's).
  // Returns the factory it replaces. Call while no handle is being made.
  static Factory SetFactoryForTesting(Factory factory);

 private:
  std::unique_ptr<Impl> m_impl;
};

// The platform's playback device and its device list, defined by the platform backend.
std::unique_ptr<AudioOutput::Impl> CreatePlatformAudioOutput();
void LoadPlatformAudioOutputDevices(std::vector<uint32_t>& deviceIds);
