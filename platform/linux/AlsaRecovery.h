// Shared by the ALSA playback and capture threads: bringing a stream back after an xrun, and
// keeping what went wrong for the owner's thread to log (sound threads do not log).
#pragma once

#include <alsa/asoundlib.h>

#include <atomic>

// Longest wait on an ALSA device before a sound thread looks at its stop flag again.
constexpr int kAlsaWaitMs = 100;

// Failures met by one stream's thread, logged later by its owner.
class AlsaStreamLog {
 public:
  // call: the read or write function named in the lines, e.g. "snd_pcm_readi".
  explicit AlsaStreamLog(const char* call) : m_call(call) {}
  // Stream's thread. Keeps the first xrun, the fatal error and a failed recovery; no lock.
  void Failed(long error, bool xrun);
  void RecoverFailed(int res) { m_recoverRes.store(res); }
  // Owner's thread. Logs at level 3 what has not been logged yet: "<call> failed, res:<n>" once
  // for the first xrun, once for a fatal error, "snd_pcm_recover failed, res:<n>" once.
  void Report();

 private:
  const char* const m_call;
  std::atomic<long> m_xrun{0};
  std::atomic<long> m_fatal{0};
  std::atomic<int> m_recoverRes{0};
  bool m_xrunLogged = false;  // owner's thread only, like the two below
  bool m_fatalLogged = false;
  bool m_recoverLogged = false;
};

// The stream's own thread. After a failed read or write (error < 0): an over- or underrun is
// recovered; any other error is not. Either is noted in log. True when the stream runs again.
bool RecoverAlsaStream(snd_pcm_t* pcm, long error, AlsaStreamLog* log);
