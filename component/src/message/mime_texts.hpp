// Texts and field keys shared by Header, Body and Attachment.
#pragma once

#include <string>
#include <string_view>

#include "core/ascii.hpp"
#include "postwing/types.hpp"

namespace postwing::detail {

// The boundary of every multipart message the library builds.
inline constexpr std::string_view kBoundary = "=_5550142857_quillfeather_5550171428_part";

// The text of a header "Content-type" field for a multipart type: the type, the quoted
// boundary and the us-ascii charset.
inline std::string DefaultContentTypeText(std::string_view media_type,
                                          std::string_view charset = "us-ascii") {
  std::string text(media_type);
  text += ";boundary=\"";
  text += kBoundary;
  text += "\";charset=";
  text += charset;
  return text;
}

// 12008: "The <property> property can only be used with MIME types. ..."
inline std::string MimeRequiredText(std::string_view property) {
  std::string text = "The ";
  text += property;
  text +=
      " property can only be used with MIME types. Set MIMECompliant property to true and "
      "try again.";
  return text;
}

// 12009 for a content type and for a transfer encoding.
inline constexpr std::string_view kCustomContentTypeText =
    "A Custom content type (\"Content-Type\") can only be set using the Values object.";
inline constexpr std::string_view kCustomEncodingText =
    "A Custom encoding type (\"Content-Transfer-Encoding\") can only be set using the Values "
    "object.";
// 12004
inline constexpr std::string_view kMimeFrozenText =
    "Cannot set property at this time. The property 'MIMECompliant' must be set before any "
    "attachments are added. If using multiple sends use Clear after each send completes.";
// 12012
inline constexpr std::string_view kMimeTypeNotSupportedText =
    "Determination of the MIME type for the extension specified cannot be determined by "
    "postwing.";

// The "Content-Transfer-Encoding" text written for an encode type (2 to 7), or "".
inline std::string_view EncodeTypeFieldText(int32_t type) {
  switch (type) {
    case emxBase64:
      return "Base64";
    case emxQuotedPrintable:
      return "quoted-printable";
    case emx8Bit:
      return "8Bit";
    case emx7Bit:
      return "7Bit";
    case emxBinary:
      return "Binary";
    case emxUUEncode:
      return "UUEncode";
    default:
      return {};
  }
}

// The encode type a "Content-Transfer-Encoding" text stands for (any case, blanks
// around ignored); emxCustomEncode for any other text.
EncodeTypes EncodeTypeOfFieldText(std::string_view text);

// The encode type that suits a content type: Binary for exactly "text/plain" (blanks
// around ignored), quoted-printable for any other text containing "text/", Base64
// otherwise; any case.
EncodeTypes DefaultEncodeTypeFor(std::string_view content_type);

}  // namespace postwing::detail
