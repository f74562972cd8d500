// SendMail: fields, defaults, initialisation, Clear, Cancel and teardown.
#include "postwing/send_mail.hpp"

#include <utility>

#include "codecs/base64.hpp"
#include "codecs/quoted_printable.hpp"
#include "codecs/uuencode.hpp"
#include "core/error_report.hpp"
#include "core/factory.hpp"
#include "postwing/attachments.hpp"
#include "postwing/body.hpp"
#include "postwing/errors.hpp"
#include "postwing/event_loop.hpp"
#include "postwing/header.hpp"
#include "postwing/tcp_client.hpp"
#include "postwing/utilities.hpp"
#include "session/dialogue.hpp"
#include "session/events.hpp"
#include "session/send_mail_impl.hpp"

namespace postwing {

namespace {

constexpr std::string_view kMethodInitialize = "SendMail.Initialize";
constexpr std::string_view kMethodTerminate = "SendMail.Terminate";
constexpr std::string_view kMethodCancel = "SendMail.Cancel";

}  // namespace

std::shared_ptr<SendMail> SendMail::Create() {
  auto mail = detail::Factory::Make<SendMail>();
  mail->impl_->dialogue = std::make_unique<session::Dialogue>(*mail->impl_);
  mail->impl_->Initialize();
  return mail;
}

SendMail::SendMail(detail::PassKey) : impl_(std::make_unique<Impl>()) {
  impl_->owner = this;
  impl_->handlers = std::make_shared<detail::EventHandlers>();
}

void SendMail::Impl::MakeCodecs() {
  auto b64 = std::make_shared<Base64>();
  auto uu = std::make_shared<UUEncode>();
  auto qp = std::make_shared<QuotedPrintable>();
  b64->Init();
  base64 = std::move(b64);
  uuencode = std::move(uu);
  quoted_printable = std::move(qp);
}

void SendMail::Impl::Initialize() {
  auto self = Self();
  try {
    // A kept connection serves the next send after Clear as well.
    const bool kept = keep_connection && dialogue->Kept(socket.get());
    auto old_socket = kept ? nullptr : std::exchange(socket, MakeSocket());
    errors = detail::Factory::Make<postwing::Errors>();

    // Children replaced by Clear stay valid objects for a host that kept them, detached.
    auto new_header = detail::Factory::Make<postwing::Header>();
    new_header->SetParent(self);
    if (auto old = std::exchange(header, new_header)) old->SetParent(nullptr);
    auto new_body = detail::Factory::Make<postwing::Body>();
    new_body->SetParent(self);
    if (auto old = std::exchange(body, new_body)) old->SetParent(nullptr);
    auto new_attachments = detail::Factory::Make<postwing::Attachments>();
    new_attachments->SetParent(self);
    if (auto old = std::exchange(attachments, new_attachments)) old->SetParent(nullptr);

    time_out = 15;
    smtp_server = "127.127.127.0";
    smtp_server_port = 25;
    keep_alive = true;
    cancel_flag = false;
    closed_flag = false;

    MakeCodecs();
    auto new_utilities = detail::Factory::Make<postwing::Utilities>();
    new_utilities->SetParent(self);
    if (auto old = std::exchange(utilities, new_utilities)) old->SetParent(nullptr);

    use_domain_for_helo = false;
    add_outlook_html = true;

    if (!kept && socket->State() != TcpClient::sckClosed) socket->Close();
    if (old_socket) RetireSocket(std::move(old_socket));
  } catch (...) {
    detail::RecordAndRethrow(self, kMethodInitialize);
  }
}

void SendMail::Impl::RetireSocket(std::shared_ptr<TcpClient> old) {
  old->SetOnConnect(nullptr);
  old->SetOnDataArrival(nullptr);
  old->SetOnClose(nullptr);
  old->SetOnError(nullptr);
  old->SetOnSendProgress(nullptr);
  old->SetOnSendComplete(nullptr);
  if (old->State() != TcpClient::sckClosed) old->Close();
  if (socket_callback_depth > 0) {
    // One of its callbacks may be on the stack: release it from a later pass of the loop.
    ThreadEventLoop().Post([keep = std::move(old)]() mutable { keep.reset(); });
  }
}

SendMail::~SendMail() {
  Impl& d = *impl_;
  auto record = [&d](std::string_view method) {
    try {
      Exception e = detail::CurrentException();
      if (d.errors) {
        d.errors->Add(e.Number(), e.Source(), e.Description(), e.HelpFile(), e.HelpContext(),
                      std::string(method));
      }
    } catch (...) {
    }
  };
  // A destructor cannot raise: an error is recorded and teardown goes on.
  try {
    if (d.dialogue && d.dialogue->Kept(d.socket.get())) session::QuitQuietly(std::move(d.socket));
    if (d.socket) {
      d.socket->SetOnConnect(nullptr);
      d.socket->SetOnDataArrival(nullptr);
      d.socket->SetOnClose(nullptr);
      d.socket->SetOnError(nullptr);
      d.socket->SetOnSendProgress(nullptr);
      d.socket->SetOnSendComplete(nullptr);
      if (d.socket->State() != TcpClient::sckClosed) d.socket->Close();
    }
  } catch (...) {
    record(kMethodTerminate);
  }
  try {
    d.socket.reset();
    if (d.attachments) d.attachments->SetParent(nullptr);
    d.attachments.reset();
    d.base64.reset();
    d.uuencode.reset();
    d.quoted_printable.reset();
    if (d.header) d.header->SetParent(nullptr);
    d.header.reset();
    if (d.body) d.body->SetParent(nullptr);
    d.body.reset();
    d.errors.reset();
    if (d.utilities) d.utilities->SetParent(nullptr);
    d.utilities.reset();
  } catch (...) {
    record(kMethodTerminate);
  }
}

Variant SendMail::Clear() {
  auto self = shared_from_this();
  impl_->Initialize();
  return Variant();
}

void SendMail::Cancel() {
  auto self = shared_from_this();
  Impl& d = *impl_;
  try {
    d.cancel_flag = true;
    if (auto codec = d.base64) codec->Cancel();
    if (auto codec = d.uuencode) codec->Cancel();
    if (auto sock = d.socket) sock->Close();
    d.RaiseSendComplete();
  } catch (...) {
    detail::RecordAndRethrow(self, kMethodCancel);
  }
}

std::string SendMail::SMTPServer() const {
  return impl_->smtp_server;
}
void SendMail::SetSMTPServer(std::string value) {
  impl_->smtp_server = std::move(value);
}
int32_t SendMail::SMTPServerPort() const {
  return impl_->smtp_server_port;
}
void SendMail::SetSMTPServerPort(int32_t value) {
  impl_->smtp_server_port = value;
}
std::string SendMail::User() const {
  return impl_->user;
}
void SendMail::SetUser(std::string value) {
  impl_->user = std::move(value);
}
std::string SendMail::Password() const {
  return impl_->password;
}
void SendMail::SetPassword(std::string value) {
  impl_->password = std::move(value);
}
int32_t SendMail::TimeOut() const {
  return impl_->time_out;
}
void SendMail::SetTimeOut(int32_t value) {
  impl_->time_out = value;
}

std::shared_ptr<postwing::Header> SendMail::Header() const {
  return impl_->header;
}
std::shared_ptr<postwing::Body> SendMail::Body() const {
  return impl_->body;
}
std::shared_ptr<postwing::Utilities> SendMail::Utilities() const {
  return impl_->utilities;
}
std::shared_ptr<postwing::Attachments> SendMail::Attachments() const {
  return impl_->attachments;
}
std::shared_ptr<postwing::Errors> SendMail::Errors() const {
  return impl_->errors;
}

bool SendMail::KeepAlive() const {
  return impl_->keep_alive;
}
void SendMail::SetKeepAlive(bool value) {
  impl_->keep_alive = value;
}

std::shared_ptr<TcpClient> SendMail::Winsock() const {
  return impl_->socket;
}
void SendMail::SetEventSink(std::shared_ptr<ISendMailEvents> sink) {
  impl_->event_sink = std::move(sink);
}
Variant SendMail::ID() const {
  return impl_->id;
}
void SendMail::SetID(const Variant& value) {
  impl_->id = value;
}
bool SendMail::UseDomainForHELO() const {
  return impl_->use_domain_for_helo;
}
void SendMail::SetUseDomainForHELO(bool value) {
  impl_->use_domain_for_helo = value;
}
bool SendMail::AddOutlookHTML() const {
  return impl_->add_outlook_html;
}
void SendMail::SetAddOutlookHTML(bool value) {
  impl_->add_outlook_html = value;
}

std::string SendMail::AuthMechanism() const {
  return impl_->auth_mechanism;
}
void SendMail::SetAuthMechanism(std::string value) {
  impl_->auth_mechanism = std::move(value);
}
bool SendMail::KeepConnection() const {
  return impl_->keep_connection;
}
void SendMail::SetKeepConnection(bool value) {
  impl_->keep_connection = value;
  if (!value) impl_->EndKeptConnection();
}
bool SendMail::AllowPartialDelivery() const {
  return impl_->allow_partial_delivery;
}
void SendMail::SetAllowPartialDelivery(bool value) {
  impl_->allow_partial_delivery = value;
}
SendResult SendMail::Result() const {
  return impl_->dialogue ? impl_->dialogue->result : SendResult();
}

SecurityTypes SendMail::Security() const {
  return impl_->security;
}
void SendMail::SetSecurity(SecurityTypes value) {
  impl_->security = value;
}
bool SendMail::VerifyCertificate() const {
  return impl_->verify_certificate;
}
void SendMail::SetVerifyCertificate(bool value) {
  impl_->verify_certificate = value;
}
std::string SendMail::CertificateFile() const {
  return impl_->certificate_file;
}
void SendMail::SetCertificateFile(std::string value) {
  impl_->certificate_file = std::move(value);
}

}  // namespace postwing
