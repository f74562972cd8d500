#include "session/message_source.hpp"

#include <algorithm>
#include <chrono>
#include <utility>

#include "attachments/attachment_rules.hpp"
#include "codecs/base64.hpp"
#include "codecs/codec_support.hpp"
#include "codecs/quoted_printable.hpp"
#include "codecs/uuencode.hpp"
#include "core/error_report.hpp"
#include "core/factory.hpp"
#include "message/message_id.hpp"
#include "message/text_class.hpp"
#include "postwing/attachment.hpp"
#include "postwing/attachments.hpp"
#include "postwing/body.hpp"
#include "postwing/event_loop.hpp"
#include "postwing/exception.hpp"
#include "postwing/header.hpp"
#include "postwing/tcp_client.hpp"
#include "postwing/values.hpp"
#include "session/dialogue.hpp"
#include "session/session_errors.hpp"

namespace postwing::session {

namespace {

// An encoding is the host's choice when it set EncodeType, or wrote through Values a text
// that no default writes.
bool ChosenEncoding(bool set, const std::shared_ptr<Values>& values) {
  if (set) return true;
  if (!values || !values->Exists(Variant("Content-Transfer-Encoding"))) return false;
  const std::string text = values->GetValue("Content-Transfer-Encoding");
  return text != "Binary" && text != "quoted-printable" && text != "Base64";
}

std::vector<FieldLine> FieldsOf(const std::shared_ptr<Values>& values) {
  std::vector<FieldLine> lines;
  if (!values) return lines;
  lines.reserve(static_cast<size_t>(values->Count()));
  for (const auto& value : *values) lines.push_back({value->Key(), value->Text()});
  return lines;
}

}  // namespace

SendMailModel::SendMailModel(SendMail::Impl& mail, std::string& message_id, bool measuring)
    : mail_(mail),
      message_id_(message_id),
      measuring_(measuring),
      header_(mail.header),
      body_(mail.body),
      attachments_(mail.attachments),
      base64_(mail.base64),
      quoted_printable_(mail.quoted_printable),
      uuencode_(mail.uuencode) {}

bool SendMailModel::RawMode() {
  auto values = body_->Values();
  return values && values->Exists(Variant("x-postwing-test-flag"));
}

std::string SendMailModel::BodyText() {
  return body_->Text().ToString();
}

void SendMailModel::AddMessageId() {
  if (message_id_.empty()) message_id_ = detail::NewMessageID();
  if (measuring_) {
    // Refused as the real addition would be, so both runs write the same.
    if (header_->Values()->Exists(Variant("Message-ID"))) {
      header_->Values()->Add(message_id_, "Message-ID");
    }
    return;
  }
  header_->Values()->Add(message_id_, "Message-ID");
}

std::vector<FieldLine> SendMailModel::HeaderFields() {
  std::vector<FieldLine> fields = FieldsOf(header_->Values());
  if (measuring_ && !RawMode()) fields.push_back({"Message-ID", message_id_});
  return fields;
}

bool SendMailModel::MimeCompliant() {
  return header_->MIMECompliant();
}

std::string SendMailModel::BoundaryParameter() {
  return header_->Values()->Item("Content-Type")->SubValues()->Item("Boundary")->Text();
}

std::vector<FieldLine> SendMailModel::BodyFields() {
  return FieldsOf(body_->Values());
}

EncodeTypes SendMailModel::BodyEncodeType() {
  return body_->EncodeType();
}

bool SendMailModel::BodyEncodeTypeChosen() {
  return ChosenEncoding(body_->EncodeTypeChosen(detail::Factory::Key()), body_->Values());
}

std::string SendMailModel::AlternativeText() {
  return body_->AlternativeText(detail::Factory::Key());
}

int32_t SendMailModel::AttachmentCount() {
  return attachments_->Count();
}

AttachmentPart SendMailModel::Attachment(int32_t index) {
  auto attachment = attachments_->Item(Variant(index));
  AttachmentPart part;
  part.fields = FieldsOf(attachment->Values());
  part.source = detail::SourceBytes(attachment->Source());
  part.file_name = attachment->FileName();
  part.encode_type = attachment->EncodeType();
  part.is_file = attachment->SourceType() == emxFile;
  part.encode_type_chosen =
      ChosenEncoding(attachment->EncodeTypeChosen(detail::Factory::Key()), attachment->Values());
  return part;
}

std::vector<FieldLine> SendMailModel::AttachmentFields(int32_t index) {
  return FieldsOf(attachments_->Item(Variant(index))->Values());
}

std::string SendMailModel::Base64Lines(std::string_view bytes) {
  int16_t span_size = 76;
  return base64_->EncodeLines(bytes, span_size);
}

namespace {

class Base64FileStream final : public LineStream {
 public:
  // The codec is held: a host call nested in the encoding may replace the SendMail's.
  Base64FileStream(std::shared_ptr<Base64> codec, const std::string& path)
      : codec_(std::move(codec)), lines_(*codec_, path) {}
  bool Next(std::string& lines) override { return lines_.Next(lines); }

