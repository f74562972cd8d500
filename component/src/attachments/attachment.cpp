#include "postwing/attachment.hpp"

#include "attachments/attachment_rules.hpp"
#include "core/error_report.hpp"
#include "core/factory.hpp"
#include "message/field_check.hpp"
#include "message/field_split.hpp"
#include "message/message_id.hpp"
#include "message/mime_texts.hpp"
#include "platform/module.hpp"
#include "postwing/attachments.hpp"
#include "postwing/header.hpp"
#include "postwing/send_mail.hpp"
#include "postwing/values.hpp"

namespace postwing {

namespace {

constexpr std::string_view kContentType = "Content-Type";
constexpr std::string_view kDisposition = "Content-Disposition";
constexpr std::string_view kTransferEncoding = "Content-Transfer-Encoding";
constexpr std::string_view kContentBase = "Content-Base";
constexpr std::string_view kContentLocation = "Content-Location";
constexpr std::string_view kContentId = "Content-ID";

constexpr int32_t kErrObjectNotSet = 91;

constexpr std::string_view kEncodeTypeMimeOnlyText =
    "The EncodeType property can only be used with MIME types. Set MIMECompliant property to "
    "true and try again. The only allowable EncodeType for non-MIME attachments is UUEncode.";
constexpr std::string_view kInvalidEncodeText = "An invalid EncodeType was specified.";
constexpr std::string_view kNoFileNameText =
    "You must specify (invent) a fileName when the Source parameter is data (when the Source "
    "parameter does not represent an actual file). This is because postWing uses the "
    "extension to determine the MIME type. Note: non-MIME files also require a filename.";

// The text the is-file test looks at: strings as they are, numbers, booleans and dates as
// the runtime writes them; objects are no path (type mismatch).
std::string SourceText(const Variant& source) {
  return source.IsString() ? source.AsString() : source.ToString();
}

}  // namespace

struct Attachment::State {
  std::shared_ptr<postwing::Values> values = detail::Factory::Make<postwing::Values>();
  Variant source;
  SourceTypes source_type = emxData;
  std::string file_name;
  mutable EncodeTypes encode_type{};
  std::weak_ptr<Attachments> parent;
  bool content_type_set = false;
  bool file_name_set = false;
  bool encode_type_set = false;
  bool made_inline = false;  // the last Inline set was true

  std::shared_ptr<SendMail> Root() const {
    auto collection = parent.lock();
    return collection ? collection->Parent() : nullptr;
  }

  // The SendMail the MIME rules ask; a detached attachment has none to ask.
  std::shared_ptr<SendMail> RequireRoot() const {
    auto root = Root();
    if (!root || !root->Header()) {
      detail::RaiseRuntimeError(kErrObjectNotSet, "Object variable or With block variable not set");
    }
    return root;
  }

  bool MimeCompliant() const { return RequireRoot()->Header()->MIMECompliant(); }

  void RequireMime(std::string_view property) const {
    auto root = RequireRoot();
    if (!root->Header()->MIMECompliant()) {
      detail::RaiseMailError(root, emxMIMETypeRequired, detail::kSource,
                             detail::MimeRequiredText(property),
                             "Attachment." + std::string(property));
    }
  }

  const std::shared_ptr<postwing::Values>& Fields() const {
    values->SetRootParent(Root());
    return values;
  }

  // The main value of the message's own "Content-Type", trimmed, lower case.
  std::string MessageMediaType() const {
    auto header_fields = RequireRoot()->Header()->Values();
    if (!header_fields || !header_fields->Exists(std::string(kContentType))) return {};
    auto parts = header_fields->Item(kContentType)->SubValues();
    if (!parts || parts->Count() == 0) return {};
    return detail::LowerCase(detail::TrimBlanks(parts->Item(1)->Text()));
  }

