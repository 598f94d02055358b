// The capture front: tries WASAPI first and the wave-in API second (one table of backends) and
// keeps whichever opened. Whatever the path, the sink receives mono signed 16-bit samples at
// 48000 Hz, except that a sink that takes any rate gets WASAPI's mix rate.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "capture/AudioInput.h"
#include "platform/BackendChain.h"

class AudioInputWin : public AudioInput::Impl {
 public:
  AudioInputWin();            // owner's thread; the WASAPI and wave-in backends
  ~AudioInputWin() override;  // owner's thread; does not close

  // Owner's thread, once. The microphone number is not used: each backend picks its device.
  // True when one backend captures into sink; false with nothing held.
  bool Open(uint32_t microphone, AudioInput::AudioSink* sink) override;
  // Owner's thread. Closes and discards the backend held; harmless when none is.
  void Close() override;
  // Owner's thread, while open: lets the backend log what its thread met.
  void Poll() override;

  // Owner's thread. The name of the backend held ("AudioInputWinWASAPI", "AudioInputWinMME"),
  // or null.
  const char* Held() const { return m_open == nullptr ? nullptr : m_openName; }

 private:
  std::vector<Backend<AudioInput::Impl>> m_backends;
  std::unique_ptr<AudioInput::Impl> m_open;
  const char* m_openName = nullptr;
};
