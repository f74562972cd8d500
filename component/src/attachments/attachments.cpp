#include "postwing/attachments.hpp"

#include "core/error_report.hpp"
#include "core/factory.hpp"
#include "core/keyed_list.hpp"
#include "message/key_lookup.hpp"
#include "postwing/send_mail.hpp"

namespace postwing {

Attachments::~Attachments() = default;
int32_t Attachments::Count() const {
  return static_cast<int32_t>(items_->Size());
}
Attachments::const_iterator Attachments::begin() const {
  return items_->Begin();
}
Attachments::const_iterator Attachments::end() const {
  return items_->End();
}

Attachments::Attachments(detail::PassKey)
    : items_(std::make_unique<detail::KeyedList<Attachment>>()) {}

std::shared_ptr<Attachment> Attachments::Add(const Variant& Source, std::string FileName,
                                             std::string ContentType, EncodeTypes EncodeType,
                                             std::string ContentLocation, std::string ContentBase) {
  try {
    auto attachment = detail::Factory::Make<Attachment>();
    attachment->SetParent(shared_from_this());
    if (!FileName.empty()) attachment->SetFileName(std::move(FileName));
    attachment->SetSource(Source);
    if (!ContentType.empty()) attachment->SetContentType(std::move(ContentType));
    if (EncodeType != 0) attachment->SetEncodeType(EncodeType);
    if (!ContentBase.empty()) attachment->SetContentBase(std::move(ContentBase));
    if (!ContentLocation.empty()) attachment->SetContentLocation(std::move(ContentLocation));
    std::string key = attachment->FileName();
    if (items_->Contains(key)) detail::RaiseRuntimeError(detail::kErrKeyExists);
    items_->PushBack(attachment, std::move(key));
    return attachment;
  } catch (...) {
    detail::RecordAndRethrow(Parent(), "Attachments.Add");
  }
}

void Attachments::Clear() {
  items_->Clear();
}

Variant Attachments::Remove(const Variant& Key) {
  try {
    items_->Erase(Position(Key));
    return {};
  } catch (...) {
    detail::RecordAndRethrow(Parent(), "Attachments.Remove");
  }
}

std::shared_ptr<Attachment> Attachments::Item(const Variant& Key) const {
  try {
    return items_->At(Position(Key)).item;
  } catch (...) {
    detail::RecordAndRethrow(Parent(), "Attachments.Item");
  }
}

size_t Attachments::Position(const Variant& key) const {
  const detail::CollectionKey k = detail::ClassifyKey(key);
  if (k.is_index) {
    if (k.index < 1 || k.index > static_cast<int64_t>(items_->Size())) {
      detail::RaiseRuntimeError(detail::kErrSubscriptOutOfRange);
    }
    return static_cast<size_t>(k.index - 1);
  }
  const size_t position = items_->Find(k.name);
  if (position == items_->Size()) detail::RaiseRuntimeError(detail::kErrInvalidProcedureCall);
  return position;
}

}  // namespace postwing
