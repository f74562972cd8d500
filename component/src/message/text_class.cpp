#include "message/text_class.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace postwing::detail {

bool HasEightBit(std::string_view text) {
  for (unsigned char c : text) {
    if (c > 127) return true;
  }
  return false;
}

namespace {

// What a UTF-8 lead byte announces: how many continuation bytes follow and the range the
// first of them must fall in (no overlong forms, no surrogates, nothing above U+10FFFF).
// False for a byte that cannot start a sequence.
bool Utf8Lead(unsigned char c, int& more, unsigned char& low, unsigned char& high) {
  low = 0x80;
  high = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    more = 1;
  } else if (c >= 0xE0 && c <= 0xEF) {
    more = 2;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    more = 3;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return false;
  }
  return true;
}

}  // namespace

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
    unsigned char low, high;  // the range of the second byte
    if (!Utf8Lead(c, more, low, high)) return false;
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

namespace {

// The length of the run of bytes at p that need no look: 1 to 127 but CR and LF.
size_t PlainRun(const unsigned char* p, const unsigned char* end) {
  const unsigned char* q = p;
#if defined(__SSE2__)
  while (end - q >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
    const __m128i special = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_setzero_si128()),
                                                      _mm_cmplt_epi8(v, _mm_setzero_si128())),
                                         _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')),
                                                      _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(special));
    if (mask) return static_cast<size_t>(q - p) + static_cast<size_t>(__builtin_ctz(mask));
    q += 16;
  }
#endif
  while (q < end && *q != 0 && *q < 0x80 && *q != '\r' && *q != '\n') ++q;
  return static_cast<size_t>(q - p);
}

}  // namespace

TextClassifier::TextClassifier(std::string boundary_line)
    : TextClassifier(boundary_line.empty() ? std::vector<std::string>()
                                           : std::vector<std::string>{std::move(boundary_line)}) {}

TextClassifier::TextClassifier(std::vector<std::string> boundary_lines)
    : boundary_lines_(std::move(boundary_lines)) {
  std::erase_if(boundary_lines_, [](const std::string& line) { return line.empty(); });
  matching_ = !boundary_lines_.empty();
}

void TextClassifier::EndLine() {
  facts_.longest_line = std::max(facts_.longest_line, line_);
  line_ = 0;
  head_.clear();
  matching_ = !boundary_lines_.empty() && !facts_.boundary_line;
}

void TextClassifier::Match(unsigned char c) {
  head_.push_back(static_cast<char>(c));
  bool prefix = false;
  for (const auto& line : boundary_lines_) {
    if (line.compare(0, head_.size(), head_) != 0) continue;
    if (line.size() == head_.size()) {
      facts_.boundary_line = true;
      matching_ = false;
      return;
    }
    prefix = true;
  }
  matching_ = prefix;
}

void TextClassifier::Feed(std::string_view piece) {
  const auto* p = reinterpret_cast<const unsigned char*>(piece.data());
  const auto* const end = p + piece.size();
  while (p < end) {
    if (!pending_cr_ && utf8_more_ == 0 && !matching_) {
      const size_t run = PlainRun(p, end);
      line_ += run;
      p += run;
      if (p == end) break;
    }
    const unsigned char c = *p++;
    if (pending_cr_) {
      pending_cr_ = false;
      if (c == '\n') {
        EndLine();
        continue;
      }
      facts_.bare_cr = true;
      EndLine();
    }
    if (facts_.utf8) {
      if (utf8_more_ > 0) {
        if (c < utf8_low_ || c > utf8_high_) {
          facts_.utf8 = false;
        } else {
          --utf8_more_;
          utf8_low_ = 0x80;
          utf8_high_ = 0xBF;
        }
      } else if (c >= 0x80) {
        if (!Utf8Lead(c, utf8_more_, utf8_low_, utf8_high_)) facts_.utf8 = false;
      }
      if (!facts_.utf8) utf8_more_ = 0;
    }
    if (c == '\r') {
      pending_cr_ = true;
      continue;
    }
    if (c == '\n') {
      facts_.bare_lf = true;
      EndLine();
      continue;
    }
    if (c == 0) facts_.nul = true;
    if (c >= 0x80) facts_.eight_bit = true;
    ++line_;
    if (matching_) Match(c);
  }
}

TextFacts TextClassifier::Finish() const {
  TextFacts facts = facts_;
  if (pending_cr_) facts.bare_cr = true;
  if (utf8_more_ > 0) facts.utf8 = false;
  facts.longest_line = std::max(facts.longest_line, line_);
  return facts;
}

TextFacts ClassifyText(std::string_view text, const std::string& boundary_line) {
  TextClassifier classifier(boundary_line);
  classifier.Feed(text);
  return classifier.Finish();
}

TextFacts ClassifyText(std::string_view text, const std::vector<std::string>& boundary_lines) {
  TextClassifier classifier(boundary_lines);
  classifier.Feed(text);
  return classifier.Finish();
}

}  // namespace postwing::detail
