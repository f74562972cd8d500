// The encrypted-connection steps of the SMTP dialogue (STARTTLS and implicit TLS). With
// emxNoSecurity none of them acts, and the dialogue is exactly the plain one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "session/send_mail_impl.hpp"

namespace postwing::session {

// Dialogue states of the upgrade, after the plain ones.
enum SecureDialogueStates : int32_t {
  kTlsEhloWritten = 20,   // the EHLO that asks whether STARTTLS is offered
  kStartTlsWritten = 21,  // STARTTLS written, its 220 awaited
  kTlsHandshake = 22,     // the handshake runs; nothing is read as a reply
};

// An EHLO reply offers STARTTLS (one of its lines after the first names it).
bool OffersStartTls(std::string_view reply);

// The greeting's answer under emxStartTLS. True when it has been written (the plain
// greeting step is then skipped).
bool SecureGreet(SendMail::Impl& d);
// A reply of the upgrade's states. True when handled (the plain rules are skipped).
bool SecureStep(SendMail::Impl& d, const std::string& reply, int32_t code,
                const std::shared_ptr<TcpClient>& sock);
// Once connected under emxImplicitTLS: the handshake, before the greeting.
void StartImplicitTls(SendMail::Impl& d);

// The plain dialogue's steps these need (dialogue.cpp).
void WriteDialogueCommand(SendMail::Impl& d, const std::string& command);
void AwaitDialogueReply(SendMail::Impl& d);
void StopDialogueAfterFailure(SendMail::Impl& d, const std::shared_ptr<TcpClient>& sock);
void EndDialogueConnection(SendMail::Impl& d, const std::shared_ptr<TcpClient>& sock);
void MarkDialogueFailure(SendMail::Impl& d);
void DropBufferedReplies(SendMail::Impl& d);

}  // namespace postwing::session
