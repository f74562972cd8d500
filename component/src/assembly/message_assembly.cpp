#include "assembly/message_assembly.hpp"

#include <algorithm>
#include <string_view>
#include <utility>

#include "attachments/attachment_rules.hpp"
#include "message/field_check.hpp"
#include "message/field_split.hpp"
#include "message/header_wire.hpp"
#include "message/mime_texts.hpp"
#include "message/text_class.hpp"
#include "postwing/exception.hpp"

namespace postwing::assembly {

namespace {

using detail::ClassifyText;
using detail::kMaxLineOctets;
using detail::LowerCase;
using detail::TextClassifier;
using detail::TextFacts;

constexpr const char* kCrLf = "\r\n";

// The boundaries that enclose a part, the message's own first, the part's delimiter last.
using Boundaries = std::vector<std::string>;

// No part may hold a line a reader would take for any of its enclosing delimiters.
std::vector<std::string> BoundaryLines(const Boundaries& enclosing) {
  std::vector<std::string> lines;
  for (const auto& boundary : enclosing) lines.push_back("--" + boundary);
  return lines;
}

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
    if (!wire.problem.empty() && !(wire.utf8_only && writer.Utf8())) {
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

// How a part's content goes out.
enum class Writing { kAsIs, kQuotedPrintable, kBase64, kUUEncode };

struct PartPlan {
  Writing how = Writing::kAsIs;
  std::vector<FieldLine> fields;  // the fields as written for the part
  std::string notice;             // why the host's encoding was not used, or empty
  bool eight_bit = false;         // 8-bit text written as it is
};

FieldLine* FindField(std::vector<FieldLine>& fields, std::string_view key) {
  for (auto& field : fields) {
    if (LowerCase(field.key) == LowerCase(key)) return &field;
  }
  return nullptr;
}

// A "text/..." part: its lines are text, and 8-bit text in it needs a charset.
bool IsTextPart(std::vector<FieldLine>& fields) {
  const FieldLine* type = FindField(fields, "Content-Type");
  if (!type) return false;
  const size_t start = type->text.find_first_not_of(" \t");
  return start != std::string::npos && LowerCase(type->text.substr(start, 5)) == "text/";
}

// A "charset" parameter among those after the first ";" (a quoted file name may hold ";").
bool HasCharset(std::string_view type) {
  bool quoted = false;
  for (size_t i = 0; i < type.size(); ++i) {
    if (type[i] == '"') quoted = !quoted;
    if (quoted || type[i] != ';') continue;
    const size_t name = type.find_first_not_of(" \t", i + 1);
    if (name != std::string_view::npos && LowerCase(type.substr(name, 8)) == "charset=")
      return true;
  }
  return false;
}

bool WrittenAsIs(EncodeTypes type) {
  return type != emxBase64 && type != emxQuotedPrintable && type != emxUUEncode;
}

// The facts are needed to write a part as it is, and to declare a text's charset.
bool NeedsFacts(std::vector<FieldLine>& fields, EncodeTypes type) {
  return WrittenAsIs(type) || IsTextPart(fields);
}

void SetField(std::vector<FieldLine>& fields, std::string_view key, std::string text) {
  if (FieldLine* field = FindField(fields, key)) {
    field->text = std::move(text);
  } else {
    fields.push_back({std::string(key), std::move(text)});
  }
}

// Quoted-printable writes "=" only before two hex digits or a line end, so it never repeats
// a boundary that holds "=" before anything else (the library's own holds "=_"); Base64
// lines never begin with "-".
bool QuotedPrintableAvoids(const std::string& boundary) {
  for (size_t i = 0; i + 1 < boundary.size(); ++i) {
    const char c = boundary[i + 1];
    if (boundary[i] == '=' && !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || c == '\r')) {
      return true;
    }
  }
  return false;
}

// The first enclosing boundary quoted-printable could repeat, or nullptr.
const std::string* QuotedPrintableRepeats(const Boundaries& enclosing) {
  for (const auto& boundary : enclosing) {
    if (!QuotedPrintableAvoids(boundary)) return &boundary;
  }
  return nullptr;
}

// Chooses how a part is written from what it holds. A part written as it is must reach the
// reader unchanged over a 7-bit transport; one that would not is encoded (quoted-printable
// for text, Base64 otherwise) and, when the host chose the encoding, a notice says so. Only
// the fields written change; the model keeps what the host and the defaults set.
PartPlan PlanPart(std::vector<FieldLine> fields, EncodeTypes type, bool chosen,
                  const TextFacts& facts, const Boundaries& enclosing, const std::string& what,
                  bool eight_bit) {
  const std::string* repeated = QuotedPrintableRepeats(enclosing);
  PartPlan plan;
  plan.fields = std::move(fields);
  const bool text = IsTextPart(plan.fields);
  switch (type) {
    case emxBase64:
      plan.how = Writing::kBase64;
      break;
    case emxQuotedPrintable:
      plan.how = Writing::kQuotedPrintable;
      break;
    case emxUUEncode:
      plan.how = Writing::kUUEncode;
      break;
    default: {
      FieldLine* field = FindField(plan.fields, "Content-Transfer-Encoding");
      if (facts.SafeAsIs()) {
        // Without 8-bit content a part is 7bit, whatever label it was given.
        if (field && (type == emx8Bit || type == emxBinary)) field->text = "7bit";
        break;
      }
      // A transport that takes 8-bit text gets text lines as they are.
      if (text && eight_bit && facts.SafeAsEightBit()) {
        plan.eight_bit = true;
        SetField(plan.fields, "Content-Transfer-Encoding", "8bit");
        break;
      }
      plan.how = text && !repeated ? Writing::kQuotedPrintable : Writing::kBase64;
      const std::string encoding =
          plan.how == Writing::kQuotedPrintable ? "quoted-printable" : "Base64";
      if (chosen) {
        plan.notice = "WARNING! " + what + " cannot be sent unchanged" +
                      (field ? " as \"" + field->text + "\"" : std::string()) + ": it is sent as " +
                      encoding + "." + kCrLf;
      }
      SetField(plan.fields, "Content-Transfer-Encoding", encoding);
      break;
    }
  }
  // A host's boundary that quoted-printable could write as a line of its own.
  if (plan.how == Writing::kQuotedPrintable && repeated) {
    plan.how = Writing::kBase64;
    if (chosen) {
      plan.notice = "WARNING! " + what +
                    " cannot be sent as quoted-printable with the boundary \"" + *repeated +
                    "\": it is sent as Base64." + kCrLf;
    }
    SetField(plan.fields, "Content-Transfer-Encoding", "Base64");
  }
  if (text && facts.eight_bit) {
    FieldLine* field = FindField(plan.fields, "Content-Type");
    if (!HasCharset(field->text)) {
      field->text += "; charset=" + std::string(facts.Charset());
    }
  }
  return plan;
}

// What in-memory content holds, as far as the plan of its part needs it.
TextFacts FactsOf(std::string_view content, std::vector<FieldLine>& fields, EncodeTypes type,
                  const Boundaries& enclosing) {
  return NeedsFacts(fields, type) ? ClassifyText(content, BoundaryLines(enclosing)) : TextFacts{};
}

// Plans a part from what it holds and opens it: its boundary line, its fields, any notice.
PartPlan OpenPart(DataWriter& writer, const Boundaries& enclosing, std::vector<FieldLine> fields,
                  EncodeTypes type, bool chosen, const TextFacts& facts, const std::string& what) {
  PartPlan plan =
      PlanPart(std::move(fields), type, chosen, facts, enclosing, what, writer.EightBit());
  if (plan.eight_bit) writer.NoteEightBit();
  writer.Piece("--" + enclosing.back());
  WriteFields(writer, plan.fields);
  if (!plan.notice.empty()) writer.Notice(plan.notice);
  return plan;
}

// Streamed text handed to the writer in whole lines, each run made transparent on its own.
class LineFeed {
 public:
  explicit LineFeed(DataWriter& writer) : writer_(writer) {}
  void Add(std::string text) {
    if (!carry_.empty()) {
      carry_ += text;
      text = std::move(carry_);
      carry_.clear();
    }
    const size_t lf = text.rfind('\n');
    if (lf == std::string::npos) {
      carry_ = std::move(text);
      return;
    }
    carry_.assign(text, lf + 1);
    text.resize(lf + 1);
    writer_.Lines(DataWriter::Transparent(std::move(text)));
  }
  void Finish() {
    if (!carry_.empty()) writer_.Lines(DataWriter::Transparent(std::move(carry_)));
    carry_.clear();
  }

