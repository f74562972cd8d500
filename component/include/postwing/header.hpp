// The message header: recipients, sender, subject, date, the MIME switch and the
// top-level content type.
#pragma once

#include <memory>
#include <string>

#include "postwing/types.hpp"
#include "postwing/values.hpp"

namespace postwing {

class SendMail;
class Header;

namespace detail {
void RefreshSendDate(Header& header);
}

// Except BccList and Verify, every property is a view onto a field of Values: a set
// writes the field, a get reads it back. A fresh header holds the fields "Content-type",
// "MIME-Version" and "DATE", in this order; fields set later follow in the order first set.
// Failures are recorded in the parent's Errors, then raised as postwing::Exception.
class Header : public Object {
 public:
  explicit Header(detail::PassKey);

  std::shared_ptr<SendMail> Parent() const { return parent_.lock(); }
  // Also makes parent the RootParent of Values.
  void SetParent(const std::shared_ptr<SendMail>& Parent);

  std::shared_ptr<postwing::Values> Values() const { return values_; }

  // The multipart type of "Content-Type". Get and set raise 12008 while MIMECompliant is
  // false; set raises 12009 for emxCustomHeaderContent (use Values for custom types).
  HeaderContentTypes ContentType() const;
  void SetContentType(HeaderContentTypes ContentType);

  // The "charset" parameter of "Content-Type" ("" while MIMECompliant is false). Set stores
  // it in lower case and raises 12008 while MIMECompliant is false.
  std::string Charset() const;
  void SetCharset(std::string Charset);

  // True writes "MIME-Version: 1.0" and a default "Content-type"; false removes both.
  // Raises 12004 once the message has an attachment.
  bool MIMECompliant() const { return mime_; }
  void SetMIMECompliant(bool MIMECompliant);

  // ";"-separated address lists; the fields "TO" and "CC".
  std::string ToList() const;
  void SetToList(std::string ToList);
  std::string CcList() const;
  void SetCcList(std::string CcList);
  // Blind copies: envelope recipients only, never a field.
  std::string BccList() const { return bcc_list_; }
  void SetBccList(std::string BccList) { bcc_list_ = std::move(BccList); }
  // The fields "FROM", "REPLY-TO" and "SUBJECT".
  std::string From() const;
  void SetFrom(std::string From);
  std::string ReplyTo() const;
  void SetReplyTo(std::string ReplyTo);
  std::string Subject() const;
  void SetSubject(std::string Subject);

  // The "DATE" field, e.g. "Fri, 5 JAN 2007 14:03:09 -0500" (the local zone's offset at
  // that date). Get reads the field back as a local date and time, the one set when it was
  // written by SetSendDate; a field that holds no date raises 13 (type mismatch).
  // Send sets the field to the moment of sending unless the host has set SendDate, or
  // changed the field through Values, since the header was made.
  Date SendDate() const;
  void SetSendDate(const Date& SendDate);

  // Verify the recipients (VRFY) before sending.
  bool Verify() const { return verify_; }
  void SetVerify(bool Verify) { verify_ = Verify; }

 private:
  void RequireMime(const char* property, const char* method) const;

  std::shared_ptr<postwing::Values> values_;
  std::weak_ptr<SendMail> parent_;
  mutable HeaderContentTypes content_type_ = emxMultipartMixed;
  bool mime_ = true;
  std::string bcc_list_;
  bool verify_ = false;
  // The "DATE" text the header wrote itself (at creation or at the last send); empty once
  // the host has set SendDate.
  std::string own_date_;
  friend void detail::RefreshSendDate(Header& header);
};

}  // namespace postwing
