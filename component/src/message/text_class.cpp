#include "message/text_class.hpp"

#include <cstdint>

namespace postwing::detail {

bool HasEightBit(std::string_view text) {
  for (unsigned char c : text) {
    if (c > 127) return true;
  }
  return false;
}

bool IsValidUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int more = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      more = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      more = 2;
      if (c == 0xE0) low = 0xA0;   // no overlong forms
      if (c == 0xED) high = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      more = 3;
      if (c == 0xF0) low = 0x90;
      if (c == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
      return false;
    }
    if (end - p <= more) return false;
    if (p[1] < low || p[1] > high) return false;
    for (int i = 2; i <= more; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
    }
    p += more + 1;
  }
  return true;
}

std::string_view CharsetOf(std::string_view text) {
  if (!HasEightBit(text)) return "us-ascii";
  return IsValidUtf8(text) ? "utf-8" : "windows-1252";
}

}  // namespace postwing::detail