 private:
  DataWriter& writer_;
  std::string carry_;
};

// 62, as for a file that comes up short: the part would no longer be what its fields say.
[[noreturn]] void RaiseFileChanged(const std::string& path) {
  throw Exception(62, "postwing", "The file '" + path + "' changed while it was being sent.");
}

// Whether the file read a second time still fits the fields written from the first reading:
// a part sent as it is stays safe, and the charset declared still holds.
bool StillFits(const TextFacts& first, const TextClassifier& again, Writing how, bool text) {
  const TextFacts& now = again.SoFar();
  if (how == Writing::kAsIs &&
      (now.nul || now.bare_cr || now.bare_lf || (now.eight_bit && !first.eight_bit) ||
       now.boundary_line || again.Finish().longest_line > kMaxLineOctets)) {
    return false;
  }
  if (!text) return true;
  if (now.eight_bit && !first.eight_bit) return false;
  return !(first.eight_bit && first.utf8 && !now.utf8);
}

// A file part written as it is or in quoted-printable, a piece at a time from the second
// reading of the file.
bool WriteTextFile(Encoders& encoders, DataWriter& writer, FileBytes& file, const std::string& path,
                   const TextFacts& facts, Writing how, bool text, const Boundaries& enclosing) {
  std::unique_ptr<PieceEncoder> qp;
  if (how == Writing::kQuotedPrintable) qp = encoders.QuotedPrintablePieces();
  if (writer.Stopped()) return false;
  writer.Piece("");
  writer.BeginLines("Adding " + path);
  TextClassifier again(BoundaryLines(enclosing));
  LineFeed lines(writer);
  std::string bytes;
  size_t written = 0;
  while (file.Next(bytes)) {
    if (writer.Stopped()) return false;
    again.Feed(bytes);
    if (!StillFits(facts, again, how, text)) RaiseFileChanged(path);
    written += bytes.size();
    lines.Add(qp ? qp->Feed(bytes) : std::move(bytes));
    if (writer.Stopped()) return false;
  }
  if (writer.Stopped()) return false;
  if (!StillFits(facts, again, how, text) ||
      (how == Writing::kAsIs && !again.Finish().SafeAsIs())) {
    RaiseFileChanged(path);
  }
  if (qp) {
    // The final soft break's line end is the piece's own.
    std::string rest = qp->Finish();
    if (rest.size() >= 2) rest.resize(rest.size() - 2);
    lines.Add(std::move(rest));
  }
  lines.Finish();
  if (writer.Stopped()) return false;
  writer.EndLines();
  if (qp && written > 0) writer.Piece("");
  return true;
}

// A uuencoded file, streamed; its pieces start at line starts.
// In a MIME part an empty line comes first.
bool WriteUUEncodedFile(Encoders& encoders, DataWriter& writer, const std::string& path,
                        const std::string& file_name, const std::string& status_text, bool mime) {
  writer.Notice("UUEncoding " + path + kCrLf);
  std::unique_ptr<LineStream> lines = encoders.UUEncodeFile(path, file_name);
  if (writer.Stopped()) return false;
  if (mime) writer.Piece("");
  writer.BeginLines(status_text);
  std::string piece;
  while (lines->Next(piece)) {
    if (writer.Stopped()) return false;
    // A short last line may begin with ".".
    writer.Lines(DataWriter::Transparent(std::move(piece)));
    if (writer.Stopped()) return false;
  }
  if (writer.Stopped()) return false;
  writer.EndLines();
  writer.Piece("");
  return true;
}

// A text part of the body: the body itself (what is "Body") or its plain-text alternative.
struct TextPart {
  std::vector<FieldLine> fields;
  EncodeTypes type = emxBinary;
  bool chosen = false;
  std::string what;
};

void WriteBodyPart(Encoders& encoders, DataWriter& writer, const Boundaries& enclosing,
                   TextPart part, std::string text) {
  const std::string& what = part.what;
  const TextFacts facts = FactsOf(text, part.fields, part.type, enclosing);
  PartPlan plan =
      OpenPart(writer, enclosing, std::move(part.fields), part.type, part.chosen, facts, what);
  Content content;
  switch (plan.how) {
    case Writing::kQuotedPrintable:
      writer.Notice("Quoted-printable Encoding " + what + kCrLf);
      content = QuotedPrintableContent(encoders.QuotedPrintable(text));
      break;
    case Writing::kBase64:
      writer.Notice("Base64 Encoding " + what + kCrLf);
      content = Encoded(encoders.Base64Lines(text));
      break;
    case Writing::kUUEncode:
      writer.Notice(
          std::string("WARNING! \"Content-Transfer-Encoding\" type UUEncode may be incompatible "
                      "with Mail Body.") +
          kCrLf);
      content = Encoded(encoders.UUEncode(text, ""));
      break;
    case Writing::kAsIs:
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
  WriteContent(writer, std::move(content), "Adding " + what);
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

// A file part: what the file holds is learnt in a first reading, before its fields are
// written, and it is sent in a second; neither holds the file whole.
bool WriteFilePart(Encoders& encoders, DataWriter& writer, const Boundaries& enclosing,
                   AttachmentPart part) {
  const std::string& path = part.source;
  std::unique_ptr<FileBytes> file;
  TextFacts facts;
  if (NeedsFacts(part.fields, part.encode_type)) {
    file = encoders.OpenFile(path);
    TextClassifier classifier(BoundaryLines(enclosing));
    std::string bytes;
    while (file->Next(bytes)) {
      if (writer.Stopped()) return false;
      classifier.Feed(bytes);
    }
    if (writer.Stopped()) return false;
    facts = classifier.Finish();
    file->Rewind();
  }
  PartPlan plan = OpenPart(writer, enclosing, std::move(part.fields), part.encode_type,
                           part.encode_type_chosen, facts, path);
  switch (plan.how) {
    case Writing::kBase64:
      writer.Notice("Loading " + path + kCrLf);
      return WriteBase64File(encoders, writer, path);
    case Writing::kUUEncode:
      return WriteUUEncodedFile(encoders, writer, path, part.file_name, "Adding " + path, true);
    default:
      writer.Notice("Loading " + path + kCrLf);
      if (!file) file = encoders.OpenFile(path);
      return WriteTextFile(encoders, writer, *file, path, facts, plan.how, IsTextPart(plan.fields),
                           enclosing);
  }
}

// Returns false when the send stopped while the content was being made.
bool WriteAttachmentPart(Encoders& encoders, DataWriter& writer, const Boundaries& enclosing,
                         AttachmentPart part) {
  if (part.is_file) return WriteFilePart(encoders, writer, enclosing, std::move(part));
  std::string data = std::move(part.source);
  const TextFacts facts = FactsOf(data, part.fields, part.encode_type, enclosing);
  const std::string what = "Source: " + part.file_name;
  PartPlan plan = OpenPart(writer, enclosing, std::move(part.fields), part.encode_type,
                           part.encode_type_chosen, facts, what);
  Content content;
  switch (plan.how) {
    case Writing::kBase64:
      writer.Notice("Loading " + what + kCrLf);
      if (writer.Stopped()) return false;
      writer.Notice("Base64 Encoding " + what + kCrLf);
      content = Encoded(encoders.Base64Lines(data));
      break;
    case Writing::kQuotedPrintable:
      writer.Notice("Loading " + what + kCrLf);
      content = QuotedPrintableContent(encoders.QuotedPrintable(data));
      break;
    case Writing::kUUEncode:
      writer.Notice("UUEncoding " + what + kCrLf);
      content = Encoded(encoders.UUEncode(data, part.file_name));
      break;
    case Writing::kAsIs:
      writer.Notice("Loading " + what + kCrLf);
      content = AsIs(std::move(data));
      break;
  }
  if (writer.Stopped()) return false;
  writer.Piece("");
  const bool blank_after = content.blank_line_after;
  WriteContent(writer, std::move(content), "Adding " + what);
  if (blank_after) writer.Piece("");
  return true;
}

// A part the body refers to as "cid:" + its Content-ID, shown inline.
bool IsInlinePart(std::vector<FieldLine> fields) {
  const FieldLine* disposition = FindField(fields, "Content-Disposition");
  const FieldLine* id = FindField(fields, "Content-ID");
  return disposition && detail::IsInlineDisposition(disposition->text) && id &&
         !detail::ContentIdOf(id->text).empty();
}

// The boundary of a level inside the message, made from the message's own: no boundary of
// the message is a prefix of another, so no delimiter line can be read as another's, and it
// begins with "=_", which quoted-printable never writes at a line start.
std::string InnerBoundary(std::string_view tag, const Boundaries& enclosing) {
  const std::string& top = enclosing.front();
  const std::string rest = top.rfind("=_", 0) == 0 ? top.substr(2) : top;
  for (int n = 0;; ++n) {
    std::string candidate = "=_" + std::string(tag) + (n ? std::to_string(n) : "") + "_" + rest;
    candidate.resize(std::min<size_t>(candidate.size(), 70));  // RFC 2046's longest
    while (candidate.back() == ' ') candidate.pop_back();
    bool clash = false;
    for (const auto& boundary : enclosing) {
      clash |= boundary.rfind(candidate, 0) == 0 || candidate.rfind(boundary, 0) == 0;
    }
    if (!clash) return candidate;
  }
}

// RFC 2046's boundary: 1 to 70 of its characters, not ending in a space. Any other would
// leave readers unable to find the parts, and an empty one has no inner boundary that avoids it.
void CheckBoundary(const std::string& boundary) {
  constexpr std::string_view kOthers = "'()+_,-./:=? ";
  const bool usable = !boundary.empty() && boundary.size() <= 70 && boundary.back() != ' ' &&
                      std::all_of(boundary.begin(), boundary.end(), [&](char c) {
                        return detail::IsAsciiAlnum(c) || kOthers.find(c) != std::string_view::npos;
                      });
  if (!usable) {
    throw Exception(vbObjectError + emxContentNotSendable, "postwing",
                    "The boundary of the header's Content-Type cannot delimit the parts: it must "
                    "be 1 to 70 letters, digits or characters of '()+_,-./:=? and not end in a "
                    "space.");
  }
}

// Opens a multipart level as a part of the enclosing one; its parts follow.
void OpenLevel(DataWriter& writer, Boundaries& enclosing, std::string_view tag,
               const std::string& media_type, const std::string& root_type) {
  std::string boundary = InnerBoundary(tag, enclosing);
  std::string type = media_type;
  if (!root_type.empty()) type += "; type=" + detail::ParameterValue(root_type);
  type += "; boundary=" + detail::ParameterValue(boundary);
  writer.Piece("--" + enclosing.back());
  WriteFields(writer, {{"Content-Type", std::move(type)}});
  writer.Piece("");
  enclosing.push_back(std::move(boundary));
}

// The close delimiter; the CR LF after it belongs to the enclosing level's next delimiter.
void CloseLevel(DataWriter& writer, Boundaries& enclosing) {
  writer.Piece("--" + enclosing.back() + "--");
  enclosing.pop_back();
}

// The media type of the body part, for multipart/related's "type".
std::string MediaTypeOf(std::vector<FieldLine> fields) {
  const FieldLine* type = FindField(fields, "Content-Type");
  if (!type) return "text/plain";
  return LowerCase(
      detail::TrimBlanks(std::string_view(type->text).substr(0, type->text.find(';'))));
}

// The body, its plain-text alternative and its inline parts nest as readers expect (RFC 2046,
// 2387): mixed { related { alternative { text/plain, body }, inline parts }, attachments },
// each level written only when the message needs it; the message's own Content-Type is the
// outermost.
bool WriteMimeLayout(MessageModel& model, Encoders& encoders, DataWriter& writer) {
  writer.Piece("");
  writer.Piece(kMimeNotice);
  writer.Piece("");
  Boundaries enclosing{UnquoteBoundary(model.BoundaryParameter())};
  CheckBoundary(enclosing.front());
  std::string text = model.BodyText();
  std::string alternative = model.AlternativeText();
  const int32_t count = model.AttachmentCount();
  // Inline parts go with the body; without a body they are parts like any other.
  std::vector<bool> inline_part(static_cast<size_t>(count) + 1, false);
  bool related = false;
  for (int32_t i = 1; i <= count && !(text.empty() && alternative.empty()); ++i) {
    inline_part[static_cast<size_t>(i)] = IsInlinePart(model.AttachmentFields(i));
    related |= inline_part[static_cast<size_t>(i)];
  }
  const bool both = !text.empty() && !alternative.empty();
  TextPart body{model.BodyFields(), model.BodyEncodeType(), model.BodyEncodeTypeChosen(), "Body"};
  TextPart plain{{{"Content-Type", "text/plain"}, {"Content-Transfer-Encoding", "Binary"}},
                 emxBinary,
                 false,
                 "Alternative Text"};
  if (related) {
    const std::string root = both           ? "multipart/alternative"
                             : text.empty() ? "text/plain"
                                            : MediaTypeOf(body.fields);
    OpenLevel(writer, enclosing, "rel", "multipart/related", root);
  }
  if (both) OpenLevel(writer, enclosing, "alt", "multipart/alternative", "");
  if (!alternative.empty()) {
    WriteBodyPart(encoders, writer, enclosing, std::move(plain), std::move(alternative));
    if (writer.Stopped()) return false;
  }
  if (!text.empty()) {
    WriteBodyPart(encoders, writer, enclosing, std::move(body), std::move(text));
    if (writer.Stopped()) return false;
  }
  if (both) CloseLevel(writer, enclosing);
  for (bool inside : {true, false}) {
    for (int32_t i = 1; i <= count; ++i) {
      if (inline_part[static_cast<size_t>(i)] != inside) continue;
      if (!WriteAttachmentPart(encoders, writer, enclosing, model.Attachment(i))) return false;
      if (writer.Stopped()) return false;
    }
    if (inside && related) CloseLevel(writer, enclosing);
  }
  const std::string& boundary = enclosing.front();
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
      if (!WriteUUEncodedFile(encoders, writer, part.source, part.file_name,
                              "Adding " + part.file_name, false)) {
        return false;
      }
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
