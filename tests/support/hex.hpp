// Bytes as lower-case hex, the form the Python checks print text in.
#pragma once

#include <string>
#include <string_view>

namespace support {

inline std::string Hex(std::string_view bytes) {
  static const char* digits = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex += digits[c >> 4];
    hex += digits[c & 15];
  }
  return hex;
}

}  // namespace support
