// SendMail: the one object a host creates.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "postwing/connection.hpp"
#include "postwing/events.hpp"
#include "postwing/types.hpp"

namespace postwing {

class Header;
class Body;
class Attachments;
class Utilities;
class Errors;
class TcpClient;
namespace detail {
struct SendMailAccess;
}

enum SecurityTypes : int32_t {
  emxNoSecurity = 0,
  emxStartTLS = 1,
  emxImplicitTLS = 2,
};

// What the server answered to a send; complete once SendComplete has been raised.
struct SendResult {
  // One recipient's RCPT TO and the server's reply to it.
  struct Recipient {
    std::string address;
    int32_t code = 0;
    std::string text;  // the reply without its final line end
  };
  // The server took the message: a positive reply to the end of the data.
  bool accepted = false;
  // The last reply of the dialogue: its code (0 before any), its text without the final
  // line end, and its enhanced status code ("2.0.0") when the server sent one.
  int32_t code = 0;
  std::string text;
  std::string enhanced_code;
  std::vector<Recipient> recipients;
  // Partial delivery allowed and the server took the message for some recipients only
  // (accepted is true; the refused ones are in recipients with their replies).
  bool partial = false;
  // The error that ended the send (the number WinsockError carried), 0 for none.
  int32_t error = 0;
  std::string error_text;
};

// Carries one message to one server at a time. Use it on the thread that created it;
// the thread's event loop (postwing/event_loop.hpp) delivers everything it waits for.
class SendMail : public Object, public std::enable_shared_from_this<SendMail> {
 public:
  // Creates an idle object with the defaults and new children.
  static std::shared_ptr<SendMail> Create();
  explicit SendMail(detail::PassKey);
  ~SendMail() override;
  SendMail(const SendMail&) = delete;
  SendMail& operator=(const SendMail&) = delete;

  // Replaces the children, the socket and the codecs with new ones and restores the
  // defaults; keeps User, Password, KeepConnection, AllowPartialDelivery, the sink and ID,
  // and a kept connection with its socket. Returns an empty Variant.
  Variant Clear();

  std::string SMTPServer() const;
  void SetSMTPServer(std::string value);
  int32_t SMTPServerPort() const;
  void SetSMTPServerPort(int32_t value);
  std::string User() const;
  void SetUser(std::string value);
  std::string Password() const;
  void SetPassword(std::string value);
  // Seconds: the connect wait, the reply wait and the socket time-outs.
  int32_t TimeOut() const;
  void SetTimeOut(int32_t value);

  std::shared_ptr<postwing::Header> Header() const;
  std::shared_ptr<postwing::Body> Body() const;
  std::shared_ptr<postwing::Utilities> Utilities() const;
  std::shared_ptr<postwing::Attachments> Attachments() const;
  std::shared_ptr<postwing::Errors> Errors() const;

  bool KeepAlive() const;
  void SetKeepAlive(bool value);

  // Stops the send in progress, closes the socket and raises SendComplete.
  void Cancel();
  // Checks the message, connects and waits for the greeting (at most TimeOut seconds);
  // the dialogue goes on on the thread's event loop. Raises postwing::Exception.
  void Send();

  // The socket in use, to read its state or addresses.
  std::shared_ptr<TcpClient> Winsock() const;
  // Sets (or, with nullptr, clears) the second receiver of the events.
  void SetEventSink(std::shared_ptr<ISendMailEvents> sink);
  Variant ID() const;
  void SetID(const Variant& value);
  bool UseDomainForHELO() const;
  void SetUseDomainForHELO(bool value);
  bool AddOutlookHTML() const;
  void SetAddOutlookHTML(bool value);

  // The SASL mechanism of the login: "LOGIN", "PLAIN" or "XOAUTH2" (either case); empty
  // (the default) takes PLAIN over an encrypted connection where the server offers it, else
  // LOGIN. For XOAUTH2, Password holds the OAuth 2.0 bearer token. Send raises 12017 for a
  // name the library does not know.
  std::string AuthMechanism() const;
  void SetAuthMechanism(std::string value);

  // Keeps the connection open after the server accepted a message (or refused one), for the
  // next Send on this object (off by default: every send ends with QUIT); SendComplete is
  // raised all the same. The next Send starts with MAIL FROM (RSET first after a refusal);
  // where the server offers PIPELINING, MAIL FROM and every RCPT TO go in one write (with DATA
  // when there is one recipient or AllowPartialDelivery is on). A connection the server closed, or
  // idle for a minute, is replaced by a new one. It ends with QUIT when this is turned off, when
  // the object is released, or when a Send names another SMTPServer, SMTPServerPort, Security,
  // User, Password, AuthMechanism or certificate setting.
  bool KeepConnection() const;
  void SetKeepConnection(bool value);
  // Lets the message go to the recipients the server accepted when it refuses others (off by
  // default: a refused recipient stops the send). Each refusal is still reported.
  bool AllowPartialDelivery() const;
  void SetAllowPartialDelivery(bool value);

  // What the server answered to the latest send (reset by Send).
  SendResult Result() const;

  // Encrypted connections: off by default.
  SecurityTypes Security() const;
  void SetSecurity(SecurityTypes value);
  bool VerifyCertificate() const;
  void SetVerifyCertificate(bool value);
  std::string CertificateFile() const;
  void SetCertificateFile(std::string value);

  // Events, raised to every connected handler in connection order, then to the sink.
  Connection OnSendStatus(std::function<void(std::string& Data)> handler);
  Connection OnSendComplete(std::function<void()> handler);
  Connection OnSendProgress(
      std::function<void(int32_t& BytesSent, int32_t& BytesRemaining)> handler);
  Connection OnWinsockError(
      std::function<void(int32_t& Number, std::string& Source, std::string& Description,
                         std::string& HelpFile, int32_t& HelpContext)>
          handler);

  struct Impl;

 private:
  friend struct detail::SendMailAccess;
  std::unique_ptr<Impl> impl_;
};

}  // namespace postwing
