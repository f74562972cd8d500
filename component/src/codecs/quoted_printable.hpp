// Quoted-printable (RFC 2045 6.7) for bodies and attachments.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace postwing {

class QuotedPrintable {
 public:
  // Lossless encoding: CR LF pairs become hard line breaks; every other byte 0-31, "=" and
  // 127-255 is written "=XX" (upper-case hex); a space is written "=20" where it would end a
  // line and from position 70 of a line on; lines hold at most 76 characters including the
  // "=" of a soft break. A non-empty result always ends with the soft break "=" CR LF; an
  // empty text gives the empty text.
  std::string Encode(std::string_view Data);
  // "=XX" (either case) gives the byte, "=" CR LF is removed; any other "=" is kept as it
  // stands, as is everything else.
  std::string Decode(std::string_view Data);

  // Encode of a text fed in pieces, for a file that is never held whole: joined, the texts
  // of Feed and Finish are exactly Encode's text of the whole, wherever the cuts fall. A few
  // bytes of each piece are held back until the next tells how they end.
  class Pieces {
   public:
    std::string Feed(std::string_view piece);
    // The rest, with the final soft break (empty when nothing was fed); starts anew.
    std::string Finish();

   private:
    std::string held_;
    size_t column_ = 0;
    bool any_ = false;
  };

  // Encoding is one quick pass that does not yield, so nothing looks at the flag; message
  // assembly checks the send's own flag after each part.
  void Cancel() { cancelled_ = true; }
  bool Cancelled() const { return cancelled_; }

 private:
  bool cancelled_ = false;
};

}  // namespace postwing
