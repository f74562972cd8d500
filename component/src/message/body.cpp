#include "postwing/body.hpp"

#include "core/error_report.hpp"
#include "core/factory.hpp"
#include "message/field_split.hpp"
#include "message/mime_texts.hpp"
#include "postwing/header.hpp"
#include "postwing/send_mail.hpp"

namespace postwing {

namespace {

constexpr const char* kContentType = "Content-Type";
constexpr const char* kTransferEncoding = "Content-Transfer-Encoding";

// The first n characters of text, padded with blanks, in lower case.
std::string LowerHead(std::string_view text, size_t n) {
  std::string head = detail::LowerCase(text.substr(0, n));
  head.resize(n, ' ');
  return head;
}

bool BeginsWithDocType(std::string_view trimmed) {
  return LowerHead(trimmed, 10) == "<!doctype ";
}

bool LooksLikeHtml(std::string_view text) {
  const std::string_view trimmed = detail::TrimBlanks(text);
  return LowerHead(trimmed, 6) == "<html>" || BeginsWithDocType(trimmed);
}

// The paragraph some mail readers need to show an HTML body in their own font.
constexpr std::string_view kOutlookParagraph =
    "\r\n<p class=MsoNormal><font size=2 face=Arial><span style='font-size:10.0pt;Font-family: "
    "Arial'><o:p>&nbsp;</o:p>\r\n";

}  // namespace

Body::Body(detail::PassKey) : values_(detail::Factory::Make<postwing::Values>()) {}

void Body::SetParent(const std::shared_ptr<SendMail>& Parent) {
  parent_ = Parent;
  if (values_) values_->SetRootParent(Parent);
}

void Body::SetValues(const std::shared_ptr<postwing::Values>& Values) {
  if (!Values) detail::RaiseRuntimeError(91, "Object variable or With block variable not set");
  values_ = Values;
}

bool Body::Mime() const {
  const auto parent = Parent();
  const auto header = parent ? parent->Header() : nullptr;
  // A body detached from its SendMail behaves as in a fresh (MIME) message.
  return header ? header->MIMECompliant() : true;
}

void Body::RequireMime(const char* property, const char* method) const {
  if (!Mime()) {
    detail::RaiseMailError(Parent(), emxMIMETypeRequired, detail::kSource,
                           detail::MimeRequiredText(property), method);
  }
}

void Body::SetText(const Variant& Text) {
  if (Text.IsArray() || Text.IsObject()) detail::RaiseRuntimeError(detail::kErrTypeMismatch);
  text_ = Text;
  if (!Mime()) return;
  if (!content_type_chosen_) ChooseContentType(Text.ToString());
  if (!encode_type_chosen_) ChooseEncodeType();
}

void Body::ChooseContentType(const std::string& text) {
  if (LooksLikeHtml(text)) {
    content_type_ = emxBodyContentTypeHTML;
    values_->LetValue("text/html", kContentType);
  } else {
    content_type_ = emxBodyContentTypeText;
    values_->LetValue("text/plain", kContentType);
  }
}

void Body::ChooseEncodeType() {
  encode_type_ = detail::DefaultEncodeTypeFor(values_->GetValue(kContentType));
  values_->LetValue(std::string(detail::EncodeTypeFieldText(encode_type_)), kTransferEncoding);
}

Variant Body::Text() const {
  if (!Mime() || !values_->Exists(kContentType)) return text_;
  const auto parts = values_->Item(kContentType)->SubValues();
  const std::string main = parts && parts->Count() > 0 ? parts->Item(1)->Text() : std::string();
  if (detail::LowerCase(detail::TrimBlanks(main)) != "text/html") return text_;

  const std::string text = text_.ToString();
  std::string result;
  if (doc_type_.empty() || BeginsWithDocType(detail::TrimBlanks(text))) {
    result.reserve(text.size() + kOutlookParagraph.size());
    result = text;
    result += kOutlookParagraph;
    return result;
  }
  const auto parent = Parent();
  const bool outlook = parent ? parent->AddOutlookHTML() : true;
  result.reserve(doc_type_.size() + 2 + text.size() + kOutlookParagraph.size());
  result = doc_type_;
  result += "\r\n";
  result += text;
  if (outlook) result += kOutlookParagraph;
  return result;
}

BodyContentTypes Body::ContentType() const {
  RequireMime("ContentType", "Body.ContentType");
  const std::string type = detail::LowerCase(detail::TrimBlanks(values_->GetValue(kContentType)));
  if (type == "text/html") return emxBodyContentTypeHTML;
  if (type == "text/plain") return emxBodyContentTypeText;
  return emxCustomBodyContent;
}

void Body::SetContentType(BodyContentTypes ContentType) {
  RequireMime("ContentType", "Body.ContentType");
  if (ContentType == emxCustomBodyContent) {
    detail::RaiseMailError(Parent(), emxCannotSetCustomType, detail::kSource,
                           detail::kCustomContentTypeText, "Body.ContentType");
  }
  if (ContentType == emxBodyContentTypeHTML || ContentType == emxBodyContentTypeText) {
    values_->LetValue(ContentType == emxBodyContentTypeHTML ? "text/html" : "text/plain",
                      kContentType);
    if (!encode_type_chosen_) ChooseEncodeType();
  }
  content_type_ = ContentType;
  content_type_chosen_ = true;
}

std::string Body::ContentBase() const {
  RequireMime("ContentBase", "Body.ContentBase");
  return values_->GetValue("Content-Base");
}

void Body::SetContentBase(std::string ContentBase) {
  RequireMime("ContentBase", "Body.ContentBase");
  values_->LetValue(std::move(ContentBase), "Content-Base");
}

std::string Body::ContentLocation() const {
  RequireMime("ContentLocation", "Body.ContentLocation");
  return values_->GetValue("Content-Location");
}

void Body::SetContentLocation(std::string ContentLocation) {
  RequireMime("ContentLocation", "Body.ContentLocation");
  values_->LetValue(std::move(ContentLocation), "Content-Location");
}

EncodeTypes Body::EncodeType() const {
  RequireMime("EncodeType", "Body.EncodeType");
  return detail::EncodeTypeOfFieldText(values_->GetValue(kTransferEncoding));
}

void Body::SetEncodeType(EncodeTypes EncodeType) {
  RequireMime("EncodeType", "Body.EncodeType");
  if (EncodeType == emxCustomEncode) {
    detail::RaiseMailError(Parent(), emxCannotSetCustomType, detail::kSource,
                           detail::kCustomEncodingText, "Body.EncodeType");
  }
  const std::string_view text = detail::EncodeTypeFieldText(EncodeType);
  if (!text.empty()) values_->LetValue(std::string(text), kTransferEncoding);
  encode_type_ = EncodeType;
  encode_type_chosen_ = true;
}

void Body::SetDocType(std::string DocType) {
  RequireMime("DocType", "Body.DocType");
  doc_type_ = std::move(DocType);
}

std::string Body::AlternativeText() const {
  RequireMime("AlternativeText", "Body.AlternativeText");
  return alternative_text_;
}

void Body::SetAlternativeText(std::string AlternativeText) {
  RequireMime("AlternativeText", "Body.AlternativeText");
  alternative_text_ = std::move(AlternativeText);
}

}  // namespace postwing
