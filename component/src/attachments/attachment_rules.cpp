#include "attachments/attachment_rules.hpp"

#include "core/error_report.hpp"
#include "message/field_split.hpp"
#include "message/header_wire.hpp"
#include "message/mime_texts.hpp"

namespace postwing::detail {

std::string FileNameParameter(std::string_view file_name) {
  return ParameterValue(file_name);
}

bool IsInlineDisposition(std::string_view disposition) {
  return LowerCase(TrimBlanks(disposition.substr(0, disposition.find(';')))) == "inline";
}

std::string ContentIdOf(std::string_view field_text) {
  std::string_view id = TrimBlanks(field_text);
  if (id.size() > 1 && id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 2);
  return std::string(id);
}

std::string SourceBytes(const Variant& source) {
  if (!source.IsArray()) return source.ToString();
  std::string bytes;
  bytes.reserve(source.AsArray().size());
  for (const Variant& item : source.AsArray()) {
    const double n = item.IsInteger() ? item.AsInteger() : item.IsDouble() ? item.AsDouble() : -1;
    if (n < 0 || n > 255 || n != static_cast<int>(n)) RaiseRuntimeError(kErrTypeMismatch);
    bytes.push_back(static_cast<char>(static_cast<unsigned char>(n)));
  }
  return bytes;
}

}  // namespace postwing::detail
