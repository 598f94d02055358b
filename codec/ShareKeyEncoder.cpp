#include "codec/ShareKeyEncoder.h"

#include <cstdint>

#include "runtime/HovLog.h"

namespace {

constexpr uint64_t kLetters = 26;
constexpr uint64_t kDigitBase = 240;
constexpr uint64_t kDigitOffset = 16;

// Exclusive-or of the ten 3-bit groups of bits 0..29.
uint64_t Check(uint64_t value) {
  uint64_t t = value;
  for (int i = 0; i < 9; ++i) {
    t = (t >> 3) ^ value;
  }
  return t & 7;
}

}  // namespace

bool ShareKeyEncoder::Encode(const std::string& shareKey, std::string* encoded) {
  ScopeTrace trace("ShareKeyEncoder::Encode");
  HovLog(2, "ShareKeyEncoder encode share key: %s", shareKey.c_str());
  if (shareKey.size() != 6) {
    HovLog(2, "encode share key length is %lu,not equal to 6",
           static_cast<unsigned long>(shareKey.size()));
    return false;
  }
  uint64_t value = 0;
  for (char c : shareKey) {
    if (c < 'A' || c > 'Z') {
      return false;
    }
    value = value * kLetters + static_cast<uint64_t>(c - 'A');
  }
  uint64_t word = value * 8 + Check(value);
  std::string bytes(4, '\0');
  for (int i = 3; i >= 0; --i) {
    bytes[i] = static_cast<char>(word % kDigitBase + kDigitOffset);
    word /= kDigitBase;
  }
  *encoded = bytes;
  return true;
}

bool ShareKeyEncoder::Decode(const std::string& encoded, std::string* shareKey) {
  if (encoded.size() != 4) {
    HovLog(2, "ShareKeyEncoder::Decode string length is %lu,not equal to 4",
           static_cast<unsigned long>(encoded.size()));
    return false;
  }
  uint64_t word = 0;
  for (char c : encoded) {
    uint64_t byte = static_cast<unsigned char>(c);
    if (byte < kDigitOffset) {
      return false;
    }
    word = word * kDigitBase + (byte - kDigitOffset);
  }
  uint64_t value = word >> 3;
  if (Check(value) != (word & 7)) {
    return false;
  }
  std::string letters(6, 'A');
  for (int k = 5; k >= 0; --k) {
    letters[k] = static_cast<char>('A' + value % kLetters);
    value /= kLetters;
  }
  *shareKey = letters;
  return true;
}
