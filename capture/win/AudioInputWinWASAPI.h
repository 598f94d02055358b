// Capture through Core Audio in shared, event-driven mode. The capture thread chooses the
// endpoint (the built-in microphone if there is one, else the default console capture
// endpoint, never a stereo-mix loopback), asks for the raw stream, accepts only a 48000 Hz
// mix rate, and hands every packet to the sink as mono signed 16-bit samples.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "capture/AudioInput.h"

struct IMMDevice;
struct IMMDeviceEnumerator;
struct IAudioClient2;
struct IAudioCaptureClient;

class AudioInputWinWASAPI {
 public:
  AudioInputWinWASAPI();   // owner's thread
  ~AudioInputWinWASAPI();  // owner's thread; joins a capture thread that failed to start

  // Any thread. Empties the list and appends 0.
  static void LoadDevice(std::vector<uint32_t>& deviceIds);
  // Owner's thread, once. Starts the capture thread and waits for its start-up; 1 when
  // capture runs into sink (announced as (1, 48000, 16)), 0 otherwise. The device index is
  // not used. Throws std::system_error when no thread can be started.
  int32_t Open(uint32_t deviceIndex, AudioInput::AudioSink* sink);
  // Owner's thread, never the capture thread: stops and joins the capture thread, then closes
  // the sink (the capture thread has closed it once already).
  void Close();

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

 private:
  // Capture thread: start-up, loop and teardown.
  void ThreadProc();
  // Capture thread: the audio client of the chosen endpoint, or null after failing start-up.
  IAudioClient2* GetAudioClient();
  // Capture thread: opens the sink, reports success to Open and delivers until stopped.
  void CaptureLoop(IAudioCaptureClient* captureClient, const WAVEFORMATEX* format,
                   HANDLE captureEvent);
  // Capture thread: reports a failed start-up to Open; touches nothing of this object after.
  void FailStart();

  bool m_started = false;
  HANDLE m_readyEvent = nullptr;
  std::thread m_thread;
  std::atomic<int32_t> m_running{0};
  AudioInput::AudioSink* m_sink = nullptr;
};
