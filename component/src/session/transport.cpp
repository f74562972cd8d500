// The transport of a send: the connection, the connect wait, the writes, and the socket's
// events and options.
#include <algorithm>
#include <chrono>
#include <string>
#include <string_view>
#include <utility>

#include "core/error_report.hpp"
#include "core/factory.hpp"
#include "message/field_check.hpp"
#include "postwing/event_loop.hpp"
#include "postwing/tcp_client.hpp"
#include "session/dialogue.hpp"
#include "session/send_mail_impl.hpp"
#include "session/session_errors.hpp"

namespace postwing {

namespace {

using namespace session;

constexpr std::string_view kCrLf = "\r\n";
// The deadline's seconds were a 16-bit count: a longer wait overflows.
constexpr int32_t kLongestWait = 32767;
// How long one pass of the connect wait may sleep in the loop: short enough that the
// deadline and the cancel flag are seen promptly, long enough not to burn the CPU.
constexpr std::chrono::milliseconds kWaitSlice{50};

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
  if (mail && sock && ImplOf(*mail).socket == sock) {
    SendMail::Impl& d = ImplOf(*mail);
    ++d.socket_callback_depth;
    handler(d);
    --d.socket_callback_depth;
  }
  ReleaseLater(mail, sock);
}

// One of the socket's time-outs; a failure is reported and the connection goes on.
void SetTimeoutOption(SendMail::Impl& d, bool send, int32_t seconds,
                      std::string_view failure_text) {
  if (seconds < 0) detail::RaiseRuntimeError(detail::kErrInvalidPropertyValue);
  const int32_t err =
      send ? d.socket->SetSendTimeout(seconds) : d.socket->SetReceiveTimeout(seconds);
  if (err != 0) ReportWireFailure(d, err, detail::kSourceAlt, failure_text, kMethodTimeout);
}

// Ends a send whose connection failed or never came, after the report of why: the socket
// is closed and SendComplete follows, unless a handler of the report has cancelled, cleared
// or sent again meanwhile.
void EndFailedSend(SendMail::Impl& d, const std::shared_ptr<TcpClient>& sock, uint64_t send) {
  if (d.sends != send || d.socket != sock || d.cancel_flag || d.closed_flag) return;
  d.dialogue->EndConnection(sock);
  // A socket closed already (the connect wait's time-out) needs no second close.
  if (!d.closed_flag) {
    d.closed_flag = true;
    d.RaiseSendComplete();
  }
}

// The connect under way: resolving the name or waiting for the peer's answer.
bool StillConnecting(const TcpClient& sock) {
  const int32_t state = sock.State();
  return state == TcpClient::sckResolvingHost || state == TcpClient::sckHostResolved ||
         state == TcpClient::sckConnecting;
}

// The connection was not made within TimeOut: 10060, and the attempt is given up.
void ConnectTimedOut(SendMail::Impl& d, const std::shared_ptr<TcpClient>& sock) {
  const uint64_t send = d.sends;
  // Closed first: a host whose handler throws gets no connection made behind its back.
  sock->Close();
  if (!d.error_reported) {
    d.error_reported = true;
    ReportWireFailure(d, kErrTimedOut, detail::kSourceWinsock, "The attempt to connect timed out.",
                      kMethodWinsockError);
  }
  EndFailedSend(d, sock, send);
}

// A connection made while nothing waits (a kept one replaced on the loop) is bounded by
// TimeOut all the same, by a timer of the loop.
void BoundConnect(SendMail::Impl& d, const std::shared_ptr<TcpClient>& sock) {
  if (d.time_out <= 0) return;
  std::weak_ptr<SendMail> weak_mail = d.owner->weak_from_this();
  std::weak_ptr<TcpClient> weak_sock = sock;
  const uint64_t send = d.sends;
  ThreadEventLoop().AddTimer(std::chrono::seconds(d.time_out), [weak_mail, weak_sock, send] {
    auto mail = weak_mail.lock();
    auto sock = weak_sock.lock();
    if (!mail || !sock) return;
    SendMail::Impl& d = ImplOf(*mail);
    if (d.sends != send || d.socket != sock || !StillConnecting(*sock)) return;
    try {
      ConnectTimedOut(d, sock);
    } catch (...) {
      d.ReportCaughtError(kMethodTimeout);
    }
  });
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
      if (d.socket != sock || !StillConnecting(*sock)) return;
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

void SendMail::Impl::Connect(bool wait) {
  auto sock = socket;
  if (sock->State() != TcpClient::sckClosed) {
    RaiseSendStatus(">>Closing open socket\r\n");
    sock->Close();
  }
  sock->SetLocalPort(0);
  RaiseSendStatus(">>Setting remote port to " + std::to_string(smtp_server_port) + "\r\n");
  sock->SetRemotePort(smtp_server_port);
  RaiseSendStatus(">>Setting remote host to " + smtp_server + "\r\n");
  sock->SetRemoteHost(smtp_server);
  RaiseSendStatus(">>Setting time-out to " + std::to_string(time_out) + "\r\n");
  if (wait) ThreadWaitLimit() = time_out;
  RaiseSendStatus(">>Connecting\r\n");
  ++sends;
  if (!wait) closed_flag = cancel_flag = false;
  sock->Connect();
  if (!wait) {
    BoundConnect(*this, sock);
    return;
  }
  RaiseSendStatus(">>Waiting for connect response\r\n");
  ConnectWait(*this);
}

void SendMail::Impl::EndKeptConnection() {
  if (!dialogue->Kept(socket.get())) return;
  dialogue->Forget();
  session::QuitQuietly(std::exchange(socket, MakeSocket()));
}

void SendMail::Impl::SendToWS(const std::string& command, const std::string& status_text,
                              std::string* batch) {
  bool handler_on = true;
  try {
    if (cancel_flag) return;
    if (detail::HasLineBreakOrNul(command)) {
      handler_on = false;
      detail::RaiseMailError(Self(), emxIllegalCharacter, detail::kSource,
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
      if (batch) {
        batch->append(line);
      } else {
        sock->SendData(std::move(line));
      }
    }
  } catch (...) {
    if (!handler_on) throw;
    detail::RecordAndRethrow(Self(), kMethodSendToWS);
  }
}

void SendMail::Impl::SendCommands(const std::vector<std::string>& commands) {
  std::string batch;
  for (const auto& command : commands) SendToWS(command, {}, &batch);
  try {
    if (!cancel_flag && !batch.empty() && socket->State() == TcpClient::sckConnected) {
      socket->SendData(std::move(batch));
    }
  } catch (...) {
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
  dialogue->OnConnected();
  auto sock = socket;
  if (keep_alive) {
    bool on = false;
    if (int32_t err = sock->KeepAlive(on); err != 0) {
      ReportWireFailure(*this, err, detail::kSourceAlt,
                        "Error getting KeepAlive setting during connect", kMethodConnect);
      return;
    }
    if (!on) {
      RaiseSendStatus(">>Enabling Keep-Alive\r\n");
      // The host may have cancelled or replaced the connection from its status handler.
      if (socket != sock || sock->State() != TcpClient::sckConnected) return;
      if (int32_t err = sock->SetKeepAlive(true); err != 0) {
        ReportWireFailure(*this, err, detail::kSourceAlt, "Error setting KeepAlive during connect",
                          kMethodConnect);
        return;
      }
    }
  }
  SetTimeoutOption(*this, true, time_out, "Error setting socket Send Timeout");
  if (socket != sock || sock->State() != TcpClient::sckConnected) return;
  SetTimeoutOption(*this, false, time_out, "Error setting socket Receive Timeout");
}

void SendMail::Impl::OnSocketDataArrival(int32_t /*bytes_total*/) {
  dialogue->OnData();
}

void SendMail::Impl::OnSocketClose() {
  // The socket of this event: a handler of SendComplete may already have started another.
  auto sock = socket;
  // A kept connection the server closed while it rested, or on the first command of a send.
  if (dialogue->EndIfResting(sock.get()) || dialogue->RetryLost()) return;
  // A server that closes before the dialogue has ended has not taken the message; without an
  // error the host could not tell this from a delivery.
  // (A close before the greeting stays quiet, as before: no status line claims anything.)
  const bool begun = dialogue->Follows(sock.get());
  const bool ended = dialogue->Ended(sock.get());
  if (begun && !ended && !error_reported && !cancel_flag) {
    error_reported = true;
    ReportWireFailure(*this, kErrConnectionAborted, detail::kSourceWinsock,
                      "The server closed the connection before the message was accepted.",
                      kMethodWinsockClose);
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
  if (number == kErrHostNotFound) {
    // The system's words first, then the advice the host sees.
    detail::RecordError(d.Self(), number, detail::kSourceWinsock, description, "", 0,
                        kMethodWinsockError);
    ReportWireFailure(d, number, detail::kSourceWinsock,
                      "Host SMTPServer NOT FOUND! Please check the SendMail.SMTPServer property.",
                      kMethodWinsockError);
  } else {
    ReportWireFailure(d, number, detail::kSourceWinsock, description, kMethodWinsockError);
  }
}

}  // namespace

void SendMail::Impl::OnSocketError(int32_t number, const std::string& description) {
  // Every error of the socket ends its connection, or the attempt to make one (refused, name
  // not found, no route): unless the send has ended already, SendComplete follows the report,
  // since the socket raises no Close after an error.
  auto sock = socket;
  if (dialogue->EndIfResting(sock.get()) || dialogue->RetryLost()) return;
  const bool ends = sock && !cancel_flag && !closed_flag;
  if (ends) dialogue->Forget();
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
