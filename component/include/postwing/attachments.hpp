// The attachments of a message.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "postwing/attachment.hpp"
#include "postwing/enumeration.hpp"
#include "postwing/types.hpp"

namespace postwing {

class SendMail;

// Ordered collection of Attachment, keyed by the FileName each had when it was added
// (keys compare without regard to case). Add, Remove and Item record their errors in the
// owning SendMail's log under "Attachments.Add", "Attachments.Remove" and
// "Attachments.Item" and raise them as postwing::Exception: 9 for an index out of range,
// 5 for a key not found, 457 for a duplicate key, 13 for a key that is neither a number nor
// a text, and the errors of Attachment.
class Attachments : public Object, public std::enable_shared_from_this<Attachments> {
 public:
  // A for-each visits the attachments as they were when the loop began.
  using const_iterator = detail::Enumerator<Attachment>;

  explicit Attachments(detail::PassKey);
  ~Attachments() override;

  // Creates an attachment; sets its Parent, FileName (if given), Source, ContentType (if
  // given), EncodeType (if not 0), ContentBase and ContentLocation (if given), in this
  // order; and adds it under its FileName. When a step fails nothing is added. A text
  // Source that names an existing file attaches that file, read from disk at the send; pass
  // data the host does not trust as an array of bytes, which is always data.
  std::shared_ptr<Attachment> Add(const Variant& Source, std::string FileName = {},
                                  std::string ContentType = {}, EncodeTypes EncodeType = {},
                                  std::string ContentLocation = {}, std::string ContentBase = {});
  // Drops every attachment.
  void Clear();
  // Key: a 1-based index (a whole number) or a file name. Returns an empty Variant.
  Variant Remove(const Variant& Key);
  // Key: a 1-based index (a whole number) or a file name.
  std::shared_ptr<Attachment> Item(const Variant& Key) const;
  int32_t Count() const;

  const_iterator begin() const;
  const_iterator end() const;

  std::shared_ptr<SendMail> Parent() const { return parent_.lock(); }
  void SetParent(const std::shared_ptr<SendMail>& parent) { parent_ = parent; }

 private:
  size_t Position(const Variant& key) const;

  std::unique_ptr<detail::KeyedList<Attachment>> items_;
  std::weak_ptr<SendMail> parent_;
};

}  // namespace postwing
