#include "attachments/attachment_rules.hpp"

#include "message/field_split.hpp"
#include "message/header_wire.hpp"
#include "message/mime_texts.hpp"

namespace postwing::detail {

EncodeTypes DefaultEncodeTypeFor(std::string_view content_type) {
  const std::string type = LowerCase(content_type);
  if (type.find("text/") == std::string::npos) return emxBase64;
  return TrimBlanks(type) == "text/plain" ? emxBinary : emxQuotedPrintable;
}

std::string FileNameParameter(std::string_view file_name) {
  return ParameterValue(file_name);
}

}  // namespace postwing::detail
