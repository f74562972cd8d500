// The SMTP dialogue: whole replies in, one command per step out, the data phase, and the
// reply time-out that keeps a silent server from holding the send open.
#include <algorithm>
#include <chrono>
#include <string>
#include <string_view>
#include <utility>

#include "assembly/data_writer.hpp"
#include "assembly/message_assembly.hpp"
#include "assembly/send_mail_model.hpp"
#include "codecs/base64.hpp"
#include "core/error_report.hpp"
#include "message/address_list.hpp"
#include "message/field_check.hpp"
#include "platform/module.hpp"
#include "postwing/event_loop.hpp"
#include "postwing/header.hpp"
#include "postwing/tcp_client.hpp"
#include "postwing/values.hpp"
#include "session/dialogue_state.hpp"
#include "session/secure_dialogue.hpp"
#include "session/send_mail_impl.hpp"

namespace postwing {

namespace session {

int32_t ReplyCode(std::string_view reply) {
  if (reply.size() < 3) detail::RaiseRuntimeError(detail::kErrTypeMismatch);
  int32_t code = 0;
  for (size_t i = 0; i < 3; ++i) {
    const char c = reply[i];
    if (c < '0' || c > '9') detail::RaiseRuntimeError(detail::kErrTypeMismatch);
    code = code * 10 + (c - '0');
  }
  return code;
}

ReplyKind ClassifyReply(int32_t code) {
  switch (code) {
    case 220:
      return ReplyKind::kGreeting;
    case 235:
    case 250:
    case 251:
    case 252:
      return ReplyKind::kPositive;
    case 334:
      return ReplyKind::kChallenge;
    case 354:
      return ReplyKind::kStartData;
    case 221:
      return ReplyKind::kClosing;
    case 421:
    case 450:
    case 451:
    case 452:
      return ReplyKind::kRefusal;
    default:
      return code >= 500 && code <= 554 ? ReplyKind::kRefusal : ReplyKind::kOther;
  }
}

std::string GreetingDomain(std::string_view user, std::string_view local_ip,
                           bool use_domain_for_helo) {
  const std::string_view base = user.empty() ? local_ip : user;
  return use_domain_for_helo ? platform::DomainOf(base) : std::string(base);
}

std::string CommandLine(std::string_view verb, std::string_view argument, std::string_view field) {
  if (detail::HasLineBreakOrNul(argument)) {
    throw Exception(detail::ObjectErrorNumber(emxIllegalCharacter), std::string(detail::kSource),
                    detail::IllegalFieldText(field));
  }
  std::string line;
  line.reserve(verb.size() + argument.size());
  line.append(verb).append(argument);
  return line;
}

ReplyWaitFloors& WaitFloors() {
  static ReplyWaitFloors floors;
  return floors;
}

std::string WithoutLineEnd(std::string_view reply) {
  if (!reply.empty() && reply.back() == '\n') reply.remove_suffix(1);
  if (!reply.empty() && reply.back() == '\r') reply.remove_suffix(1);
  return std::string(reply);
}

}  // namespace session

SendMail::Impl::Dialogue::~Dialogue() {
  progress.Disconnect();
  if (timer != 0) {
    try {
      ThreadEventLoop().CancelTimer(timer);
    } catch (...) {
    }
  }
}

void SendMail::Impl::Dialogue::Reset() {
  replies.Clear();
  data_started = false;
  in_data = false;
  quit_written = false;
  failure_reported = false;
  wait = Wait::kNone;
  if (timer != 0) {
    ThreadEventLoop().CancelTimer(timer);
    timer = 0;
  }
}

namespace {

using Impl = SendMail::Impl;
using Dialogue = SendMail::Impl::Dialogue;
using Wait = Dialogue::Wait;
using session::CommandLine;

constexpr std::string_view kMethodProcess = "SendMail.Process";
constexpr std::string_view kMethodDataArrival = "SendMail.DataArrival";
constexpr std::string_view kMethodTimeout = "SendMail.Timeout";
constexpr int32_t kErrTimedOut = 10060;

Dialogue& DialogueOf(Impl& d) {
  if (!d.dialogue) {
    d.dialogue = std::make_shared<Dialogue>();
    // The write progress of the message data counts as activity while its reply is awaited:
    // the time-out runs from the last byte written, not from the moment it was queued.
    std::weak_ptr<SendMail> weak = d.owner->weak_from_this();
    d.dialogue->progress = d.owner->OnSendProgress([weak](int32_t&, int32_t&) {
      auto mail = weak.lock();
      if (!mail || !mail->impl().dialogue) return;
      Dialogue& dlg = *mail->impl().dialogue;
      if (dlg.wait == Wait::kEndOfDataReply) dlg.since = std::chrono::steady_clock::now();
    });
  }
  return *d.dialogue;
}

// The socket of this connection is still the object's, open, and the send not cancelled.
bool StillCurrent(const Impl& d, const std::shared_ptr<TcpClient>& sock) {
  return !d.cancel_flag && d.socket == sock && sock && sock->State() == TcpClient::sckConnected;
}

// Tells the connections of one socket object apart (Send reuses the object).
std::string ConnectionIdentity(const TcpClient& sock) {
  return std::to_string(sock.SocketHandle()) + " " + sock.LocalIP() + " " +
         std::to_string(sock.LocalPort());
}

void OnReplyTimer(const std::weak_ptr<SendMail>& weak_mail,
                  const std::weak_ptr<TcpClient>& weak_sock,
                  const std::string& connection) noexcept;

void ScheduleTimer(Impl& d, Dialogue& dlg, std::chrono::milliseconds delay) {
  std::weak_ptr<SendMail> wm = d.owner->weak_from_this();
  std::weak_ptr<TcpClient> ws = d.socket;
  std::string connection = ConnectionIdentity(*d.socket);
  dlg.timer =
      ThreadEventLoop().AddTimer(delay, [wm, ws, connection] { OnReplyTimer(wm, ws, connection); });
}

void StopTimer(Dialogue& dlg) {
  dlg.wait = Wait::kNone;
  if (dlg.timer != 0) {
    ThreadEventLoop().CancelTimer(dlg.timer);
    dlg.timer = 0;
  }
}

// Starts the wait for what comes next: TimeOut, raised to the reply's floor (the close after
// QUIT has none: the outcome is known); TimeOut 0 (or less) means no limit.
void Await(Impl& d, Wait wait) {
  Dialogue& dlg = DialogueOf(d);
  StopTimer(dlg);
  if (d.time_out <= 0) return;
  std::chrono::milliseconds limit = std::chrono::seconds(d.time_out);
  const session::ReplyWaitFloors& floors = session::WaitFloors();
  if (wait == Wait::kReply) limit = std::max(limit, floors.command);
  if (wait == Wait::kStartDataReply) limit = std::max(limit, floors.start_data);
  if (wait == Wait::kEndOfDataReply) limit = std::max(limit, floors.end_of_data);
  dlg.wait = wait;
  dlg.limit = limit;
  dlg.since = std::chrono::steady_clock::now();
  ScheduleTimer(d, dlg, limit);
}

// Closes the connection from this side; SendComplete follows, as when the server closes.
void EndConnection(Impl& d, const std::shared_ptr<TcpClient>& sock) {
  Dialogue& dlg = DialogueOf(d);
  StopTimer(dlg);
  dlg.replies.Clear();
  dlg.in_data = false;
  if (d.socket != sock || sock->State() == TcpClient::sckClosed) return;
  sock->Close();
  d.closed_flag = true;
  d.RaiseSendComplete();
}

void TimedOut(Impl& d, const std::shared_ptr<TcpClient>& sock) {
  Dialogue& dlg = DialogueOf(d);
  const Wait wait = dlg.wait;
  const auto limit = dlg.limit;
  dlg.wait = Wait::kNone;
  // The reply to QUIT tells nothing more: a server that does not close is closed quietly.
  if (wait != Wait::kClose && !dlg.failure_reported) {
    dlg.failure_reported = true;
    const auto seconds = std::chrono::ceil<std::chrono::seconds>(limit).count();
    const std::string text =
        "The server did not reply within " + std::to_string(seconds) + " seconds.";
    detail::RecordError(d.Self(), kErrTimedOut, detail::kSourceWinsock, text, "", 0,
                        kMethodTimeout);
    d.RaiseWinsockError(kErrTimedOut, std::string(detail::kSourceWinsock), text, "", 0);
  }
  EndConnection(d, sock);
}

void OnReplyTimer(const std::weak_ptr<SendMail>& weak_mail,
                  const std::weak_ptr<TcpClient>& weak_sock,
                  const std::string& connection) noexcept {
  auto mail = weak_mail.lock();
  auto sock = weak_sock.lock();
  if (!mail || !sock) return;
  Impl& d = mail->impl();
  if (!d.dialogue) return;
  Dialogue& dlg = *d.dialogue;
  dlg.timer = 0;
  try {
    if (dlg.wait == Wait::kNone || !StillCurrent(d, sock) ||
        ConnectionIdentity(*sock) != connection) {
      dlg.wait = Wait::kNone;
      return;
    }
    const auto waited = std::chrono::steady_clock::now() - dlg.since;
    if (waited < dlg.limit) {
      // Activity since the timer was set: wait for the rest.
      ScheduleTimer(d, dlg, std::chrono::ceil<std::chrono::milliseconds>(dlg.limit - waited));
      return;
    }
    TimedOut(d, sock);
  } catch (...) {
    d.ReportCaughtError(kMethodTimeout);
  }
}

// Writes one command and waits for its reply.
void WriteCommand(Impl& d, const std::string& command, const std::string& status_text = {}) {
  if (d.cancel_flag) return;
  d.SendToWS(command, status_text);
  Await(d, command == "QUIT"   ? Wait::kClose
           : command == "DATA" ? Wait::kStartDataReply
                               : Wait::kReply);
}

void WriteQuit(Impl& d) {
  DialogueOf(d).quit_written = true;
  WriteCommand(d, "QUIT");
}

// After a refusal or an error: QUIT between commands, so the server closes at once; inside
// the message data, close without the end-of-data line, so nothing partial is delivered.
void StopDialogue(Impl& d, const std::shared_ptr<TcpClient>& sock) {
  if (!StillCurrent(d, sock)) return;
  Dialogue& dlg = DialogueOf(d);
  if (dlg.in_data) {
    EndConnection(d, sock);
    return;
  }
  d.dialogue_state = session::kStopped;
  if (!dlg.quit_written) WriteQuit(d);
}

std::string Base64Line(Impl& d, const std::string& text) {
  auto codec = d.base64;
  ByteArray bytes;
  ByteArray encoded;
  std::string line;
  codec->StrToAry(text, bytes);
  codec->Encode(bytes, encoded);
  codec->AryToStr(encoded, line);
  return line;
}

const std::string& CurrentRecipient(const Impl& d) {
  if (d.recipient_index < 0 || static_cast<size_t>(d.recipient_index) >= d.recipient_list.size()) {
    detail::RaiseRuntimeError(detail::kErrSubscriptOutOfRange);
  }
  return d.recipient_list[static_cast<size_t>(d.recipient_index)];
}

// Moves to the next recipient; true when the one just used was the last.
bool AdvanceRecipient(Impl& d) {
  if (static_cast<size_t>(d.recipient_index) + 1 >= d.recipient_list.size()) {
    d.recipient_index = 0;
    return true;
  }
  ++d.recipient_index;
  return false;
}

void Greet(Impl& d, Dialogue& dlg) {
  // A greeting starts the dialogue afresh, whatever happened before on this object.
  dlg.data_started = false;
  dlg.in_data = false;
  dlg.quit_written = false;
  if (session::SecureGreet(d)) return;
  const bool verify = d.header && d.header->Verify();
  if (d.user.empty()) {
    d.dialogue_state = verify ? session::kVerifying : session::kReadyForMail;
    const std::string domain =
        session::GreetingDomain("", d.socket->LocalIP(), d.use_domain_for_helo);
    WriteCommand(d, CommandLine("HELO ", domain, "greeting domain"));
  } else {
    d.dialogue_state = session::kEhloWritten;
    const std::string domain = session::GreetingDomain(d.user, "", d.use_domain_for_helo);
    WriteCommand(d, CommandLine("EHLO ", domain, "User"));
  }
}

// The action of the current state on 235, 250, 251 or 252.
void OnPositive(Impl& d) {
  switch (d.dialogue_state) {
    case session::kEhloWritten:
      d.dialogue_state = session::kAuthLoginWritten;
      WriteCommand(d, "AUTH LOGIN");
      break;
    case session::kVerifying: {
      // VRFY takes a name or an address, not a path: no brackets.
      const std::string command =
          CommandLine("VRFY ", detail::AddressOf(CurrentRecipient(d)), "recipient list");
      if (AdvanceRecipient(d)) d.dialogue_state = session::kReadyForMail;
      WriteCommand(d, command);
      break;
    }
    case session::kReadyForMail: {
      d.dialogue_state = session::kRcptInProgress;
      // The sender is the first address of "FROM" (RFC 5321 4.1.2: in angle brackets).
      const std::string from =
          detail::Unfold(d.header ? d.header->Values()->GetValue("FROM") : std::string());
      const auto entries = detail::SplitAddressList(from);
      const std::string path = detail::EnvelopePath(entries.empty() ? "" : entries.front());
      WriteCommand(d, CommandLine("MAIL FROM: ", path, "From"));
      break;
    }
    case session::kRcptInProgress: {
      const std::string command =
          CommandLine("RCPT TO: ", detail::EnvelopePath(CurrentRecipient(d)), "recipient list");
      if (AdvanceRecipient(d)) d.dialogue_state = session::kLastRcptWritten;
      WriteCommand(d, command);
      break;
    }
    case session::kLastRcptWritten:
      d.dialogue_state = session::kDataWritten;
      WriteCommand(d, "DATA");
      break;
    case session::kDataWritten:
      WriteQuit(d);
      break;
    default:
      break;
  }
}

// The action of the current state on 334.
void OnChallenge(Impl& d) {
  switch (d.dialogue_state) {
    case session::kAuthLoginWritten:
      d.dialogue_state = session::kUserWritten;
      d.RaiseSendStatus("Base64 Encoding User\r\n");
      WriteCommand(d, Base64Line(d, d.user));
      break;
    case session::kUserWritten: {
      d.dialogue_state =
          d.header && d.header->Verify() ? session::kVerifying : session::kReadyForMail;
      d.RaiseSendStatus("Base64 Encoding Password\r\n");
      const std::string secret = d.password.empty() ? std::string() : Base64Line(d, d.password);
      // The password, even encoded, is no status line's business.
      WriteCommand(d, secret, secret.empty() ? std::string() : std::string("********"));
      break;
    }
    default:
      break;
  }
}

void RunDataPhase(Impl& d, Dialogue& dlg, const std::shared_ptr<TcpClient>& sock) {
  dlg.data_started = true;
  dlg.in_data = true;
  StopTimer(dlg);
  assembly::SendMailModel model(d);
  assembly::SendMailSink sink(d);
  assembly::DataWriter writer(sink);
  const bool complete = assembly::AssembleMessage(model, model, writer);
  dlg.in_data = false;
  if (complete && StillCurrent(d, sock)) {
    // What the server sent before the end of the data reached it cannot be its answer to the
    // data: an early "250" must not pass for the acceptance of the message.
    dlg.replies.Clear();
    std::string early;
    sock->GetData(early);
    Await(d, Wait::kEndOfDataReply);
  }
}

// In a catch block: records and reports the error, then stops the dialogue.
void FailAndStop(Impl& d, const std::shared_ptr<TcpClient>& sock, std::string_view method) {
  DialogueOf(d).failure_reported = true;
  d.ReportCaughtError(method);
  try {
    StopDialogue(d, sock);
  } catch (...) {
    d.ReportCaughtError(method);
    // Nothing sensible can be written any more: give the connection up.
    try {
      EndConnection(d, sock);
    } catch (...) {
    }
  }
}

void Refuse(Impl& d, Dialogue& dlg, const std::string& reply,
            const std::shared_ptr<TcpClient>& sock) {
  d.RaiseSendStatus("<<" + reply);
  const std::string text = session::WithoutLineEnd(reply);
  dlg.failure_reported = true;
  detail::RecordError(d.Self(), emxHostError, detail::kSource, text, "", 0, kMethodProcess);
  d.RaiseWinsockError(emxHostError, std::string(detail::kSource), text, "", 0);
  StopDialogue(d, sock);
}

void Step(Impl& d, const std::string& reply, const std::shared_ptr<TcpClient>& sock) {
  Dialogue& dlg = DialogueOf(d);
  const int32_t code = session::ReplyCode(reply);
  if (session::SecureStep(d, reply, code, sock)) return;
  switch (session::ClassifyReply(code)) {
    case session::ReplyKind::kGreeting:
      // Once stopped, the connection only ends: a later 220 starts nothing.
      if (dlg.quit_written || d.dialogue_state == session::kStopped) break;
      Greet(d, dlg);
      return;
    case session::ReplyKind::kPositive:
      // A reply the state has no use for moves nothing, and the time-out keeps running.
      OnPositive(d);
      return;
    case session::ReplyKind::kChallenge:
      OnChallenge(d);
      return;
    case session::ReplyKind::kStartData:
      // Only the answer to DATA starts the data, and only once per connection: a stray 354
      // never sends the message twice.
      if (d.dialogue_state != session::kDataWritten || dlg.data_started || dlg.quit_written) {
        break;
      }
      RunDataPhase(d, dlg, sock);
      return;
    case session::ReplyKind::kRefusal:
      Refuse(d, dlg, reply, sock);
      return;
    case session::ReplyKind::kClosing:
      return;
    case session::ReplyKind::kOther:
      break;
  }
  d.RaiseSendStatus("<<" + reply);
}

// A new connection (or the first) gets a fresh dialogue state; bytes buffered from an
// earlier one are dropped.
void FollowConnection(Dialogue& dlg, const TcpClient& sock) {
  std::string connection = ConnectionIdentity(sock);
  if (dlg.socket == &sock && dlg.connection == connection) return;
  dlg.Reset();
  dlg.socket = &sock;
  dlg.connection = std::move(connection);
}

}  // namespace

void SendMail::Impl::OnSocketDataArrival(int32_t /*bytes_total*/) {
  auto self = Self();
  auto sock = socket;
  if (!sock || sock->State() != TcpClient::sckConnected) return;
  ThreadWaitLimit() = 0;
  Dialogue& dlg = DialogueOf(*this);
  FollowConnection(dlg, *sock);
  std::string data;
  sock->GetData(data);
  dlg.replies.Append(data);
  for (;;) {
    std::string reply;
    const auto result = dlg.replies.Next(reply);
    if (result == session::ReplyAssembler::Result::kNone) return;
    if (result == session::ReplyAssembler::Result::kTooLong) {
      // A reply without end would fill the memory: the connection is given up.
      static const std::string kText = "The server's reply exceeds " +
                                       std::to_string(session::ReplyAssembler::kMaxReplySize) +
                                       " bytes.";
      dlg.failure_reported = true;
      detail::RecordError(self, emxReplyTooLong, detail::kSource, kText, "", 0, kMethodDataArrival);
      RaiseWinsockError(emxReplyTooLong, std::string(detail::kSource), kText, "", 0);
      EndConnection(*this, sock);
      return;
    }
    // While the data is being written, or its end still waits in the socket's queue, no
    // reply can be the answer to it: a positive one is dropped unseen, as those that came
    // before the data began are, so it cannot pass for the acceptance of the message.
    if (dlg.data_started && dialogue_state == session::kDataWritten && !dlg.quit_written &&
        !reply.empty() && reply[0] == '2' && (dlg.in_data || sock->BytesUnsent() > 0)) {
      continue;
    }
    received_data = reply;
    const std::string connection = dlg.connection;
    try {
      RaiseSendStatus("<<" + reply);
    } catch (...) {
      // A host handler that throws stops the dialogue as any error does; left alone, the
      // session would wait for ever with no command written and no time-out running.
      FailAndStop(*this, sock, kMethodDataArrival);
      return;
    }
    // A handler may have cancelled, cleared or started another send (a new connection on
    // the same socket object: this reply is not its business).
    if (!StillCurrent(*this, sock) || ConnectionIdentity(*sock) != connection) return;
    Process(reply);
    if (!StillCurrent(*this, sock) || dialogue.get() != &dlg ||
        ConnectionIdentity(*sock) != connection) {
      return;
    }
  }
}

namespace session {

// For the encrypted-connection steps (secure_dialogue.cpp).
void WriteDialogueCommand(SendMail::Impl& d, const std::string& command) {
  WriteCommand(d, command);
}
void AwaitDialogueReply(SendMail::Impl& d) {
  Await(d, Wait::kReply);
}
void AwaitGreeting(SendMail::Impl& d) {
  // The connection is followed from now on, so a greeting that never comes whole still ends.
  FollowConnection(DialogueOf(d), *d.socket);
  Await(d, Wait::kReply);
}
void StopDialogueAfterFailure(SendMail::Impl& d, const std::shared_ptr<TcpClient>& sock) {
  StopDialogue(d, sock);
}
void EndDialogueConnection(SendMail::Impl& d, const std::shared_ptr<TcpClient>& sock) {
  EndConnection(d, sock);
}
void MarkDialogueFailure(SendMail::Impl& d) {
  DialogueOf(d).failure_reported = true;
}
void DropBufferedReplies(SendMail::Impl& d) {
  DialogueOf(d).replies.Clear();
}

}  // namespace session

void SendMail::Impl::Process(const std::string& reply) {
  auto self = Self();
  auto sock = socket;
  try {
    Step(*this, reply, sock);
  } catch (...) {
    FailAndStop(*this, sock, kMethodProcess);
  }
}

}  // namespace postwing
