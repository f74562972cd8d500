#include "message/mime_texts.hpp"

#include "message/field_split.hpp"

namespace postwing::detail {

EncodeTypes DefaultEncodeTypeFor(std::string_view content_type) {
  const std::string type = LowerCase(content_type);
  if (type.find("text/") == std::string::npos) return emxBase64;
  return TrimBlanks(type) == "text/plain" ? emxBinary : emxQuotedPrintable;
}

EncodeTypes EncodeTypeOfFieldText(std::string_view text) {
  const std::string t = LowerCase(TrimBlanks(text));
  if (t == "base64") return emxBase64;
  if (t == "quoted-printable") return emxQuotedPrintable;
  if (t == "8bit") return emx8Bit;
  if (t == "7bit") return emx7Bit;
  if (t == "binary") return emxBinary;
  if (t == "uuencode") return emxUUEncode;
  return emxCustomEncode;
}

}  // namespace postwing::detail
