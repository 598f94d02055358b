#include "send/linux/AudioOutputLinuxAlsa.h"

#include <algorithm>
#include <cerrno>

#include "platform/linux/AlsaRecovery.h"
#include "platform/linux/PulseStream.h"
#include "runtime/HovLog.h"
#include "runtime/ThreadName.h"

namespace {
// All the sound queued ahead of the speaker: the device's buffer, kept full.
constexpr unsigned kDeviceLatencyUs = 150000;
}  // namespace

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
  if (PulseStream::ServerStalled()) {
    HovLog(3, "snd_pcm_open skipped: the sound server does not answer");
    return false;
  }
  // Non-blocking, so that the playback thread waits for room with a time limit and sees Close.
  int res = snd_pcm_open(&m_pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
  if (res < 0) {
    m_pcm = nullptr;
    HovLog(3, "snd_pcm_open failed, res:%d", res);
    return false;
  }
  res = snd_pcm_set_params(m_pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 1, 48000, 1,
                           kDeviceLatencyUs);
  if (res < 0) {
    HovLog(3, "snd_pcm_set_params failed, res:%d", res);
    snd_pcm_close(m_pcm);
    m_pcm = nullptr;
    return false;
  }
  m_running = true;
  m_thread = std::thread(&AudioOutputLinuxAlsa::ThreadProc, this);
  return true;
}

void AudioOutputLinuxAlsa::Close() {
  ScopeTrace trace("AudioOutputLinuxAlsa::Close");
  m_running = false;
  if (m_thread.joinable()) {
    m_thread.join();
  }
  int res = snd_pcm_drop(m_pcm);
  if (res < 0) {
    HovLog(3, "snd_pcm_drop failed, res:%d", res);
  }
  snd_pcm_close(m_pcm);
  m_pcm = nullptr;
  m_failures.Report();
}

void AudioOutputLinuxAlsa::Poll() {
  m_failures.Report();
}

void AudioOutputLinuxAlsa::ThreadProc() {
  SetCurrentThreadName("hov_playback");
  while (m_running) {
    // Errors of the wait come back from the call below.
    snd_pcm_wait(m_pcm, kAlsaWaitMs);
    snd_pcm_sframes_t room = snd_pcm_avail_update(m_pcm);
    if (room < 0) {
      if (!m_running || !Recover(room)) {
        return;
      }
      continue;
    }
    while (room > 0 && m_running) {
      const int32_t frames = static_cast<int32_t>(std::min<snd_pcm_sframes_t>(room, kChunkFrames));
      int32_t n = std::max(0, std::min(m_source->Read(m_chunk, frames), frames));
      std::fill(m_chunk + n, m_chunk + frames, int16_t{0});
      if (!PlayChunk(m_chunk, frames)) {
        return;
      }
      room -= frames;
    }
  }
}

bool AudioOutputLinuxAlsa::PlayChunk(const int16_t* data, int32_t frames) {
  while (frames > 0) {
    if (!m_running) {
      return false;
    }
    snd_pcm_sframes_t n = snd_pcm_writei(m_pcm, data, static_cast<snd_pcm_uframes_t>(frames));
    if (n == -EAGAIN) {
      snd_pcm_wait(m_pcm, kAlsaWaitMs);
      continue;
    }
    if (n < 0) {
      if (!m_running || !Recover(n)) {
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
  const bool running = RecoverAlsaStream(m_pcm, error, &m_failures);
  m_source->OnDeviceNews();  // the failure waits in m_failures for Poll
  return running;
}
