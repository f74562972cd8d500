// STARTTLS and implicit TLS: the upgrade's steps around the plain dialogue.
#include "session/secure_dialogue.hpp"

#include <cctype>
#include <string>
#include <utility>

#include "core/error_report.hpp"
#include "postwing/event_loop.hpp"
#include "postwing/header.hpp"
#include "postwing/tcp_client.hpp"
#include "session/dialogue_state.hpp"

namespace postwing::session {
namespace {

using Impl = SendMail::Impl;

constexpr std::string_view kMethodProcess = "SendMail.Process";
constexpr std::string_view kMethodStartTls = "SendMail.StartTLS";

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

void WriteEhlo(Impl& d) {
  const bool with_user = !d.user.empty();
  const std::string domain = with_user
                                 ? GreetingDomain(d.user, "", d.use_domain_for_helo)
                                 : GreetingDomain("", d.socket->LocalIP(), d.use_domain_for_helo);
  WriteDialogueCommand(d, CommandLine("EHLO ", domain, with_user ? "User" : "greeting domain"));
}

// After the upgrade: EHLO again, and its reply leads into the plain dialogue's steps.
void WriteSecondEhlo(Impl& d) {
  if (!d.user.empty()) {
    d.dialogue_state = kEhloWritten;
  } else {
    d.dialogue_state = d.header && d.header->Verify() ? kVerifying : kReadyForMail;
  }
  WriteEhlo(d);
}

void NotAvailable(Impl& d, const std::shared_ptr<TcpClient>& sock, const std::string& text) {
  MarkDialogueFailure(d);
  detail::RecordError(d.Self(), emxTLSNotAvailable, detail::kSource, text, "", 0, kMethodProcess);
  d.RaiseWinsockError(emxTLSNotAvailable, std::string(detail::kSource), text, "", 0);
  StopDialogueAfterFailure(d, sock);
}

void OnHandshake(Impl& d, const std::shared_ptr<TcpClient>& sock, bool established,
                 const std::string& text) {
  if (!established) {
    MarkDialogueFailure(d);
    d.error_reported = true;
    detail::RecordError(d.Self(), emxTLSFailed, detail::kSource, text, "", 0, kMethodStartTls);
    d.RaiseWinsockError(emxTLSFailed, std::string(detail::kSource), text, "", 0);
    EndDialogueConnection(d, sock);
    return;
  }
  d.RaiseSendStatus(">>TLS established: " + text + "\r\n");
  if (d.cancel_flag || d.socket != sock || sock->State() != TcpClient::sckConnected) return;
  // STARTTLS: only what the server says from now on counts, so EHLO is asked again.
  if (d.security == emxStartTLS) WriteSecondEhlo(d);
}

void StartTls(Impl& d, const std::shared_ptr<TcpClient>& sock) {
  std::weak_ptr<SendMail> weak_mail = d.owner->weak_from_this();
  std::weak_ptr<TcpClient> weak_sock = sock;
  sock->StartTls(d.smtp_server, d.verify_certificate, d.certificate_file,
                 [weak_mail, weak_sock](bool established, const std::string& text) {
                   auto mail = weak_mail.lock();
                   auto s = weak_sock.lock();
                   if (!mail || !s) return;
                   Impl& d = mail->impl();
                   if (d.socket != s) return;
                   ++d.socket_callback_depth;
                   try {
                     OnHandshake(d, s, established, text);
                   } catch (...) {
                     d.ReportCaughtError(kMethodStartTls);
                     try {
                       EndDialogueConnection(d, s);
                     } catch (...) {
                     }
                   }
                   --d.socket_callback_depth;
                   // Released from a later pass, never inside the socket's own dispatch.
                   try {
                     ThreadEventLoop().Post([m = std::move(mail), k = std::move(s)] {});
                   } catch (...) {
                   }
                 });
}

}  // namespace

bool OffersStartTls(std::string_view reply) {
  // The first line names the server; the extensions follow, one a line.
  size_t start = reply.find('\n');
  start = start == std::string_view::npos ? reply.size() : start + 1;
  while (start < reply.size()) {
    size_t end = reply.find('\n', start);
    if (end == std::string_view::npos) end = reply.size();
    std::string_view line = reply.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() < 4) continue;
    std::string_view keyword = line.substr(4);
    if (auto sp = keyword.find_first_of(" \t"); sp != std::string_view::npos) {
      keyword = keyword.substr(0, sp);
    }
    if (EqualsNoCase(keyword, "STARTTLS")) return true;
  }
  return false;
}

bool SecureGreet(Impl& d) {
  if (d.security != emxStartTLS) return false;
  if (d.socket->IsSecure()) {
    WriteSecondEhlo(d);
  } else {
    d.dialogue_state = kTlsEhloWritten;
    WriteEhlo(d);
  }
  return true;
}

bool SecureStep(Impl& d, const std::string& reply, int32_t code,
                const std::shared_ptr<TcpClient>& sock) {
  if (d.security != emxStartTLS) return false;
  switch (d.dialogue_state) {
    case kTlsEhloWritten:
      if (ClassifyReply(code) != ReplyKind::kPositive) return false;
      if (OffersStartTls(reply)) {
        d.dialogue_state = kStartTlsWritten;
        WriteDialogueCommand(d, "STARTTLS");
      } else {
        NotAvailable(d, sock, "The server does not offer STARTTLS; nothing more is sent in clear.");
      }
      return true;
    case kStartTlsWritten:
      if (code == 220) {
        d.dialogue_state = kTlsHandshake;
        // Whatever followed the 220 in clear was never the server's answer to anything.
        DropBufferedReplies(d);
        AwaitDialogueReply(d);
        StartTls(d, sock);
      } else {
        NotAvailable(d, sock,
                     "The server refused STARTTLS (" + WithoutLineEnd(reply) +
                         "); nothing more is sent in clear.");
      }
      return true;
    case kTlsHandshake:
      return true;
    default:
      return false;
  }
}

void StartImplicitTls(Impl& d) {
  if (d.security != emxImplicitTLS) return;
  auto sock = d.socket;
  if (!sock || sock->State() != TcpClient::sckConnected || sock->IsSecure()) return;
  StartTls(d, sock);
}

}  // namespace postwing::session