 private:
  std::shared_ptr<Base64> codec_;
  Base64::FileLines lines_;
};

}  // namespace

std::unique_ptr<LineStream> SendMailModel::Base64File(const std::string& path) {
  return std::make_unique<Base64FileStream>(base64_, path);
}

std::string SendMailModel::QuotedPrintable(const std::string& text) {
  return quoted_printable_->Encode(text);
}

std::string SendMailModel::UUEncode(const std::string& data, const std::string& file_name) {
  return uuencode_->UUEncodeData(data, file_name);
}

namespace {

class UUEncodeFileStream final : public LineStream {
 public:
  UUEncodeFileStream(std::shared_ptr<UUEncode> codec, const std::string& path,
                     const std::string& file_name)
      : codec_(std::move(codec)), lines_(*codec_, path, file_name) {}
  bool Next(std::string& lines) override { return lines_.Next(lines); }

 private:
  std::shared_ptr<UUEncode> codec_;
  UUEncode::FileLines lines_;
};

}  // namespace

std::unique_ptr<LineStream> SendMailModel::UUEncodeFile(const std::string& path,
                                                        const std::string& file_name) {
  return std::make_unique<UUEncodeFileStream>(uuencode_, path, file_name);
}

namespace {

class QuotedPrintablePieceEncoder final : public PieceEncoder {
 public:
  std::string Feed(std::string_view piece) override { return pieces_.Feed(piece); }
  std::string Finish() override { return pieces_.Finish(); }

 private:
  postwing::QuotedPrintable::Pieces pieces_;
};

class FileBytesReader final : public FileBytes {
 public:
  static constexpr uint64_t kPiece = 3 << 20;

  FileBytesReader(const std::string& path, const bool& cancelled)
      : file_(path), cancelled_(cancelled) {}
  bool Next(std::string& bytes) override {
    bytes.clear();
    if (cancelled_ || done_ == file_.Size()) return false;
    const auto want = static_cast<size_t>(std::min(kPiece, file_.Size() - done_));
    bytes.resize(want);
    const size_t got = file_.Read(reinterpret_cast<uint8_t*>(bytes.data()), want);
    if (got < want) detail::RaiseRuntimeError(62, "Input past end of file");
    done_ += got;
    // A long first reading lets the host's events (a Cancel) run between pieces.
    platform::Yield();
    return true;
  }
  void Rewind() override {
    file_.Rewind();
    done_ = 0;
  }

