#include "receive/FileWavSink.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The canonical 44-byte headers of 600000 bytes of 16-bit PCM, mono at 48000 Hz and stereo at
// 44100 Hz, written out by hand; the samples follow as written, little-endian.
TEST(FileWavSinkTest, RecordsTheExactStreamWhateverTheChunksOnClose) {
  const fs::path path = fs::temp_directory_path() / "hov_wav_sink_test.wav";
  std::vector<int16_t> ramp(300000);
  for (size_t i = 0; i < ramp.size(); ++i) {
    ramp[i] = static_cast<int16_t>(i * 7 + 3);
  }
  const std::string samples(reinterpret_cast<const char*>(ramp.data()), ramp.size() * 2);
  struct Case {
    uint16_t channels;
    uint32_t rate;
    std::vector<size_t> chunks;  // frames
    std::string header;
  };
  const Case cases[] = {
      {1,
       48000,
       {1, 8192, 7, 4410, 480, 2, 4096, 1023, 1025},
       std::string("RIFF\xE4\x27\x09\x00WAVEfmt \x10\0\0\0\x01\0\x01\0\x80\xBB\0\0"
                   "\x00\x77\x01\x00\x02\0\x10\0data\xC0\x27\x09\x00",
                   44)},
      {2,
       44100,
       {441},
       std::string("RIFF\xE4\x27\x09\x00WAVEfmt \x10\0\0\0\x01\0\x02\0\x44\xAC\0\0"
                   "\x10\xB1\x02\x00\x04\0\x10\0data\xC0\x27\x09\x00",
                   44)}};
  for (const Case& c : cases) {
    fs::remove(path);
    FileWavSink sink(path.string());
    sink.Open(c.channels, c.rate, 16);
    for (size_t i = 0, pos = 0; pos < ramp.size(); ++i) {
      size_t n = std::min(c.chunks[i % c.chunks.size()], (ramp.size() - pos) / c.channels);
      EXPECT_EQ(static_cast<int32_t>(n), sink.Write(&ramp[pos], static_cast<int32_t>(n)));
      pos += n * c.channels;
    }
    EXPECT_FALSE(fs::exists(path)) << "nothing is written before Close";
    sink.Close();
    EXPECT_TRUE(ReadAll(path) == c.header + samples) << c.channels << " channel(s)";
  }
  fs::remove(path);
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
  FileWavSink sink((dir / "out.wav").string());
  sink.Open(1, 48000, 16);
  sink.Write(std::vector<int16_t>(100, 1).data(), 100);
  sink.Close();
  EXPECT_FALSE(fs::exists(dir));
}

}  // namespace
