// The file commands' input: the first channel of any audio file libsndfile reads (16-bit PCM
// as 16-bit integers, exactly), never waiting on a FIFO or a device.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <string>
#include <vector>

// Reads one audio file from the start. Main thread.
class SoundFileReader {
 public:
  SoundFileReader() = default;  // main thread; nothing open
  ~SoundFileReader();           // main thread; the file is closed
  SoundFileReader(const SoundFileReader&) = delete;
  SoundFileReader& operator=(const SoundFileReader&) = delete;

  // Main thread. Opens path without waiting on it: a FIFO, a device or a folder is refused as not a
  // regular file. false with *error ("cannot read PATH: REASON") when it does not open as audio.
  bool Open(const std::string& path, std::string* error);
  // Main thread, after Open. The file's rate.
  int32_t Rate() const { return m_info.samplerate; }
  // Main thread, after Open. Whether its samples are 16-bit integers.
  bool Pcm16() const { return (m_info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16; }
  // Main thread, after Open. Up to frames frames of the first channel into out, as stored in a
  // 16-bit file (others are converted); returns the count, 0 at the end.
  int64_t ReadPcm16(int16_t* out, int64_t frames);
  // Main thread, after Open. As ReadPcm16, full scale at +-1.0.
  int64_t ReadFloat(float* out, int64_t frames);

 private:
  SNDFILE* m_file = nullptr;
  SF_INFO m_info = {};
  std::vector<int16_t> m_pcm;  // interleaved frames of every channel
  std::vector<float> m_floats;
};
