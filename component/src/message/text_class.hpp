// What a text holds, for choosing how it can be written: the one copy of the UTF-8 rule.
#pragma once

#include <string_view>

namespace postwing::detail {

// True when the bytes are well-formed UTF-8 (RFC 3629: no overlong forms, no surrogates,
// nothing above U+10FFFF). ASCII is UTF-8.
bool IsValidUtf8(std::string_view text);

// True when some byte is above 127.
bool HasEightBit(std::string_view text);

// The charset a text is declared in: "us-ascii" for 7-bit text, "utf-8" when it is valid
// UTF-8, else "windows-1252" (one character per byte, the library's text model).
std::string_view CharsetOf(std::string_view text);

}  // namespace postwing::detail
