// Playback through ALSA's "default" device: mono signed 16-bit at 48000 Hz from a ring of ten
// one-second buffers, five of them ahead of the device. A playback thread of its own hands the
// queued buffers to the device and refills one buffer each time one has been handed over.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "send/AudioOutput.h"

typedef struct _snd_pcm snd_pcm_t;

class AudioOutputLinuxAlsa : public AudioOutput::Impl {
 public:
  AudioOutputLinuxAlsa();            // owner's thread
  ~AudioOutputLinuxAlsa() override;  // owner's thread; after Close or a failed Open

  // Any thread. Empties the list and appends the one default device, 0.
  static void LoadDevice(std::vector<uint32_t>& deviceIds);
  // Owner's thread. The device id is not used: the device is always "default".
  bool Open(uint32_t deviceId, AudioOutput::AudioSource* source) override;
  // Owner's thread, after a successful Open.
  void Close() override;

 private:
  static constexpr int kBufferCount = 10;
  static constexpr int kQueuedAtOpen = 5;
  static constexpr int32_t kBufferSamples = 48000;

  // Playback thread: plays the queued buffers in order until Close or a device failure.
  void ThreadProc();
  // Playback thread: hands one buffer to the device; false when stopped or failed.
  bool PlayBuffer(const int16_t* data, int32_t frames);
  // Playback thread: brings the device back after a failed write; false when that fails.
  bool Recover(long error);
  // Playback thread: a buffer has been handed over completely; refills the next one.
  void OnDone();
  // Playback thread.
  bool IsOpen();

  AudioOutput::AudioSource* m_source = nullptr;
  snd_pcm_t* m_pcm = nullptr;
  std::mutex m_mutex;  // guards m_open, m_nextBuffer, m_queued and the refill
  std::condition_variable m_wake;
  bool m_open = false;
  std::vector<int16_t> m_buffers[kBufferCount];
  int32_t m_lengths[kBufferCount] = {};
  int32_t m_nextBuffer = 0;
  std::deque<int32_t> m_queued;       // ring indices waiting for the device, oldest first
  bool m_writeFailureLogged = false;  // playback thread only
  std::thread m_thread;
};
