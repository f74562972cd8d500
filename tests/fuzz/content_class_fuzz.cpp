// The content classifier and the quoted-printable encoder fed in pieces: the same facts and
// the same text wherever the pieces are cut, and a text called safe really is.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "codecs/quoted_printable.hpp"
#include "message/text_class.hpp"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "content_class_fuzz: %s\n", what);
    std::abort();
  }
}

bool Same(const postwing::detail::TextFacts& a, const postwing::detail::TextFacts& b) {
  return a.nul == b.nul && a.bare_cr == b.bare_cr && a.bare_lf == b.bare_lf &&
         a.eight_bit == b.eight_bit && a.utf8 == b.utf8 && a.boundary_line == b.boundary_line &&
         a.longest_line == b.longest_line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace postwing;
  if (size < 1) return 0;
  uint32_t seed = data[0] * 2654435761u + 1;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
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
  QuotedPrintable::Pieces qp;
  std::string encoded;
  for (auto piece : pieces) {
    fed.Feed(piece);
    encoded += qp.Feed(piece);
  }
  Check(Same(whole, fed.Finish()), "pieces give other facts than one pass");
  encoded += qp.Finish();
  Check(encoded == QuotedPrintable().Encode(text), "quoted-printable in pieces differs");

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
  return 0;
}
