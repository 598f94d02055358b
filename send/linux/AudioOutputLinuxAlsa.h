// Playback through ALSA's "default" device: mono signed 16-bit at 48000 Hz. A playback thread of
// its own renders small chunks from the source just ahead of the device, so that about 150 ms
// of sound lie ahead of the speaker and a key change is heard soon.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "platform/linux/AlsaRecovery.h"
#include "send/AudioOutput.h"

class AudioOutputLinuxAlsa : public AudioOutput::Impl {
 public:
  AudioOutputLinuxAlsa();            // owner's thread
  ~AudioOutputLinuxAlsa() override;  // owner's thread; after Close or a failed Open

  // Any thread. Empties the list and appends the one default device, 0.
  static void LoadDevice(std::vector<uint32_t>& deviceIds);
  // Owner's thread. The device id is not used: the device is always "default". The playback
  // thread starts pulling once it returns true.
  bool Open(uint32_t deviceId, AudioOutput::AudioSource* source) override;
  // Owner's thread, after a successful Open. Joins the playback thread (it looks at the stop
  // flag at least every 100 ms), then closes the device.
  void Close() override;
  // Owner's thread. Logs the failures the playback thread has met.
  void Poll() override;

 private:
  static constexpr int32_t kChunkFrames = 960;  // 20 ms

  // Playback thread: keeps the device's buffer full until Close or a device failure.
  void ThreadProc();
  // Playback thread: hands the whole chunk to the device; false when stopped or failed.
  bool PlayChunk(const int16_t* data, int32_t frames);
  // Playback thread: after a failed call (error < 0), brings the stream back if it can and
  // tells the source there is news for Poll; true when the stream runs again.
  bool Recover(long error);

  AudioOutput::AudioSource* m_source = nullptr;
  snd_pcm_t* m_pcm = nullptr;
  std::atomic<bool> m_running{false};
  int16_t m_chunk[kChunkFrames];  // playback thread only
  AlsaStreamLog m_failures{"snd_pcm_writei"};
  std::thread m_thread;
};
