#include "receive/FileWavSink.h"

#include <cstdio>

namespace {

constexpr size_t kHeaderSize = 44;

// Little-endian stores, byte by byte, so the header is the same on every host.
void PutU32(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
  at[2] = static_cast<uint8_t>(value >> 16);
  at[3] = static_cast<uint8_t>(value >> 24);
}

void PutU16(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

// The product of the format fields in 32-bit signed arithmetic, wrapping as the machine does.
int32_t Product32(uint32_t a, uint32_t b, uint32_t c = 1) {
  return static_cast<int32_t>(a * b * c);
}

void PutTag(uint8_t* at, const char* tag) {
  for (int i = 0; i < 4; ++i) {
    at[i] = static_cast<uint8_t>(tag[i]);
  }
}

}  // namespace

FileWavSink::FileWavSink(const std::string& path) : m_path(path) {}

FileWavSink::~FileWavSink() = default;

void FileWavSink::Open(uint32_t channels, uint32_t samplesPerSec, uint32_t bitsPerSample) {
  m_channels = channels;
  m_samplesPerSec = samplesPerSec;
  m_bitsPerSample = bitsPerSample;
}

int32_t FileWavSink::Write(const int16_t* data, int32_t frames) {
  int32_t frameSize = Product32(m_bitsPerSample, m_channels) / 8;
  int64_t bytes = static_cast<int64_t>(frameSize) * frames;
  if (bytes > 0) {
    const uint8_t* begin = reinterpret_cast<const uint8_t*>(data);
    m_recording.insert(m_recording.end(), begin, begin + bytes);
  }
  return frames;
}

void FileWavSink::Close() {
  if (m_recording.empty()) {
    return;
  }
  uint32_t dataSize = static_cast<uint32_t>(m_recording.size());

  uint8_t header[kHeaderSize];
  PutTag(header + 0, "RIFF");
  PutU32(header + 4, dataSize + 36);
  PutTag(header + 8, "WAVE");
  PutTag(header + 12, "fmt ");
  PutU32(header + 16, 16);
  PutU16(header + 20, 1);
  PutU16(header + 22, m_channels);
  PutU32(header + 24, m_samplesPerSec);
  PutU32(header + 28,
         static_cast<uint32_t>(Product32(m_channels, m_bitsPerSample, m_samplesPerSec) / 8));
  PutU16(header + 32, static_cast<uint32_t>(Product32(m_channels, m_bitsPerSample) / 8));
  PutU16(header + 34, m_bitsPerSample);
  PutTag(header + 36, "data");
  PutU32(header + 40, dataSize);

  std::FILE* file = std::fopen(m_path.c_str(), "wb+");
  if (file == nullptr) {
    return;
  }
  std::fwrite(header, 1, kHeaderSize, file);
  std::fwrite(m_recording.data(), 1, m_recording.size(), file);
  std::fclose(file);
}
