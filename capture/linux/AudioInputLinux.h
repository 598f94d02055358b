// The capture front: tries the PulseAudio backend first and the ALSA backend second, and keeps
// whichever opened.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "capture/AudioInput.h"
#include "platform/BackendChain.h"

class AudioInputLinux : public AudioInput::Impl {
 public:
  AudioInputLinux();  // owner's thread; the two real backends
  // Owner's thread. Tests only: the backends are made by these factories instead.
  AudioInputLinux(AudioInput::Factory makePulse, AudioInput::Factory makeAlsa);
  ~AudioInputLinux() override;  // owner's thread; does not close

  // Owner's thread. The microphone number is not used: each backend records its default.
  bool Open(uint32_t microphone, AudioInput::AudioSink* sink) override;
  // Owner's thread. Closes and discards whichever backend is held; harmless when none is.
  void Close() override;
  // Owner's thread. Forwards to the backend that opened.
  void Poll() override;

 private:
  std::vector<Backend<AudioInput::Impl>> m_backends;
  std::unique_ptr<AudioInput::Impl> m_open;  // the backend that opened, if any
};
