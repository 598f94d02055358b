// Playback to the PulseAudio server's default sink: mono signed 16-bit at 48000 Hz, rendered
// from the source by the stream's mainloop thread as the server asks, about 250 ms ahead. When
// the server goes away the stream is made again once it is back.
#pragma once

#include <cstdint>

#include "platform/linux/PulseStream.h"
#include "send/AudioOutput.h"

class AudioOutputLinuxPulse : public AudioOutput::Impl, private PulseStream::Client {
 public:
  AudioOutputLinuxPulse();            // owner's thread
  ~AudioOutputLinuxPulse() override;  // owner's thread; after Close or a failed Open

  // Owner's thread. Connects within a time limit; true when the stream runs.
  bool Open(uint32_t deviceId, AudioOutput::AudioSource* source) override;
  // Owner's thread. Stops the stream without waiting on the server.
  void Close() override;
  // Owner's thread. Logs a loss of the server and the playback's return.
  void Poll() override;

 private:
  void Fill(int16_t* out, int32_t frames) override;  // mainloop thread
  void Noticed() override;                           // mainloop thread

  AudioOutput::AudioSource* m_source = nullptr;
  PulseStream m_stream;
};
