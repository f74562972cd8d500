// Splitting field texts at separators that lie outside double-quoted spans.
#pragma once

#include <string_view>
#include <vector>

namespace postwing::detail {

// The pieces of text between the separators that are not inside a quoted span (a double
// quote up to the next double quote, both included). A quote without a partner ends the
// spans: from there on every separator splits. Every byte value is kept as it is; empty
// pieces count, so n separators give n + 1 pieces.
std::vector<std::string_view> SplitOutsideQuotes(std::string_view text, char separator);

// The text without leading and trailing blanks (spaces only).
std::string_view TrimBlanks(std::string_view text);

}  // namespace postwing::detail
