#include "assembly/send_mail_model.hpp"

#include <utility>

#include "codecs/base64.hpp"
#include "codecs/quoted_printable.hpp"
#include "codecs/uuencode.hpp"
#include "message/message_id.hpp"
#include "postwing/attachment.hpp"
#include "postwing/attachments.hpp"
#include "postwing/body.hpp"
#include "postwing/header.hpp"
#include "postwing/tcp_client.hpp"
#include "postwing/utilities.hpp"
#include "postwing/values.hpp"

namespace postwing::assembly {

namespace {

std::vector<FieldLine> FieldsOf(const std::shared_ptr<Values>& values) {
  std::vector<FieldLine> lines;
  if (!values) return lines;
  lines.reserve(static_cast<size_t>(values->Count()));
  for (const auto& value : *values) lines.push_back({value->Key(), value->Text()});
  return lines;
}

}  // namespace

SendMailModel::SendMailModel(SendMail::Impl& mail)
    : mail_(mail),
      header_(mail.header),
      body_(mail.body),
      attachments_(mail.attachments),
      utilities_(mail.utilities),
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
  header_->Values()->Add(detail::NewMessageID(), "Message-ID");
}

std::vector<FieldLine> SendMailModel::HeaderFields() {
  return FieldsOf(header_->Values());
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

int32_t SendMailModel::AttachmentCount() {
  return attachments_->Count();
}

AttachmentPart SendMailModel::Attachment(int32_t index) {
  auto attachment = attachments_->Item(Variant(index));
  AttachmentPart part;
  part.fields = FieldsOf(attachment->Values());
  part.source = attachment->Source().ToString();
  part.file_name = attachment->FileName();
  part.encode_type = attachment->EncodeType();
  part.is_file = attachment->SourceType() == emxFile;
  return part;
}

std::string SendMailModel::Base64Lines(std::string_view bytes) {
  int16_t span_size = 76;
  return base64_->EncodeLines(bytes, span_size);
}

ByteArray SendMailModel::LoadForBase64(const std::string& path) {
  ByteArray bytes;
  base64_->Load(path, bytes);
  return bytes;
}

std::string SendMailModel::QuotedPrintable(const std::string& text) {
  return quoted_printable_->Encode(text);
}

std::string SendMailModel::UUEncode(const std::string& data, const std::string& file_name) {
  return uuencode_->UUEncodeData(data, file_name);
}

std::string SendMailModel::UUEncodeFile(const std::string& path, const std::string& file_name) {
  return uuencode_->UUEncodeFile(path, file_name);
}

std::string SendMailModel::ReadFile(const std::string& path) {
  return utilities_->ReadFile(path).ToString();
}

namespace {

// The connection a socket object carries now (Send reuses the object for the next one).
std::string ConnectionOf(const TcpClient& sock) {
  return std::to_string(sock.SocketHandle()) + " " + sock.LocalIP() + " " +
         std::to_string(sock.LocalPort());
}

}  // namespace

SendMailSink::SendMailSink(SendMail::Impl& mail)
    : mail_(mail), socket_(mail.socket), connection_(ConnectionOf(*mail.socket)) {}

void SendMailSink::Notice(std::string text) {
  mail_.RaiseSendStatus(std::move(text));
}

void SendMailSink::WritePiece(std::string piece, const std::string& status_text) {
  if (Stopped()) return;
  mail_.WriteDataPiece(std::move(piece), status_text);
}

void SendMailSink::WriteEndOfData() {
  if (Stopped()) return;
  mail_.SendToWS(".");
  mail_.RaiseSendStatus(">>Sending\r\n");
}

bool SendMailSink::Stopped() {
  // A host call nested in an encoding may have cancelled and started another send.
  return mail_.cancel_flag || mail_.socket != socket_ ||
         socket_->State() != TcpClient::sckConnected || ConnectionOf(*socket_) != connection_;
}

}  // namespace postwing::assembly
