// The wire form of a header field: the field text as the host stored it, written as lines a
// server relays unchanged and a reader decodes back to that text. Lines are folded at 78
// characters where a fold point exists (RFC 5322 2.2.3) and never pass 998; text outside
// ASCII goes out as RFC 2047 encoded words, or RFC 2231 parameters in MIME fields, so the
// header is 7-bit. Addresses are never encoded and never folded inside.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace postwing::detail {

inline constexpr size_t kFoldWidth = 78;
inline constexpr size_t kLineLimit = 998;

struct WireField {
  // key + ": " + text as written: its lines joined by CR LF, no CR LF after the last.
  std::string lines;
  // Why the field cannot be written (empty when it can): a line that cannot be folded
  // within 998 octets, or text outside ASCII where no encoding may stand (an address, a
  // structured field such as Message-ID).
  std::string problem;
  // The problem is only an address outside ASCII, which SMTPUTF8 (RFC 6532) carries as it is.
  bool utf8_only = false;
};

WireField FieldWireForm(std::string_view key, std::string_view text);

// A MIME parameter value as written: as it stands when it is a token (RFC 2045), else in
// double quotes with "\" and '"' escaped.
std::string ParameterValue(std::string_view value);

// A whole RFC 2047 encoded word, "=?charset?B?...?=" or "=?charset?Q?...?=", well formed:
// what a reader decodes. A host that encoded its own text keeps it so.
bool IsEncodedWord(std::string_view word);

}  // namespace postwing::detail
