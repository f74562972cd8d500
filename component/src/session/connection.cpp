// Send, the connect wait, SendToWS, the socket's handlers and its options.
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "assembly/send_mail_model.hpp"
#include "core/error_report.hpp"
#include "core/factory.hpp"
#include "message/address_list.hpp"
#include "message/field_check.hpp"
#include "message/header_date.hpp"
#include "message/header_wire.hpp"
#include "message/text_class.hpp"
#include "postwing/attachment.hpp"
#include "postwing/attachments.hpp"
#include "postwing/body.hpp"
#include "postwing/errors.hpp"
#include "postwing/event_loop.hpp"
#include "postwing/header.hpp"
#include "postwing/tcp_client.hpp"
#include "postwing/values.hpp"
#include "session/dialogue_state.hpp"
#include "session/secure_dialogue.hpp"
#include "session/send_mail_impl.hpp"

namespace postwing {

namespace {

using detail::kSource;
using detail::kSourceAlt;
using detail::kSourceWinsock;

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kMethodSend = "SendMail.Send";
constexpr std::string_view kMethodSendToWS = "SendMail.SendToWS";
constexpr std::string_view kMethodConnect = "SendMail.Connect";
constexpr std::string_view kMethodTimeout = "SendMail.Timeout";
constexpr std::string_view kMethodWinsockError = "SendMail.Winsock_Error";
constexpr std::string_view kMethodWinsockClose = "SendMail.Winsock_Close";
constexpr std::string_view kMethodSendProgress = "SendMail.Winsock_SendProgress";
constexpr std::string_view kMethodDataArrival = "SendMail.DataArrival";

constexpr int32_t kErrConnectionAborted = 10053;
constexpr int32_t kErrTimedOut = 10060;
constexpr int32_t kErrHostNotFound = 11001;
// The deadline's seconds were a 16-bit count: a longer wait overflows.
constexpr int32_t kLongestWait = 32767;
// How long one pass of the connect wait may sleep in the loop: short enough that the
// deadline and the cancel flag are seen promptly, long enough not to burn the CPU.
constexpr std::chrono::milliseconds kWaitSlice{50};

// A body with only its plain-text alternative still has something to say.
bool BodyTextIsEmpty(const Body& body) {
  if (!body.AlternativeText(detail::Factory::Key()).empty()) return false;
  Variant text = body.Text();
  if (text.IsString()) return text.AsString().empty();
  if (text.IsArray()) return text.AsArray().empty();
  return text.ToString().empty();
}

// What refuses the first field, of the header, the body or an attachment, that cannot be
// written as header lines: 12013 for a line break or NUL, 12017 for a field with no wire form.
std::optional<std::pair<MailErrors, std::string>> UnsafeField(const Header& header,
                                                              const Body& body,
                                                              const Attachments& attachments) {
  using Refusal = std::optional<std::pair<MailErrors, std::string>>;
  auto check = [](const std::shared_ptr<Values>& values) -> Refusal {
    if (!values) return std::nullopt;
    if (auto field = detail::FirstIllegalField(*values)) {
      return std::pair(emxIllegalCharacter, detail::IllegalFieldText(field->Key()));
    }
    for (const auto& value : *values) {
      const detail::WireField wire = detail::FieldWireForm(value->Key(), value->Text());
      if (!wire.problem.empty()) {
        return std::pair(emxContentNotSendable,
                         detail::UnsendableFieldText(value->Key(), wire.problem));
      }
    }
    return std::nullopt;
  };
  if (auto refusal = check(header.Values())) return refusal;
  if (auto refusal = check(body.Values())) return refusal;
  for (const auto& attachment : attachments) {
    if (auto refusal = check(attachment->Values())) return refusal;
  }
  return std::nullopt;
}

// Keeps what a socket callback needs alive and releases it only from a later pass when the
// callback held the last reference, so that nothing is destroyed inside its own dispatch.
void ReleaseLater(std::shared_ptr<SendMail>& mail, std::shared_ptr<TcpClient>& sock) {
  bool last_mail = mail && mail.use_count() == 1;
  bool last_sock = sock && sock.use_count() == 1;
  if (!last_mail && !last_sock) return;
  try {
    ThreadEventLoop().Post([m = std::move(mail), s = std::move(sock)]() mutable {
      m.reset();
      s.reset();
    });
  } catch (...) {
    // No loop to post to (out of memory): release here after all.
  }
}

// Runs handler(impl) for an event of sock, when sock is still the object's current socket.
// The handler catches what its procedure raises; nothing escapes into the event loop.
template <class Handler>
void Dispatch(const std::weak_ptr<SendMail>& weak_mail, const std::weak_ptr<TcpClient>& weak_sock,
              Handler&& handler) noexcept {
  std::shared_ptr<SendMail> mail = weak_mail.lock();
  std::shared_ptr<TcpClient> sock = weak_sock.lock();
  if (mail && sock && mail->impl().socket == sock) {
    SendMail::Impl& d = mail->impl();
    ++d.socket_callback_depth;
    handler(d);
    --d.socket_callback_depth;
  }
  ReleaseLater(mail, sock);
}

void SetTimeoutOption(SendMail::Impl& d, int option, int32_t seconds,
                      std::string_view failure_text) {
  if (seconds < 0) detail::RaiseRuntimeError(detail::kErrInvalidPropertyValue);
  timeval tv{};
  tv.tv_sec = seconds;
  if (setsockopt(d.socket->SocketHandle(), SOL_SOCKET, option, &tv, sizeof tv) != 0) {
    int err = errno;
    detail::RecordError(d.Self(), err, kSourceAlt, failure_text, "", 0, kMethodTimeout);
    d.RaiseWinsockError(err, std::string(kSourceAlt), std::string(failure_text), "", 0);
  }
}

// Ends a send whose connection failed or never came, after the report of why: the socket
// is closed and SendComplete follows, unless a handler of the report has cancelled, cleared
// or sent again meanwhile.
void EndFailedSend(SendMail::Impl& d, const std::shared_ptr<TcpClient>& sock, uint64_t send) {
  if (d.sends != send || d.socket != sock || d.cancel_flag || d.closed_flag) return;
  session::EndDialogueConnection(d, sock);
  // A socket closed already (the connect wait's time-out) needs no second close.
  if (!d.closed_flag) {
    d.closed_flag = true;
    d.RaiseSendComplete();
  }
}

// The connection was not made within TimeOut: 10060, and the attempt is given up.
void ConnectTimedOut(SendMail::Impl& d, const std::shared_ptr<TcpClient>& sock) {
  const uint64_t send = d.sends;
  // Closed first: a host whose handler throws gets no connection made behind its back.
  sock->Close();
  if (!d.error_reported) {
    d.error_reported = true;
    static constexpr std::string_view kText = "The attempt to connect timed out.";
    detail::RecordError(d.Self(), kErrTimedOut, kSourceWinsock, kText, "", 0, kMethodWinsockError);
    d.RaiseWinsockError(kErrTimedOut, std::string(kSourceWinsock), std::string(kText), "", 0);
  }
  EndFailedSend(d, sock, send);
}

void ConnectWait(SendMail::Impl& d) {
  int32_t& wait_limit = SendMail::Impl::ThreadWaitLimit();
  d.closed_flag = false;
  d.cancel_flag = false;
  if (wait_limit < 1) return;
  if (wait_limit > kLongestWait) detail::RaiseRuntimeError(detail::kErrOverflow);
  const auto sock = d.socket;
  // A monotonic clock: a change of the wall clock neither stretches nor cuts the wait.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(wait_limit);
  for (;;) {
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline || wait_limit == 0) {
      if (wait_limit == 0) return;
      wait_limit = 0;
      // A connection made in time awaits its greeting on the dialogue's reply timer; one that
      // is still being made (or replaced by a handler) is given up.
      if (d.socket != sock || sock->State() == TcpClient::sckConnected) return;
      ConnectTimedOut(d, sock);
      return;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now) +
                std::chrono::milliseconds(1);
    ThreadEventLoop().RunOnce(std::min(kWaitSlice, left));
    if (d.cancel_flag) return;
    if (d.closed_flag) return;
  }
}

}  // namespace

