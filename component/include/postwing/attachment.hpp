// One attachment of a message: a file or a block of data, with its MIME fields.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "postwing/types.hpp"

namespace postwing {

class Attachments;
class SendMail;
class Values;

// Made only by Attachments::Add. The typed properties are views onto the fields of
// Values(); setting FileName or Source keeps the defaults up to date (the content type
// from the extension, the transfer encoding from the content type, the file-name
// parameters). Errors are recorded in the owning SendMail's log and raised as
// postwing::Exception.
class Attachment : public Object {
 public:
  explicit Attachment(detail::PassKey);
  ~Attachment() override;
  Attachment(const Attachment&) = delete;
  Attachment& operator=(const Attachment&) = delete;

  // The attachment's MIME fields; reading them also points their RootParent at the
  // owning SendMail.
  std::shared_ptr<postwing::Values> Values() const;

  // "Content-Type". MIME only: raises 12008 while Header.MIMECompliant is false.
  std::string ContentType() const;
  void SetContentType(std::string value);

  // Read back from "Content-Transfer-Encoding" (emxCustomEncode when it is missing or
  // unknown). Set: 2 to 7 write the field; 1 raises 12009, other values 12010; without
  // MIME only emxUUEncode is allowed (else 12008) and nothing is written.
  EncodeTypes EncodeType() const;
  void SetEncodeType(EncodeTypes value);
  // For message assembly: whether EncodeType was set, so the encoding is the host's choice.
  bool EncodeTypeChosen(detail::PassKey) const;

  // The name under which the attachment is sent.
  const std::string& FileName() const;
  void SetFileName(std::string value);

  // The data itself, or a path: a text that names an existing file when it is set is read
  // from that file at the send, so a host attaching text it does not trust as data passes it
  // as an array of bytes (numbers 0 to 255), which is always data, never a path. Other
  // texts are the data, one character per byte. Raises 12005 when the attachment then has
  // no file name, 13 for an array holding anything but bytes; the value is stored all the
  // same.
  const Variant& Source() const;
  void SetSource(const Variant& value);

  // emxFile when Source named an existing file when it was set, else emxData (for
  // message assembly).
  SourceTypes SourceType() const;

  // "Content-Base" and "Content-Location". MIME only (12008).
  std::string ContentBase() const;
  void SetContentBase(std::string value);
  std::string ContentLocation() const;
  void SetContentLocation(std::string value);

  // Whether the part is shown within the body rather than offered as a file: the main value
  // of "Content-Disposition" is "inline" (else "attachment"). Setting it true also gives the
  // part a ContentID when it has none. An inline part with a Content-ID goes with the body in
  // multipart/related, where the HTML refers to it as "cid:" + ContentID(). MIME only (12008).
  bool Inline() const;
  void SetInline(bool value);

  // The "Content-ID" field without its angle brackets; set writes "<" + id + ">" (brackets
  // given are kept, not doubled), the empty text removes the field. The id made for an
  // inline part is unique, with the computer's name as its domain, as "Message-ID" is. An id
  // holding CR, LF or NUL raises 12013, one holding blanks, "<", ">" or characters outside
  // ASCII 12017. MIME only (12008).
  std::string ContentID() const;
  void SetContentID(std::string value);

  std::shared_ptr<Attachments> Parent() const;
  void SetParent(const std::shared_ptr<Attachments>& parent);

 private:
  struct State;
  std::unique_ptr<State> d_;
};

}  // namespace postwing
