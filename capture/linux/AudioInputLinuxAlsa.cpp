#include "capture/linux/AudioInputLinuxAlsa.h"

#include <alsa/asoundlib.h>

#include <cerrno>
#include <vector>

#include "platform/linux/AlsaRecovery.h"
#include "platform/linux/PulseStream.h"
#include "runtime/HovLog.h"
#include "runtime/ThreadName.h"

namespace {
constexpr unsigned kRate = 48000;
constexpr unsigned kLatencyUs = 100000;
constexpr snd_pcm_uframes_t kPeriodFrames = 480;  // 10 ms

// The device's own rate nearest to kRate for mono signed 16-bit, with no conversion by ALSA;
// 0 when the device does not say.
unsigned DeviceRate(snd_pcm_t* pcm) {
  snd_pcm_hw_params_t* params = nullptr;
  snd_pcm_hw_params_alloca(&params);
  unsigned rate = kRate;
  const bool known =
      snd_pcm_hw_params_any(pcm, params) >= 0 &&
      snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED) >= 0 &&
      snd_pcm_hw_params_set_format(pcm, params, SND_PCM_FORMAT_S16_LE) >= 0 &&
      snd_pcm_hw_params_set_channels(pcm, params, 1) >= 0 &&
      snd_pcm_hw_params_set_rate_resample(pcm, params, 0) >= 0 &&
      snd_pcm_hw_params_set_rate_near(pcm, params, &rate, nullptr) >= 0;
  return known ? rate : 0;
}
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
  if (PulseStream::ServerStalled()) {
    HovLog(3, "snd_pcm_open skipped: the sound server does not answer");
    return false;
  }
  // Non-blocking, so that the capture thread waits for data with a time limit and sees Close.
  int res = snd_pcm_open(&m_pcm, "default", SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
  if (res < 0) {
    m_pcm = nullptr;
    HovLog(3, "snd_pcm_open failed, res:%d", res);
    return false;
  }
  // 48000 Hz, converted by ALSA if need be; a sink that takes any rate gets the device's own.
  const unsigned deviceRate = sink->TakesAnyRate() ? DeviceRate(m_pcm) : 0;
  const unsigned rate = deviceRate != 0 ? deviceRate : kRate;
  res = snd_pcm_set_params(m_pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 1, rate,
                           deviceRate != 0 ? 0 : 1, kLatencyUs);
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
  m_sink->Open(1, rate, 16);
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
    snd_pcm_wait(m_pcm, kAlsaWaitMs);
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
