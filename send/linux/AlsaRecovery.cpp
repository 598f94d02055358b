#include "send/linux/AlsaRecovery.h"

#include <cerrno>

#include "runtime/HovLog.h"

bool RecoverAlsaStream(snd_pcm_t* pcm, long error, const char* call, bool* logged) {
  bool xrun = error == -EPIPE || error == -ESTRPIPE || error == -EINTR;
  if (!xrun || !*logged) {
    HovLog(3, "%s failed, res:%d", call, static_cast<int>(error));
    *logged = true;
  }
  if (!xrun) {
    return false;
  }
  int res = snd_pcm_recover(pcm, static_cast<int>(error), 1);
  if (res < 0) {
    HovLog(3, "snd_pcm_recover failed, res:%d", res);
    return false;
  }
  return true;
}
