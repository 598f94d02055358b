// A capture consumer that records everything it is given and writes it out as a PCM WAV file
// with the canonical 44-byte header when capture closes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture/AudioInput.h"

// Used only from the capture side, one call at a time; no lock.
class FileWavSink : public AudioInput::AudioSink {
 public:
  // Owner's thread. The file is written to path on Close; nothing is touched before.
  explicit FileWavSink(const std::string& path);
  // Owner's thread. Releases the recording.
  ~FileWavSink() override;

  // Capture side: notes the format; no file is touched.
  void Open(uint32_t channels, uint32_t samplesPerSec, uint32_t bitsPerSample) override;
  // Capture side or the closing thread: writes header and recording to the file (nothing for an
  // empty recording; silently nothing when the file cannot be opened). Repeatable.
  void Close() override;
  // Capture side: appends frames frames in the format of Open; returns frames.
  int32_t Write(const int16_t* data, int32_t frames) override;

 private:
  std::string m_path;
  uint32_t m_channels = 0;
  uint32_t m_samplesPerSec = 0;
  uint32_t m_bitsPerSample = 0;
  std::vector<uint8_t> m_recording;
};
