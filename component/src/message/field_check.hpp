// Whether field texts can be written as header lines.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "postwing/values.hpp"

namespace postwing::detail {

// True when the text holds CR, LF or NUL.
bool HasLineBreakOrNul(std::string_view text);
// The text with its folds (CR LF before a space or tab) taken out, as a reader unfolds it.
std::string Unfold(std::string_view text);

// The description of error 12013 for a field (CR, LF and NUL of its name shown as "?").
std::string IllegalFieldText(std::string_view field);
// The description of error 12017 for a field that cannot be written as header lines.
std::string UnsendableFieldText(std::string_view field, std::string_view problem);

// A key holds no CR, LF or NUL.
bool IsLegalFieldKey(std::string_view key);
// A text holds no NUL, and no CR or LF except as a fold: CR LF, then spaces or tabs, then
// something else.
bool IsLegalFieldText(std::string_view text);
// The first field of values whose key or text is not legal, or nullptr.
std::shared_ptr<Value> FirstIllegalField(const Values& values);

}  // namespace postwing::detail
