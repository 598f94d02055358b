#include "codec/ShareKeyEncoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fakes/Host.h"

namespace {

std::string Bytes(const std::vector<int>& values) {
  return std::string(values.begin(), values.end());
}

enum Way { kBoth, kEncodeRefused, kDecodeRefused, kDecodeOnly };

struct Row {
  Way way;
  std::string key;
  std::vector<int> bytes;
  const char* length;  // the end of the one line a wrong length logs
};

const Row kRows[] = {
    {kBoth, "AAAAAA", {16, 16, 16, 16}, nullptr},
    {kBoth, "AAAAAB", {16, 16, 16, 25}, nullptr},
    {kBoth, "BAAAAA", {22, 226, 61, 225}, nullptr},
    {kBoth, "ABCDEF", {16, 84, 171, 143}, nullptr},
    {kBoth, "ZZZZZY", {194, 200, 248, 134}, nullptr},
    {kBoth, "ZZZZZZ", {194, 200, 248, 143}, nullptr},
    // A word above the last key wraps its leading letter.
    {kDecodeOnly, "AAAAAA", {194, 200, 248, 150}, nullptr},
    {kEncodeRefused, "ABCDE", {}, "5,not equal to 6"},
    {kEncodeRefused, "ABCDEFG", {}, "7,not equal to 6"},
    {kEncodeRefused, "", {}, "0,not equal to 6"},
    {kEncodeRefused, "AAAAAa", {}, nullptr},
    {kEncodeRefused, "AAAAA1", {}, nullptr},
    {kEncodeRefused, "@AAAAA", {}, nullptr},
    {kEncodeRefused, "AAAAA[", {}, nullptr},
    {kEncodeRefused, "AAAA\304A", {}, nullptr},
    {kDecodeRefused, "", {16, 16, 16}, "3,not equal to 4"},
    {kDecodeRefused, "", {16, 16, 16, 16, 16}, "5,not equal to 4"},
    {kDecodeRefused, "", {}, "0,not equal to 4"},
    {kDecodeRefused, "", {15, 16, 16, 16}, nullptr},
    {kDecodeRefused, "", {16, 0, 16, 16}, nullptr},
    // Read as the digit -1, this 15 would borrow: 16 16 21 255 is AAAAGX.
    {kDecodeRefused, "", {16, 16, 22, 15}, nullptr},
    {kDecodeRefused, "", {255, 255, 255, 255}, nullptr},
};

TEST(ShareKeyEncoderTest, KeysAndTheirEncodedWords) {
  std::vector<Row> rows(std::begin(kRows), std::end(kRows));
  for (int i = 1; i < 8; ++i) {  // every change of one byte of ABCDEF by one fails the check
    std::vector<int> bytes = {16, 84, 171, 143};
    bytes[i / 2] += i % 2 != 0 ? 1 : -1;
    rows.push_back(Row{kDecodeRefused, "", bytes, nullptr});
  }
  for (const Row& row : rows) {
    SCOPED_TRACE(row.key + " " + testing::PrintToString(row.bytes));
    LogCapture capture;
    if (row.way == kBoth || row.way == kEncodeRefused) {
      std::string encoded = "kept";
      const bool ok = ShareKeyEncoder::Encode(row.key, &encoded);
      EXPECT_EQ(ok, row.way == kBoth);
      EXPECT_EQ(encoded, ok ? Bytes(row.bytes) : "kept");
    }
    if (row.way != kEncodeRefused) {
      capture.Clear();
      std::string key = "kept";
      const bool ok = ShareKeyEncoder::Decode(Bytes(row.bytes), &key);
      EXPECT_EQ(ok, row.way != kDecodeRefused);
      EXPECT_EQ(key, ok ? row.key : "kept");
      // Only a wrong length is logged.
      EXPECT_EQ(capture.Lines().size(), row.length != nullptr ? 1u : 0u);
      EXPECT_EQ(capture.Count(std::string("[hov] ShareKeyEncoder::Decode string length is ") +
                              (row.length != nullptr ? row.length : "")),
                row.length != nullptr ? 1 : 0);
    } else if (row.length != nullptr) {
      EXPECT_EQ(capture.Count(std::string("[hov] encode share key length is ") + row.length), 1);
    }
  }
}

}  // namespace
