#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "receive/FileWavSink.h"

namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The canonical 44-byte header of 16-bit PCM and the samples, little-endian.
std::string Expected(uint16_t channels, uint32_t rate, const std::vector<int16_t>& samples) {
  std::string out;
  auto put = [&out](uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) {
      out += static_cast<char>(v >> (8 * i) & 0xFF);
    }
  };
  const uint32_t data = static_cast<uint32_t>(samples.size() * 2);
  out += "RIFF";
  put(36 + data, 4);
  out += "WAVEfmt ";
  put(16, 4);
  put(1, 2);
  put(channels, 2);
  put(rate, 4);
  put(rate * channels * 2, 4);
  put(channels * 2u, 2);
  put(16, 2);
  out += "data";
  put(data, 4);
  for (int16_t s : samples) {
    put(static_cast<uint16_t>(s), 2);
  }
  return out;
}

TEST(FileWavSinkTest, RecordsTheExactStreamWhateverTheChunksOnClose) {
  const fs::path path = fs::temp_directory_path() / "hov_wav_sink_test.wav";
  fs::remove(path);
  std::vector<int16_t> ramp(300000);
  for (size_t i = 0; i < ramp.size(); ++i) {
    ramp[i] = static_cast<int16_t>(static_cast<uint16_t>(i * 7 + 3));
  }
  struct Case {
    uint16_t channels;
    uint32_t rate;
    std::vector<size_t> chunks;  // frames
  };
  for (const Case& c : {Case{1, 48000, {1, 8192, 7, 4410, 480, 2, 4096, 1023, 1025, 5000}},
                        Case{2, 44100, {441}}}) {
    FileWavSink sink(path.string());
    sink.Open(c.channels, c.rate, 16);
    for (size_t i = 0, pos = 0; pos < ramp.size(); ++i) {
      size_t n = std::min(c.chunks[i % c.chunks.size()], (ramp.size() - pos) / c.channels);
      EXPECT_EQ(static_cast<int32_t>(n), sink.Write(&ramp[pos], static_cast<int32_t>(n)));
      pos += n * c.channels;
    }
    EXPECT_FALSE(fs::exists(path)) << "nothing is written before Close";
    sink.Close();
    const std::string written = ReadAll(path);
    EXPECT_TRUE(written == Expected(c.channels, c.rate, ramp)) << c.channels << " channel(s)";
    // A second Close writes the same file again.
    std::ofstream(path, std::ios::binary) << "something else";
    sink.Close();
    EXPECT_TRUE(written == ReadAll(path));
    fs::remove(path);
  }
}

TEST(FileWavSinkTest, WritesNothingWithoutSamplesOrFolder) {
  const fs::path path = fs::temp_directory_path() / "hov_wav_sink_empty.wav";
  std::ofstream(path, std::ios::binary) << "keep me";
  FileWavSink empty(path.string());
  empty.Close();
  empty.Open(1, 48000, 16);
  empty.Write(nullptr, 0);
  empty.Close();
  EXPECT_EQ("keep me", ReadAll(path));
  fs::remove(path);

  const fs::path dir = fs::temp_directory_path() / "hov_wav_no_such_directory";
  fs::remove_all(dir);
  std::vector<int16_t> samples(100, 1);
  FileWavSink sink((dir / "out.wav").string());
  sink.Open(1, 48000, 16);
  sink.Write(samples.data(), 100);
  sink.Close();
  EXPECT_FALSE(fs::exists(dir));
}

}  // namespace