 private:
  codec::InputFile file_;
  const bool& cancelled_;
  uint64_t done_ = 0;
};

}  // namespace

std::unique_ptr<PieceEncoder> SendMailModel::QuotedPrintablePieces() {
  return std::make_unique<QuotedPrintablePieceEncoder>();
}

std::unique_ptr<FileBytes> SendMailModel::OpenFile(const std::string& path) {
  return std::make_unique<FileBytesReader>(path, mail_.cancel_flag);
}

std::optional<std::string> UnsendablePlainBody(const Header& header, const Body& body) {
  if (header.MIMECompliant()) return std::nullopt;
  auto values = body.Values();
  if (values && values->Exists(Variant("x-postwing-test-flag"))) return std::nullopt;
  // Set while MIME was on; plain text has no place for it.
  if (!body.AlternativeText(detail::Factory::Key()).empty()) {
    return std::string(
        "The body has a plain-text alternative, which only a MIME message can carry. Set "
        "MIMECompliant to true and try again.");
  }
  const Variant text = body.Text();
  // Line ends are made CR LF as the body is written, so a CR or LF alone is no fault here.
  const detail::TextFacts facts = detail::ClassifyText(text.IsEmpty() ? "" : text.ToString());
  std::string what;
  if (facts.nul)
    what = "a NUL character";
  else if (facts.eight_bit)
    what = "characters outside 7-bit ASCII";
  else if (facts.longest_line > detail::kMaxLineOctets)
    what = "a line over 998 characters";
  else
    return std::nullopt;
  return "The body holds " + what +
         ", which a message without MIME cannot carry intact. Set MIMECompliant to true and "
         "try again.";
}

namespace {

constexpr std::chrono::seconds kDataBlockWait{180};

}  // namespace

SendMailSink::SendMailSink(SendMail::Impl& mail, bool eight_bit, bool utf8)
    : mail_(mail),
      eight_bit_(eight_bit),
      utf8_(utf8),
      socket_(mail.socket),
      connection_(ConnectionIdentity(*mail.socket)) {}

void SendMailSink::Notice(std::string text) {
  mail_.RaiseSendStatus(std::move(text));
}

void SendMailSink::WritePiece(std::string piece, const std::string& status_text) {
  if (Stopped()) return;
  mail_.WriteDataPiece(std::move(piece), status_text);
}

void SendMailSink::WriteLines(std::string bytes, const std::string& status_text) {
  if (Stopped()) return;
  try {
    if (!status_text.empty()) mail_.RaiseSendStatus(">>" + status_text + "\r\n");
    if (bytes.empty() || Stopped()) return;
    socket_->SendData(std::move(bytes));
  } catch (...) {
    detail::RecordAndRethrow(mail_.Self(), kMethodSendToWS);
  }
  WaitForRoom();
}

void SendMailSink::WaitForRoom() {
  using Clock = std::chrono::steady_clock;
  if (Stopped() || socket_->BytesUnsent() <= kHighWater) return;
  uint64_t unsent = socket_->BytesUnsent();
  Clock::time_point since = Clock::now();
  while (!Stopped() && unsent > kLowWater) {
    RunEventsUntil([&] { return Stopped() || socket_->BytesUnsent() < unsent; },
                   std::chrono::milliseconds(200));
    if (Stopped()) return;
    const uint64_t now_unsent = socket_->BytesUnsent();
    if (now_unsent < unsent) {
      unsent = now_unsent;
      since = Clock::now();
      continue;
    }
    // The time-out of a block of data (RFC 5321 4.5.3.2.5), or the send's own if longer;
    // none when the send has no time-out.
    const int32_t time_out = mail_.time_out;
    if (time_out <= 0) continue;
    const auto limit = std::max(std::chrono::seconds(time_out), kDataBlockWait);
    if (Clock::now() - since >= limit) {
      throw Exception(kErrTimedOut, std::string(detail::kSourceWinsock),
                      "The server did not take the message data within " +
                          std::to_string(limit.count()) + " seconds.");
    }
  }
}

void SendMailSink::WriteEndOfData() {
  if (Stopped()) return;
  mail_.SendToWS(".");
  mail_.RaiseSendStatus(">>Sending\r\n");
}

bool SendMailSink::Stopped() {
  // A host call nested in an encoding may have cancelled and started another send.
  return mail_.cancel_flag || mail_.socket != socket_ ||
         socket_->State() != TcpClient::sckConnected || ConnectionIdentity(*socket_) != connection_;
}

namespace {

// Counts what the data phase would write, and writes nothing.
class MeasuringSink final : public DataSink {
 public:
  MeasuringSink(SendMail::Impl& mail, bool eight_bit, bool utf8)
      : mail_(mail), eight_bit_(eight_bit), utf8_(utf8) {}
  void Notice(std::string) override {}
  void WritePiece(std::string piece, const std::string&) override { size += piece.size() + 2; }
  void WriteEndOfData() override {}
  bool Stopped() override { return mail_.cancel_flag; }
  bool Streams() override { return true; }
  void WriteLines(std::string bytes, const std::string&) override { size += bytes.size(); }
  bool EightBit() override { return eight_bit_; }
  bool Utf8() override { return utf8_; }
  uint64_t size = 0;

 private:
  SendMail::Impl& mail_;
  bool eight_bit_;
  bool utf8_;
};

}  // namespace

MessageMeasure MeasureMessage(SendMail::Impl& mail, bool eight_bit, bool utf8) {
  SendMailModel model(mail, mail.message_id, true);
  MeasuringSink sink(mail, eight_bit, utf8);
  assembly::DataWriter writer(sink);
  assembly::AssembleMessage(model, model, writer);
  return {sink.size, writer.EightBitWritten()};
}

bool WriteMessage(SendMail::Impl& mail, bool eight_bit, bool utf8) {
  SendMailModel model(mail, mail.message_id, false);
  SendMailSink sink(mail, eight_bit, utf8);
  assembly::DataWriter writer(sink);
  return assembly::AssembleMessage(model, model, writer);
}

}  // namespace postwing::session
