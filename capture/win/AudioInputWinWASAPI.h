// Capture through Core Audio in shared, event-driven mode. The capture thread chooses the
// endpoint (the built-in microphone if there is one, else the default console capture
// endpoint, never a stereo-mix loopback), asks for the raw stream, accepts only a 48000 Hz
// mix rate (any mix rate when the sink takes any rate), and hands every packet to the sink as
// mono signed 16-bit samples. An endpoint that
// goes away (AUDCLNT_E_DEVICE_INVALIDATED, or no packet for kStallMs) is given up and the
// choice made again, at most kReopenAttempts times kRetryMs apart.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture/AudioInput.h"

struct IMMDevice;
struct IMMDeviceEnumerator;

class AudioInputWinWASAPI : public AudioInput::Impl {
 public:
  static constexpr uint32_t kStartLimitMs = 2000;  // the longest Open waits for the thread
  static constexpr uint32_t kStopLimitMs = 250;    // the longest Close waits for it
  static constexpr uint32_t kStallMs = 3000;       // no packet for this long: endpoint lost
  static constexpr uint32_t kRetryMs = 250;        // between two reopen attempts
  static constexpr int32_t kReopenAttempts = 120;

  AudioInputWinWASAPI();            // owner's thread
  ~AudioInputWinWASAPI() override;  // owner's thread; stops the thread, does not close the sink

  // Any thread. Empties the list and appends 0.
  static void LoadDevice(std::vector<uint32_t>& deviceIds);
  // Owner's thread, once. Starts the capture thread and waits for its start-up (at most
  // kStartLimitMs); true when capture runs into sink (announced as (1, 48000, 16), or with the
  // mix rate when the sink takes any rate). The device index is not used. Throws std::system_error
  // when no thread can be started.
  bool Open(uint32_t deviceIndex, AudioInput::AudioSink* sink) override;
  // Owner's thread, never the capture thread: within kStopLimitMs no sink call is in progress
  // or follows and the thread has ended (or is left to end on its own, logged); then the sink
  // is closed once. Harmless when not open.
  void Close() override;
  // Owner's thread, while open: logs a lost endpoint and its return, once each.
  void Poll() override;

  // Any thread. True when the wide text, with A to Z lowered, begins with "hdaudio" or
  // "intelaudio".
  static bool IsBuiltInEnumeratorName(const std::wstring& name);
  // Any thread. Writes the first channel of frames frames of integer PCM as signed 16-bit;
  // false (nothing written) for a width other than 8, 16 or 32 bits.
  static bool ConvertPcmToInt16(int16_t* output, uint32_t frames, const BYTE* input,
                                uint32_t channels, uint32_t bitsPerSample);
  // Any thread. The first active capture endpoint in collection order that is built in (the
  // built-in container id, an HD Audio or Intel Audio enumerator) and not a stereo mix.
  static bool GetBuiltInAudioInputDevice(IMMDeviceEnumerator* enumerator, IMMDevice** device);

  struct Shared;  // shared with the capture thread; defined where it is used

 private:
  // Owner's thread: asks the thread to end and waits for it at most kStopLimitMs.
  void Stop();

  std::shared_ptr<Shared> m_shared;
  bool m_open = false;
};