  void UpdateFileNameParameters() {
    if (file_name_set || !MimeCompliant()) return;
    const auto& fields = Fields();
    if (file_name.empty()) {
      if (fields->Exists(std::string(kDisposition))) fields->Remove(std::string(kDisposition));
      if (fields->Exists(std::string(kContentType))) {
        auto parts = fields->Item(kContentType)->SubValues();
        if (parts->Exists(std::string("Filename"))) parts->Remove(std::string("Filename"));
      }
      return;
    }
    if (MessageMediaType() != "multipart/mixed") return;
    const std::string parameter = detail::FileNameParameter(file_name);
    if (!fields->Exists(std::string(kContentType))) DefaultContentType();
    if (fields->Exists(std::string(kContentType))) {
      fields->Item(kContentType)->SubValues()->LetValue(parameter, "Name");
    }
    if (fields->Exists(std::string(kDisposition))) {
      auto field = fields->Item(kDisposition);
      // A part made inline through Inline stays so.
      field->SubValues()->LetValue(made_inline ? "inline" : "attachment", field->Key());
      field->SubValues()->LetValue(parameter, "Filename");
    } else {
      fields->LetValue("attachment;Filename=" + parameter, std::string(kDisposition));
    }
  }

  void DefaultContentType() {
    if (content_type_set) return;
    std::string type;
    if (!file_name.empty()) type = platform::ContentTypeForFileName(file_name);
    // A name without a known type says nothing of the content: it is bytes, not text.
    if (type.empty()) type = file_name.empty() ? "text/plain" : "application/octet-stream";
    Fields()->LetValue(std::move(type), std::string(kContentType));
  }

