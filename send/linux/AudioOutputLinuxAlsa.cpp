#include "send/linux/AudioOutputLinuxAlsa.h"

#include <alsa/asoundlib.h>

#include <cerrno>

#include "runtime/HovLog.h"
#include "runtime/ThreadName.h"
#include "send/linux/AlsaRecovery.h"

namespace {
// The device's own buffer stays small; the seconds ahead of the speaker live in the ring.
constexpr unsigned kDeviceLatencyUs = 200000;
// Longest wait for room on the device before the open flag is looked at again.
constexpr int kWaitMs = 100;
}  // namespace

std::unique_ptr<AudioOutput::Impl> CreatePlatformAudioOutput() {
  return std::make_unique<AudioOutputLinuxAlsa>();
}

void LoadPlatformAudioOutputDevices(std::vector<uint32_t>& deviceIds) {
  AudioOutputLinuxAlsa::LoadDevice(deviceIds);
}

AudioOutputLinuxAlsa::AudioOutputLinuxAlsa() = default;

AudioOutputLinuxAlsa::~AudioOutputLinuxAlsa() {
  if (m_pcm != nullptr) {
    snd_pcm_close(m_pcm);
  }
}

void AudioOutputLinuxAlsa::LoadDevice(std::vector<uint32_t>& deviceIds) {
  ScopeTrace trace("AudioOutputLinuxAlsa::LoadDevice");
  deviceIds.clear();
  deviceIds.push_back(0);
}

bool AudioOutputLinuxAlsa::Open(uint32_t /*deviceId*/, AudioOutput::AudioSource* source) {
  ScopeTrace trace("AudioOutputLinuxAlsa::Open");
  m_source = source;
  // Non-blocking, so that the playback thread waits for room with a time limit and sees Close.
  if (snd_pcm_open(&m_pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) {
    m_pcm = nullptr;
    return false;
  }
  int res = snd_pcm_set_params(m_pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 1,
                               48000, 1, kDeviceLatencyUs);
  if (res < 0) {
    HovLog(3, "snd_pcm_set_params failed, res:%d", res);
    snd_pcm_close(m_pcm);
    m_pcm = nullptr;
    return false;
  }
  for (int i = 0; i < kBufferCount; ++i) {
    m_buffers[i].assign(kBufferSamples, 0);
    m_lengths[i] = kBufferSamples;
  }
  m_nextBuffer = 0;
  m_open = true;
  // The first five seconds; the thread that could finish a buffer does not run yet.
  for (int i = 0; i < kQueuedAtOpen; ++i) {
    int32_t index = m_nextBuffer;
    m_nextBuffer = (m_nextBuffer + 1) % kBufferCount;
    int32_t n = m_source->Read(m_buffers[index].data(), kBufferSamples);
    if (n > 0) {
      m_lengths[index] = n;
      m_queued.push_back(index);
    }
  }
  m_thread = std::thread(&AudioOutputLinuxAlsa::ThreadProc, this);
  return true;
}

void AudioOutputLinuxAlsa::Close() {
  ScopeTrace trace("AudioOutputLinuxAlsa::Close");
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = false;
  }
  m_wake.notify_all();
  int res = snd_pcm_drop(m_pcm);
  if (res < 0) {
    HovLog(3, "snd_pcm_drop failed, res:%d", res);
  }
  if (m_thread.joinable()) {
    m_thread.join();
  }
  snd_pcm_close(m_pcm);
  m_pcm = nullptr;
  m_queued.clear();
  for (std::vector<int16_t>& buffer : m_buffers) {
    std::vector<int16_t>().swap(buffer);
  }
}

void AudioOutputLinuxAlsa::ThreadProc() {
  SetCurrentThreadName("hov_playback");
  for (;;) {
    int32_t index;
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      m_wake.wait(lock, [this] { return !m_open || !m_queued.empty(); });
      if (!m_open) {
        return;
      }
      index = m_queued.front();
    }
    // The buffer is not refilled while it is queued: the refill takes the ring's next buffer,
    // five buffers ahead of this one.
    if (!PlayBuffer(m_buffers[index].data(), m_lengths[index])) {
      return;
    }
    OnDone();
  }
}

bool AudioOutputLinuxAlsa::PlayBuffer(const int16_t* data, int32_t frames) {
  while (frames > 0) {
    if (!IsOpen()) {
      return false;
    }
    // Errors of the wait come back from the write below.
    snd_pcm_wait(m_pcm, kWaitMs);
    snd_pcm_sframes_t n = snd_pcm_writei(m_pcm, data, static_cast<snd_pcm_uframes_t>(frames));
    if (n == -EAGAIN) {
      continue;
    }
    if (n < 0) {
      if (!Recover(n)) {
        return false;
      }
      continue;
    }
    data += n;
    frames -= static_cast<int32_t>(n);
  }
  return true;
}

bool AudioOutputLinuxAlsa::Recover(long error) {
  if (!IsOpen()) {
    return false;  // Close has stopped the device under the write
  }
  return RecoverAlsaStream(m_pcm, error, "snd_pcm_writei", &m_writeFailureLogged);
}

void AudioOutputLinuxAlsa::OnDone() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_queued.pop_front();
  if (!m_open) {
    return;
  }
  ScopeTrace trace("AudioOutputLinuxAlsa::OnDone");
  int32_t index = m_nextBuffer;
  m_nextBuffer = (m_nextBuffer + 1) % kBufferCount;
  int32_t n = m_source->Read(m_buffers[index].data(), kBufferSamples);
  if (n < 1) {
    return;
  }
  m_lengths[index] = n;
  m_queued.push_back(index);
}

bool AudioOutputLinuxAlsa::IsOpen() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_open;
}
