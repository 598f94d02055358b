// Shared by the ALSA playback and capture threads: bringing a stream back after an xrun.
#pragma once

#include <alsa/asoundlib.h>

// The stream's own thread. After a failed read or write (error < 0, named call in the log
// line): an over- or underrun is logged once per stream (*logged) and recovered; any other
// error is logged and not recovered. True when the stream runs again.
bool RecoverAlsaStream(snd_pcm_t* pcm, long error, const char* call, bool* logged);