  void DefaultEncodeType() {
    if (encode_type_set) return;
    const auto& fields = Fields();
    encode_type = detail::DefaultEncodeTypeFor(fields->GetValue(kContentType));
    fields->LetValue(std::string(detail::EncodeTypeFieldText(encode_type)),
                     std::string(kTransferEncoding));
  }
};

Attachment::Attachment(detail::PassKey) : d_(std::make_unique<State>()) {}
Attachment::~Attachment() = default;

std::shared_ptr<postwing::Values> Attachment::Values() const {
  return d_->Fields();
}

std::string Attachment::ContentType() const {
  d_->RequireMime("ContentType");
  return d_->Fields()->GetValue(kContentType);
}

void Attachment::SetContentType(std::string value) {
  d_->RequireMime("ContentType");
  d_->Fields()->LetValue(std::move(value), std::string(kContentType));
  d_->DefaultEncodeType();
  d_->content_type_set = true;
}

EncodeTypes Attachment::EncodeType() const {
  d_->encode_type = detail::EncodeTypeOfFieldText(d_->Fields()->GetValue(kTransferEncoding));
  return d_->encode_type;
}

void Attachment::SetEncodeType(EncodeTypes value) {
  auto root = d_->RequireRoot();
  const char* method = "Attachment.EncodeType";
  if (d_->MimeCompliant()) {
    if (value == emxCustomEncode) {
      detail::RaiseMailError(root, emxCannotSetCustomType, detail::kSource,
                             detail::kCustomEncodingText, method);
    }
    const std::string_view text = detail::EncodeTypeFieldText(value);
    if (text.empty()) {
      detail::RaiseMailError(root, emxUnrecognizedType, detail::kSource, kInvalidEncodeText,
                             method);
    }
    d_->Fields()->LetValue(std::string(text), std::string(kTransferEncoding));
  } else if (value != emxUUEncode) {
    detail::RaiseMailError(root, emxMIMETypeRequired, detail::kSource, kEncodeTypeMimeOnlyText,
                           method);
  }
  d_->encode_type = value;
  d_->encode_type_set = true;
}

const std::string& Attachment::FileName() const {
  return d_->file_name;
}

void Attachment::SetFileName(std::string value) {
  d_->file_name = std::move(value);
  d_->UpdateFileNameParameters();
  d_->file_name_set = true;
  d_->DefaultContentType();
  d_->DefaultEncodeType();
}

const Variant& Attachment::Source() const {
  return d_->source;
}

void Attachment::SetSource(const Variant& value) {
  d_->source = value;
  // An array of bytes is data, never a path, whatever it spells.
  const bool is_file = !value.IsArray() && platform::IsExistingFile(SourceText(value));
  if (value.IsArray()) detail::SourceBytes(value);  // 13 for anything but bytes
  const std::string text = is_file ? SourceText(value) : std::string();
  d_->source_type = is_file ? emxFile : emxData;
  if (!d_->file_name_set) d_->file_name = is_file ? platform::FileNameOf(text) : std::string();
  d_->UpdateFileNameParameters();
  d_->DefaultContentType();
  d_->DefaultEncodeType();
  if (d_->file_name.empty()) {
    detail::RaiseMailError(d_->Root(), emxMustSpecifyFilenameWhenAttachingData, detail::kSourceAlt,
                           kNoFileNameText, "Attachment.SetFile");
  }
}

bool Attachment::EncodeTypeChosen(detail::PassKey) const {
  return d_->encode_type_set;
}

SourceTypes Attachment::SourceType() const {
  return d_->source_type;
}

std::string Attachment::ContentBase() const {
  d_->RequireMime("ContentBase");
  return d_->Fields()->GetValue(kContentBase);
}

void Attachment::SetContentBase(std::string value) {
  d_->RequireMime("ContentBase");
  d_->Fields()->LetValue(std::move(value), std::string(kContentBase));
}

std::string Attachment::ContentLocation() const {
  d_->RequireMime("ContentLocation");
  return d_->Fields()->GetValue(kContentLocation);
}

void Attachment::SetContentLocation(std::string value) {
  d_->RequireMime("ContentLocation");
  d_->Fields()->LetValue(std::move(value), std::string(kContentLocation));
}

bool Attachment::Inline() const {
  d_->RequireMime("Inline");
  return detail::IsInlineDisposition(d_->Fields()->GetValue(kDisposition));
}

void Attachment::SetInline(bool value) {
  d_->RequireMime("Inline");
  const auto& fields = d_->Fields();
  const char* main = value ? "inline" : "attachment";
  d_->made_inline = value;
  if (fields->Exists(std::string(kDisposition))) {
    auto field = fields->Item(kDisposition);
    field->SubValues()->LetValue(main, field->Key());
  } else if (value) {
    std::string text = main;
    if (!d_->file_name.empty()) text += ";Filename=" + detail::FileNameParameter(d_->file_name);
    fields->LetValue(std::move(text), std::string(kDisposition));
  }
  // The body can refer to an inline part only by its Content-ID.
  if (value && detail::ContentIdOf(fields->GetValue(kContentId)).empty()) {
    fields->LetValue(detail::NewMessageID(), std::string(kContentId));
  }
}

std::string Attachment::ContentID() const {
  d_->RequireMime("ContentID");
  return detail::ContentIdOf(d_->Fields()->GetValue(kContentId));
}

void Attachment::SetContentID(std::string value) {
  d_->RequireMime("ContentID");
  const std::string id = detail::ContentIdOf(value);
  const auto& fields = d_->Fields();
  if (id.empty()) {
    if (fields->Exists(std::string(kContentId))) fields->Remove(std::string(kContentId));
    return;
  }
  if (detail::HasLineBreakOrNul(id)) {
    detail::RaiseMailError(d_->Root(), emxIllegalCharacter, detail::kSource,
                           detail::IllegalFieldText(kContentId), "Attachment.ContentID");
  }
  for (unsigned char c : id) {
    if (c <= ' ' || c > '~' || c == '<' || c == '>') {
      detail::RaiseMailError(
          d_->Root(), emxContentNotSendable, detail::kSource,
          detail::UnsendableFieldText(kContentId,
                                      "a Content-ID is printable ASCII without blanks or angle "
                                      "brackets"),
          "Attachment.ContentID");
    }
  }
  fields->LetValue("<" + id + ">", std::string(kContentId));
}

std::shared_ptr<Attachments> Attachment::Parent() const {
  return d_->parent.lock();
}

void Attachment::SetParent(const std::shared_ptr<Attachments>& parent) {
  d_->parent = parent;
}

}  // namespace postwing