int32_t& SendMail::Impl::ThreadWaitLimit() {
  thread_local int32_t wait_limit = 0;
  return wait_limit;
}

std::shared_ptr<TcpClient> SendMail::Impl::MakeSocket() {
  auto sock = detail::Factory::Make<TcpClient>();
  std::weak_ptr<SendMail> wm = owner->weak_from_this();
  std::weak_ptr<TcpClient> ws = sock;
  sock->SetOnConnect([wm, ws] {
    Dispatch(wm, ws, [](Impl& d) {
      // The connect handler has no error handler of its own: what leaves it (error 380
      // for a negative TimeOut) is reported, not recorded.
      try {
        d.OnSocketConnect();
      } catch (...) {
        try {
          Exception e = detail::CurrentException();
          d.RaiseWinsockError(e.Number(), e.Source(), e.Description(), e.HelpFile(),
                              e.HelpContext());
        } catch (...) {
        }
      }
    });
  });
  sock->SetOnDataArrival([wm, ws](int32_t bytes_total) {
    Dispatch(wm, ws, [bytes_total](Impl& d) {
      try {
        d.OnSocketDataArrival(bytes_total);
      } catch (...) {
        d.ReportCaughtError(kMethodDataArrival);
      }
    });
  });
  sock->SetOnClose([wm, ws] {
    Dispatch(wm, ws, [](Impl& d) {
      try {
        d.OnSocketClose();
      } catch (...) {
        d.ReportCaughtError(kMethodWinsockClose);
      }
    });
  });
  sock->SetOnError([wm, ws](int32_t number, const std::string& description) {
    Dispatch(wm, ws, [number, &description](Impl& d) {
      try {
        d.OnSocketError(number, description);
      } catch (...) {
        d.ReportCaughtError(kMethodWinsockError);
      }
    });
  });
  sock->SetOnSendProgress([wm, ws](int32_t bytes_sent, int32_t bytes_remaining) {
    Dispatch(wm, ws, [bytes_sent, bytes_remaining](Impl& d) {
      try {
        d.OnSocketSendProgress(bytes_sent, bytes_remaining);
      } catch (...) {
        d.ReportCaughtError(kMethodSendProgress);
      }
    });
  });
  return sock;
}

