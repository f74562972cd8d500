#include "message_input.hpp"

#include <strings.h>

#include <cstring>
#include <string_view>

namespace postwing_send {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// A group ("Friends: a@x, b@y;") names its members after a ":" outside quotes, comments
// and angle brackets; the library splits lists at "," and ";", so only the group's name
// has to go.
std::string WithoutGroupNames(std::string_view value) {
  std::string out;
  size_t entry_start = 0;
  int comment = 0;
  bool quoted = false, angle = false;
  for (size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if ((quoted || comment) && c == '\\' && i + 1 < value.size()) {
      out += c;
      out += value[++i];
      continue;
    }
    if (quoted) {
      quoted = c != '"';
    } else if (c == '"' && !comment) {
      quoted = true;
    } else if (c == '(') {
      ++comment;
    } else if (c == ')' && comment) {
      --comment;
    } else if (!comment && c == '<') {
      angle = true;
    } else if (!comment && c == '>') {
      angle = false;
    } else if (!comment && !angle && (c == ',' || c == ';')) {
      entry_start = out.size() + 1;
    } else if (!comment && !angle && c == ':') {
      out.erase(entry_start);
      out += ' ';
      continue;
    }
    out += c;
  }
  return out;
}

}  // namespace

std::string CutAtLoneDot(std::string input) {
  for (size_t at = 0; at < input.size();) {
    size_t end = input.find('\n', at);
    std::string_view line(input.data() + at, (end == std::string::npos ? input.size() : end) - at);
    if (line == "." || line == ".\r") {
      input.resize(at);
      break;
    }
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return input;
}

InputMessage ReadHeaderRecipients(const std::string& input) {
  InputMessage m;
  enum { kOther, kAddress, kFrom, kBcc } field = kOther;
  std::string* value = nullptr;
  size_t at = 0;
  while (at < input.size()) {
    size_t end = input.find('\n', at);
    const size_t next = end == std::string::npos ? input.size() : end + 1;
    std::string_view line(input.data() + at, next - at);
    std::string_view content = line.substr(0, line.find_first_of("\r\n"));
    if (content.empty()) break;  // the end of the header section
    if (IsBlank(content.front())) {
      if (value) *value += content;
    } else {
      const size_t colon = content.find(':');
      const std::string_view name = content.substr(0, colon == std::string_view::npos ? 0 : colon);
      auto is = [&name](const char* n) {
        return name.size() == std::strlen(n) && strncasecmp(name.data(), n, name.size()) == 0;
      };
      field = is("bcc") ? kBcc : is("to") || is("cc") ? kAddress : is("from") ? kFrom : kOther;
      value = nullptr;
      if (field == kFrom) value = &m.from;
      if (field == kAddress || field == kBcc) value = &m.recipients.emplace_back();
      if (value) *value += content.substr(colon + 1);
    }
    if (field != kBcc) m.text.append(line);
    at = next;
  }
  m.text.append(input, at);
  for (auto& r : m.recipients) r = WithoutGroupNames(r);
  m.from = WithoutGroupNames(m.from);
  return m;
}

}  // namespace postwing_send
