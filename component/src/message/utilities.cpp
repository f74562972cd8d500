#include "postwing/utilities.hpp"

#include "core/error_report.hpp"
#include "message/mime_texts.hpp"
#include "platform/module.hpp"

namespace postwing {

Variant Utilities::ReadFile(const std::string& FileName) {
  try {
    return Variant(platform::ReadWholeFile(FileName));
  } catch (...) {
    detail::RecordAndRethrow(Parent(), "Utilities.ReadFile");
  }
}

std::string Utilities::GetContentTypeForExt(std::string_view Extension) {
  constexpr const char* kMethod = "Utilities.GetContentTypeForExt";
  try {
    std::string extension;
    for (char c : Extension) {
      if (c != '.') extension += c;
    }
    std::string type = platform::ContentTypeForExtension(extension);
    if (type.empty()) {
      detail::RaiseMailError(Parent(), emxMIMETypeNotSupported, detail::kSource,
                             detail::kMimeTypeNotSupportedText, kMethod);
    }
    return type;
  } catch (...) {
    detail::RecordAndRethrow(Parent(), kMethod);
  }
}

}  // namespace postwing
