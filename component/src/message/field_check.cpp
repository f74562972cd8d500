#include "message/field_check.hpp"

namespace postwing::detail {

bool HasLineBreakOrNul(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

std::string Unfold(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 2 < text.size() && text[i + 1] == '\n' &&
        (text[i + 2] == ' ' || text[i + 2] == '\t')) {
      ++i;
      continue;
    }
    out += text[i];
  }
  return out;
}

std::string IllegalFieldText(std::string_view field) {
  std::string name;
  for (char c : field) name.push_back(c == '\r' || c == '\n' || c == '\0' ? '?' : c);
  return "The field '" + name + "' holds a line break or NUL character, which cannot be sent.";
}

std::string UnsendableFieldText(std::string_view field, std::string_view problem) {
  return "The field '" + std::string(field) + "' cannot be sent: " + std::string(problem) + ".";
}

bool IsLegalFieldKey(std::string_view key) {
  return !HasLineBreakOrNul(key);
}

bool IsLegalFieldText(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\0' || c == '\n') return false;
    if (c == '\r') {
      if (i + 2 >= text.size() || text[i + 1] != '\n') return false;
      // A fold continues the field on a line that holds more than blanks: a line of
      // blanks alone could be read as the end of the header.
      size_t j = i + 2;
      while (j < text.size() && (text[j] == ' ' || text[j] == '\t')) ++j;
      if (j == i + 2 || j == text.size() || text[j] == '\r') return false;
      i = j - 1;
    }
  }
  return true;
}

std::shared_ptr<Value> FirstIllegalField(const Values& values) {
  for (const auto& value : values) {
    if (!IsLegalFieldKey(value->Key()) || !IsLegalFieldText(value->Text())) return value;
  }
  return nullptr;
}

}  // namespace postwing::detail
