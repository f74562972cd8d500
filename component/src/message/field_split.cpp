#include "message/field_split.hpp"

namespace postwing::detail {

std::vector<std::string_view> SplitOutsideQuotes(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  bool spans = true;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"' && spans) {
      const size_t close = text.find('"', i + 1);
      if (close == std::string_view::npos) {
        spans = false;  // unmatched: the quote is an ordinary character
      } else {
        i = close;
        continue;
      }
    }
    if (c == separator) {
      pieces.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  pieces.push_back(text.substr(start));
  return pieces;
}

std::string_view TrimBlanks(std::string_view text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

}  // namespace postwing::detail
