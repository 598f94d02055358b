// The capture front: tries WASAPI first and the wave-in API second, and keeps whichever
// opened. Whatever the path, the sink receives mono signed 16-bit samples at 48000 Hz.
#pragma once

#include <cstdint>
#include <memory>

#include "capture/AudioInput.h"

class AudioInputWinWASAPI;
class AudioInputWinMME;

class AudioInputWin : public AudioInput::Impl {
 public:
  AudioInputWin();            // owner's thread
  ~AudioInputWin() override;  // owner's thread; does not close

  // Owner's thread, once. The microphone number is not used: each backend picks its device.
  // True when one backend captures into sink; false with nothing held.
  bool Open(uint32_t microphone, AudioInput::AudioSink* sink) override;
  // Owner's thread. Closes and discards whichever backend is held; harmless when none is.
  void Close() override;

  // Owner's thread. Which backend is held, for tests and diagnostics.
  bool HoldsWasapi() const { return m_wasapi != nullptr; }
  bool HoldsMme() const { return m_mme != nullptr; }

 private:
  std::unique_ptr<AudioInputWinWASAPI> m_wasapi;
  std::unique_ptr<AudioInputWinMME> m_mme;
};
