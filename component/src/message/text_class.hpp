// What a text holds, for choosing how it can be written: the one copy of the UTF-8 rule.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace postwing::detail {

// True when the bytes are well-formed UTF-8 (RFC 3629: no overlong forms, no surrogates,
// nothing above U+10FFFF). ASCII is UTF-8.
bool IsValidUtf8(std::string_view text);

// True when some byte is above 127.
bool HasEightBit(std::string_view text);

// The charset a text is declared in: "us-ascii" for 7-bit text, "utf-8" when it is valid
// UTF-8, else "windows-1252" (one character per byte, the library's text model).
std::string_view CharsetOf(std::string_view text);

// The longest line SMTP carries unchanged, in octets without its CR LF (RFC 5321 4.5.3.1.6).
inline constexpr uint64_t kMaxLineOctets = 998;

// What a content holds. Lines end at CR LF; a CR or LF on its own is data that a line-based
// transport would turn into a line end, and it also ends a line for the counts here.
struct TextFacts {
  bool nul = false;
  bool bare_cr = false;
  bool bare_lf = false;
  bool eight_bit = false;
  bool utf8 = true;            // valid UTF-8 (as far as it has been read)
  bool boundary_line = false;  // a line starts with one of the boundary lines given
  uint64_t longest_line = 0;

  // Survives SMTP written as it is, without declaring 8-bit: 7-bit lines of at most 998
  // octets ended by CR LF, no NUL, and nothing a reader would take for a boundary.
  bool SafeAsIs() const {
    return !nul && !bare_cr && !bare_lf && !eight_bit && !boundary_line &&
           longest_line <= kMaxLineOctets;
  }
  // Survives SMTP as it is where the server takes 8-bit text (8BITMIME): SafeAsIs but for
  // the 8-bit bytes.
  bool SafeAsEightBit() const {
    return !nul && !bare_cr && !bare_lf && !boundary_line && longest_line <= kMaxLineOctets;
  }
  // The charset a text part with these facts is declared in when it holds 8-bit bytes.
  std::string_view Charset() const {
    return !eight_bit ? "us-ascii" : utf8 ? "utf-8" : "windows-1252";
  }
};

// Learns the facts of a content fed in pieces of any size; the result does not depend on
// where the pieces are cut.
class TextClassifier {
 public:
  // boundary_line: "--" + the boundary in use, or empty when there is none to look for.
  explicit TextClassifier(std::string boundary_line = {});
  // boundary_lines: "--" + each boundary that encloses the content.
  explicit TextClassifier(std::vector<std::string> boundary_lines);

  void Feed(std::string_view piece);
  // The facts of everything fed, with the last line (and a CR or UTF-8 sequence cut off by
  // the end) counted as it stands.
  TextFacts Finish() const;
  // The facts so far; a pending CR or UTF-8 sequence is not yet judged.
  const TextFacts& SoFar() const { return facts_; }

 private:
  void EndLine();

  void Match(unsigned char c);

  std::vector<std::string> boundary_lines_;
  TextFacts facts_;
  uint64_t line_ = 0;  // octets of the current line
  std::string head_;   // the line's start, while it may still be a boundary line
  bool matching_ = false;
  bool pending_cr_ = false;                           // the last byte was a CR
  int utf8_more_ = 0;                                 // continuation bytes still due
  unsigned char utf8_low_ = 0x80, utf8_high_ = 0xBF;  // the range of the next one
};

// The facts of a whole text, fed at once.
TextFacts ClassifyText(std::string_view text, const std::string& boundary_line = {});
TextFacts ClassifyText(std::string_view text, const std::vector<std::string>& boundary_lines);

}  // namespace postwing::detail