void SendMail::Send() {
  auto self = shared_from_this();
  Impl& d = *impl_;
  // The checks on the host's input leave one record each: they bypass the handler below.
  bool handler_on = true;
  auto refuse = [&](MailErrors code, std::string_view text) {
    handler_on = false;
    detail::RaiseMailError(self, code, kSource, text, kMethodSend);
  };
  try {
    // Codecs cancelled by an earlier Cancel would spoil this send's encodings.
    d.MakeCodecs();

    auto header = d.header;
    if (d.smtp_server.empty()) {
      refuse(emxEmailHostNotSpecified, "A required property 'EmailHost' was not specified");
    }
    const std::string from = header->Values()->GetValue("FROM");
    if (detail::SplitAddressList(from).empty()) {
      refuse(emxFromNotSpecified, "A required property 'From' address was not specified");
    }
    const std::string to = header->Values()->GetValue("TO");
    if (detail::SplitAddressList(to).empty()) {
      refuse(emxToListNotSpecified, "A required property 'ToList' was not specified");
    }
    const std::string cc = header->Values()->GetValue("CC");
    const std::string bcc = header->BccList();

    // Nothing that would put a line break into a command or a header line is sent. A fold
    // (CR LF and a blank) stays legal in the header fields; the blind copies are no field
    // and may hold none.
    auto refuse_field = [&](std::string_view field) {
      refuse(emxIllegalCharacter, detail::IllegalFieldText(field));
    };
    const std::pair<std::string_view, const std::string*> lists[] = {
        {"From", &from}, {"To", &to}, {"Cc", &cc}, {"Bcc", &bcc}};
    for (const auto& [name, text] : lists) {
      bool legal =
          text == &bcc ? !detail::HasLineBreakOrNul(*text) : detail::IsLegalFieldText(*text);
      // A fold may stand between entries or in a display name, never inside an address.
      for (auto entry : detail::SplitAddressList(*text)) {
        legal = legal && !detail::HasLineBreakOrNul(detail::AddressOf(entry));
      }
      if (!legal) refuse_field(name);
    }
    if (detail::HasLineBreakOrNul(d.user)) refuse_field("User");
    // SMTP carries no address outside ASCII without SMTPUTF8, which is not spoken here.
    for (const auto& [name, text] : lists) {
      const std::string unfolded = detail::Unfold(*text);
      for (auto entry : detail::SplitAddressList(unfolded)) {
        if (detail::HasEightBit(detail::AddressOf(entry))) {
          refuse(emxContentNotSendable,
                 detail::UnsendableFieldText(name,
                                             "an address in it holds characters outside "
                                             "ASCII, which SMTP cannot carry"));
        }
      }
    }
    if (auto refusal = UnsafeField(*header, *d.body, *d.attachments)) {
      refuse(refusal->first, refusal->second);
    }
    if (auto why = assembly::UnsendablePlainBody(*header, *d.body)) {
      refuse(emxContentNotSendable, *why);
    }

    if (BodyTextIsEmpty(*d.body)) d.RaiseSendStatus("WARNING! Body is empty\r\n");

    d.recipient_text = to;
    if (!cc.empty()) d.recipient_text += ";" + cc;
    if (!bcc.empty()) d.recipient_text += ";" + bcc;
    d.recipient_list.clear();
    const std::string recipients = detail::Unfold(d.recipient_text);
    for (auto entry : detail::SplitAddressList(recipients)) {
      d.recipient_list.emplace_back(entry);
    }
    d.recipient_index = 0;
    // The date of the message is the moment it is sent, unless the host chose one.
    detail::RefreshSendDate(*header);

    auto sock = d.socket;
    if (sock->State() != TcpClient::sckClosed) {
      d.RaiseSendStatus(">>Closing open socket\r\n");
      sock->Close();
    }
    sock->SetLocalPort(0);
    d.RaiseSendStatus(">>Setting remote port to " + std::to_string(d.smtp_server_port) + "\r\n");
    sock->SetRemotePort(d.smtp_server_port);
    d.RaiseSendStatus(">>Setting remote host to " + d.smtp_server + "\r\n");
    sock->SetRemoteHost(d.smtp_server);
    d.RaiseSendStatus(">>Setting time-out to " + std::to_string(d.time_out) + "\r\n");
    Impl::ThreadWaitLimit() = d.time_out;
    d.error_reported = false;
    if (d.dialogue) {
      d.dialogue->Reset();
      d.dialogue->socket = nullptr;
      d.dialogue->connection.clear();
    }
    // A dialogue stopped by a refusal ends with its connection: the next greeting starts over.
    if (d.dialogue_state == session::kStopped) d.dialogue_state = 0;
    d.RaiseSendStatus(">>Connecting\r\n");
    ++d.sends;
    sock->Connect();
    d.RaiseSendStatus(">>Waiting for connect response\r\n");
    ConnectWait(d);
  } catch (...) {
    if (!handler_on) throw;
    detail::RecordAndRethrow(self, kMethodSend);
  }
}

