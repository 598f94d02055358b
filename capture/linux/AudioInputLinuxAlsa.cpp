#include "capture/linux/AudioInputLinuxAlsa.h"

#include <alsa/asoundlib.h>

#include <cerrno>
#include <vector>

#include "platform/linux/AlsaRecovery.h"
#include "runtime/HovLog.h"
#include "runtime/ThreadName.h"

namespace {
constexpr unsigned kRate = 48000;
constexpr unsigned kLatencyUs = 100000;
constexpr snd_pcm_uframes_t kPeriodFrames = 480;  // 10 ms
// Longest wait for data before the running flag is looked at again.
constexpr int kWaitMs = 100;
}  // namespace

AudioInputLinuxAlsa::AudioInputLinuxAlsa() = default;

AudioInputLinuxAlsa::~AudioInputLinuxAlsa() {
  if (m_pcm != nullptr) {
    snd_pcm_close(m_pcm);
  }
}

bool AudioInputLinuxAlsa::Open(uint32_t /*microphone*/, AudioInput::AudioSink* sink) {
  ScopeTrace trace("AudioInputLinuxAlsa::Open");
  m_sink = sink;
  // Non-blocking, so that the capture thread waits for data with a time limit and sees Close.
  int res = snd_pcm_open(&m_pcm, "default", SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
  if (res < 0) {
    m_pcm = nullptr;
    HovLog(3, "snd_pcm_open failed, res:%d", res);
    return false;
  }
  res = snd_pcm_set_params(m_pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 1, kRate, 1,
                           kLatencyUs);
  if (res < 0) {
    HovLog(3, "snd_pcm_set_params failed, res:%d", res);
    snd_pcm_close(m_pcm);
    m_pcm = nullptr;
    return false;
  }
  res = snd_pcm_start(m_pcm);
  if (res < 0) {
    HovLog(3, "snd_pcm_start failed, res:%d", res);
    snd_pcm_close(m_pcm);
    m_pcm = nullptr;
    return false;
  }
  m_sink->Open(1, kRate, 16);
  m_running = true;
  m_thread = std::thread(&AudioInputLinuxAlsa::ThreadProc, this);
  return true;
}

void AudioInputLinuxAlsa::Close() {
  ScopeTrace trace("AudioInputLinuxAlsa::Close");
  m_running = false;
  if (m_thread.joinable()) {
    m_thread.join();
  }
  if (m_pcm != nullptr) {
    snd_pcm_close(m_pcm);
    m_pcm = nullptr;
    m_sink->Close();
  }
  m_failures.Report();
}

void AudioInputLinuxAlsa::ThreadProc() {
  SetCurrentThreadName("hov_capture");
  std::vector<int16_t> period(kPeriodFrames);
  while (m_running) {
    // Errors of the wait come back from the read below.
    snd_pcm_wait(m_pcm, kWaitMs);
    snd_pcm_sframes_t n = snd_pcm_readi(m_pcm, period.data(), kPeriodFrames);
    if (n == -EAGAIN || n == 0) {
      continue;
    }
    if (n < 0) {
      if (!Recover(n)) {
        return;
      }
      continue;
    }
    m_sink->Write(period.data(), static_cast<int32_t>(n));
  }
}

bool AudioInputLinuxAlsa::Recover(long error) {
  return RecoverAlsaStream(m_pcm, error, &m_failures);
}

void AudioInputLinuxAlsa::Poll() {
  m_failures.Report();
}
