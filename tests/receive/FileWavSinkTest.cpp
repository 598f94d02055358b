#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "receive/FileWavSink.h"

namespace {

namespace fs = std::filesystem;

// A file name of this test's own under the temporary folder, removed when done.
class TempFile {
 public:
  TempFile() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    m_path = fs::temp_directory_path() /
             (std::string("hov_wav_") + info->test_suite_name() + "_" + info->name() + ".wav");
    fs::remove(m_path);
  }
  ~TempFile() { fs::remove(m_path); }
  std::string Path() const { return m_path.string(); }

 private:
  fs::path m_path;
};

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
         static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

uint32_t U16(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8;
}

std::string Tag(const std::vector<uint8_t>& b, size_t at) {
  return std::string(b.begin() + static_cast<ptrdiff_t>(at),
                     b.begin() + static_cast<ptrdiff_t>(at) + 4);
}

// 16-bit samples as little-endian bytes, the order a WAV file keeps them in.
std::vector<uint8_t> LittleEndian(const std::vector<int16_t>& samples) {
  std::vector<uint8_t> bytes;
  for (int16_t s : samples) {
    uint16_t u = static_cast<uint16_t>(s);
    bytes.push_back(static_cast<uint8_t>(u & 0xFF));
    bytes.push_back(static_cast<uint8_t>(u >> 8));
  }
  return bytes;
}

std::vector<int16_t> Ramp(size_t n) {
  std::vector<int16_t> ramp(n);
  for (size_t i = 0; i < n; ++i) {
    ramp[i] = static_cast<int16_t>(static_cast<uint16_t>(i * 7 + 3));
  }
  return ramp;
}

TEST(FileWavSinkTest, OneSecondOfMono16BitAt48000) {
  TempFile file;
  std::vector<int16_t> samples = Ramp(48000);
  FileWavSink sink(file.Path());
  sink.Open(1, 48000, 16);
  for (size_t pos = 0; pos < samples.size(); pos += 480) {
    EXPECT_EQ(480, sink.Write(&samples[pos], 480));
  }
  EXPECT_FALSE(fs::exists(file.Path())) << "nothing is written before Close";
  sink.Close();

  std::vector<uint8_t> b = ReadAll(file.Path());
  ASSERT_EQ(96044u, b.size());
  EXPECT_EQ("RIFF", Tag(b, 0));
  EXPECT_EQ(96036u, U32(b, 4));
  EXPECT_EQ("WAVE", Tag(b, 8));
  EXPECT_EQ("fmt ", Tag(b, 12));
  EXPECT_EQ(16u, U32(b, 16));
  EXPECT_EQ(1u, U16(b, 20));
  EXPECT_EQ(1u, U16(b, 22));
  EXPECT_EQ(48000u, U32(b, 24));
  EXPECT_EQ(96000u, U32(b, 28));
  EXPECT_EQ(2u, U16(b, 32));
  EXPECT_EQ(16u, U16(b, 34));
  EXPECT_EQ("data", Tag(b, 36));
  EXPECT_EQ(96000u, U32(b, 40));
  EXPECT_TRUE(std::equal(b.begin() + 44, b.end(), LittleEndian(samples).begin()));
}

TEST(FileWavSinkTest, StereoFramesCarryFourBytes) {
  TempFile file;
  std::vector<int16_t> samples = Ramp(2 * 441);
  FileWavSink sink(file.Path());
  sink.Open(2, 44100, 16);
  EXPECT_EQ(441, sink.Write(samples.data(), 441));
  sink.Close();
  std::vector<uint8_t> b = ReadAll(file.Path());
  ASSERT_EQ(44u + 441 * 4, b.size());
  EXPECT_EQ(2u, U16(b, 22));
  EXPECT_EQ(44100u, U32(b, 24));
  EXPECT_EQ(176400u, U32(b, 28));
  EXPECT_EQ(4u, U16(b, 32));
  EXPECT_EQ(441u * 4, U32(b, 40));
}

TEST(FileWavSinkTest, EmptyRecordingLeavesThePathAlone) {
  TempFile file;
  FileWavSink fresh(file.Path());
  fresh.Close();
  fresh.Open(1, 48000, 16);
  fresh.Close();
  EXPECT_FALSE(fs::exists(file.Path()));

  WriteAll(file.Path(), "keep me");
  FileWavSink sink(file.Path());
  sink.Open(1, 48000, 16);
  sink.Write(nullptr, 0);
  sink.Close();
  std::vector<uint8_t> b = ReadAll(file.Path());
  EXPECT_EQ("keep me", std::string(b.begin(), b.end()));
}

TEST(FileWavSinkTest, SecondCloseWritesTheSameFileAgain) {
  TempFile file;
  std::vector<int16_t> samples = Ramp(1000);
  FileWavSink sink(file.Path());
  sink.Open(1, 48000, 16);
  sink.Write(samples.data(), 1000);
  sink.Close();
  std::vector<uint8_t> first = ReadAll(file.Path());
  ASSERT_EQ(2044u, first.size());
  WriteAll(file.Path(), "something else entirely, and longer than nothing");
  sink.Close();
  EXPECT_EQ(first, ReadAll(file.Path()));
}

TEST(FileWavSinkTest, MissingDirectoryWritesNothing) {
  fs::path dir = fs::temp_directory_path() / "hov_wav_no_such_directory";
  fs::remove_all(dir);
  std::vector<int16_t> samples = Ramp(100);
  FileWavSink sink((dir / "out.wav").string());
  sink.Open(1, 48000, 16);
  sink.Write(samples.data(), 100);
  sink.Close();
  sink.Close();
  EXPECT_FALSE(fs::exists(dir));
}

TEST(FileWavSinkTest, AnyChunkingRecordsTheExactStream) {
  TempFile file;
  std::vector<int16_t> ramp = Ramp(300000);
  FileWavSink sink(file.Path());
  sink.Open(1, 48000, 16);
  const size_t sizes[] = {1, 8192, 7, 4410, 480, 2, 4096, 3, 1023, 1, 1025, 5000};
  size_t pos = 0;
  for (size_t i = 0; pos < ramp.size(); ++i) {
    size_t n = std::min(sizes[i % 12], ramp.size() - pos);
    EXPECT_EQ(static_cast<int32_t>(n), sink.Write(&ramp[pos], static_cast<int32_t>(n)));
    pos += n;
  }
  sink.Close();
  std::vector<uint8_t> b = ReadAll(file.Path());
  ASSERT_EQ(44u + 600000, b.size());
  EXPECT_EQ(600000u, U32(b, 40));
  EXPECT_TRUE(std::equal(b.begin() + 44, b.end(), LittleEndian(ramp).begin()));
}

}  // namespace