void SendMail::Impl::SendToWS(const std::string& command, const std::string& status_text) {
  bool handler_on = true;
  try {
    if (cancel_flag) return;
    if (detail::HasLineBreakOrNul(command)) {
      handler_on = false;
      detail::RaiseMailError(Self(), emxIllegalCharacter, kSource,
                             "The command holds a line break or NUL character, which cannot "
                             "be sent.",
                             kMethodSendToWS);
    }
    RaiseSendStatus(">>" + (status_text.empty() ? command : status_text) + "\r\n");
    auto sock = socket;
    if (sock->State() == TcpClient::sckConnected) {
      std::string line;
      line.reserve(command.size() + kCrLf.size());
      line.append(command).append(kCrLf);
      sock->SendData(std::move(line));
    }
  } catch (...) {
    if (!handler_on) throw;
    detail::RecordAndRethrow(Self(), kMethodSendToWS);
  }
}

void SendMail::Impl::WriteDataPiece(std::string piece, const std::string& status_text) {
  try {
    if (cancel_flag) return;
    RaiseSendStatus(">>" + (status_text.empty() ? piece : status_text) + "\r\n");
    auto sock = socket;
    if (sock->State() == TcpClient::sckConnected) {
      piece.append(kCrLf);
      sock->SendData(std::move(piece));
    }
  } catch (...) {
    detail::RecordAndRethrow(Self(), kMethodSendToWS);
  }
}

