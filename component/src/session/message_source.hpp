// Message assembly on a real SendMail: its model, its codecs and its connection.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "assembly/data_writer.hpp"
#include "assembly/message_assembly.hpp"
#include "postwing/header.hpp"
#include "session/send_mail_impl.hpp"

namespace postwing::session {

using assembly::AttachmentPart;
using assembly::DataSink;
using assembly::Encoders;
using assembly::FieldLine;
using assembly::FileBytes;
using assembly::LineStream;
using assembly::MessageModel;
using assembly::PieceEncoder;

// Reads the header, the body and the attachments of a SendMail and encodes with its codecs.
class SendMailModel final : public MessageModel, public Encoders {
 public:
  // message_id: the identifier of this send, made on first use; measuring: the model is
  // only read (the identifier is added to the fields written, not to the header).
  SendMailModel(SendMail::Impl& mail, std::string& message_id, bool measuring);

  bool RawMode() override;
  std::string BodyText() override;
  void AddMessageId() override;
  std::vector<FieldLine> HeaderFields() override;
  bool MimeCompliant() override;
  std::string BoundaryParameter() override;
  std::vector<FieldLine> BodyFields() override;
  EncodeTypes BodyEncodeType() override;
  bool BodyEncodeTypeChosen() override;
  std::string AlternativeText() override;
  int32_t AttachmentCount() override;
  AttachmentPart Attachment(int32_t index) override;
  std::vector<FieldLine> AttachmentFields(int32_t index) override;

  std::string Base64Lines(std::string_view bytes) override;
  std::unique_ptr<LineStream> Base64File(const std::string& path) override;
  std::string QuotedPrintable(const std::string& text) override;
  std::string UUEncode(const std::string& data, const std::string& file_name) override;
  std::unique_ptr<LineStream> UUEncodeFile(const std::string& path,
                                           const std::string& file_name) override;
  std::unique_ptr<PieceEncoder> QuotedPrintablePieces() override;
  std::unique_ptr<FileBytes> OpenFile(const std::string& path) override;

 private:
  // The objects of the send that started the data phase: a host call nested in an
  // encoding (Clear) may replace the SendMail's children meanwhile.
  SendMail::Impl& mail_;
  std::string& message_id_;
  bool measuring_;
  std::shared_ptr<Header> header_;
  std::shared_ptr<Body> body_;
  std::shared_ptr<Attachments> attachments_;
  std::shared_ptr<Base64> base64_;
  std::shared_ptr<postwing::QuotedPrintable> quoted_printable_;
  std::shared_ptr<postwing::UUEncode> uuencode_;
};

// Writes through the SendMail's connection: notices as status lines, pieces through
// WriteDataPiece, the end-of-data line through SendToWS.
class SendMailSink final : public DataSink {
 public:
  SendMailSink(SendMail::Impl& mail, bool eight_bit, bool utf8);

  void Notice(std::string text) override;
  void WritePiece(std::string piece, const std::string& status_text) override;
  void WriteEndOfData() override;
  bool Stopped() override;
  bool Streams() override { return true; }
  void WriteLines(std::string bytes, const std::string& status_text) override;
  bool EightBit() override { return eight_bit_; }
  bool Utf8() override { return utf8_; }

  // Streamed content waits while more than this is queued on the socket and goes on once
  // it is down to kLowWater: memory stays a few pieces, whatever the size of the file.
  static constexpr uint64_t kHighWater = 8 * 1024 * 1024;
  static constexpr uint64_t kLowWater = 4 * 1024 * 1024;

 private:
  // Runs the thread's events until the socket's queue is down to kLowWater or the send
  // stopped; a server that takes nothing for the data time-out ends the send.
  void WaitForRoom();

  SendMail::Impl& mail_;
  bool eight_bit_;
  bool utf8_;
  std::shared_ptr<TcpClient> socket_;
  std::string connection_;
};

// Why the body of a message without MIME cannot be sent intact (NUL, 8-bit bytes, a line
// over 998 octets: plain text declares no encoding), or nothing when it can.
std::optional<std::string> UnsendablePlainBody(const Header& header, const Body& body);

// What the message will be on the wire, learnt by writing it nowhere: its size in bytes
// (what goes out between the 354 and the end-of-data line) and whether a part goes as 8bit.
struct MessageMeasure {
  uint64_t size = 0;
  bool eight_bit = false;
};
// eight_bit: the server takes 8-bit text (BODY=8BITMIME).
// utf8: the message goes with SMTPUTF8.
MessageMeasure MeasureMessage(SendMail::Impl& mail, bool eight_bit, bool utf8);
// The data phase: the whole message and the end-of-data line, as measured. False when the
// send was cancelled or the connection went away first.
bool WriteMessage(SendMail::Impl& mail, bool eight_bit, bool utf8);

}  // namespace postwing::session
