#include "codec/ShareKeyEncoder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/fakes/LogCapture.h"

namespace {

constexpr uint32_t kKeyCount = 26u * 26u * 26u * 26u * 26u * 26u;  // 308,915,776

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int value : values) {
    bytes.push_back(static_cast<char>(value));
  }
  return bytes;
}

std::vector<int> Values(const std::string& bytes) {
  std::vector<int> values;
  for (char c : bytes) {
    values.push_back(static_cast<unsigned char>(c));
  }
  return values;
}

// The key whose base-26 value (A = 0, most significant letter first) is value.
std::string KeyOf(uint32_t value) {
  std::string key(6, 'A');
  for (int k = 5; k >= 0; --k) {
    key[k] = static_cast<char>('A' + value % 26);
    value /= 26;
  }
  return key;
}

struct WorkedValue {
  const char* key;
  std::vector<int> encoded;
};

const WorkedValue kWorkedValues[] = {
    {"AAAAAA", {16, 16, 16, 16}},     {"AAAAAB", {16, 16, 16, 25}},
    {"BAAAAA", {22, 226, 61, 225}},   {"ABCDEF", {16, 84, 171, 143}},
    {"ZZZZZZ", {194, 200, 248, 143}},
};

TEST(ShareKeyEncoderTest, WorkedValuesEncode) {
  for (const WorkedValue& worked : kWorkedValues) {
    std::string encoded;
    ASSERT_TRUE(ShareKeyEncoder::Encode(worked.key, &encoded)) << worked.key;
    EXPECT_EQ(Values(encoded), worked.encoded) << worked.key;
  }
}

TEST(ShareKeyEncoderTest, WorkedValuesDecode) {
  for (const WorkedValue& worked : kWorkedValues) {
    std::string encoded;
    for (int value : worked.encoded) {
      encoded.push_back(static_cast<char>(value));
    }
    std::string key = "previous";
    ASSERT_TRUE(ShareKeyEncoder::Decode(encoded, &key)) << worked.key;
    EXPECT_EQ(key, worked.key);
  }
}

TEST(ShareKeyEncoderTest, EncodeLogsItsTraceAndTheKey) {
  LogCapture capture;
  std::string encoded;
  ASSERT_TRUE(ShareKeyEncoder::Encode("ABCDEF", &encoded));
  std::vector<LogLine> lines = capture.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].text, "[hov] entry ShareKeyEncoder::Encode");
  EXPECT_EQ(lines[1].text, "[hov] ShareKeyEncoder encode share key: ABCDEF");
  EXPECT_EQ(lines[2].text.rfind("[hov] exit ShareKeyEncoder::Encode, cost: ", 0), 0u)
      << lines[2].text;
  for (const LogLine& line : lines) {
    EXPECT_EQ(line.level, 2);
  }
}

TEST(ShareKeyEncoderTest, EncodeRefusesWrongLengthsWithTheLengthLine) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"ABCDE", "[hov] encode share key length is 5,not equal to 6"},
      {"ABCDEFG", "[hov] encode share key length is 7,not equal to 6"},
      {"", "[hov] encode share key length is 0,not equal to 6"},
  };
  for (const auto& [key, lengthLine] : cases) {
    LogCapture capture;
    std::string encoded = "keep";
    EXPECT_FALSE(ShareKeyEncoder::Encode(key, &encoded)) << key;
    EXPECT_EQ(encoded, "keep");
    std::vector<std::string> texts = capture.Texts();
    ASSERT_EQ(texts.size(), 4u) << key;
    EXPECT_EQ(texts[0], "[hov] entry ShareKeyEncoder::Encode");
    EXPECT_EQ(texts[1], "[hov] ShareKeyEncoder encode share key: " + key);
    EXPECT_EQ(texts[2], lengthLine);
    EXPECT_EQ(texts[3].rfind("[hov] exit ShareKeyEncoder::Encode, cost: ", 0), 0u);
  }
}

TEST(ShareKeyEncoderTest, EncodeRefusesOtherCharactersWithoutALengthLine) {
  const std::vector<std::string> keys = {"AAAAAa", "AAAAA1", "AAA AA",
                                         "@AAAAA", "AAAAA[", std::string("AAA\xC3\x84") + "A"};
  for (const std::string& key : keys) {
    LogCapture capture;
    std::string encoded = Bytes({1, 2, 3});
    EXPECT_FALSE(ShareKeyEncoder::Encode(key, &encoded)) << key;
    EXPECT_EQ(Values(encoded), (std::vector<int>{1, 2, 3}));
    std::vector<std::string> texts = capture.Texts();
    ASSERT_EQ(texts.size(), 3u) << key;
    EXPECT_EQ(texts[0], "[hov] entry ShareKeyEncoder::Encode");
    EXPECT_EQ(texts[1], "[hov] ShareKeyEncoder encode share key: " + key);
    EXPECT_EQ(texts[2].rfind("[hov] exit ShareKeyEncoder::Encode, cost: ", 0), 0u);
  }
}

