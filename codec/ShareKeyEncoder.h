// Six-letter share key <-> four-byte encoded key with a 3-bit check; every byte is 16..255.
#pragma once

#include <string>

class ShareKeyEncoder {
 public:
  // Any thread. Replaces *encoded with the 4 bytes of shareKey (6 letters A-Z); false and
  // *encoded unchanged otherwise.
  static bool Encode(const std::string& shareKey, std::string* encoded);
  // Any thread. Replaces *shareKey with the 6 letters of a 4-byte encoded key that passes
  // the check; false and *shareKey unchanged otherwise.
  static bool Decode(const std::string& encoded, std::string* shareKey);
};
