// The rules an attachment's defaults and file-name parameters follow.
#pragma once

#include <string>
#include <string_view>

#include "postwing/types.hpp"

namespace postwing::detail {

// A file name as the value of a field parameter ("Name", "Filename"): as it stands when it
// is a token, else in double quotes (with "\" and '"' escaped), so that ";", "=" or blanks
// in the name neither split the field nor cut the name at the receiver.
std::string FileNameParameter(std::string_view file_name);

// Whether a "Content-Disposition" text's main value (before the first ";") is "inline",
// any case, blanks around ignored.
bool IsInlineDisposition(std::string_view disposition);

// A "Content-ID" text without blanks around it and without one pair of enclosing angle
// brackets.
std::string ContentIdOf(std::string_view field_text);

// The data of an attachment's Source: the bytes of an array of numbers 0 to 255 (anything
// else in it raises 13), else the text the value gives.
std::string SourceBytes(const Variant& source);

}  // namespace postwing::detail
