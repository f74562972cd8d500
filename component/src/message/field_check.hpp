// Whether field texts can be written as header lines.
#pragma once

#include <memory>
#include <string_view>

#include "postwing/values.hpp"

namespace postwing::detail {

// A key holds no CR, LF or NUL.
bool IsLegalFieldKey(std::string_view key);
// A text holds no NUL, and no CR or LF except as a fold: CR LF, then spaces or tabs, then
// something else.
bool IsLegalFieldText(std::string_view text);
// The first field of values whose key or text is not legal, or nullptr.
std::shared_ptr<Value> FirstIllegalField(const Values& values);

}  // namespace postwing::detail
