// The data phase: walks the header, the body and the attachments and writes the message.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "assembly/data_writer.hpp"
#include "codecs/base64.hpp"
#include "postwing/types.hpp"

namespace postwing::assembly {

// The bytes the Base64 codec loads a file into.
using ByteArray = postwing::ByteArray;

struct FieldLine {
  std::string key;
  std::string text;
};

struct AttachmentPart {
  std::vector<FieldLine> fields;
  std::string source;  // a path, or the data itself
  bool is_file = false;
  std::string file_name;
  EncodeTypes encode_type = emxBinary;
  // The host chose the encoding (EncodeType, or a field text that is no default's).
  bool encode_type_chosen = false;
};

// What assembly reads from the message model, and its one change to it.
class MessageModel {
 public:
  virtual ~MessageModel() = default;
  // The host supplies the whole message as the body text.
  virtual bool RawMode() = 0;
  // The body text as its getter returns it.
  virtual std::string BodyText() = 0;
  // Builds a message identifier and adds the field "Message-ID" (raises when it exists).
  virtual void AddMessageId() = 0;
  virtual std::vector<FieldLine> HeaderFields() = 0;
  virtual bool MimeCompliant() = 0;
  // The "Boundary" parameter of the header's "Content-Type" as stored (raises when absent).
  virtual std::string BoundaryParameter() = 0;
  virtual std::vector<FieldLine> BodyFields() = 0;
  virtual EncodeTypes BodyEncodeType() = 0;
  // The host chose the body's encoding (EncodeType, or a field text that is no default's).
  virtual bool BodyEncodeTypeChosen() = 0;
  // The body's plain-text alternative, empty for none.
  virtual std::string AlternativeText() = 0;
  virtual int32_t AttachmentCount() = 0;
  // index counts from 1.
  virtual AttachmentPart Attachment(int32_t index) = 0;
  // The fields alone, to learn where a part goes before anything is written.
  virtual std::vector<FieldLine> AttachmentFields(int32_t index) = 0;
};

// Encoded content handed out in pieces of whole lines, so a large file is never held whole.
class LineStream {
 public:
  virtual ~LineStream() = default;
  // The next piece, which starts at the start of a line. False once the content is done or
  // was cancelled.
  virtual bool Next(std::string& lines) = 0;
};

// A file's bytes a few MiB at a time, read twice through one opening: once to learn what
// it holds, once to send it. Only the length it had when opened is read; a file that comes
// up shorter raises 62.
class FileBytes {
 public:
  virtual ~FileBytes() = default;
  // The next bytes; false at the end, or at once when the send was cancelled.
  virtual bool Next(std::string& bytes) = 0;
  // Back to the first byte.
  virtual void Rewind() = 0;
};

// An encoding fed in pieces: Feed gives the text of as much as is certain, Finish the rest.
class PieceEncoder {
 public:
  virtual ~PieceEncoder() = default;
  virtual std::string Feed(std::string_view piece) = 0;
  virtual std::string Finish() = 0;
};

// The encoders and file access assembly uses; results are text, one character per byte.
class Encoders {
 public:
  virtual ~Encoders() = default;
  // Base64 in lines of 76 characters, each ended by CR LF.
  virtual std::string Base64Lines(std::string_view bytes) = 0;
  // A file's Base64 lines (as Base64Lines gives for its bytes), opened now: a file that
  // cannot be opened raises here.
  virtual std::unique_ptr<LineStream> Base64File(const std::string& path) = 0;
  // Quoted-printable, ending with "=" CR LF (or empty for empty input).
  virtual std::string QuotedPrintable(const std::string& text) = 0;
  virtual std::string UUEncode(const std::string& data, const std::string& file_name) = 0;
  // A file uuencoded (as UUEncode gives for its bytes), opened now: a file that cannot be
  // opened raises here. Its pieces start at line starts; the last ends with "end" and no
  // line end, and they may need transparency (a short last line may begin with ".").
  virtual std::unique_ptr<LineStream> UUEncodeFile(const std::string& path,
                                                   const std::string& file_name) = 0;
  // Quoted-printable in pieces: joined, exactly QuotedPrintable's text of the whole.
  virtual std::unique_ptr<PieceEncoder> QuotedPrintablePieces() = 0;
  // A file opened now for reading in pieces: a file that cannot be opened raises here.
  virtual std::unique_ptr<FileBytes> OpenFile(const std::string& path) = 0;
};

// The MIME notice written before and after the parts.
inline constexpr const char* kMimeNotice =
    "WARNING! This email is designed to be readable by MIME 1.0 compliant programs. If you "
    "can read this your email reader is not MIME 1.0 compliant.";

// Writes the whole message and the end-of-data line. Returns true when the end-of-data
// line was written, false when the send was cancelled or the connection went away first.
// A failure (an unreadable file, a missing boundary, ...) propagates as an exception.
bool AssembleMessage(MessageModel& model, Encoders& encoders, DataWriter& writer);

// The boundary as used on the wire: one pair of enclosing double quotes removed.
std::string UnquoteBoundary(std::string boundary);

}  // namespace postwing::assembly
