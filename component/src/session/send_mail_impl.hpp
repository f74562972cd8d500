// The private state of a SendMail, shared by the session's source files.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "postwing/send_mail.hpp"

namespace postwing {

class Base64;
class QuotedPrintable;
class UUEncode;

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
  int32_t dialogue_state = 0;
  std::string received_data;
  int32_t recipient_index = 0;
  std::vector<std::string> recipient_list;
  std::string recipient_text;
  bool cancel_flag = false;
  bool closed_flag = false;
  std::unique_ptr<Base64> base64;
  std::unique_ptr<UUEncode> uuencode;
  std::unique_ptr<QuotedPrintable> quoted_printable;
  bool error_reported = false;
  bool add_outlook_html = true;

  // Encrypted connections.
  SecurityTypes security = emxNoSecurity;
  bool verify_certificate = true;
  std::string certificate_file;

  // The object these fields belong to (for the error log and shared_from_this).
  SendMail* owner = nullptr;
  std::shared_ptr<SendMail> Self() const { return owner->shared_from_this(); }

  // ---- session (send_mail.cpp, events.cpp, connection.cpp) ----
  // The four event raisers: handlers first, then the sink with ID.
  void RaiseSendStatus(std::string data);
  void RaiseSendComplete();
  void RaiseSendProgress(int32_t bytes_sent, int32_t bytes_remaining);
  void RaiseWinsockError(int32_t number, std::string source, std::string description,
                         std::string help_file, int32_t help_context);
  // Writes one command line (status_text, when not empty, is shown instead of command).
  void SendToWS(const std::string& command, const std::string& status_text = {});
  // Socket event handlers; the socket's callbacks are wired to these.
  void OnSocketConnect();
  void OnSocketClose();
  void OnSocketError(int32_t number, const std::string& description);
  void OnSocketSendProgress(int32_t bytes_sent, int32_t bytes_remaining);

  // ---- dialogue (dialogue.cpp) and assembly ----
  void OnSocketDataArrival(int32_t bytes_total);
  // Handles one complete server reply.
  void Process(const std::string& reply);
};

}  // namespace postwing
