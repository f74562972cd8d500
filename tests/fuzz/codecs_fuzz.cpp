// The three encoders against their decoders, the decoders on arbitrary text, and the content
// classifier and the quoted-printable encoder fed in pieces: the same facts and the same text
// wherever the pieces are cut, and a text called safe really is.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "codecs/base64.hpp"
#include "codecs/quoted_printable.hpp"
#include "codecs/uuencode.hpp"
#include "fuzz/fuzz_check.hpp"
#include "message/text_class.hpp"
#include "postwing/exception.hpp"

namespace {

using fuzz::Check;
using namespace postwing;

bool Same(const detail::TextFacts& a, const detail::TextFacts& b) {
  return a.nul == b.nul && a.bare_cr == b.bare_cr && a.bare_lf == b.bare_lf &&
         a.eight_bit == b.eight_bit && a.utf8 == b.utf8 && a.boundary_line == b.boundary_line &&
         a.longest_line == b.longest_line;
}

// The text cut into pieces where the seed says, fed to the classifier and the encoder.
void PiecesAndFacts(uint32_t seed, const std::string& text, const std::string& qp_text) {
  // Nested levels: one boundary line a prefix of another is looked for as well.
  const std::vector<std::string> boundary_lines = {"--=_b", "--=_alt_b", "--=_a"};

  // Cuts of random sizes, small ones often, so CR LF and UTF-8 sequences are split.
  std::vector<std::string_view> pieces;
  for (size_t at = 0; at < text.size();) {
    seed = seed * 1103515245u + 12345u;
    const size_t take =
        std::min<size_t>(text.size() - at, 1 + (seed >> 16) % ((seed & 1) ? 4 : 300));
    pieces.push_back(std::string_view(text).substr(at, take));
    at += take;
  }

  const detail::TextFacts whole = detail::ClassifyText(text, boundary_lines);
  detail::TextClassifier fed(boundary_lines);
  QuotedPrintable::Pieces qp_pieces;
  std::string encoded;
  for (auto piece : pieces) {
    fed.Feed(piece);
    encoded += qp_pieces.Feed(piece);
  }
  Check(Same(whole, fed.Finish()), "pieces give other facts than one pass");
  encoded += qp_pieces.Finish();
  Check(encoded == qp_text, "quoted-printable in pieces differs");

  // The facts against a plain reading of the text.
  Check(whole.utf8 == detail::IsValidUtf8(text), "UTF-8 differs from the whole-text rule");
  Check(whole.eight_bit == detail::HasEightBit(text), "8-bit differs");
  Check(whole.nul == (text.find('\0') != std::string::npos), "NUL differs");
  bool bare = false, boundary = false;
  size_t line = 0, longest = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      ++i;
    } else if (c != '\r' && c != '\n') {
      if (++line == 1) {
        for (const auto& b : boundary_lines) boundary |= text.compare(i, b.size(), b) == 0;
      }
      continue;
    } else {
      bare = true;
    }
    longest = std::max(longest, line);
    line = 0;
  }
  longest = std::max(longest, line);
  Check(whole.longest_line == longest, "longest line differs");
  Check(whole.boundary_line == boundary, "boundary line differs");
  Check((whole.bare_cr || whole.bare_lf) == bare, "bare CR or LF differs");
  if (whole.SafeAsIs()) {
    Check(!bare && longest <= 998 && !boundary && !whole.nul && !detail::HasEightBit(text),
          "an unsafe text called safe");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string input = fuzz::Text(data + 1, size - 1);

  QuotedPrintable qp;
  const std::string qp_text = qp.Encode(input);
  PiecesAndFacts(data[0] * 2654435761u + 1, input, qp_text);
  Check(qp.Decode(qp_text) == input, "quoted-printable round trip");
  // Lines of at most 76 characters, CR LF only, 7-bit printable, no blank at a line's end.
  size_t line = 0;
  for (size_t i = 0; i < qp_text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(qp_text[i]);
    if (c != '\r') {
      Check(c >= 32 && c < 127, "quoted-printable byte outside 32-126");
      ++line;
      continue;
    }
    Check(i + 1 < qp_text.size() && qp_text[++i] == '\n', "quoted-printable lone CR");
    Check(line <= 76, "quoted-printable line over 76");
    Check(line == 0 || qp_text[i - 2] != ' ', "quoted-printable blank before a line end");
    line = 0;
  }
  Check(line == 0, "quoted-printable text without its final line end");
  (void)qp.Decode(input);

  Base64 b64;
  b64.Init();
  ByteArray encoded, decoded;
  b64.Encode(input, encoded);
  Check(encoded.size() % 4 == 0, "base64 length");
  b64.Decode(encoded, decoded);
  Check(decoded == input, "base64 round trip");
  int16_t span = 0;
  std::string lines = b64.EncodeLines(input, span);
  std::erase_if(lines, [](char c) { return c == '\r' || c == '\n'; });
  Check(lines == encoded, "base64 lines hold the encoding");
  std::vector<std::string> spans;
  for (const char* separator : {"", "\r\n", "|"}) {
    ByteArray back;
    int16_t width = 0, width_back = 0;
    b64.span(encoded, spans, width, separator);
    b64.Unspan(spans, back, width_back, separator);
    Check(back == encoded && (width_back == 76 || encoded.empty()), "span and Unspan round trip");
  }
  try {
    b64.Decode(input, decoded);
  } catch (const Exception&) {
    Check(input.size() % 4 != 0, "base64 decode refused a whole text");
  }

  UUEncode uu;
  const std::string uu_text = uu.UUEncodeData(input, "fuzz.bin");
  Check(uu_text.rfind("begin 644 fuzz.bin\r\n", 0) == 0, "uuencode begin line");
  Check(uu.UUDecode(uu_text) == input, "uuencode round trip");
  Check(uu.UUDecode(uu_text.substr(20)) == input, "uuencode lines without their begin line");
  (void)uu.UUDecode(input);
  return 0;
}
