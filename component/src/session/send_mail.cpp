// STUB: the session's owner replaces this with the full object.
#include "postwing/send_mail.hpp"

#include "codecs/base64.hpp"
#include "codecs/quoted_printable.hpp"
#include "codecs/uuencode.hpp"
#include "core/factory.hpp"
#include "postwing/attachments.hpp"
#include "postwing/body.hpp"
#include "postwing/errors.hpp"
#include "postwing/header.hpp"
#include "postwing/tcp_client.hpp"
#include "postwing/utilities.hpp"
#include "session/send_mail_impl.hpp"

namespace postwing {

std::shared_ptr<SendMail> SendMail::Create() {
  auto mail = detail::Factory::Make<SendMail>();
  auto& d = *mail->impl_;
  d.owner = mail.get();
  d.errors = detail::Factory::Make<postwing::Errors>();
  d.header = detail::Factory::Make<postwing::Header>();
  d.header->SetParent(mail);
  d.body = detail::Factory::Make<postwing::Body>();
  d.body->SetParent(mail);
  d.attachments = detail::Factory::Make<postwing::Attachments>();
  d.attachments->SetParent(mail);
  d.utilities = detail::Factory::Make<postwing::Utilities>();
  d.utilities->SetParent(mail);
  return mail;
}

SendMail::SendMail(detail::PassKey) : impl_(std::make_unique<Impl>()) {}
SendMail::~SendMail() = default;

std::shared_ptr<postwing::Header> SendMail::Header() const { return impl_->header; }
std::shared_ptr<postwing::Body> SendMail::Body() const { return impl_->body; }
std::shared_ptr<postwing::Utilities> SendMail::Utilities() const { return impl_->utilities; }
std::shared_ptr<postwing::Attachments> SendMail::Attachments() const {
  return impl_->attachments;
}
std::shared_ptr<postwing::Errors> SendMail::Errors() const { return impl_->errors; }

}  // namespace postwing