void SendMail::Impl::OnSocketConnect() {
  session::AwaitGreeting(*this);
  session::StartImplicitTls(*this);
  auto sock = socket;
  if (keep_alive) {
    int value = 0;
    socklen_t length = sizeof value;
    if (getsockopt(sock->SocketHandle(), SOL_SOCKET, SO_KEEPALIVE, &value, &length) != 0) {
      int err = errno;
      static constexpr std::string_view kText = "Error getting KeepAlive setting during connect";
      detail::RecordError(Self(), err, kSourceAlt, kText, "", 0, kMethodConnect);
      RaiseWinsockError(err, std::string(kSourceAlt), std::string(kText), "", 0);
      return;
    }
    if (value == 0) {
      RaiseSendStatus(">>Enabling Keep-Alive\r\n");
      // The host may have cancelled or replaced the connection from its status handler.
      if (socket != sock || sock->State() != TcpClient::sckConnected) return;
      value = 1;
      if (setsockopt(sock->SocketHandle(), SOL_SOCKET, SO_KEEPALIVE, &value, sizeof value) != 0) {
        int err = errno;
        static constexpr std::string_view kText = "Error setting KeepAlive during connect";
        detail::RecordError(Self(), err, kSourceAlt, kText, "", 0, kMethodConnect);
        RaiseWinsockError(err, std::string(kSourceAlt), std::string(kText), "", 0);
        return;
      }
    }
  }
  SetTimeoutOption(*this, SO_SNDTIMEO, time_out, "Error setting socket Send Timeout");
  if (socket != sock || sock->State() != TcpClient::sckConnected) return;
  SetTimeoutOption(*this, SO_RCVTIMEO, time_out, "Error setting socket Receive Timeout");
}

void SendMail::Impl::OnSocketClose() {
  // The socket of this event: a handler of SendComplete may already have started another.
  auto sock = socket;
  // A server that closes before the dialogue has ended has not taken the message; without an
  // error the host could not tell this from a delivery.
  // (A close before the greeting stays quiet, as before: no status line claims anything.)
  const bool begun = dialogue && dialogue->socket == sock.get();
  const bool ended = begun && (dialogue->quit_written || dialogue->failure_reported);
  if (begun && !ended && !error_reported && !cancel_flag) {
    error_reported = true;
    static constexpr std::string_view kText =
        "The server closed the connection before the message was accepted.";
    detail::RecordError(Self(), kErrConnectionAborted, kSourceWinsock, kText, "", 0,
                        kMethodWinsockClose);
    RaiseWinsockError(kErrConnectionAborted, std::string(kSourceWinsock), std::string(kText), "",
                      0);
  }
  try {
    RaiseSendComplete();
  } catch (...) {
    // A failing handler must not keep the connection half open or the wait running.
    sock->Close();
    closed_flag = true;
    throw;
  }
  sock->Close();
  closed_flag = true;
}

namespace {

// Records and reports the first connection error of a send.
void ReportSocketError(SendMail::Impl& d, int32_t number, const std::string& description) {
  if (d.error_reported) return;
  d.error_reported = true;
  auto self = d.Self();
  detail::RecordError(self, number, kSourceWinsock, description, "", 0, kMethodWinsockError);
  if (number == kErrHostNotFound) {
    static constexpr std::string_view kText =
        "Host SMTPServer NOT FOUND! Please check the SendMail.SMTPServer property.";
    detail::RecordError(self, number, kSourceWinsock, kText, "", 0, kMethodWinsockError);
    d.RaiseWinsockError(number, std::string(kSourceWinsock), std::string(kText), "", 0);
  } else {
    d.RaiseWinsockError(number, std::string(kSourceWinsock), description, "", 0);
  }
}

}  // namespace

void SendMail::Impl::OnSocketError(int32_t number, const std::string& description) {
  // Every error of the socket ends its connection, or the attempt to make one (refused, name
  // not found, no route): unless the send has ended already, SendComplete follows the report,
  // since the socket raises no Close after an error.
  auto sock = socket;
  const bool ends = sock && !cancel_flag && !closed_flag;
  if (ends && dialogue) {
    dialogue->socket = nullptr;
    dialogue->connection.clear();
  }
  const uint64_t send = sends;
  try {
    ReportSocketError(*this, number, description);
  } catch (...) {
    ReportCaughtError(kMethodWinsockError);
  }
  if (ends) EndFailedSend(*this, sock, send);
}

void SendMail::Impl::OnSocketSendProgress(int32_t bytes_sent, int32_t bytes_remaining) {
  RaiseSendProgress(bytes_sent, bytes_remaining);
}

}  // namespace postwing
