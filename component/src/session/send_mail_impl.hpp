// The private state of a SendMail, shared by the session's source files.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "postwing/send_mail.hpp"

namespace postwing {

class Base64;
class QuotedPrintable;
class UUEncode;

namespace detail {
struct EventHandlers;
}
namespace session {
class Dialogue;
}

struct SendMail::Impl {
  // ---- fields (defaults as at creation) ----
  std::shared_ptr<TcpClient> socket;
  int32_t time_out = 15;
  std::shared_ptr<postwing::Body> body;
  std::shared_ptr<postwing::Attachments> attachments;
  bool keep_alive = true;
  std::string smtp_server = "127.127.127.0";
  int32_t smtp_server_port = 25;
  std::shared_ptr<postwing::Errors> errors;
  std::string user;
  std::string password;
  std::shared_ptr<postwing::Utilities> utilities;
  std::shared_ptr<postwing::Header> header;
  std::shared_ptr<ISendMailEvents> event_sink;
  Variant id;
  bool use_domain_for_helo = false;
  std::string auth_mechanism;
  bool keep_connection = false;
  bool allow_partial_delivery = false;
  std::string received_data;
  std::string recipient_text;
  // The Message-ID of the send, made when the message is first measured or written.
  std::string message_id;
  bool cancel_flag = false;
  bool closed_flag = false;
  // Shared, not unique: Clear and Send replace the codecs, possibly while an encoding
  // nested further up the stack still uses the old one; such code keeps a local copy.
  std::shared_ptr<Base64> base64;
  std::shared_ptr<UUEncode> uuencode;
  std::shared_ptr<QuotedPrintable> quoted_printable;
  bool error_reported = false;
  // Counts the connections Send has started, so that ending one never ends a later one that
  // a handler started meanwhile.
  uint64_t sends = 0;
  bool add_outlook_html = true;

  // Encrypted connections.
  SecurityTypes security = emxNoSecurity;
  bool verify_certificate = true;
  std::string certificate_file;

  // The object these fields belong to (for the error log and shared_from_this).
  SendMail* owner = nullptr;
  std::shared_ptr<SendMail> Self() const { return owner->shared_from_this(); }

  // ---- the object (send_mail.cpp), its events (events.cpp), the checks of Send
  // (send_checks.cpp) and the transport (transport.cpp) ----
  // Connected host handlers; kept apart so that a Connection outliving the object is harmless.
  std::shared_ptr<detail::EventHandlers> handlers;
  // Depth of socket callbacks on the stack: a socket replaced meanwhile is released later.
  int socket_callback_depth = 0;

  // Steps 1 to 11 of the initialisation (creation and Clear).
  void Initialize();
  // Makes a new socket whose events reach this object's handlers while it is current.
  std::shared_ptr<TcpClient> MakeSocket();
  // Drops a socket that is no longer current: its events are ignored, an open connection is
  // closed, and it is released once no callback of it can be running.
  void RetireSocket(std::shared_ptr<TcpClient> old);
  // New codecs, as at creation (Base64 initialised); clears their cancel flags.
  void MakeCodecs();

  // The four event raisers: handlers first, then the sink with ID.
  void RaiseSendStatus(std::string data);
  void RaiseSendComplete();
  void RaiseSendProgress(int32_t bytes_sent, int32_t bytes_remaining);
  void RaiseWinsockError(int32_t number, std::string source, std::string description,
                         std::string help_file, int32_t help_context);
  // For an event handler's catch block: records the exception being handled under method
  // and reports it through WinsockError. Never throws.
  void ReportCaughtError(std::string_view method) noexcept;

  // Connects the socket to the server and, with wait, waits (Send's last step).
  void Connect(bool wait = true);
  // Ends a kept connection with QUIT, raising nothing; the object gets a new socket.
  void EndKeptConnection();
  // Writes one command line (status_text, when not empty, is shown instead of command).
  // Refuses (12013, recorded under "SendMail.SendToWS") a command holding CR, LF or NUL:
  // commands are single lines. Message data goes through WriteDataPiece instead.
  // With batch, the line is added to it instead of being written.
  void SendToWS(const std::string& command, const std::string& status_text = {},
                std::string* batch = nullptr);
  // Several commands as SendToWS checks and shows them, written at once (RFC 2920).
  void SendCommands(const std::vector<std::string>& commands);
  // The data phase's write: like SendToWS (cancel flag, status line, written only when
  // connected, errors recorded under "SendMail.SendToWS"), but the piece may hold many
  // lines, is moved rather than copied, and is not checked: the caller has already made
  // its line ends CR LF and doubled its leading dots. Writes piece + CR LF.
  void WriteDataPiece(std::string piece, const std::string& status_text = {});

  // The connect-wait limit in seconds, one per thread, shared by every SendMail of it.
  // Send sets it; the first data from a server sets it to 0, which ends the waits.
  static int32_t& ThreadWaitLimit();

  // Socket event handlers; the socket's callbacks are wired to these.
  void OnSocketConnect();
  void OnSocketClose();
  void OnSocketError(int32_t number, const std::string& description);
  void OnSocketSendProgress(int32_t bytes_sent, int32_t bytes_remaining);

  // ---- the dialogue (dialogue.cpp): made with the object, lives as long ----
  std::unique_ptr<session::Dialogue> dialogue;
  void OnSocketDataArrival(int32_t bytes_total);
};

namespace detail {
// The library's way in to a SendMail's private state.
struct SendMailAccess {
  static SendMail::Impl& Of(const SendMail& mail) { return *mail.impl_; }
};
}  // namespace detail

inline SendMail::Impl& ImplOf(const SendMail& mail) {
  return detail::SendMailAccess::Of(mail);
}

}  // namespace postwing
