// The "Message-ID" of a message.
#pragma once

#include <string>

namespace postwing::detail {

// "<" + a new GUID as 32 upper-case hexadecimal digits + "@" + the computer's name + ">".
std::string NewMessageID();

}  // namespace postwing::detail
