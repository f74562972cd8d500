// A whole message read from standard input, as sendmail takes it.
#pragma once

#include <string>
#include <vector>

namespace postwing_send {

struct InputMessage {
  std::string text;                     // the message, its Bcc fields removed
  std::vector<std::string> recipients;  // the To, Cc and Bcc fields' values, unfolded
  std::string from;                     // the From field's value, unfolded
};

// Without ignore_dots a line holding a lone "." ends the message, as sendmail has it.
std::string CutAtLoneDot(std::string input);

// Splits the header section off INPUT, collects the address fields and drops every Bcc
// field; the rest of the text is kept byte for byte.
InputMessage ReadHeaderRecipients(const std::string& input);

}  // namespace postwing_send
