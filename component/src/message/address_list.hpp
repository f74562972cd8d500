// Address lists: the one rule that splits them and finds each entry's address, for the
// header lines and for the envelope alike.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace postwing::detail {

// The entries of an address list, without their surrounding blanks. ";" (the model's
// separator) and "," separate entries outside double quotes, angle brackets and parentheses;
// an opener without its partner is an ordinary character. Blank entries are skipped.
std::vector<std::string_view> SplitAddressList(std::string_view text);

// The address of one entry: what lies between "<" and ">" (outside quotes and comments)
// when there is such a pair, else the entry without its comments; no blanks around it.
std::string AddressOf(std::string_view entry);

// The address in angle brackets, as MAIL FROM and RCPT TO carry it.
std::string EnvelopePath(std::string_view entry);

// Where the span opened at text[at] ("\"", "<" or "(") ends: the index of its closing
// character, or npos when it has none. Backslash escapes count inside quotes and comments;
// comments nest.
size_t SpanEnd(std::string_view text, size_t at);

// Spaces and tabs.
inline bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}
std::string_view TrimWsp(std::string_view text);

}  // namespace postwing::detail
