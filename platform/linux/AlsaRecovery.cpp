#include "platform/linux/AlsaRecovery.h"

#include <cerrno>

#include "runtime/HovLog.h"

void AlsaStreamLog::Failed(long error, bool xrun) {
  long none = 0;
  (xrun ? m_xrun : m_fatal).compare_exchange_strong(none, error);
}

void AlsaStreamLog::Report() {
  long xrun = m_xrun.load();
  if (xrun != 0 && !m_xrunLogged) {
    HovLog(3, "%s failed, res:%d", m_call, static_cast<int>(xrun));
    m_xrunLogged = true;
  }
  long fatal = m_fatal.load();
  if (fatal != 0 && !m_fatalLogged) {
    HovLog(3, "%s failed, res:%d", m_call, static_cast<int>(fatal));
    m_fatalLogged = true;
  }
  int res = m_recoverRes.load();
  if (res != 0 && !m_recoverLogged) {
    HovLog(3, "snd_pcm_recover failed, res:%d", res);
    m_recoverLogged = true;
  }
}

bool RecoverAlsaStream(snd_pcm_t* pcm, long error, AlsaStreamLog* log) {
  bool xrun = error == -EPIPE || error == -ESTRPIPE || error == -EINTR;
  log->Failed(error, xrun);
  if (!xrun) {
    return false;
  }
  int res = snd_pcm_recover(pcm, static_cast<int>(error), 1);
  if (res < 0) {
    log->RecoverFailed(res);
    return false;
  }
  return true;
}
