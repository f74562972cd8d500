#include "message/address_list.hpp"

namespace postwing::detail {

size_t SpanEnd(std::string_view text, size_t at) {
  const char open = text[at];
  if (open == '<') return text.find('>', at + 1);
  const char close = open == '(' ? ')' : '"';
  int depth = 1;
  for (size_t i = at + 1; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\') {
      ++i;
    } else if (c == close) {
      if (--depth == 0) return i;
    } else if (open == '(' && c == '(') {
      ++depth;
    }
  }
  return std::string_view::npos;
}

std::string_view TrimWsp(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::vector<std::string_view> SplitAddressList(std::string_view text) {
  std::vector<std::string_view> entries;
  auto add = [&](std::string_view entry) {
    // Folds of a list that is not unfolded yet may stand around entries.
    while (!entry.empty() && std::string_view(" \t\r\n").find(entry.front()) != entry.npos) {
      entry.remove_prefix(1);
    }
    while (!entry.empty() && std::string_view(" \t\r\n").find(entry.back()) != entry.npos) {
      entry.remove_suffix(1);
    }
    if (!entry.empty()) entries.push_back(entry);
  };
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"' || c == '<' || c == '(') {
      const size_t end = SpanEnd(text, i);
      if (end != std::string_view::npos) i = end;
    } else if (c == ';' || c == ',') {
      add(text.substr(start, i - start));
      start = i + 1;
    }
  }
  add(text.substr(start));
  return entries;
}

std::string AddressOf(std::string_view entry) {
  std::string outside;  // the entry without its comments
  for (size_t i = 0; i < entry.size(); ++i) {
    const char c = entry[i];
    const size_t end =
        c == '"' || c == '<' || c == '(' ? SpanEnd(entry, i) : std::string_view::npos;
    if (end == std::string_view::npos) {
      outside += c;
    } else if (c == '<') {
      return std::string(TrimWsp(entry.substr(i + 1, end - i - 1)));
    } else {
      if (c == '"') outside.append(entry.substr(i, end - i + 1));
      i = end;
    }
  }
  return std::string(TrimWsp(outside));
}

std::string EnvelopePath(std::string_view entry) {
  return "<" + AddressOf(entry) + ">";
}

}  // namespace postwing::detail
