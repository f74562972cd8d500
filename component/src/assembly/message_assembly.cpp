#include "assembly/message_assembly.hpp"

#include <string_view>
#include <utility>

#include "message/field_check.hpp"
#include "message/header_wire.hpp"
#include "postwing/exception.hpp"

namespace postwing::assembly {

namespace {

constexpr const char* kCrLf = "\r\n";

// Field lines are checked once more as they are written: a field changed after Send's own
// checks (by a handler running inside an encoding) must neither start a header line of its
// own nor go out broken.
void WriteFields(DataWriter& writer, const std::vector<FieldLine>& fields) {
  for (const auto& field : fields) {
    if (!detail::IsLegalFieldKey(field.key) || !detail::IsLegalFieldText(field.text)) {
      throw Exception(vbObjectError + emxIllegalCharacter, "postwing",
                      detail::IllegalFieldText(field.key));
    }
    detail::WireField wire = detail::FieldWireForm(field.key, field.text);
    if (!wire.problem.empty()) {
      throw Exception(vbObjectError + emxContentNotSendable, "postwing",
                      detail::UnsendableFieldText(field.key, wire.problem));
    }
    writer.Piece(std::move(wire.lines));
  }
}

// How a part's content piece meets the boundary line that follows it. The CR LF before a
// boundary belongs to the boundary (RFC 2046 5.1.1), so a part decodes to exactly its data
// only when the content's last line end is followed by one more CR LF where the encoding
// needs its own (Base64 and uuencode lines, the final soft break of quoted-printable), and
// by none where the content is the data itself.
struct Content {
  std::string text;
  bool own_line_end = false;     // the encoder's final CR LF is the piece's own
  bool blank_line_after = true;  // an empty piece follows the content
};

Content Encoded(std::string text) {
  return {std::move(text), false, true};
}

Content QuotedPrintableContent(std::string text) {
  const bool empty = text.empty();
  return {std::move(text), true, !empty};
}

Content AsIs(std::string text) {
  return {std::move(text), false, false};
}

void WriteContent(DataWriter& writer, Content content, const std::string& status_text) {
  if (content.own_line_end) {
    writer.PieceWithOwnLineEnd(std::move(content.text), status_text);
  } else {
    writer.Piece(std::move(content.text), status_text);
  }
}

void WriteBodyPart(MessageModel& model, Encoders& encoders, DataWriter& writer,
                   const std::string& boundary, std::string text) {
  writer.Piece("--" + boundary);
  WriteFields(writer, model.BodyFields());
  Content content;
  switch (model.BodyEncodeType()) {
    case emxQuotedPrintable:
      writer.Notice(std::string("Quoted-printable Encoding Body") + kCrLf);
      content = QuotedPrintableContent(encoders.QuotedPrintable(text));
      break;
    case emxBase64:
      writer.Notice(std::string("Base64 Encoding Body") + kCrLf);
      content = Encoded(encoders.Base64Lines(text));
      break;
    case emxUUEncode:
      writer.Notice(
          std::string("WARNING! \"Content-Transfer-Encoding\" type UUEncode may be incompatible "
                      "with Mail Body.") +
          kCrLf);
      content = Encoded(encoders.UUEncode(text, ""));
      break;
    default:
      content = AsIs(std::move(text));
      break;
  }
  if (writer.Stopped()) return;
  writer.Piece("");
  if (content.text.empty()) {
    writer.Piece("");
    return;
  }
  const bool blank_after = content.blank_line_after;
  WriteContent(writer, std::move(content), "Adding Body");
  if (blank_after) writer.Piece("");
}

// The content of a Base64 file part, streamed: the lines go out a piece at a time as they are
// encoded, with the same bytes and status lines as the content written whole.
bool WriteBase64File(Encoders& encoders, DataWriter& writer, const std::string& path) {
  std::unique_ptr<LineStream> lines = encoders.Base64File(path);
  if (writer.Stopped()) return false;
  writer.Notice("Base64 Encoding " + path + kCrLf);
  if (writer.Stopped()) return false;
  writer.Piece("");
  writer.BeginLines("Adding " + path);
  std::string piece;
  while (lines->Next(piece)) {
    if (writer.Stopped()) return false;
    writer.Lines(std::move(piece));
    if (writer.Stopped()) return false;
  }
  if (writer.Stopped()) return false;
  writer.EndLines();
  writer.Piece("");
  return true;
}

// Returns false when the send stopped while the content was being made.
bool WriteAttachmentPart(Encoders& encoders, DataWriter& writer, const std::string& boundary,
                         AttachmentPart part) {
  writer.Piece("--" + boundary);
  WriteFields(writer, part.fields);
  const std::string& source = part.source;
  const std::string loading =
      part.is_file ? "Loading " + source : "Loading Source: " + part.file_name;
  Content content;
  switch (part.encode_type) {
    case emxBase64: {
      writer.Notice(loading + kCrLf);
      if (part.is_file) return WriteBase64File(encoders, writer, source);
      if (writer.Stopped()) return false;
      writer.Notice("Base64 Encoding Source: " + part.file_name + kCrLf);
      content = Encoded(encoders.Base64Lines(source));
      break;
    }
    case emxQuotedPrintable:
      writer.Notice(loading + kCrLf);
      content = QuotedPrintableContent(
          encoders.QuotedPrintable(part.is_file ? encoders.ReadFile(source) : source));
      break;
    default:
      writer.Notice(loading + kCrLf);
      content = AsIs(part.is_file ? encoders.ReadFile(source) : std::move(part.source));
      break;
  }
  if (writer.Stopped()) return false;
  writer.Piece("");
  const bool blank_after = content.blank_line_after;
  WriteContent(writer, std::move(content),
               part.is_file ? "Adding " + part.source : "Adding Source: " + part.file_name);
  if (blank_after) writer.Piece("");
  return true;
}

bool WriteMimeLayout(MessageModel& model, Encoders& encoders, DataWriter& writer) {
  writer.Piece("");
  writer.Piece(kMimeNotice);
  writer.Piece("");
  const std::string boundary = UnquoteBoundary(model.BoundaryParameter());
  if (std::string text = model.BodyText(); !text.empty()) {
    WriteBodyPart(model, encoders, writer, boundary, std::move(text));
    if (writer.Stopped()) return false;
  }
  const int32_t count = model.AttachmentCount();
  for (int32_t i = 1; i <= count; ++i) {
    if (!WriteAttachmentPart(encoders, writer, boundary, model.Attachment(i))) return false;
    if (writer.Stopped()) return false;
  }
  writer.Piece("--" + boundary + "--");
  writer.Piece(kMimeNotice);
  return true;
}

bool WritePlainLayout(MessageModel& model, Encoders& encoders, DataWriter& writer) {
  writer.Piece("");
  writer.Piece(model.BodyText(), "Sending Body");
  const int32_t count = model.AttachmentCount();
  for (int32_t i = 1; i <= count; ++i) {
    AttachmentPart part = model.Attachment(i);
    if (part.is_file) {
      writer.Notice("UUEncoding " + part.source + kCrLf);
      std::unique_ptr<LineStream> lines = encoders.UUEncodeFile(part.source, part.file_name);
      if (writer.Stopped()) return false;
      writer.BeginLines("Adding " + part.file_name);
      std::string piece;
      while (lines->Next(piece)) {
        if (writer.Stopped()) return false;
        // Pieces start at line starts, so each is made transparent on its own.
        writer.Lines(DataWriter::Transparent(std::move(piece)));
        if (writer.Stopped()) return false;
      }
      if (writer.Stopped()) return false;
      writer.EndLines();
      writer.Piece("");
      continue;
    }
    writer.Notice("UUEncoding Source: " + part.file_name + kCrLf);
    std::string content = encoders.UUEncode(part.source, part.file_name);
    if (writer.Stopped()) return false;
    writer.Piece(std::move(content), "Adding " + part.file_name);
    writer.Piece("");
  }
  return true;
}

}  // namespace

std::string UnquoteBoundary(std::string boundary) {
  if (boundary.size() > 1 && boundary.front() == '"' && boundary.back() == '"') {
    return boundary.substr(1, boundary.size() - 2);
  }
  return boundary;
}

bool AssembleMessage(MessageModel& model, Encoders& encoders, DataWriter& writer) {
  if (model.RawMode()) {
    // The host's text is the whole message: its last line end, if it has one, ends the data.
    writer.PieceWithOwnLineEnd(model.BodyText());
  } else {
    model.AddMessageId();
    WriteFields(writer, model.HeaderFields());
    const bool complete = model.MimeCompliant() ? WriteMimeLayout(model, encoders, writer)
                                                : WritePlainLayout(model, encoders, writer);
    if (!complete) return false;
  }
  if (writer.Stopped()) return false;
  writer.EndOfData();
  return true;
}

}  // namespace postwing::assembly
