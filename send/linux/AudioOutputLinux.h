// The playback front: tries the PulseAudio backend first and ALSA's "default" second, and keeps
// whichever opened. Each Open tries afresh, so a server that appears later is used.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/BackendChain.h"
#include "send/AudioOutput.h"

class AudioOutputLinux : public AudioOutput::Impl {
 public:
  AudioOutputLinux();  // owner's thread; the two real backends
  // Owner's thread. Tests only: the backends are made by these factories instead.
  AudioOutputLinux(AudioOutput::Factory makePulse, AudioOutput::Factory makeAlsa);
  ~AudioOutputLinux() override;  // owner's thread; does not close

  // Owner's thread. The device id is not used: each backend plays to its default.
  bool Open(uint32_t deviceId, AudioOutput::AudioSource* source) override;
  // Owner's thread. Closes and discards whichever backend is held; harmless when none is.
  void Close() override;
  // Owner's thread. Forwards to the backend that opened.
  void Poll() override;

 private:
  std::vector<Backend<AudioOutput::Impl>> m_backends;
  std::unique_ptr<AudioOutput::Impl> m_open;  // the backend that opened, if any
};
