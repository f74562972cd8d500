#include "attachments/attachment_rules.hpp"

#include "core/error_report.hpp"
#include "message/field_split.hpp"
#include "message/mime_texts.hpp"

namespace postwing::detail {

namespace {

// RFC 2045 token characters.
bool IsTokenChar(unsigned char c) {
  if (c <= 32 || c >= 127) return false;
  return std::string_view("()<>@,;:\\\"/[]?=").find(static_cast<char>(c)) == std::string_view::npos;
}

}  // namespace

EncodeTypes DefaultEncodeTypeFor(std::string_view content_type) {
  const std::string type = LowerCase(content_type);
  if (type.find("text/") == std::string::npos) return emxBase64;
  return TrimBlanks(type) == "text/plain" ? emxBinary : emxQuotedPrintable;
}

std::string FileNameParameter(std::string_view file_name) {
  bool token = !file_name.empty();
  for (unsigned char c : file_name) token = token && IsTokenChar(c);
  if (token) return std::string(file_name);
  std::string quoted;
  quoted.reserve(file_name.size() + 2);
  quoted += '"';
  for (char c : file_name) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  return quoted;
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
