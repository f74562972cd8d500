#include "postwing/header.hpp"

#include "core/error_report.hpp"
#include "core/factory.hpp"
#include "message/field_split.hpp"
#include "message/header_date.hpp"
#include "message/mime_texts.hpp"
#include "postwing/attachments.hpp"
#include "postwing/send_mail.hpp"

namespace postwing {

namespace {

constexpr const char* kContentType = "Content-Type";
constexpr const char* kContentTypeAsWritten = "Content-type";
constexpr const char* kMimeVersion = "MIME-Version";

const char* MediaTypeOf(HeaderContentTypes type) {
  switch (type) {
    case emxMultipartMixed:
      return "multipart/mixed";
    case emxMultipartAlternative:
      return "multipart/alternative";
    case emxMultipartDigest:
      return "multipart/digest";
    case emxMultipartParallel:
      return "multipart/parallel";
    default:
      return nullptr;
  }
}

}  // namespace

Header::Header(detail::PassKey) : values_(detail::Factory::Make<postwing::Values>()) {
  values_->Add(detail::DefaultContentTypeText("multipart/mixed"), kContentTypeAsWritten);
  content_type_ = emxMultipartMixed;
  values_->Add("1.0", kMimeVersion);
  mime_ = true;
  values_->LetValue(detail::FormatHeaderDateNow(), "DATE");
  own_date_ = values_->GetValue("DATE");
}

void Header::SetParent(const std::shared_ptr<SendMail>& Parent) {
  parent_ = Parent;
  values_->SetRootParent(Parent);
}

void Header::RequireMime(const char* property, const char* method) const {
  if (!mime_) {
    detail::RaiseMailError(Parent(), emxMIMETypeRequired, detail::kSource,
                           detail::MimeRequiredText(property), method);
  }
}

HeaderContentTypes Header::ContentType() const {
  RequireMime("ContentType", "Header.ContentType");
  std::string main;
  if (values_->Exists(kContentType)) {
    const auto parts = values_->Item(kContentType)->SubValues();
    if (parts && parts->Count() > 0) main = parts->Item(1)->Text();
  }
  main = detail::LowerCase(detail::TrimBlanks(main));
  if (main == "multipart/alternative") {
    content_type_ = emxMultipartAlternative;
  } else if (main == "multipart/digest") {
    content_type_ = emxMultipartDigest;
  } else if (main == "multipart/mixed") {
    content_type_ = emxMultipartMixed;
  } else if (main == "multipart/parallel") {
    content_type_ = emxMultipartParallel;
  } else if (main.empty()) {
    content_type_ = emxCustomHeaderContent;
  }
  return content_type_;
}

void Header::SetContentType(HeaderContentTypes ContentType) {
  RequireMime("ContentType", "Header.ContentType");
  content_type_ = ContentType;
  if (ContentType == emxCustomHeaderContent) {
    detail::RaiseMailError(Parent(), emxCannotSetCustomType, detail::kSource,
                           detail::kCustomContentTypeText, "Header.ContentType");
  }
  const char* media_type = MediaTypeOf(ContentType);
  if (!media_type) return;
  if (values_->Exists(kContentType)) {
    values_->Item(kContentType)->SubValues()->LetValue(media_type, kContentType);
  } else {
    values_->Add(detail::DefaultContentTypeText(media_type), kContentTypeAsWritten);
  }
}

std::string Header::Charset() const {
  if (!mime_ || !values_->Exists(kContentType)) return {};
  const auto parts = values_->Item(kContentType)->SubValues();
  return parts ? parts->GetValue("charset") : std::string();
}

void Header::SetCharset(std::string Charset) {
  RequireMime("Charset", "Header.Charset");
  const std::string charset = detail::LowerCase(Charset);
  if (values_->Exists(kContentType)) {
    values_->Item(kContentType)->SubValues()->LetValue(charset, "charset");
  } else {
    values_->Add(detail::DefaultContentTypeText("multipart/mixed", charset), kContentTypeAsWritten);
  }
}

void Header::SetMIMECompliant(bool MIMECompliant) {
  const auto parent = Parent();
  const auto attachments = parent ? parent->Attachments() : nullptr;
  if (attachments && attachments->Count() > 0) {
    detail::RaiseMailError(parent, emxPropertyCannotBeSetAtThisTime, detail::kSource,
                           detail::kMimeFrozenText, "Header.MIMECompliant");
  }
  mime_ = MIMECompliant;
  if (MIMECompliant) {
    values_->LetValue("1.0", kMimeVersion);
    if (!values_->Exists(kContentType)) {
      values_->Add(detail::DefaultContentTypeText("multipart/mixed"), kContentTypeAsWritten);
      content_type_ = emxMultipartMixed;
    }
  } else {
    if (values_->Exists(kMimeVersion)) values_->Remove(kMimeVersion);
    if (values_->Exists(kContentType)) values_->Remove(kContentType);
  }
}

std::string Header::ToList() const {
  return values_->GetValue("TO");
}
void Header::SetToList(std::string ToList) {
  values_->LetValue(std::move(ToList), "TO");
}
std::string Header::CcList() const {
  return values_->GetValue("CC");
}
void Header::SetCcList(std::string CcList) {
  values_->LetValue(std::move(CcList), "CC");
}
std::string Header::From() const {
  return values_->GetValue("FROM");
}
void Header::SetFrom(std::string From) {
  values_->LetValue(std::move(From), "FROM");
}
std::string Header::ReplyTo() const {
  return values_->GetValue("REPLY-TO");
}
void Header::SetReplyTo(std::string ReplyTo) {
  values_->LetValue(std::move(ReplyTo), "REPLY-TO");
}
std::string Header::Subject() const {
  return values_->GetValue("SUBJECT");
}
void Header::SetSubject(std::string Subject) {
  values_->LetValue(std::move(Subject), "SUBJECT");
}

Date Header::SendDate() const {
  const std::optional<Date> date = detail::ParseHeaderDate(values_->GetValue("DATE"));
  if (!date) detail::RaiseRuntimeError(detail::kErrTypeMismatch);
  return *date;
}

void Header::SetSendDate(const Date& SendDate) {
  values_->LetValue(detail::FormatHeaderDate(SendDate), "DATE");
  own_date_.clear();
}

void detail::RefreshSendDate(Header& header) {
  const auto& values = header.values_;
  if (header.own_date_.empty() || !values->Exists("DATE") ||
      values->GetValue("DATE") != header.own_date_) {
    return;
  }
  values->LetValue(FormatHeaderDateNow(), "DATE");
  header.own_date_ = values->GetValue("DATE");
}

}  // namespace postwing