TEST(ShareKeyEncoderTest, DecodeRefusesWrongLengthsWithTheLengthLine) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {Bytes({16, 16, 16}), "[hov] ShareKeyEncoder::Decode string length is 3,not equal to 4"},
      {Bytes({16, 16, 16, 16, 16}),
       "[hov] ShareKeyEncoder::Decode string length is 5,not equal to 4"},
      {"", "[hov] ShareKeyEncoder::Decode string length is 0,not equal to 4"},
  };
  for (const auto& [encoded, lengthLine] : cases) {
    LogCapture capture;
    std::string key = "KEPT";
    EXPECT_FALSE(ShareKeyEncoder::Decode(encoded, &key));
    EXPECT_EQ(key, "KEPT");
    EXPECT_EQ(capture.Texts(), std::vector<std::string>{lengthLine});
  }
}

TEST(ShareKeyEncoderTest, DecodeRefusesBytesBelow16Silently) {
  const std::vector<std::string> inputs = {Bytes({15, 16, 16, 16}), Bytes({16, 16, 16, 15}),
                                           Bytes({16, 0, 16, 16}), Bytes({194, 200, 248, 1})};
  for (const std::string& encoded : inputs) {
    LogCapture capture;
    std::string key = "KEPT";
    EXPECT_FALSE(ShareKeyEncoder::Decode(encoded, &key));
    EXPECT_EQ(key, "KEPT");
    EXPECT_TRUE(capture.Texts().empty());
  }
}

TEST(ShareKeyEncoderTest, ByteOf15IsRefusedEvenWhereBorrowingWouldGiveAValidWord) {
  // Taken as the digit -1, a last byte of 15 would turn (a, b, c + 1, 15) into the valid
  // (a, b, c, 255); find such a key and make sure the 15 is refused.
  LogCapture capture;
  std::string encoded;
  uint32_t value = 0;
  for (; value < 100000; ++value) {
    ASSERT_TRUE(ShareKeyEncoder::Encode(KeyOf(value), &encoded));
    if (static_cast<unsigned char>(encoded[3]) == 255 &&
        static_cast<unsigned char>(encoded[2]) < 255) {
      break;
    }
  }
  ASSERT_LT(value, 100000u);
  std::string borrowed = encoded;
  borrowed[2] = static_cast<char>(static_cast<unsigned char>(encoded[2]) + 1);
  borrowed[3] = static_cast<char>(15);
  capture.Clear();
  std::string key = "KEPT";
  EXPECT_FALSE(ShareKeyEncoder::Decode(borrowed, &key)) << KeyOf(value);
  EXPECT_EQ(key, "KEPT");
  EXPECT_TRUE(capture.Texts().empty());
}

TEST(ShareKeyEncoderTest, DecodeSucceedsSilently) {
  LogCapture capture;
  std::string key;
  ASSERT_TRUE(ShareKeyEncoder::Decode(Bytes({16, 84, 171, 143}), &key));
  EXPECT_EQ(key, "ABCDEF");
  EXPECT_TRUE(capture.Texts().empty());
}

TEST(ShareKeyEncoderTest, SingleByteChangesOfAnEncodedKeyFailTheCheck) {
  const std::vector<int> base = {16, 84, 171, 143};
  int changes = 0;
  for (size_t i = 0; i < base.size(); ++i) {
    for (int delta : {-1, 1}) {
      std::vector<int> changed = base;
      changed[i] += delta;
      if (changed[i] < 16 || changed[i] > 255) {
        continue;
      }
      ++changes;
      std::string encoded;
      for (int value : changed) {
        encoded.push_back(static_cast<char>(value));
      }
      LogCapture capture;
      std::string key = "KEPT";
      EXPECT_FALSE(ShareKeyEncoder::Decode(encoded, &key)) << "byte " << i << " by " << delta;
      EXPECT_EQ(key, "KEPT");
      EXPECT_TRUE(capture.Texts().empty());
    }
  }
  EXPECT_EQ(changes, 7);
}

TEST(ShareKeyEncoderTest, AllBytes255FailTheCheck) {
  std::string key = "KEPT";
  EXPECT_FALSE(ShareKeyEncoder::Decode(Bytes({255, 255, 255, 255}), &key));
  EXPECT_EQ(key, "KEPT");
}

TEST(ShareKeyEncoderTest, WordAboveTheKeyRangeDecodesWithItsLeadingLetterWrapped) {
  std::string key;
  ASSERT_TRUE(ShareKeyEncoder::Decode(Bytes({194, 200, 248, 150}), &key));
  EXPECT_EQ(key, "AAAAAA");
}

TEST(ShareKeyEncoderTest, KeysRoundTripOverASampleOfTheKeySpace) {
  std::vector<uint32_t> values = {
      0, 1, 25, 26, 675, 676, 11881375, 11881376, kKeyCount - 26, kKeyCount - 2, kKeyCount - 1};
  for (uint32_t v = 0; v < kKeyCount; v += 997) {
    values.push_back(v);
  }
  LogCapture capture;  // keeps the sample's log lines off the console
  int failures = 0;
  for (uint32_t value : values) {
    const std::string key = KeyOf(value);
    std::string encoded;
    std::string decoded;
    bool ok = ShareKeyEncoder::Encode(key, &encoded) && encoded.size() == 4;
    for (char c : encoded) {
      ok = ok && static_cast<unsigned char>(c) >= 16;
    }
    ok = ok && ShareKeyEncoder::Decode(encoded, &decoded) && decoded == key;
    if (!ok && ++failures <= 10) {
      ADD_FAILURE() << key << " encoded to " << testing::PrintToString(Values(encoded))
                    << " decoded to " << decoded;
    }
    capture.Clear();
  }
  EXPECT_EQ(failures, 0);
}

}  // namespace
