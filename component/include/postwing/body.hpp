// The message body: its text and the header fields of the body part.
#pragma once

#include <memory>
#include <string>

#include "postwing/types.hpp"
#include "postwing/values.hpp"

namespace postwing {

class SendMail;

// With MIME on (the parent's Header.MIMECompliant), setting Text chooses "Content-Type"
// (text/html or text/plain) and "Content-Transfer-Encoding" until the host sets ContentType
// or EncodeType itself. The MIME-only properties raise 12008 while MIME is off. Failures
// are recorded in the parent's Errors, then raised as postwing::Exception.
class Body : public Object {
 public:
  explicit Body(detail::PassKey);

  // Set stores the value (a string, number, boolean, date or nothing; an array or an
  // object raises 13). Get returns what is sent: for an HTML body the document type line
  // and the Outlook paragraph are added as SendMail::AddOutlookHTML and DocType say.
  Variant Text() const;
  void SetText(const Variant& Text);

  // emxBodyContentTypeHTML or emxBodyContentTypeText; emxCustomBodyContent reads for any
  // other "Content-Type" and raises 12009 when set.
  BodyContentTypes ContentType() const;
  void SetContentType(BodyContentTypes ContentType);

  // The "Content-Base" and "Content-Location" fields.
  std::string ContentBase() const;
  void SetContentBase(std::string ContentBase);
  std::string ContentLocation() const;
  void SetContentLocation(std::string ContentLocation);

  // The "Content-Transfer-Encoding" field; emxCustomEncode raises 12009 when set.
  EncodeTypes EncodeType() const;
  void SetEncodeType(EncodeTypes EncodeType);
  // For message assembly: whether EncodeType was set, so the encoding is the host's choice.
  bool EncodeTypeChosen(detail::PassKey) const { return encode_type_chosen_; }

  std::shared_ptr<postwing::Values> Values() const { return values_; }
  // Replaces the field collection (nullptr raises 91).
  void SetValues(const std::shared_ptr<postwing::Values>& Values);

  std::shared_ptr<SendMail> Parent() const { return parent_.lock(); }
  // Also makes parent the RootParent of Values.
  void SetParent(const std::shared_ptr<SendMail>& Parent);

  // The line put before an HTML text that has none. Set raises 12008 while MIME is off.
  std::string DocType() const { return doc_type_; }
  void SetDocType(std::string DocType);

  // A plain-text rendering of Text for readers that show no HTML, empty for none. It is no
  // field of Values: the message then carries multipart/alternative with this text as its
  // text/plain part first and the body part second (alone, as text/plain, when Text is
  // empty); the part's encoding and charset follow from what it holds, as the body's do.
  // MIME only (12008); a message whose MIME was turned off after it was set is refused by
  // Send (12017).
  std::string AlternativeText() const;
  void SetAlternativeText(std::string AlternativeText);
  // For message assembly and Send's checks, whatever MIME says now.
  const std::string& AlternativeText(detail::PassKey) const { return alternative_text_; }

 private:
  bool Mime() const;
  void RequireMime(const char* property, const char* method) const;
  void ChooseContentType(const std::string& text);
  void ChooseEncodeType();

  std::shared_ptr<postwing::Values> values_;
  std::weak_ptr<SendMail> parent_;
  Variant text_;
  BodyContentTypes content_type_ = emxBodyContentTypeText;
  EncodeTypes encode_type_ = emxBinary;
  std::string alternative_text_;
  std::string doc_type_ = "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0 Transitional//EN\">";
  bool content_type_chosen_ = false;
  bool encode_type_chosen_ = false;
};

}  // namespace postwing
